// End-to-end tests of `vortiss sd`: the host is run as a person runs it, on a profile machine
// and on the host mirror in a temporary directory.
#include <grp.h>
#include <pwd.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/host_process.h"

#include "platform/standin/core/security_descriptor.h"
#include "platform/standin/core/text.h"
#include "platform/standin/files/file_security_store.h"
#include "platform/standin/machine/machine.h"
#include "platform/standin/object_security/access_check.h"
#include "platform/standin/profile/host_ids.h"
#include "platform/standin/profile/profile.h"
#include "platform/win32.h"

namespace {

namespace fs = std::filesystem;

// What the host printed for a descriptor: Dump's lines, then the SDDL line's text.
struct Printed {
  std::vector<std::string> dump;
  std::string sddl;
};

Printed Parse(const std::string& out) {
  Printed printed;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("sddl: ", 0) == 0)
      printed.sddl = line.substr(6);
    else
      printed.dump.push_back(line);
  }
  return printed;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  if (at != std::string::npos)
    text.replace(at, from.size(), to);
  return text;
}

// Every file and key below has this DACL; the profile's user alice is an administrator, bob is
// not, and the SIDs of both are fixed by the machine SID.
constexpr const char* kProfile = R"json({
  "computer": "WS01",
  "machine_sid": "S-1-5-21-1-2-3",
  "user": "alice",
  "users": [{"name": "alice", "rid": 1004}, {"name": "bob", "rid": 1005}],
  "groups": {"Administrators": ["alice"]},
  "volumes": {"C:": {"path": "disk-c", "fs": "NTFS"}},
  "security": {
    "C:\\Data": "O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)",
    "C:\\Data\\report.txt": "O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)",
    "C:\\Locked": "O:SYD:PAI(A;OICI;FR;;;WD)"
  },
  "registry": {
    "HKLM\\Software\\Example": {
      "sddl": "O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)",
      "values": {
        "Launch": {"sddl": "O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)"},
        "Junk": {"hex": "0100ff"}
      }
    },
    "HKLM\\Software\\Locked": {"sddl": "O:SYD:PAI(A;;KR;;;WD)"}
  }
})json";

class HostSdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("vortiss-host-sd-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    registry_ = dir_ / "registry.db";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Runs the host with `args` on the host mirror, with the registry in this test's directory.
  HostRun Run(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {VORTISS_HOST};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(
        argv, {"VORTISS_MACHINE", "VORTISS_DEBUG_LOG", "VORTISS_REGISTRY=" + registry_.string()},
        dir_);
  }

  // As Run, on the machine of kProfile, whose C: is a folder of this test's directory.
  HostRun RunOnProfile(std::vector<std::string> args) {
    const fs::path profile = dir_ / "machine.json";
    if (!fs::exists(profile)) {
      fs::create_directories(dir_ / "disk-c" / "Data");
      fs::create_directories(dir_ / "disk-c" / "Locked");
      std::ofstream(dir_ / "disk-c" / "Data" / "report.txt") << "figures";
      std::ofstream(profile) << kProfile;
    }
    args.insert(args.begin(), {"--machine", profile.string()});
    return Run(args);
  }

  // Stores `sddl` as a descriptor in the value `name` of HKCU\`subkey` in this test's host
  // mirror registry, through the stand-in in this process.
  void StoreDescriptorValue(const std::wstring& subkey,
                            const std::wstring& name,
                            const std::wstring& sddl) {
    setenv("VORTISS_REGISTRY", registry_.c_str(), 1);
    standin::InstallMachine(standin::HostMirrorDescription());
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ULONG length = 0;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                     &descriptor, &length));
    EXPECT_EQ(RegSetValueExW(key, name.c_str(), 0, REG_BINARY, static_cast<const BYTE*>(descriptor),
                             length),
              ERROR_SUCCESS);
    LocalFree(descriptor);
    RegCloseKey(key);
    standin::UninstallMachine();
  }

  fs::path dir_;
  fs::path registry_;
};

