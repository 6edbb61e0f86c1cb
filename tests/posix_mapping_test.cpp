// The mapping between POSIX state and Windows descriptors on the host mirror, against a model of
// the kernel's check as acl(5) states it: derived descriptors answer as the kernel does, the
// mode and ACL written for a descriptor never let a caller do what the descriptor refuses, and
// a stored descriptor is never reported to grant more than the kernel allows.
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/standin/core/ace_list.h"
#include "platform/standin/core/sddl_conversion.h"
#include "platform/standin/core/text.h"
#include "platform/standin/files/file_security_store.h"
#include "platform/standin/files/posix_mapping.h"
#include "platform/standin/identity/token.h"
#include "platform/standin/object_security/access_check.h"
#include "platform/standin/profile/host_ids.h"

namespace {

using standin::OwnedDescriptor;
using standin::PosixLimits;
using standin::PosixPermissions;
using standin::PosixState;
using standin::SidValue;

const SidValue kMachine = *SidValue::Parse(L"S-1-5-21-1-2-3");

struct Caller {
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::vector<std::uint32_t> groups;

  bool Holds(std::uint32_t g) const {
    return gid == g || std::find(groups.begin(), groups.end(), g) != groups.end();
  }
};

// The kernel's check of `want` (rwx as 4, 2, 1) for a caller who is not root.
bool KernelAllows(const PosixState& s, const Caller& c, unsigned want) {
  const PosixLimits& limits = s.limits;
  if ((want & 2) && (limits.read_only || limits.immutable || (limits.append_only && !s.directory) ||
                     (limits.no_creation && s.directory)))
    return false;
  const PosixPermissions& p = s.permissions;
  if (c.uid == s.uid)
    return (p.owner & want) == want;
  const unsigned mask = p.mask.value_or(7);
  for (const auto& [uid, perms] : p.users) {
    if (uid == c.uid)
      return (perms & mask & want) == want;
  }
  bool found = false;
  if (c.Holds(s.gid)) {
    found = true;
    if ((p.group & mask & want) == want)
      return true;
  }
  for (const auto& [gid, perms] : p.groups) {
    if (c.Holds(gid)) {
      found = true;
      if ((perms & mask & want) == want)
        return true;
    }
  }
  return !found && (p.other & want) == want;
}

// The token the host mirror gives a process of `c`.
standin::TokenData TokenOf(const Caller& c) {
  standin::TokenData token;
  token.user = standin::HostUserSid(kMachine, c.uid);
  constexpr DWORD kEnabled = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
  for (const SidValue& sid : {SidValue(1, {0}), SidValue(5, {4}), SidValue(5, {11}),
                              SidValue(5, {32, 545}), standin::HostGroupSid(kMachine, c.gid)})
    token.groups.emplace_back(sid, kEnabled);
  for (const std::uint32_t g : c.groups)
    token.groups.emplace_back(standin::HostGroupSid(kMachine, g), kEnabled);
  return token;
}

ACCESS_MASK Granted(const OwnedDescriptor& sd, const Caller& c) {
  ACCESS_MASK granted = 0;
  const DWORD result = standin::EvaluateAccess(sd.Parts(), TokenOf(c), MAXIMUM_ALLOWED,
                                               standin::kFileGenericMapping, granted);
  return result == ERROR_SUCCESS ? granted : 0;
}

// An operation as the kernel checks it and as a descriptor grants it.
struct Operation {
  const char* name;
  unsigned want;
  bool (*granted)(ACCESS_MASK);
};

// POSIX's write also appends to a file, and adds directories as well as files: the rights
// that stand for it are FILE_WRITE_DATA and FILE_ADD_FILE.
const Operation kFileOperations[] = {
    {"read", 4, [](ACCESS_MASK g) { return (g & FILE_READ_DATA) != 0; }},
    {"write", 2, [](ACCESS_MASK g) { return (g & FILE_WRITE_DATA) != 0; }},
    {"run", 1, [](ACCESS_MASK g) { return (g & FILE_EXECUTE) != 0; }},
};
const Operation kDirectoryOperations[] = {
    {"list", 4, [](ACCESS_MASK g) { return (g & FILE_LIST_DIRECTORY) != 0; }},
    {"create", 3, [](ACCESS_MASK g) { return (g & FILE_ADD_FILE) != 0; }},
    // Searching needs traverse, or the right to add, with which the platform bypasses it.
    {"search", 1, [](ACCESS_MASK g) { return (g & (FILE_TRAVERSE | FILE_ADD_FILE)) != 0; }},
};

const Operation* OperationsOf(const PosixState& s, size_t& count) {
  count = 3;
  return s.directory ? kDirectoryOperations : kFileOperations;
}

std::string Describe(const PosixState& s) {
  return standin::Fingerprint(s) + (s.directory ? " dir" : " file") +
         (s.limits.read_only ? " ro" : "") + (s.limits.immutable ? " immutable" : "") +
         (s.limits.append_only ? " append" : "") + (s.limits.no_creation ? " kernel-fs" : "");
}

std::string Sddl(const OwnedDescriptor& sd) {
  std::wstring text;
  standin::WriteSddl(
      sd.Parts(),
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
      {kMachine, kMachine}, text);
  return standin::WideToUtf8(text);
}

class Random {
 public:
  explicit Random(unsigned seed) : engine_(seed) {}
  unsigned Below(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(engine_); }
  bool Coin() { return Below(2) == 1; }