// The edits build the same descriptor from the same model whatever holds it; show prints the
// object's own descriptor, which for files and keys carries no group (neither class reads it).
TEST_F(HostSdTest, ProfileMachineShowsAndEditsEveryKindOfTarget) {
  struct Target {
    std::vector<std::string> args;
    const char* shown_sddl;
  };
  const Target targets[] = {
      {{"C:\\Data\\report.txt"}, "O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)"},
      {{"C:\\Data"}, "O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)"},
      {{"--key", "HKLM\\Software\\Example"}, "O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)"},
      {{"--value", "HKEY_LOCAL_MACHINE\\Software\\Example", "Launch"},
       "O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)"},
  };
  struct Edit {
    std::vector<std::string> verb;
    std::vector<std::string> dump;
    const char* sddl;
  };
  const std::string owner = "\t\tOwner: BUILTIN\\Administrators";
  const std::string admins = "\t\tAccess granted to: BUILTIN\\Administrators";
  const std::string users = "\t\tAccess granted to: BUILTIN\\Users";
  const Edit edits[] = {
      {{"grant", "bob", "FR"},
       {owner, admins, users, "\t\tAccess granted to: WS01\\bob"},
       "O:BAG:SYD:(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)(A;OICI;FR;;;S-1-5-21-1-2-3-1005)"},
      {{"deny", "WS01\\bob", "FW"},
       {owner, "\t\tAccess denied to: WS01\\bob", admins, users},
       "O:BAG:SYD:(D;OICI;FW;;;S-1-5-21-1-2-3-1005)(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)"},
      {{"grant", "Users", "0x1f01ff"},
       {owner, admins, users},
       "O:BAG:SYD:(A;OICI;FA;;;BA)(A;OICI;FA;;;BU)"},
      {{"revoke", "BUILTIN\\Users"}, {owner, admins}, "O:BAG:SYD:(A;OICI;FA;;;BA)"},
      {{"owner", "alice"},
       {"\t\tOwner: WS01\\alice", admins, users},
       "O:S-1-5-21-1-2-3-1004G:SYD:(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)"},
  };

  for (const Target& target : targets) {
    std::vector<std::string> show = {"sd", "show"};
    show.insert(show.end(), target.args.begin(), target.args.end());
    const HostRun shown = RunOnProfile(show);
    EXPECT_EQ(shown.status, 0) << target.args[0] << ": " << shown.err;
    EXPECT_EQ(Parse(shown.out).dump, (std::vector<std::string>{owner, admins, users}));
    EXPECT_EQ(Parse(shown.out).sddl, target.shown_sddl) << target.args[0];
    EXPECT_EQ(shown.err, "");

    for (const Edit& edit : edits) {
      std::vector<std::string> args = {"sd", edit.verb[0]};
      args.insert(args.end(), target.args.begin(), target.args.end());
      args.insert(args.end(), edit.verb.begin() + 1, edit.verb.end());
      const HostRun run = RunOnProfile(args);
      const std::string what = target.args[0] + " " + edit.verb[0] + " " + edit.verb[1];
      EXPECT_EQ(run.status, 0) << what << ": " << run.err;
      EXPECT_EQ(Parse(run.out).dump, edit.dump) << what;
      EXPECT_EQ(Parse(run.out).sddl, edit.sddl) << what;
      EXPECT_EQ(run.err, "") << what;
    }
    // A profile machine's edits last for its run only.
    EXPECT_EQ(RunOnProfile(show).out, shown.out) << target.args[0];
  }
}

TEST_F(HostSdTest, RightsAreNumbersOrSddlLetters) {
  struct Case {
    const char* rights;
    const char* entry;
  };
  for (const Case& c : {
           Case{"FR", "(A;OICI;FR;;;WD)"},
           Case{"0x120089", "(A;OICI;FR;;;WD)"},
           Case{"0X120089", "(A;OICI;FR;;;WD)"},
           Case{"1179785", "(A;OICI;FR;;;WD)"},
           Case{"KA", "(A;OICI;KA;;;WD)"},
           Case{"GRGW", "(A;OICI;GWGR;;;WD)"},
           Case{"RCWDWO", "(A;OICI;RCWDWO;;;WD)"},
           Case{"4294967295", "(A;OICI;0xffffffff;;;WD)"},
           Case{"0x0000001", "(A;OICI;CC;;;WD)"},
       }) {
    const HostRun run = RunOnProfile(
        {"sd", "grant", "--value", "HKLM\\Software\\Example", "Launch", "Everyone", c.rights});
    EXPECT_EQ(run.status, 0) << c.rights << ": " << run.err;
    EXPECT_NE(Parse(run.out).sddl.find(c.entry), std::string::npos) << c.rights << ": " << run.out;
  }
}

TEST_F(HostSdTest, BadRightsFailBeforeAnythingIsRead) {
  for (const char* rights :
       {"", "F", "FQ", "fa", "FAX", " FA", "0x", "0x100000000", "4294967296", "12a", "0xFG"}) {
    // The target does not exist: the rights are refused before it is looked at.
    const HostRun run = RunOnProfile({"sd", "grant", "C:\\Absent", "Everyone", rights});
    EXPECT_EQ(run.status, 1) << "'" << rights << "'";
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, std::string("vortiss: bad rights '") + rights +
                           "': error 87: The parameter is incorrect.\n");
  }
}

TEST_F(HostSdTest, UnreadableTargetsNameTheTargetAndThePlatformsError) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  for (const Case& c : {
           Case{{"show", "C:\\Data\\absent.txt"},
                "vortiss: cannot read the descriptor of 'C:\\Data\\absent.txt': error 2: The "
                "system cannot find the file specified."},
           Case{{"grant", "Q:\\x", "Everyone", "FR"},
                "vortiss: cannot read the descriptor of 'Q:\\x': error 3: The system cannot "
                "find the path specified."},
           Case{{"revoke", "--key", "HKLM\\Software\\Absent", "Everyone"},
                "vortiss: cannot read the descriptor of 'HKLM\\Software\\Absent': error 2: The "
                "system cannot find the file specified."},
           Case{{"show", "--value", "HKLM\\Software\\Example", "Absent"},
                "vortiss: cannot read the descriptor of 'HKLM\\Software\\Example' value "
                "'Absent': error 2: The system cannot find the file specified."},
           Case{{"owner", "--value", "HKLM\\Software\\Example", "Junk", "alice"},
                "vortiss: cannot read the descriptor of 'HKLM\\Software\\Example' value 'Junk': "
                "error 1338: The security descriptor structure is invalid."},
       }) {
    std::vector<std::string> args = {"sd"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const HostRun run = RunOnProfile(args);
    EXPECT_EQ(run.status, 1) << c.message;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, std::string(c.message) + "\n");
  }
}

TEST_F(HostSdTest, RefusedWritesReportThePlatformsError) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  for (const Case& c : {
           Case{{"grant", "C:\\Locked", "alice", "FA"},
                "vortiss: cannot write the descriptor of 'C:\\Locked': error 5: Access is "
                "denied."},
           Case{{"deny", "--key", "HKLM\\Software\\Locked", "Guests", "KW"},
                "vortiss: cannot write the descriptor of 'HKLM\\Software\\Locked': error 5: "
                "Access is denied."},
           // An administrator may take ownership for itself, not give it to another user.
           Case{{"owner", "C:\\Data\\report.txt", "bob"},
                "vortiss: cannot write the owner of 'C:\\Data\\report.txt': error 1307: This "
                "security ID may not be assigned as the owner of this object."},
           Case{{"owner", "--key", "HKLM\\Software\\Example", "bob"},
                "vortiss: cannot write the descriptor of 'HKLM\\Software\\Example': error 1307: "
                "This security ID may not be assigned as the owner of this object."},
       }) {
    std::vector<std::string> args = {"sd"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const HostRun run = RunOnProfile(args);
    EXPECT_EQ(run.status, 1) << c.message;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, std::string(c.message) + "\n");
  }
}

TEST_F(HostSdTest, UsageErrors) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"sd"},
           {"sd", "frobnicate", "x"},
           {"sd", "show"},
           {"sd", "show", "a", "b"},
           {"sd", "grant", "C:\\Data", "Everyone"},
           {"sd", "revoke", "--key", "HKLM\\Software\\Example"},
           {"sd", "owner", "--key", "HKLM\\Software\\Example", "alice", "bob"},
           {"sd", "show", "--key", "HKXX\\Software"},
           {"sd", "show", "--key", "HKLM"},
           {"sd", "show", "--key", "HKLM\\"},
           {"sd", "show", "--value", "HKLM\\Software\\Example"},
           {"sd", "show", "--key", "HKLM\\Software", "--value", "HKLM\\Software", "x"},
           {"sd", "show", "--no-inherit", "C:\\Data"},
       }) {
    const HostRun run = RunOnProfile(args);
    std::string joined;
    for (const auto& a : args)
      joined += a + " ";
    EXPECT_EQ(run.status, 2) << joined;
    EXPECT_EQ(run.out, "") << joined;
    EXPECT_FALSE(run.err.empty()) << joined;
  }
}