  // Ids 10..13 are users and 20..23 groups, so that owners, named entries and callers meet.
  PosixState State(bool with_limits) {
    PosixState s;
    s.directory = Coin();
    s.uid = 10 + Below(3);
    s.gid = 20 + Below(3);
    s.sticky = s.directory && Below(4) == 0;
    s.permissions.owner = Below(8);
    s.permissions.group = Below(8);
    s.permissions.other = Below(8);
    if (Coin()) {
      for (std::uint32_t uid = 10; uid < 14; ++uid) {
        if (Below(3) == 0 && uid != s.uid)
          s.permissions.users.emplace_back(uid, Below(8));
      }
      for (std::uint32_t gid = 20; gid < 24; ++gid) {
        if (Below(3) == 0 && gid != s.gid)
          s.permissions.groups.emplace_back(gid, Below(8));
      }
      s.permissions.mask = Below(8);
    }
    if (with_limits && Below(4) == 0) {
      s.limits.read_only = Below(4) == 0;
      s.limits.immutable = Below(4) == 0;
      s.limits.append_only = Below(4) == 0;
      s.limits.no_creation = Below(4) == 0;
    }
    return s;
  }

  Caller Someone() {
    Caller c;
    c.uid = 10 + Below(5);
    c.gid = 20 + Below(5);
    for (std::uint32_t g = 20; g < 25; ++g) {
      if (Coin())
        c.groups.push_back(g);
    }
    return c;
  }

  // A DACL of allow and deny entries, in any order, for the ids above and the SIDs every host
  // token holds or may hold.
  OwnedDescriptor Descriptor(const PosixState& s) {
    static const ACCESS_MASK kRights[] = {FILE_GENERIC_READ,
                                          FILE_GENERIC_WRITE,
                                          FILE_GENERIC_EXECUTE,
                                          FILE_ALL_ACCESS,
                                          GENERIC_ALL,
                                          FILE_ADD_FILE,
                                          FILE_READ_DATA | FILE_WRITE_DATA,
                                          FILE_TRAVERSE,
                                          FILE_GENERIC_READ | FILE_GENERIC_WRITE};
    const SidValue pool[] = {standin::HostUserSid(kMachine, 10),
                             standin::HostUserSid(kMachine, 11),
                             standin::HostUserSid(kMachine, 12),
                             standin::HostGroupSid(kMachine, 20),
                             standin::HostGroupSid(kMachine, 21),
                             standin::HostGroupSid(kMachine, 22),
                             SidValue(1, {0}),
                             SidValue(5, {32, 545}),
                             SidValue(5, {32, 544}),
                             SidValue(5, {32, 546})};
    standin::AceList dacl;
    for (unsigned n = Below(6); n > 0; --n) {
      dacl.entries.push_back(
          {static_cast<BYTE>(Below(3) == 0 ? ACCESS_DENIED_ACE_TYPE : ACCESS_ALLOWED_ACE_TYPE),
           0,
           kRights[Below(std::size(kRights))],
           pool[Below(std::size(pool))],
           {}});
    }
    return WithDacl(s, dacl);
  }

  static OwnedDescriptor WithDacl(const PosixState& s, const standin::AceList& dacl) {
    OwnedDescriptor sd;
    const SidValue owner = standin::HostUserSid(kMachine, s.uid);
    const SidValue group = standin::HostGroupSid(kMachine, s.gid);
    sd.control = SE_DACL_PRESENT;
    sd.owner.assign(owner.data(), owner.data() + owner.size());
    sd.group.assign(group.data(), group.data() + group.size());
    sd.dacl = *dacl.Encode();
    return sd;
  }

 private:
  std::mt19937 engine_;
};

TEST(posix_mapping, DerivedDescriptorsReadAsTheirClasses) {
  // uid 10 is RID 1020, gid 20 RID 1041, uid 11 RID 1022, gid 21 RID 1043.
  auto state = [](bool directory, unsigned mode) {
    PosixState s;
    s.directory = directory;
    s.uid = 10;
    s.gid = 20;
    s.permissions = {(mode >> 6) & 7, (mode >> 3) & 7, mode & 7, {}, {}, {}};
    return s;
  };
  PosixState acl = state(true, 0777);
  acl.permissions.users = {{11, 5}};
  acl.permissions.groups = {{21, 7}};
  acl.permissions.mask = 5;
  PosixState read_only = state(false, 0644);
  read_only.limits.read_only = true;
  PosixState sticky = state(true, 01777);
  sticky.sticky = true;
  const struct {
    const char* what;
    PosixState state;
    const char* sddl;
  } cases[] = {
      {"0640 file: owner, then group", state(false, 0640),
       "O:S-1-5-21-1-2-3-1020G:S-1-5-21-1-2-3-1041D:(A;;0x12019f;;;S-1-5-21-1-2-3-1020)"
       "(A;;FR;;;S-1-5-21-1-2-3-1041)"},
      {"0707 directory: its group is refused what others get", state(true, 0707),
       "O:S-1-5-21-1-2-3-1020G:S-1-5-21-1-2-3-1041D:(A;OICI;0x1201ff;;;S-1-5-21-1-2-3-1020)"
       "(D;OICI;0x1201ff;;;S-1-5-21-1-2-3-1041)(A;OICI;0x1201ff;;;WD)"},
      {"0077 directory: the owner alone is refused", state(true, 077),
       "O:S-1-5-21-1-2-3-1020G:S-1-5-21-1-2-3-1041D:(D;OICI;0x1201ff;;;S-1-5-21-1-2-3-1020)"
       "(A;OICI;0x1201ff;;;S-1-5-21-1-2-3-1041)(A;OICI;0x1201ff;;;WD)"},
      {"0600 directory: no search, so no adding", state(true, 0600),
       "O:S-1-5-21-1-2-3-1020G:S-1-5-21-1-2-3-1041D:(A;OICI;0x120199;;;S-1-5-21-1-2-3-1020)"},
      {"named user and group, limited by the mask r-x", acl,
       "O:S-1-5-21-1-2-3-1020G:S-1-5-21-1-2-3-1041D:(A;OICI;0x1201ff;;;S-1-5-21-1-2-3-1020)"
       "(A;OICI;0x1200a9;;;S-1-5-21-1-2-3-1022)(D;OICI;DCLCRPDTCR;;;S-1-5-21-1-2-3-1022)"
       "(A;OICI;0x1200a9;;;S-1-5-21-1-2-3-1041)(A;OICI;0x1200a9;;;S-1-5-21-1-2-3-1043)"
       "(D;OICI;DCLCRPDTCR;;;S-1-5-21-1-2-3-1041)(D;OICI;DCLCRPDTCR;;;S-1-5-21-1-2-3-1043)"
       "(A;OICI;0x1201ff;;;WD)"},
      {"a read-only mount: nothing written, not even the DACL", read_only,
       "O:S-1-5-21-1-2-3-1020G:S-1-5-21-1-2-3-1041D:(A;;RC;;;OW)(A;;FR;;;S-1-5-21-1-2-3-1020)"
       "(A;;FR;;;S-1-5-21-1-2-3-1041)(A;;FR;;;WD)"},
      {"the same file on a writable mount", state(false, 0644),
       "O:S-1-5-21-1-2-3-1020G:S-1-5-21-1-2-3-1041D:(A;;0x12019f;;;S-1-5-21-1-2-3-1020)"
       "(A;;FR;;;S-1-5-21-1-2-3-1041)(A;;FR;;;WD)"},
      {"sticky: entries are added, not deleted", sticky,
       "O:S-1-5-21-1-2-3-1020G:S-1-5-21-1-2-3-1041D:(A;OICI;0x1201bf;;;S-1-5-21-1-2-3-1020)"
       "(A;OICI;0x1201bf;;;S-1-5-21-1-2-3-1041)(A;OICI;0x1201bf;;;WD)"},
      {"the same directory, not sticky", state(true, 0777),
       "O:S-1-5-21-1-2-3-1020G:S-1-5-21-1-2-3-1041D:(A;OICI;0x1201ff;;;S-1-5-21-1-2-3-1020)"
       "(A;OICI;0x1201ff;;;S-1-5-21-1-2-3-1041)(A;OICI;0x1201ff;;;WD)"},
  };
  // Each state twice in a row: the second derivation is the same as the first.
  for (const auto& c : cases) {
    EXPECT_EQ(Sddl(standin::DeriveDescriptor(c.state, kMachine)), c.sddl) << c.what;
    EXPECT_EQ(Sddl(standin::DeriveDescriptor(c.state, kMachine)), c.sddl) << c.what;
  }
}

TEST(posix_mapping, DerivedDescriptorsAnswerAsTheKernel) {
  Random random(12);
  for (int trial = 0; trial < 3000; ++trial) {
    const PosixState s = random.State(true);
    const OwnedDescriptor sd = standin::DeriveDescriptor(s, kMachine);
    const Caller c = random.Someone();
    size_t count = 0;
    const Operation* ops = OperationsOf(s, count);
    const ACCESS_MASK granted = Granted(sd, c);
    for (size_t i = 0; i < count; ++i) {
      ASSERT_EQ(ops[i].granted(granted), KernelAllows(s, c, ops[i].want))
          << ops[i].name << " by uid " << c.uid << " on " << Describe(s) << "\n"
          << Sddl(sd);
    }
  }
}

TEST(posix_mapping, DerivedDescriptorsTranslateBackToTheirState) {
  Random random(13);
  for (int trial = 0; trial < 1000; ++trial) {
    PosixState s = random.State(false);
    const OwnedDescriptor sd = standin::DeriveDescriptor(s, kMachine);
    PosixState back = s;
    back.permissions = standin::TranslateDescriptors({&sd}, s, kMachine);
    for (int k = 0; k < 8; ++k) {
      const Caller c = random.Someone();
      for (unsigned want : {4u, 2u, 1u, 3u}) {
        // Write without search on a directory allows nothing the platform can name.
        if (s.directory && want == 2)
          continue;
        ASSERT_EQ(KernelAllows(back, c, want), KernelAllows(s, c, want))
            << "want " << want << " by uid " << c.uid << ": " << Describe(s) << " became "
            << Describe(back);
      }
    }
    // An unchanged descriptor is reported as it was stored.
    EXPECT_EQ(standin::ReportedDescriptor(sd, s, kMachine).SelfRelative(), sd.SelfRelative());
  }
}

TEST(posix_mapping, WrittenStateNeverLetsACallerDoWhatTheDescriptorRefuses) {
  Random random(14);
  for (int trial = 0; trial < 1500; ++trial) {
    const PosixState target = random.State(false);
    const OwnedDescriptor sd = random.Descriptor(target);
    PosixState whole = target;
    whole.permissions = standin::TranslateDescriptors({&sd}, target, kMachine);
    // What a directory passes on narrows what the object allowed before.
    const OwnedDescriptor before = standin::DeriveDescriptor(target, kMachine);
    PosixState narrowed = target;
    narrowed.permissions = standin::TranslateDescriptors({&sd, &before}, target, kMachine);
    size_t count = 0;
    const Operation* ops = OperationsOf(target, count);
    for (int k = 0; k < 10; ++k) {
      const Caller c = random.Someone();
      const ACCESS_MASK granted = Granted(sd, c);
      for (size_t i = 0; i < count; ++i) {
        if (KernelAllows(whole, c, ops[i].want)) {
          ASSERT_TRUE(ops[i].granted(granted)) << ops[i].name << " by uid " << c.uid << " on "
                                               << Describe(whole) << " for " << Sddl(sd);
        }
        if (KernelAllows(narrowed, c, ops[i].want)) {
          ASSERT_TRUE(ops[i].granted(granted) && KernelAllows(target, c, ops[i].want))
              << ops[i].name << " by uid " << c.uid << " narrowed to " << Describe(narrowed);
        }
      }
    }
  }
}

TEST(posix_mapping, PlainGrantsAreWhatTheKernelAllows) {
  Random random(15);
  const ACCESS_MASK kGrants[] = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_ALL_ACCESS,
                                 FILE_GENERIC_READ | FILE_GENERIC_EXECUTE};
  for (int trial = 0; trial < 1000; ++trial) {
    PosixState base = random.State(false);
    base.permissions = {7, 5, 5, {}, {}, {}};  // a fresh directory or file, 0755
    standin::AceList dacl =
        standin::AceList::Decode(standin::DeriveDescriptor(base, kMachine).Parts().dacl);
    struct Grant {
      bool group;
      std::uint32_t id;
      ACCESS_MASK rights;
    };
    std::vector<Grant> grants;
    for (unsigned n = 1 + random.Below(3); n > 0; --n) {
      const Grant g{random.Coin(), random.Coin() ? 10 + random.Below(4) : 20 + random.Below(4),
                    kGrants[random.Below(std::size(kGrants))]};
      const SidValue sid =
          g.group ? standin::HostGroupSid(kMachine, g.id) : standin::HostUserSid(kMachine, g.id);
      dacl.entries.push_back({ACCESS_ALLOWED_ACE_TYPE, 0, g.rights, sid, {}});
      grants.push_back(g);
    }
    const OwnedDescriptor sd = Random::WithDacl(base, dacl);
    PosixState written = base;
    written.permissions = standin::TranslateDescriptors({&sd}, base, kMachine);
    size_t count = 0;
    const Operation* ops = OperationsOf(base, count);
    for (const Grant& g : grants) {
      Caller c;
      c.uid = g.group ? 14 : g.id;  // uid 14 is named nowhere
      c.gid = g.group ? g.id : 24;
      for (size_t i = 0; i < count; ++i) {
        if (ops[i].granted(g.rights | FILE_GENERIC_READ | FILE_GENERIC_EXECUTE)) {
          ASSERT_TRUE(KernelAllows(written, c, ops[i].want))
              << ops[i].name << " granted to " << (g.group ? "gid " : "uid ") << g.id << ": "
              << Describe(written) << " for " << Sddl(sd);
        }
      }
    }
  }
}