// On the host mirror, a failed lookup stops every edit before the object is written.
TEST_F(HostSdTest, UnresolvableAccountChangesNothing) {
  const fs::path file = dir_ / "notes.txt";
  std::ofstream(file) << "x";
  StoreDescriptorValue(L"Software\\VortissSd", L"Guard", L"O:BAG:SYD:(A;;FA;;;BA)");
  const std::vector<std::vector<std::string>> targets = {
      {file.string()},
      {"--key", "HKCU\\Software\\VortissSd"},
      {"--value", "HKCU\\Software\\VortissSd", "Guard"}};
  for (const auto& target : targets) {
    std::vector<std::string> show = {"sd", "show"};
    show.insert(show.end(), target.begin(), target.end());
    const HostRun before = Run(show);
    ASSERT_EQ(before.status, 0) << before.err;
    for (const auto& verb : std::vector<std::vector<std::string>>{
             {"grant", "FR"}, {"deny", "FW"}, {"revoke"}, {"owner"}}) {
      std::vector<std::string> args = {"sd", verb[0]};
      args.insert(args.end(), target.begin(), target.end());
      args.push_back("no-such-account");
      args.insert(args.end(), verb.begin() + 1, verb.end());
      const HostRun run = Run(args);
      EXPECT_EQ(run.status, 1) << verb[0] << " " << target[0];
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(run.err,
                "vortiss: cannot resolve account 'no-such-account': error 1332: No mapping "
                "between account names and security IDs was done.\n");
    }
    EXPECT_EQ(Run(show).out, before.out) << target[0];
  }
}

// Show after an edit prints what the edit printed; for a file or key, without the group the
// object's own descriptor lacks, and with the DACL marked protected by --no-inherit.
TEST_F(HostSdTest, HostMirrorEditsPersistAndShowPrintsWhatTheEditPrinted) {
  const fs::path file = dir_ / "plan.txt";
  std::ofstream(file) << "x";
  StoreDescriptorValue(L"Software\\VortissSd", L"Launch", L"O:BAG:SYD:(A;;FA;;;BA)(A;;FR;;;BU)");
  struct Target {
    std::vector<std::string> args;
    bool whole_descriptor;  // the value keeps the group, and has no inheritance
  };
  const Target targets[] = {{{file.string()}, false},
                            {{"--key", "HKCU\\Software\\VortissSd"}, false},
                            {{"--value", "HKCU\\Software\\VortissSd", "Launch"}, true}};
  const std::vector<std::vector<std::string>> edits = {{"grant", "Guests", "FR"},
                                                       {"deny", "Guests", "FW"},
                                                       {"grant", "Everyone", "0x20019"},
                                                       {"revoke", "Guests"},
                                                       {"owner", "Administrators"}};
  for (const Target& target : targets) {
    std::vector<std::string> show = {"sd", "show"};
    show.insert(show.end(), target.args.begin(), target.args.end());
    for (const auto& edit : edits) {
      std::vector<std::string> args = {"sd", edit[0], "--no-inherit"};
      args.insert(args.end(), target.args.begin(), target.args.end());
      args.insert(args.end(), edit.begin() + 1, edit.end());
      const HostRun edited = Run(args);
      const std::string what = edit[0] + " " + edit[1] + " on " + target.args.back();
      // On the host only root gives a file or key to another owner.
      if (edit[0] == "owner" && !target.whole_descriptor && ::geteuid() != 0) {
        EXPECT_NE(edited.err.find("error 1307"), std::string::npos) << what << ": " << edited.err;
        continue;
      }
      ASSERT_EQ(edited.status, 0) << what << ": " << edited.err;
      const HostRun shown = Run(show);
      ASSERT_EQ(shown.status, 0) << what << ": " << shown.err;
      EXPECT_EQ(Parse(shown.out).dump, Parse(edited.out).dump) << what;
      const std::string built = Parse(edited.out).sddl;
      EXPECT_EQ(Parse(shown.out).sddl, target.whole_descriptor
                                           ? built
                                           : Replace(Replace(built, "G:SY", ""), "D:", "D:PAI"))
          << what;
    }
    const Printed last = Parse(Run(show).out);
    if (target.whole_descriptor || ::geteuid() == 0) {
      EXPECT_EQ(last.dump.front(), "\t\tOwner: BUILTIN\\Administrators") << target.args.back();
    }
    EXPECT_NE(last.sddl.find("(A;OICI;KR;;;WD)"), std::string::npos) << last.sddl;
    EXPECT_EQ(last.sddl.find(";BG)"), std::string::npos) << last.sddl;
  }
}