TEST(posix_mapping, ReportedDescriptorsNeverGrantMoreThanTheKernel) {
  Random random(16);
  for (int trial = 0; trial < 400; ++trial) {
    const PosixState s = random.State(true);
    const OwnedDescriptor stored = random.Descriptor(s);
    const OwnedDescriptor reported = standin::ReportedDescriptor(stored, s, kMachine);
    size_t count = 0;
    const Operation* ops = OperationsOf(s, count);
    for (int k = 0; k < 10; ++k) {
      const Caller c = random.Someone();
      const ACCESS_MASK granted = Granted(reported, c);
      for (size_t i = 0; i < count; ++i) {
        // A directory's search is bypassed by the right to add: only traverse itself counts.
        const bool search = s.directory && ops[i].want == 1;
        const bool granted_here = search ? (granted & FILE_TRAVERSE) != 0 : ops[i].granted(granted);
        ASSERT_TRUE(!granted_here || KernelAllows(s, c, ops[i].want))
            << ops[i].name << " by uid " << c.uid << " on " << Describe(s) << ": " << Sddl(stored)
            << " reported as " << Sddl(reported);
      }
    }
  }
}

TEST(posix_mapping, HostIdsAndTheirSids) {
  const struct {
    const wchar_t* sid;
    bool group;
    std::uint32_t id;
  } ids[] = {
      {L"S-1-5-21-1-2-3-1000", false, 0},
      {L"S-1-5-21-1-2-3-1001", true, 0},
      {L"S-1-5-21-1-2-3-3000", false, 1000},
      {L"S-1-5-21-1-2-3-132069", true, 65534},
      {L"S-1-5-21-1-2-3-4294967294", false, 2147483147},
      {L"S-1-22-1-4294967294", false, 4294967294u},
      {L"S-1-22-2-4294967295", true, 4294967295u},
  };
  for (const auto& c : ids) {
    SCOPED_TRACE(standin::WideToUtf8(c.sid));
    const SidValue sid = *SidValue::Parse(c.sid);
    const auto id = standin::HostIdOf(kMachine, sid);
    ASSERT_TRUE(id);
    EXPECT_EQ(id->group, c.group);
    EXPECT_EQ(id->id, c.id);
    EXPECT_EQ(
        c.group ? standin::HostGroupSid(kMachine, c.id) : standin::HostUserSid(kMachine, c.id),
        sid);
  }
  for (const wchar_t* other : {L"S-1-5-21-1-2-3-500", L"S-1-5-21-1-2-4-3000", L"S-1-5-32-544",
                               L"S-1-1-0", L"S-1-22-3-5", L"S-1-5-21-1-2-3"})
    EXPECT_FALSE(standin::HostIdOf(kMachine, *SidValue::Parse(other)))
        << standin::WideToUtf8(other);
}

// The process's denial follows the process's credentials from one read to the next in one
// thread: root is denied nothing, and the same thread, acting as nobody, is denied what the
// kernel refuses nobody, in nobody's own name, and only where the descriptor grants more than
// the state does.
TEST(posix_mapping, ProcessDenialFollowsTheCredentialsOfEachRead) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to act as nobody";
  PosixState open;
  open.uid = 1000;
  open.gid = 1000;
  open.permissions.owner = open.permissions.group = open.permissions.other = 6;
  PosixState closed = open;
  closed.permissions.group = closed.permissions.other = 0;
  const OwnedDescriptor sd = standin::DeriveDescriptor(open, kMachine);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (standin::ProcessDenial(sd, closed, kMachine))
      _exit(1);
    const gid_t nogroup = 65534;
    if (setgroups(1, &nogroup) != 0 || setegid(65534) != 0 || seteuid(65534) != 0)
      _exit(2);
    // Each read answers for its own descriptor and state, whatever the read before it weighed.
    const OwnedDescriptor narrow = standin::DeriveDescriptor(closed, kMachine);
    for (int round = 0; round < 2; ++round) {
      const auto denial = standin::ProcessDenial(sd, closed, kMachine);
      if (!denial)
        _exit(3);
      if (denial->sid != standin::HostUserSid(kMachine, 65534))
        _exit(4);
      if (standin::ProcessDenial(sd, open, kMachine) ||
          standin::ProcessDenial(narrow, closed, kMachine))
        _exit(5);
    }
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: root was denied; 2: could not act as nobody; "
                                       "3: nobody was denied nothing; 4: another account's denial; "
                                       "5: a denial where the descriptor or state allow none";
}

}  // namespace