// A directory's grant reaches what it holds, and so does its revocation.
TEST_F(HostSdTest, HostMirrorDirectoryPassesItsEntriesOn) {
  const fs::path folder = dir_ / "shared";
  fs::create_directories(folder / "inner");
  std::ofstream(folder / "top.txt") << "x";
  std::ofstream(folder / "inner" / "deep.txt") << "x";
  const std::string guests = "\t\tAccess granted to: BUILTIN\\Guests";
  const auto holds_guests = [&](const fs::path& path) {
    const HostRun run = Run({"sd", "show", path.string()});
    EXPECT_EQ(run.status, 0) << path << ": " << run.err;
    const Printed printed = Parse(run.out);
    const bool listed =
        std::find(printed.dump.begin(), printed.dump.end(), guests) != printed.dump.end();
    EXPECT_EQ(listed, printed.sddl.find(";FR;;;BG)") != std::string::npos) << printed.sddl;
    return listed;
  };
  ASSERT_FALSE(holds_guests(folder / "top.txt"));

  const HostRun granted = Run({"sd", "grant", folder.string(), "Guests", "FR"});
  ASSERT_EQ(granted.status, 0) << granted.err;
  EXPECT_NE(Parse(granted.out).sddl.find("(A;OICI;FR;;;BG)"), std::string::npos);
  EXPECT_TRUE(holds_guests(folder / "top.txt"));
  EXPECT_TRUE(holds_guests(folder / "inner"));
  EXPECT_TRUE(holds_guests(folder / "inner" / "deep.txt"));
  const HostRun entry = Run({"sd", "show", (folder / "inner" / "deep.txt").string()});
  EXPECT_NE(Parse(entry.out).sddl.find("(A;ID;FR;;;BG)"), std::string::npos) << entry.out;

  const HostRun revoked = Run({"sd", "revoke", folder.string(), "Guests"});
  ASSERT_EQ(revoked.status, 0) << revoked.err;
  EXPECT_FALSE(holds_guests(folder / "top.txt"));
  EXPECT_FALSE(holds_guests(folder / "inner" / "deep.txt"));
}

// The name the host mirror gives a host user or group, as a lookup by SID reports it.
std::string HostAccountName(bool group, unsigned id) {
  standin::InstallMachine(standin::HostMirrorDescription());
  const standin::SidValue machine = standin::CurrentMachine()->accounts().machine_sid();
  const standin::SidValue sid =
      group ? standin::HostGroupSid(machine, id) : standin::HostUserSid(machine, id);
  wchar_t name[256], domain[256];
  DWORD name_size = 256, domain_size = 256;
  SID_NAME_USE use;
  const bool found = LookupAccountSidW(nullptr, const_cast<BYTE*>(sid.data()), name, &name_size,
                                       domain, &domain_size, &use);
  standin::UninstallMachine();
  return found ? standin::WideToUtf8(std::wstring(domain) + L"\\" + name) : std::string();
}

// Whether the descriptor stored beside `path` lets `caller` add a file, as the platform's
// access check decides on it; nullopt when none is stored.
std::optional<bool> StoredLetsCreate(const fs::path& path, const PosixCaller& caller) {
  std::vector<BYTE> bytes(65536);
  const ssize_t size =
      ::getxattr(path.c_str(), standin::kDescriptorAttribute, bytes.data(), bytes.size());
  standin::DescriptorParts parts;
  if (size <= 0 || standin::ReadSelfRelative(bytes.data(), static_cast<size_t>(size), parts))
    return std::nullopt;
  standin::InstallMachine(standin::HostMirrorDescription());
  const standin::SidValue machine = standin::CurrentMachine()->accounts().machine_sid();
  standin::UninstallMachine();
  standin::TokenData token;
  token.user = standin::HostUserSid(machine, caller.uid);
  constexpr DWORD kEnabled = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
  std::vector<standin::SidValue> groups = {
      standin::SidValue(1, {0}), standin::SidValue(5, {4}), standin::SidValue(5, {11}),
      standin::SidValue(5, {32, 545}), standin::HostGroupSid(machine, caller.gid)};
  for (const unsigned g : caller.groups)
    groups.push_back(standin::HostGroupSid(machine, g));
  for (const auto& sid : groups)
    token.groups.emplace_back(sid, kEnabled);
  ACCESS_MASK granted = 0;
  return standin::EvaluateAccess(parts, token, FILE_ADD_FILE, standin::kFileGenericMapping,
                                 granted) == ERROR_SUCCESS;
}

bool Edited(const fs::path& path) {
  return ::getxattr(path.c_str(), standin::kDescriptorAttribute, nullptr, 0) > 0;
}

// A grant on the host is the kernel's: the user it names can create files, and after the
// revocation cannot. The kernel is asked directly, not Vortiss.
TEST_F(HostSdTest, GrantAndRevokeReachTheKernel) {
  if (const std::string why = WhyNotAsOtherUsers(); !why.empty())
    GTEST_SKIP() << why;
  const passwd* nobody = getpwnam("nobody");
  if (!nobody)
    GTEST_SKIP() << "needs the user nobody";
  const PosixCaller bob{nobody->pw_uid, nobody->pw_gid, {}};
  const fs::path folder = dir_ / "shared";
  fs::create_directories(folder);
  fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
  // A grant to bob himself, and one to Everyone, which the kernel once knew nothing of.
  for (const char* account : {"nobody", "Everyone"}) {
    ASSERT_FALSE(KernelLetsCreate(bob, folder, dir_)) << account;
    const HostRun granted = Run({"sd", "grant", folder.string(), account, "FW"});
    ASSERT_EQ(granted.status, 0) << granted.err;
    EXPECT_TRUE(KernelLetsCreate(bob, folder, dir_)) << account;
    const HostRun revoked = Run({"sd", "revoke", folder.string(), account});
    ASSERT_EQ(revoked.status, 0) << revoked.err;
    EXPECT_FALSE(KernelLetsCreate(bob, folder, dir_)) << account;
  }
}

// Random sequences of edits by root, for a population of callers: the kernel never lets a
// caller create a file where the access check on the stored descriptor refuses it, and the
// access check of the library answers as the kernel does. Sequences of plain grants give what
// they grant: a user named by a grant, and a member of a group named by one, can create files.
TEST_F(HostSdTest, RandomEditsNeverGrantMoreThanTheStoredDescriptor) {
  if (const std::string why = WhyNotAsOtherUsers(); !why.empty())
    GTEST_SKIP() << why;
  std::vector<passwd> user_copies;
  for (const char* name : {"daemon", "bin", "sys", "nobody"}) {
    if (const passwd* pw = getpwnam(name))
      user_copies.push_back(*pw);
  }
  std::vector<unsigned> groups;
  for (const char* name : {"adm", "tty", "disk", "users"}) {
    if (const group* gr = getgrnam(name))
      groups.push_back(gr->gr_gid);
  }
  if (user_copies.size() < 3 || groups.size() < 3)
    GTEST_SKIP() << "needs three of daemon, bin, sys, nobody and of adm, tty, disk, users";
  fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  std::vector<PosixCaller> callers;
  std::vector<std::string> user_names, group_names;
  for (size_t i = 0; i < user_copies.size(); ++i) {
    PosixCaller c{user_copies[i].pw_uid, user_copies[i].pw_gid, {}};
    for (size_t g = 0; g < groups.size(); ++g) {
      if ((i + g) % 2 == 0)
        c.groups.push_back(groups[g]);
    }
    callers.push_back(c);
    user_names.push_back(HostAccountName(false, c.uid));
  }
  for (const unsigned g : groups)
    group_names.push_back(HostAccountName(true, g));

  std::mt19937 random(1208);
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); };
  const char* rights[] = {"FR", "FW", "FA", "FRFX", "0x3"};
  int checked = 0, kernel_yes = 0, stored_yes = 0;
  for (int sequence = 0; sequence < 14; ++sequence) {
    const bool plain = sequence % 2 == 1;
    const fs::path folder = dir_ / ("folder" + std::to_string(sequence));
    fs::create_directories(folder);
    fs::permissions(folder, plain ? fs::perms::owner_all | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read |
                                        fs::perms::others_exec
                                  : static_cast<fs::perms>(pick(01000)));
    struct Grant {
      bool group;
      size_t index;
      bool adds;
    };
    std::vector<Grant> grants;
    for (int step = 0; step < 5; ++step) {
      const size_t verb = plain ? 0 : pick(4);
      const bool group = verb != 3 && pick(2) == 1;
      const size_t index = pick(group ? group_names.size() : user_names.size());
      const std::string account = group ? group_names[index] : user_names[index];
      std::vector<std::string> args = {"sd", "grant", folder.string(), account};
      const char* right = rights[pick(std::size(rights))];
      if (verb == 0) {
        args.push_back(right);
        grants.push_back({group, index, std::string(right) == "FW" || std::string(right) == "FA"});
      } else if (verb == 1) {
        args[1] = "deny";
        args.push_back(right);
      } else {
        args[1] = verb == 2 ? "revoke" : "owner";
      }
      const HostRun edit = Run(args);
      ASSERT_EQ(edit.status, 0) << args[1] << " " << account << ": " << edit.err;
      for (const PosixCaller& c : callers) {
        const bool kernel = KernelLetsCreate(c, folder, dir_);
        const auto stored = StoredLetsCreate(folder, c);
        ASSERT_TRUE(stored) << "no stored descriptor after " << args[1];
        ASSERT_FALSE(kernel && !*stored) << "uid " << c.uid << " creates in " << folder << " after "
                                         << args[1] << " " << account;
        const HostRun answer = RunProcess(
            [&] {
              std::vector<std::string> argv = AsCaller(c);
              argv.insert(argv.end(), {VORTISS_HOST, "access", folder.string() + "/"});
              return argv;
            }(),
            {"VORTISS_MACHINE", "VORTISS_DEBUG_LOG"}, dir_);
        EXPECT_EQ(answer.status, kernel ? 0 : 1) << "uid " << c.uid << " after " << args[1];
        ++checked;
        kernel_yes += kernel;
        stored_yes += *stored;
      }
    }
    if (!plain)
      continue;
    // The owner of a fresh directory is root, so each grantee below is a named user or a member
    // of a named group.
    for (const Grant& g : grants) {
      if (!g.adds)
        continue;
      for (size_t i = 0; i < callers.size(); ++i) {
        const PosixCaller& c = callers[i];
        const bool named_user = std::any_of(
            grants.begin(), grants.end(), [&](const Grant& o) { return !o.group && o.index == i; });
        const bool member =
            g.group && (c.gid == groups[g.index] || std::find(c.groups.begin(), c.groups.end(),
                                                              groups[g.index]) != c.groups.end());
        if ((!g.group && g.index == i) || (member && !named_user)) {
          EXPECT_TRUE(KernelLetsCreate(c, folder, dir_))
              << "uid " << c.uid << " after a grant to "
              << (g.group ? group_names[g.index] : user_names[g.index]);
        }
      }
    }
  }
  std::cout << "[ edits    ] " << checked << " checks after " << 14 * 5
            << " edits: the stored descriptor let " << stored_yes << " create, the kernel "
            << kernel_yes << std::endl;
}

// Only the owner or root changes a descriptor, and only root gives ownership away.
TEST_F(HostSdTest, OnlyTheOwnerEditsAndOnlyRootGivesAway) {
  if (const std::string why = WhyNotAsOtherUsers(); !why.empty())
    GTEST_SKIP() << why;
  const passwd* nobody = getpwnam("nobody");
  if (!nobody)
    GTEST_SKIP() << "needs the user nobody";
  fs::permissions(dir_, fs::perms::all);
  const fs::path roots = dir_ / "roots.txt";
  const fs::path own = dir_ / "own.txt";
  std::ofstream(roots) << "x";
  std::ofstream(own) << "x";
  fs::permissions(roots, static_cast<fs::perms>(0666));
  ASSERT_EQ(::chown(own.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  // An owner may edit what it may not write, as it may chmod it.
  const fs::path read_only = dir_ / "read-only.txt";
  std::ofstream(read_only) << "x";
  fs::permissions(read_only, static_cast<fs::perms>(0444));
  ASSERT_EQ(::chown(read_only.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  const PosixCaller as_nobody{nobody->pw_uid, nobody->pw_gid, {}};
  struct Case {
    fs::path file;
    std::vector<std::string> verb;
    int status;
    const char* error;
  };
  const Case cases[] = {
      {roots, {"grant", "nobody", "FA"}, 1, "error 5: Access is denied."},
      {roots, {"owner", "nobody"}, 1, "error 5: Access is denied."},
      {own, {"owner", "root"}, 1, "error 1307: This security ID may not be assigned"},
      {own, {"grant", "nobody", "FA"}, 0, ""},
      {read_only, {"grant", "Guests", "FR"}, 0, ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = AsCaller(as_nobody);
    argv.insert(argv.end(), {VORTISS_HOST, "sd", c.verb[0], c.file.string()});
    argv.insert(argv.end(), c.verb.begin() + 1, c.verb.end());
    const HostRun run = RunProcess(argv, {"VORTISS_MACHINE", "VORTISS_DEBUG_LOG"}, dir_);
    EXPECT_EQ(run.status, c.status) << c.verb[0] << " " << c.file << ": " << run.err;
    EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
  }
  EXPECT_FALSE(Edited(roots));
  EXPECT_TRUE(Edited(read_only));
  EXPECT_EQ(fs::status(read_only).permissions(), static_cast<fs::perms>(0444));
  struct stat st;
  ASSERT_EQ(::stat(own.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, nobody->pw_uid);
}

// A descriptor whose POSIX state changed outside Vortiss is derived afresh.
TEST_F(HostSdTest, StaleDescriptorsAreDerivedAfresh) {
  const fs::path file = dir_ / "plan.txt";
  std::ofstream(file) << "x";
  const HostRun granted = Run({"sd", "grant", file.string(), "Guests", "FR"});
  ASSERT_EQ(granted.status, 0) << granted.err;
  EXPECT_NE(Parse(Run({"sd", "show", file.string()}).out).sddl.find(";FR;;;BG)"),
            std::string::npos);
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
  const Printed derived = Parse(Run({"sd", "show", file.string()}).out);
  EXPECT_EQ(derived.sddl.find(";BG)"), std::string::npos) << derived.sddl;
  EXPECT_EQ(derived.sddl.find(";WD)"), std::string::npos) << derived.sddl;
}

// Names that are not UTF-8, names Windows cannot spell and paths through links each reach
// the entry they name, or are refused; never another.
TEST_F(HostSdTest, NamesAndPathsReachTheEntryTheyName) {
  for (const char* name :
       {"d\xff", "d\xef\xbf\xbd", "d\xfe", "file.", "file", "q/f", "t/sub", "t/f", "a/b"}) {
    fs::create_directories((dir_ / name).parent_path());
    std::ofstream(dir_ / name) << "x";
  }
  fs::remove(dir_ / "t/sub");
  fs::create_directories(dir_ / "t/sub");
  fs::create_directory_symlink(dir_ / "t/sub", dir_ / "q/link");
  struct Case {
    std::string given;
    std::string edited;  // empty: refused
    std::vector<std::string> untouched;
  };
  const Case cases[] = {
      {"d\xff", "d\xff", {"d\xef\xbf\xbd", "d\xfe"}},
      {"file.", "file.", {"file"}},
      {"q/link/../f", "t/f", {"q/f"}},
      {"a\\b", "", {"a/b"}},
  };
  for (const Case& c : cases) {
    const HostRun run = Run({"sd", "grant", (dir_ / c.given).string(), "Guests", "FR"});
    if (c.edited.empty()) {
      EXPECT_EQ(run.status, 2) << c.given;
      EXPECT_NE(run.err.find("Windows cannot spell a backslash in a name"), std::string::npos)
          << run.err;
    } else {
      EXPECT_EQ(run.status, 0) << c.given << ": " << run.err;
      EXPECT_TRUE(Edited(dir_ / c.edited)) << c.given;
    }
    for (const auto& other : c.untouched)
      EXPECT_FALSE(Edited(dir_ / other)) << c.given << " reached " << other;
  }
}

// Every host group resolves by its SID: a root-owned file names its group.
TEST_F(HostSdTest, HostGroupsResolveBySidAndName) {
  const fs::path file = dir_ / "owned.txt";
  std::ofstream(file) << "x";
  // The root group, named like the user root, where the file can be given to it.
  const gid_t gid = ::geteuid() == 0 ? 0 : ::getegid();
  ASSERT_EQ(::chown(file.c_str(), ::geteuid(), gid), 0);
  fs::permissions(file, static_cast<fs::perms>(0640));
  const HostRun shown = Run({"sd", "show", file.string()});
  ASSERT_EQ(shown.status, 0) << shown.err;
  EXPECT_EQ(shown.out.find("Unknown"), std::string::npos) << shown.out;
  const std::string group = HostAccountName(true, gid);
  ASSERT_FALSE(group.empty());
  EXPECT_NE(shown.out.find("Access granted to: " + group + "\n"), std::string::npos) << shown.out;
  // And by its name: an edit can name it.
  const HostRun edited = Run({"sd", "grant", file.string(), group, "FR"});
  EXPECT_EQ(edited.status, 0) << edited.err;
}

}  // namespace
