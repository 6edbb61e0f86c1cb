// Contract of the descriptor and ACL calls: the binary layouts, two-call sizing, the platform's
// error codes, and hostile self-relative descriptors refused without a read outside the buffer.
// The same source runs on the stand-in and, built for Windows, under Wine.
#include <cstring>
#include <cwchar>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/portable/platform_facts.h"

namespace {

using Bytes = std::vector<BYTE>;

using portable::AllBytesAre;
using portable::kSentinelError;

void PutWord(Bytes& b, size_t at, WORD v) {
  std::memcpy(&b[at], &v, 2);
}

void PutDword(Bytes& b, size_t at, DWORD v) {
  std::memcpy(&b[at], &v, 4);
}

// An entry of `type` for `sid`; `size` above the natural size pads the entry.
Bytes Ace(BYTE type, DWORD mask, const Bytes& sid, WORD size = 0) {
  Bytes ace(size ? size : 8 + sid.size(), 0);
  ace[0] = type;
  PutWord(ace, 2, static_cast<WORD>(ace.size()));
  PutDword(ace, 4, mask);
  std::memcpy(&ace[8], sid.data(), sid.size());
  return ace;
}

// An ACL of revision 2 holding `aces`; `size` above the natural size leaves room unused.
Bytes Acl(const std::vector<Bytes>& aces, WORD size = 0) {
  Bytes acl(8, 0);
  for (const auto& a : aces)
    acl.insert(acl.end(), a.begin(), a.end());
  if (size)
    acl.resize(size, 0);
  acl[0] = ACL_REVISION;
  PutWord(acl, 2, static_cast<WORD>(acl.size()));
  PutWord(acl, 4, static_cast<WORD>(aces.size()));
  return acl;
}

// A self-relative descriptor: header offsets as given, each part copied to its offset.
struct Part {
  DWORD offset;
  Bytes bytes;
};
Bytes Relative(WORD control,
               DWORD owner,
               DWORD group,
               DWORD sacl,
               DWORD dacl,
               const std::vector<Part>& parts) {
  Bytes sd(20, 0);
  for (const auto& p : parts) {
    if (sd.size() < p.offset + p.bytes.size())
      sd.resize(p.offset + p.bytes.size(), 0);
    std::memcpy(&sd[p.offset], p.bytes.data(), p.bytes.size());
  }
  sd[0] = SECURITY_DESCRIPTOR_REVISION;
  PutWord(sd, 2, static_cast<WORD>(control | SE_SELF_RELATIVE));
  PutDword(sd, 4, owner);
  PutDword(sd, 8, group);
  PutDword(sd, 12, sacl);
  PutDword(sd, 16, dacl);
  return sd;
}

const Bytes kAdmins = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};  // S-1-5-32-544
const Bytes kSystem = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};                 // S-1-5-18

// The base of the hostile table: DACL at 20 (one entry, 32 bytes), owner at 52, group at 68.
Bytes BaseDescriptor() {
  return Relative(SE_DACL_PRESENT, 52, 68, 0, 20,
                  {{20, Acl({Ace(ACCESS_ALLOWED_ACE_TYPE, FILE_ALL_ACCESS, kAdmins)})},
                   {52, kAdmins},
                   {68, kSystem}});
}

TEST(DescriptorContract, InitializeSecurityDescriptorChecksTheRevision) {
  SECURITY_DESCRIPTOR sd;
  std::memset(&sd, 0xcc, sizeof(sd));
  SetLastError(kSentinelError);
  EXPECT_FALSE(InitializeSecurityDescriptor(&sd, 2));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_REVISION));
  EXPECT_TRUE(AllBytesAre(&sd, sizeof(sd), 0xcc));

  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  EXPECT_EQ(sd.Revision, SECURITY_DESCRIPTOR_REVISION);
  EXPECT_EQ(sd.Control, 0);
  EXPECT_EQ(GetSecurityDescriptorLength(&sd), sizeof(SECURITY_DESCRIPTOR));
  EXPECT_EQ(sizeof(SECURITY_DESCRIPTOR), sizeof(void*) == 8 ? 40u : 20u);
}

TEST(DescriptorContract, PartsOfASelfRelativeDescriptorCannotBeSet) {
  SKIP_UNDER_WINE("SetSecurityDescriptorControl sets bits outside the bits of interest");
  Bytes sd = BaseDescriptor();
  const Bytes before = sd;
  BYTE acl_bytes[64];
  ASSERT_TRUE(InitializeAcl(reinterpret_cast<PACL>(acl_bytes), sizeof(acl_bytes), ACL_REVISION));
  Bytes sid = kSystem;
  const std::function<BOOL()> setters[] = {
      [&] { return SetSecurityDescriptorOwner(sd.data(), sid.data(), FALSE); },
      [&] { return SetSecurityDescriptorGroup(sd.data(), sid.data(), FALSE); },
      [&] {
        return SetSecurityDescriptorDacl(sd.data(), TRUE, reinterpret_cast<PACL>(acl_bytes), 0);
      },
      [&] { return SetSecurityDescriptorSacl(sd.data(), FALSE, nullptr, FALSE); },
  };
  for (const auto& set : setters) {
    SetLastError(kSentinelError);
    EXPECT_FALSE(set());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
  }
  EXPECT_EQ(sd, before);
  // The control word may change in either form.
  ASSERT_TRUE(SetSecurityDescriptorControl(sd.data(), SE_DACL_PROTECTED, SE_DACL_PROTECTED));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(sd.data(), &control, &revision));
  EXPECT_EQ(control, SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED);
  SetLastError(kSentinelError);
  EXPECT_FALSE(SetSecurityDescriptorControl(sd.data(), SE_SELF_RELATIVE, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(SetSecurityDescriptorControl(sd.data(), SE_DACL_PROTECTED, SE_SACL_PROTECTED));
}

struct AclSizeCase {
  DWORD length;
  DWORD revision;
  DWORD error;  // 0: accepted
  WORD recorded_size;
};

TEST(DescriptorContract, InitializeAclKeepsSizesWithinSixteenBits) {
  SKIP_UNDER_WINE("InitializeAcl records a size that is no multiple of 4");
  const AclSizeCase cases[] = {
      {7, ACL_REVISION, ERROR_INSUFFICIENT_BUFFER, 0},
      {65536, ACL_REVISION, ERROR_INVALID_PARAMETER, 0},
      {0xffffffff, ACL_REVISION, ERROR_INVALID_PARAMETER, 0},
      {64, 1, ERROR_INVALID_PARAMETER, 0},
      {64, 5, ERROR_INVALID_PARAMETER, 0},
      {8, ACL_REVISION, 0, 8},
      {63, 3, 0, 60},
      {64, ACL_REVISION_DS, 0, 64},
      {65535, ACL_REVISION, 0, 65532},
  };
  std::vector<BYTE> buffer(65536);
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "length " << c.length << " revision " << c.revision);
    std::fill(buffer.begin(), buffer.end(), 0xcc);
    auto* acl = reinterpret_cast<PACL>(buffer.data());
    SetLastError(kSentinelError);
    const BOOL ok = InitializeAcl(acl, c.length, c.revision);
    if (c.error) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(GetLastError(), c.error);
      EXPECT_TRUE(AllBytesAre(buffer.data(), 8, 0xcc));
      continue;
    }
    ASSERT_TRUE(ok);
    EXPECT_EQ(acl->AclRevision, c.revision);
    EXPECT_EQ(acl->AclSize, c.recorded_size);
    EXPECT_EQ(acl->AceCount, 0);
    EXPECT_TRUE(IsValidAcl(acl));
  }
}

TEST(DescriptorContract, AddAccessAceRefusesAndLeavesTheAclAlone) {
  SKIP_UNDER_WINE("the Add calls take audit flags on allow entries");
  alignas(4) BYTE buffer[8 + 24 + 20];  // room for one entry with a two-part SID
  auto* acl = reinterpret_cast<PACL>(buffer);
  ASSERT_TRUE(InitializeAcl(acl, sizeof(buffer), ACL_REVISION));
  Bytes admins = kAdmins;
  ASSERT_TRUE(
      AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE, FILE_ALL_ACCESS, admins.data()));
  const Bytes before(buffer, buffer + sizeof(buffer));

  Bytes bad_sid = kAdmins;
  bad_sid[0] = 2;
  struct Case {
    const char* name;
    std::function<BOOL()> call;
    DWORD error;
  };
  const Case cases[] = {
      {"no room", [&] { return AddAccessDeniedAce(acl, ACL_REVISION, 1, admins.data()); },
       ERROR_ALLOTTED_SPACE_EXCEEDED},
      {"bad SID", [&] { return AddAccessAllowedAce(acl, ACL_REVISION, 1, bad_sid.data()); },
       ERROR_INVALID_SID},
      {"revision 5", [&] { return AddAccessAllowedAce(acl, 5, 1, admins.data()); },
       ERROR_REVISION_MISMATCH},
      {"audit flags on an allow entry",
       [&] {
         return AddAccessAllowedAceEx(acl, ACL_REVISION, SUCCESSFUL_ACCESS_ACE_FLAG, 1,
                                      admins.data());
       },
       ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetLastError(kSentinelError);
    EXPECT_FALSE(c.call());
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(Bytes(buffer, buffer + sizeof(buffer)), before);
  }

  // A damaged ACL: its only entry claims more than the ACL holds.
  WORD huge = 200;
  std::memcpy(buffer + 8 + 2, &huge, 2);
  SetLastError(kSentinelError);
  EXPECT_FALSE(IsValidAcl(acl));
  EXPECT_EQ(GetLastError(), kSentinelError);
  EXPECT_FALSE(AddAccessDeniedAce(acl, ACL_REVISION, 1, admins.data()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACL));
}

TEST(DescriptorContract, AnAclHoldsAtMost4095Entries) {
  std::vector<BYTE> buffer(65535);
  auto* acl = reinterpret_cast<PACL>(buffer.data());
  ASSERT_TRUE(InitializeAcl(acl, 65535, ACL_REVISION));
  // The smallest entry: a SID without sub-authorities, 16 bytes in all.
  Bytes nt_authority = {1, 0, 0, 0, 0, 0, 0, 5};
  for (DWORD i = 0; i < 4095; ++i)
    ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, i, nt_authority.data())) << i;
  EXPECT_EQ(acl->AceCount, 4095);
  SetLastError(kSentinelError);
  EXPECT_FALSE(AddAccessDeniedAce(acl, ACL_REVISION, 1, nt_authority.data()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALLOTTED_SPACE_EXCEEDED));
  EXPECT_TRUE(IsValidAcl(acl));

  void* ace = nullptr;
  ASSERT_TRUE(GetAce(acl, 4094, &ace));
  EXPECT_EQ(static_cast<BYTE*>(ace), buffer.data() + 8 + 4094 * 16);
  EXPECT_EQ(static_cast<ACCESS_ALLOWED_ACE*>(ace)->Mask, 4094u);
  void* untouched = &buffer;
  SetLastError(kSentinelError);
  EXPECT_FALSE(GetAce(acl, 4095, &untouched));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(untouched, &buffer);
}

TEST(DescriptorContract, AddAceInsertsWholeEntriesAtTheIndex) {
  SKIP_UNDER_WINE("AddAce appends whatever the start index, and reports no room as 87");
  alignas(4) BYTE buffer[8 + 3 * 20];
  auto* acl = reinterpret_cast<PACL>(buffer);
  ASSERT_TRUE(InitializeAcl(acl, sizeof(buffer), ACL_REVISION));
  Bytes system = kSystem;
  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, 1, system.data()));
  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, 3, system.data()));
  Bytes entry = Ace(ACCESS_DENIED_ACE_TYPE, 2, kSystem);
  ASSERT_TRUE(AddAce(acl, ACL_REVISION, 1, entry.data(), static_cast<DWORD>(entry.size())));
  ASSERT_EQ(acl->AceCount, 3);
  const DWORD masks[] = {1, 2, 3};
  for (DWORD i = 0; i < 3; ++i) {
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(acl, i, &ace));
    EXPECT_EQ(static_cast<ACCESS_ALLOWED_ACE*>(ace)->Mask, masks[i]);
  }
  const Bytes full(buffer, buffer + sizeof(buffer));
  SetLastError(kSentinelError);
  EXPECT_FALSE(AddAce(acl, ACL_REVISION, 0xFFFFFFFF, entry.data(), 20));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  // An entry list whose entry claims more bytes than the list holds.
  EXPECT_FALSE(AddAce(acl, ACL_REVISION, 0, entry.data(), 16));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Bytes(buffer, buffer + sizeof(buffer)), full);
}

TEST(DescriptorContract, AddAceTakesAnyRevisionAndRaisesTheAclsToIt) {
  alignas(4) BYTE buffer[1024];
  auto* acl = reinterpret_cast<PACL>(buffer);
  ASSERT_TRUE(InitializeAcl(acl, sizeof(buffer), ACL_REVISION));
  const Bytes entry = Ace(ACCESS_ALLOWED_ACE_TYPE, 1, {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0});
  // Each entry revision in turn, and the ACL's revision after it: only ever raised.
  const std::pair<DWORD, BYTE> steps[] = {{1, 2}, {2, 2}, {3, 3}, {4, 4}, {1, 4}, {0, 4}, {5, 5}};
  for (const auto& [revision, after] : steps) {
    SCOPED_TRACE(::testing::Message() << "revision " << revision);
    SetLastError(kSentinelError);
    EXPECT_TRUE(AddAce(acl, revision, MAXDWORD, const_cast<BYTE*>(entry.data()),
                       static_cast<DWORD>(entry.size())));
    EXPECT_EQ(acl->AclRevision, after);
  }
  EXPECT_EQ(acl->AceCount, 7);
  // An ACL of revision 5 is no valid ACL: nothing more is added to it.
  SetLastError(kSentinelError);
  EXPECT_FALSE(AddAce(acl, ACL_REVISION, MAXDWORD, const_cast<BYTE*>(entry.data()),
                      static_cast<DWORD>(entry.size())));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(acl->AceCount, 7);
}

TEST(DescriptorContract, MakeSelfRelativeSDSizesAndLaysOutThePlatformOrder) {
  SKIP_UNDER_WINE(
      "MakeSelfRelativeSD writes owner and group first, and takes a self-relative input");
  SECURITY_DESCRIPTOR sd;
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  DWORD length = 0;
  SetLastError(kSentinelError);
  EXPECT_FALSE(MakeSelfRelativeSD(&sd, nullptr, &length));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(length, 20u);

  Bytes owner = kAdmins, group = kSystem;
  Bytes dacl = Acl({Ace(ACCESS_ALLOWED_ACE_TYPE, FILE_ALL_ACCESS, kAdmins)});
  Bytes sacl = Acl({Ace(SYSTEM_AUDIT_ACE_TYPE, FILE_ALL_ACCESS, kSystem)});
  ASSERT_TRUE(SetSecurityDescriptorOwner(&sd, owner.data(), FALSE));
  ASSERT_TRUE(SetSecurityDescriptorGroup(&sd, group.data(), TRUE));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, reinterpret_cast<PACL>(dacl.data()), FALSE));
  ASSERT_TRUE(SetSecurityDescriptorSacl(&sd, TRUE, reinterpret_cast<PACL>(sacl.data()), FALSE));
  const DWORD parts = 16 + 12 + 32 + 28;
  EXPECT_EQ(GetSecurityDescriptorLength(&sd), sizeof(SECURITY_DESCRIPTOR) + parts);

  length = 21;
  Bytes out(200, 0xcc);
  SetLastError(kSentinelError);
  EXPECT_FALSE(MakeSelfRelativeSD(&sd, out.data(), &length));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(length, 20 + parts);
  EXPECT_TRUE(AllBytesAre(out.data(), out.size(), 0xcc));

  length = 200;  // a larger length is left as given
  ASSERT_TRUE(MakeSelfRelativeSD(&sd, out.data(), &length));
  EXPECT_EQ(length, 200u);
  out.resize(20 + parts);
  // SACL, DACL, owner, group, each at the offset the header gives.
  const Bytes expected = Relative(SE_GROUP_DEFAULTED | SE_DACL_PRESENT | SE_SACL_PRESENT, 80, 96,
                                  20, 48, {{20, sacl}, {48, dacl}, {80, owner}, {96, group}});
  EXPECT_EQ(out, expected);
  EXPECT_EQ(GetSecurityDescriptorLength(out.data()), 20 + parts);

  DWORD again = 500;
  Bytes copy(500, 0xcc);
  SetLastError(kSentinelError);
  EXPECT_FALSE(MakeSelfRelativeSD(out.data(), copy.data(), &again));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_DESCRIPTOR_FORMAT));
  EXPECT_EQ(again, 500u);
}

TEST(DescriptorContract, MakeAbsoluteSDReportsEveryPartSize) {
  SKIP_UNDER_WINE("MakeAbsoluteSD's sizing call with null buffers faults");
  const Bytes relative = BaseDescriptor();
  SECURITY_DESCRIPTOR absolute;
  std::memset(&absolute, 0xcc, sizeof(absolute));
  DWORD sd_size = 0, dacl_size = 0, sacl_size = 0, owner_size = 0, group_size = 0;
  SetLastError(kSentinelError);
  EXPECT_FALSE(MakeAbsoluteSD(const_cast<BYTE*>(relative.data()), &absolute, &sd_size, nullptr,
                              &dacl_size, nullptr, &sacl_size, nullptr, &owner_size, nullptr,
                              &group_size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(sd_size, sizeof(SECURITY_DESCRIPTOR));
  EXPECT_EQ(dacl_size, 32u);
  EXPECT_EQ(sacl_size, 0u);
  EXPECT_EQ(owner_size, 16u);
  EXPECT_EQ(group_size, 12u);
  EXPECT_TRUE(AllBytesAre(&absolute, sizeof(absolute), 0xcc));

  // Room without a buffer would leave a present DACL null: refused.
  EXPECT_FALSE(MakeAbsoluteSD(const_cast<BYTE*>(relative.data()), &absolute, &sd_size, nullptr,
                              &dacl_size, nullptr, &sacl_size, nullptr, &owner_size, nullptr,
                              &group_size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(AllBytesAre(&absolute, sizeof(absolute), 0xcc));

  Bytes dacl(dacl_size), owner(owner_size), group(group_size);
  ASSERT_TRUE(MakeAbsoluteSD(const_cast<BYTE*>(relative.data()), &absolute, &sd_size,
                             reinterpret_cast<PACL>(dacl.data()), &dacl_size, nullptr, &sacl_size,
                             owner.data(), &owner_size, group.data(), &group_size));
  EXPECT_EQ(absolute.Control, SE_DACL_PRESENT);
  EXPECT_EQ(absolute.Owner, owner.data());
  EXPECT_EQ(absolute.Group, group.data());
  EXPECT_EQ(absolute.Dacl, reinterpret_cast<PACL>(dacl.data()));
  EXPECT_EQ(absolute.Sacl, nullptr);
  EXPECT_EQ(owner, kAdmins);
  EXPECT_EQ(GetSecurityDescriptorLength(&absolute), sizeof(SECURITY_DESCRIPTOR) + 60);

  // And back: the same bytes.
  Bytes back(relative.size());
  DWORD length = static_cast<DWORD>(back.size());
  ASSERT_TRUE(MakeSelfRelativeSD(&absolute, back.data(), &length));
  EXPECT_EQ(back, relative);
}

TEST(DescriptorContract, ANullDaclStaysNullAndCountsNothing) {
  // DACL present at offset 0: a null DACL, which grants everyone everything.
  const Bytes relative = Relative(SE_DACL_PRESENT, 20, 0, 0, 0, {{20, kSystem}});
  ASSERT_TRUE(IsValidSecurityDescriptor(const_cast<BYTE*>(relative.data())));
  EXPECT_EQ(GetSecurityDescriptorLength(const_cast<BYTE*>(relative.data())), 32u);
  BOOL present = FALSE, defaulted = TRUE;
  PACL dacl = reinterpret_cast<PACL>(&present);
  ASSERT_TRUE(
      GetSecurityDescriptorDacl(const_cast<BYTE*>(relative.data()), &present, &dacl, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_EQ(dacl, nullptr);
  EXPECT_FALSE(defaulted);

  SECURITY_DESCRIPTOR absolute;
  DWORD sd_size = sizeof(absolute), dacl_size = 0, sacl_size = 0, owner_size = 12, group_size = 0;
  Bytes owner(12);
  ASSERT_TRUE(MakeAbsoluteSD(const_cast<BYTE*>(relative.data()), &absolute, &sd_size, nullptr,
                             &dacl_size, nullptr, &sacl_size, owner.data(), &owner_size, nullptr,
                             &group_size));
  EXPECT_EQ(absolute.Control & SE_DACL_PRESENT, SE_DACL_PRESENT);
  EXPECT_EQ(absolute.Dacl, nullptr);
  Bytes back(32);
  DWORD length = 32;
  ASSERT_TRUE(MakeSelfRelativeSD(&absolute, back.data(), &length));
  EXPECT_EQ(back, relative);
}

struct Hostile {
  const char* name;
  std::function<void(Bytes&)> damage;
  // The calls without a length cannot see this damage: only the length-aware call is asked.
  bool needs_length;
  DWORD absolute_error;  // MakeAbsoluteSD's code
};

const Hostile kHostile[] = {
    {"shorter than the header", [](Bytes& b) { b.resize(19); }, true, 0},
    {"descriptor revision 2", [](Bytes& b) { b[0] = 2; }, false, ERROR_UNKNOWN_REVISION},
    {"owner offset below the header", [](Bytes& b) { PutDword(b, 4, 16); }, false,
     ERROR_INVALID_SECURITY_DESCR},
    {"owner offset not a multiple of 4", [](Bytes& b) { PutDword(b, 4, 54); }, false,
     ERROR_INVALID_SECURITY_DESCR},
    {"owner offset at the end", [](Bytes& b) { PutDword(b, 4, 80); }, true, 0},
    {"group running past the end", [](Bytes& b) { PutDword(b, 8, 76); }, true, 0},
    {"DACL running past the end", [](Bytes& b) { PutWord(b, 22, 64); }, true, 0},
    {"DACL offset past the end", [](Bytes& b) { PutDword(b, 16, 0x10000); }, true, 0},
    {"DACL on top of the owner", [](Bytes& b) { PutDword(b, 16, 52); }, false,
     ERROR_INVALID_SECURITY_DESCR},
    {"owner on top of the DACL", [](Bytes& b) { PutDword(b, 4, 20); }, false,
     ERROR_INVALID_SECURITY_DESCR},
    {"group inside the owner", [](Bytes& b) { PutDword(b, 8, 56); }, false,
     ERROR_INVALID_SECURITY_DESCR},
    {"owner with 16 sub-authorities", [](Bytes& b) { b[53] = 16; }, false,
     ERROR_INVALID_SECURITY_DESCR},
    {"owner of revision 2", [](Bytes& b) { b[52] = 2; }, false, ERROR_INVALID_SECURITY_DESCR},
    {"entry count larger than the ACL holds", [](Bytes& b) { PutWord(b, 24, 2); }, false,
     ERROR_INVALID_SECURITY_DESCR},
    {"entry size 0", [](Bytes& b) { PutWord(b, 30, 0); }, false, ERROR_INVALID_SECURITY_DESCR},
    {"entry size below the header", [](Bytes& b) { PutWord(b, 30, 2); }, false,
     ERROR_INVALID_SECURITY_DESCR},
    {"entry size not a multiple of 4",
     [](Bytes& b) {
       PutWord(b, 22, 36);  // room enough for the larger entry
       PutWord(b, 30, 26);
     },
     false, ERROR_INVALID_SECURITY_DESCR},
    {"entry too small for its SID", [](Bytes& b) { PutWord(b, 30, 20); }, false,
     ERROR_INVALID_SECURITY_DESCR},
    {"SID of revision 2 inside an entry", [](Bytes& b) { b[36] = 2; }, false,
     ERROR_INVALID_SECURITY_DESCR},
    {"SID of 16 sub-authorities inside an entry", [](Bytes& b) { b[37] = 16; }, false,
     ERROR_INVALID_SECURITY_DESCR},
    {"ACL size below 8", [](Bytes& b) { PutWord(b, 22, 4); }, false, ERROR_INVALID_SECURITY_DESCR},
    {"ACL size not a multiple of 4", [](Bytes& b) { PutWord(b, 22, 34); }, false,
     ERROR_INVALID_SECURITY_DESCR},
    {"ACL revision 1", [](Bytes& b) { b[20] = 1; }, false, ERROR_INVALID_SECURITY_DESCR},
    {"ACL revision 5", [](Bytes& b) { b[20] = 5; }, false, ERROR_INVALID_SECURITY_DESCR},
    {"SACL present at a bad offset",
     [](Bytes& b) {
       PutWord(b, 2, SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_SACL_PRESENT);
       PutDword(b, 12, 3);
     },
     false, ERROR_INVALID_SECURITY_DESCR},
};

TEST(DescriptorContract, HostileSelfRelativeDescriptorsAreRefused) {
  SKIP_UNDER_WINE("RtlValidRelativeSecurityDescriptor is a stub that accepts everything");
  ASSERT_TRUE(RtlValidRelativeSecurityDescriptor(BaseDescriptor().data(), 80, 0));
  for (const auto& c : kHostile) {
    SCOPED_TRACE(c.name);
    Bytes sd = BaseDescriptor();
    c.damage(sd);
    // An exact-size heap copy, so that any read past the end shows under the sanitizers.
    const auto held = std::make_unique<BYTE[]>(sd.size());
    std::memcpy(held.get(), sd.data(), sd.size());
    const auto length = static_cast<ULONG>(sd.size());

    SetLastError(kSentinelError);
    EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(held.get(), length, 0));
    EXPECT_EQ(GetLastError(), kSentinelError);  // an ntdll call leaves the last error
    if (c.needs_length)
      continue;

    SetLastError(kSentinelError);
    EXPECT_FALSE(IsValidSecurityDescriptor(held.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));

    SECURITY_DESCRIPTOR absolute;
    std::memset(&absolute, 0xcc, sizeof(absolute));
    Bytes part(256, 0xcc);
    DWORD sizes[5] = {sizeof(absolute), 256, 256, 256, 256};
    SetLastError(kSentinelError);
    EXPECT_FALSE(MakeAbsoluteSD(held.get(), &absolute, &sizes[0],
                                reinterpret_cast<PACL>(part.data()), &sizes[1], nullptr, &sizes[2],
                                part.data(), &sizes[3], part.data(), &sizes[4]));
    EXPECT_EQ(GetLastError(), c.absolute_error);
    EXPECT_TRUE(AllBytesAre(&absolute, sizeof(absolute), 0xcc));
    EXPECT_TRUE(AllBytesAre(part.data(), part.size(), 0xcc));

    // The owner's reader reads the header and the owner alone: it refuses a damaged one before
    // following its offset, and hands out a sound owner whatever the other parts hold.
    PSID owner = &absolute;
    BOOL defaulted = 7;
    const std::string name = c.name;
    const bool owner_damaged = name.rfind("owner", 0) == 0 || name == "descriptor revision 2";
    EXPECT_NE(GetSecurityDescriptorOwner(held.get(), &owner, &defaulted), owner_damaged);
    if (owner_damaged) {
      EXPECT_EQ(owner, &absolute);
      EXPECT_EQ(defaulted, 7);
    } else {
      EXPECT_EQ(static_cast<BYTE*>(owner), held.get() + 52);
    }
    EXPECT_EQ(GetSecurityDescriptorLength(held.get()), 0u);
    EXPECT_EQ(std::memcmp(held.get(), sd.data(), sd.size()), 0);
  }
}

TEST(DescriptorContract, DescriptorsWithoutTheSelfRelativeFlagAreNotReadAsOne) {
  SKIP_UNDER_WINE("RtlValidRelativeSecurityDescriptor is a stub that accepts everything");
  Bytes sd = BaseDescriptor();
  PutWord(sd, 2, SE_DACL_PRESENT);
  EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(sd.data(), static_cast<ULONG>(sd.size()), 0));
  DWORD sizes[5] = {0, 0, 0, 0, 0};
  SetLastError(kSentinelError);
  EXPECT_FALSE(MakeAbsoluteSD(sd.data(), nullptr, &sizes[0], nullptr, &sizes[1], nullptr, &sizes[2],
                              nullptr, &sizes[3], nullptr, &sizes[4]));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_DESCRIPTOR_FORMAT));
  EXPECT_EQ(sizes[0], 0u);
}

TEST(DescriptorContract, UnusualButValidDescriptorsAreAccepted) {
  SKIP_UNDER_WINE("RtlValidRelativeSecurityDescriptor is a stub that accepts everything");
  const Bytes padded_entry = Ace(ACCESS_ALLOWED_ACE_TYPE, 1, kAdmins, 28);
  struct Case {
    const char* name;
    Bytes sd;
  };
  const Case cases[] = {
      {"padded entry: always advance by the entry size",
       Relative(SE_DACL_PRESENT, 0, 0, 0, 20,
                {{20, Acl({padded_entry, Ace(ACCESS_DENIED_ACE_TYPE, 2, kSystem)})}})},
      {"ACL with unused room",
       Relative(SE_DACL_PRESENT, 0, 0, 0, 20,
                {{20, Acl({Ace(ACCESS_ALLOWED_ACE_TYPE, 1, kSystem)}, 64)}})},
      {"owner and group sharing one SID", Relative(0, 20, 20, 0, 0, {{20, kAdmins}})},
      {"stale DACL offset while no DACL is present", Relative(0, 20, 0, 0, 3, {{20, kAdmins}})},
      {"nothing at all", Relative(0, 0, 0, 0, 0, {})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes sd = c.sd;
    EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(sd.data(), static_cast<ULONG>(sd.size()), 0));
    EXPECT_TRUE(IsValidSecurityDescriptor(sd.data()));
  }
  // An owner may be required; a DACL may be missing even when asked for.
  Bytes bare = Relative(0, 0, 20, 0, 0, {{20, kSystem}});
  EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(bare.data(), 32, OWNER_SECURITY_INFORMATION));
  EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(
      bare.data(), 32, GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION));
}

TEST(DescriptorContract, AclInformationCountsBytesInUseAndFree) {
  SKIP_UNDER_WINE("GetAclInformation reports a short buffer as 87, not 122");
  alignas(4) BYTE buffer[100];
  auto* acl = reinterpret_cast<PACL>(buffer);
  ASSERT_TRUE(InitializeAcl(acl, sizeof(buffer), ACL_REVISION));
  Bytes admins = kAdmins, system = kSystem;
  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, 1, admins.data()));  // 24 bytes
  ASSERT_TRUE(AddAccessDeniedAce(acl, ACL_REVISION, 2, system.data()));   // 20 bytes

  ACL_SIZE_INFORMATION size{0xA5, 0xA5, 0xA5};
  ASSERT_TRUE(GetAclInformation(acl, &size, sizeof(size), AclSizeInformation));
  EXPECT_EQ(size.AceCount, 2u);
  EXPECT_EQ(size.AclBytesInUse, 8u + 24 + 20);
  EXPECT_EQ(size.AclBytesFree, 100u - 52);
  ACL_REVISION_INFORMATION revision{0};
  ASSERT_TRUE(GetAclInformation(acl, &revision, sizeof(revision), AclRevisionInformation));
  EXPECT_EQ(revision.AclRevision, static_cast<DWORD>(ACL_REVISION));

  SetLastError(kSentinelError);
  EXPECT_FALSE(GetAclInformation(acl, &size, sizeof(size) - 1, AclSizeInformation));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  SetLastError(kSentinelError);
  EXPECT_FALSE(GetAclInformation(acl, &size, sizeof(size), static_cast<ACL_INFORMATION_CLASS>(3)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  void* free = nullptr;
  ASSERT_TRUE(FindFirstFreeAce(acl, &free));
  EXPECT_EQ(free, buffer + 52);
}

TEST(DescriptorContract, DeleteAceMovesTheRestDown) {
  SKIP_UNDER_WINE("FindFirstFreeAce points past the end of a full ACL instead of null");
  alignas(4) BYTE buffer[8 + 3 * 20];
  auto* acl = reinterpret_cast<PACL>(buffer);
  ASSERT_TRUE(InitializeAcl(acl, sizeof(buffer), ACL_REVISION));
  Bytes system = kSystem;
  for (DWORD mask : {1u, 2u, 3u})
    ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, mask, system.data()));
  void* free = &buffer;
  ASSERT_TRUE(FindFirstFreeAce(acl, &free));
  EXPECT_EQ(free, nullptr) << "a full ACL has no free byte";

  ASSERT_TRUE(DeleteAce(acl, 1));
  ASSERT_EQ(acl->AceCount, 2);
  const DWORD masks[] = {1, 3};
  for (DWORD i = 0; i < 2; ++i) {
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(acl, i, &ace));
    EXPECT_EQ(static_cast<ACCESS_ALLOWED_ACE*>(ace)->Mask, masks[i]);
  }
  const Bytes before(buffer, buffer + sizeof(buffer));
  SetLastError(kSentinelError);
  EXPECT_FALSE(DeleteAce(acl, 2));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Bytes(buffer, buffer + sizeof(buffer)), before);
}

// The offset a walk from the first entry reaches after `index` entries, each skipped by the size
// its header gives, as the platform walks; nullopt when an entry on the way is smaller than a
// header or leaves the ACL.
std::optional<size_t> OffsetFromTheFirstEntry(const BYTE* acl, size_t index) {
  WORD size = 0;
  std::memcpy(&size, acl + 2, 2);
  size_t offset = 8;
  for (size_t i = 0; i < index; ++i) {
    WORD entry = 0;
    if (offset + 4 > size)
      return std::nullopt;
    std::memcpy(&entry, acl + offset + 2, 2);
    if (entry < 4 || entry > size - offset)
      return std::nullopt;
    offset += entry;
  }
  return offset;
}

WORD WordAt(const BYTE* b, size_t at) {
  WORD v = 0;
  std::memcpy(&v, b + at, 2);
  return v;
}

void SetWordAt(BYTE* b, size_t at, WORD v) {
  std::memcpy(b + at, &v, 2);
}

// A caller's own resize of entry `index` by `delta` bytes: the entries after it moved.
void ResizeInPlace(BYTE* acl, size_t index, int delta) {
  const size_t at = *OffsetFromTheFirstEntry(acl, index);
  const size_t end = *OffsetFromTheFirstEntry(acl, WordAt(acl, 4));
  const size_t next = at + WordAt(acl, at + 2);
  std::memmove(acl + next + delta, acl + next, end - next);
  if (delta > 0)
    std::memset(acl + next, 0, static_cast<size_t>(delta));
  SetWordAt(acl, at + 2, static_cast<WORD>(WordAt(acl, at + 2) + delta));
}

// A caller's own removal of entry `index`, or insertion of `entry` before it.
void RemoveInPlace(BYTE* acl, size_t index) {
  const size_t at = *OffsetFromTheFirstEntry(acl, index);
  const size_t end = *OffsetFromTheFirstEntry(acl, WordAt(acl, 4));
  const size_t next = at + WordAt(acl, at + 2);
  std::memmove(acl + at, acl + next, end - next);
  SetWordAt(acl, 4, static_cast<WORD>(WordAt(acl, 4) - 1));
}

void InsertInPlace(BYTE* acl, size_t index, const Bytes& entry) {
  const size_t at = *OffsetFromTheFirstEntry(acl, index);
  const size_t end = *OffsetFromTheFirstEntry(acl, WordAt(acl, 4));
  std::memmove(acl + at + entry.size(), acl + at, end - at);
  std::memcpy(acl + at, entry.data(), entry.size());
  SetWordAt(acl, 4, static_cast<WORD>(WordAt(acl, 4) + 1));
}

// S-1-5-21-1-2-3-1000: a 36-byte entry beside the 24 of Administrators and the 20 of SYSTEM.
Bytes DomainUser() {
  return portable::SidBytes(L"S-1-5-21-1-2-3-1000");
}

// Six entries at 8, 32, 52, 88, 108 and 132, of 24, 20, 36, 20, 24 and 36 bytes; 88 bytes free.
void BuildSixEntries(PACL acl, DWORD size) {
  Bytes admins = kAdmins, system = kSystem, user = DomainUser();
  ASSERT_TRUE(InitializeAcl(acl, size, ACL_REVISION));
  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, 1, admins.data()));
  ASSERT_TRUE(AddAccessDeniedAce(acl, ACL_REVISION, 2, system.data()));
  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, 3, user.data()));
  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, 4, system.data()));
  ASSERT_TRUE(AddAccessDeniedAce(acl, ACL_REVISION, 5, admins.data()));
  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, 6, user.data()));
}

TEST(DescriptorContract, EntriesAreFoundWhereAWalkFromTheFirstFindsThem) {
  constexpr DWORD kSize = 256;
  // Each row changes the list, through the platform or in the caller's own memory, after
  // GetAce reached entry `reached`; every later call must answer as a walk from the first
  // entry of the list as it now stands.
  struct Case {
    const char* name;
    DWORD reached;
    std::function<void(BYTE*)> change;
    bool then_append = true;
  };
  const Case cases[] = {
      {"the entry reached grows, those after it moved up", 3,
       [](BYTE* acl) { ResizeInPlace(acl, 3, 4); }},
      {"the entry before it grows, those after moved up", 3,
       [](BYTE* acl) { ResizeInPlace(acl, 2, 4); }},
      {"the first entry grows, those after moved up", 3,
       [](BYTE* acl) { ResizeInPlace(acl, 0, 4); }},
      {"the entry reached shrinks, those after moved down", 2,
       [](BYTE* acl) { ResizeInPlace(acl, 2, -8); }},
      {"the entry reached takes the next in as padding, the count kept", 3,
       [](BYTE* acl) { SetWordAt(acl, 88 + 2, 44); }},
      {"the entry before it takes the reached one in, the count lowered", 3,
       [](BYTE* acl) {
         SetWordAt(acl, 52 + 2, 56);
         SetWordAt(acl, 4, 5);
       }},
      {"the first entry takes the second in as padding, the count lowered", 3,
       [](BYTE* acl) {
         SetWordAt(acl, 8 + 2, 44);
         SetWordAt(acl, 4, 5);
       }},
      // Walked again from the first entry only: an append would walk on from the last entry
      // reached, past an in-place change of sizes before it that it cannot see.
      {"the first entry takes the second in as padding after the last was reached", 5,
       [](BYTE* acl) { SetWordAt(acl, 8 + 2, 44); }, false},
      {"the count set to 0, the entries left in place", 3, [](BYTE* acl) { SetWordAt(acl, 4, 0); }},
      {"its flags and mask changed in place", 3,
       [](BYTE* acl) {
         acl[88 + 1] = OBJECT_INHERIT_ACE;
         acl[88 + 4] = 0x7f;
       }},
      {"an entry before it removed", 3, [](BYTE* acl) { RemoveInPlace(acl, 1); }},
      {"an entry inserted before it", 3,
       [](BYTE* acl) { InsertInPlace(acl, 0, Ace(ACCESS_DENIED_ACE_TYPE, 9, kSystem)); }},
      {"an entry appended after the last one reached", 5,
       [](BYTE* acl) { InsertInPlace(acl, 6, Ace(ACCESS_DENIED_ACE_TYPE, 9, kSystem)); }},
      {"the buffer reused for a list of two entries", 3,
       [](BYTE* acl) {
         const Bytes other = Acl(
             {Ace(ACCESS_ALLOWED_ACE_TYPE, 1, kSystem), Ace(ACCESS_DENIED_ACE_TYPE, 2, kAdmins)},
             kSize);
         std::memcpy(acl, other.data(), other.size());
       }},
      {"the buffer reused for a list of the same count and size", 3,
       [](BYTE* acl) {
         const Bytes system = Ace(ACCESS_ALLOWED_ACE_TYPE, 1, kSystem);
         const Bytes other = Acl({system, system, system, system, system, system}, kSize);
         std::memcpy(acl, other.data(), other.size());
       }},
      {"the buffer reused for a list whose second entry stands where the third stood", 3,
       [](BYTE* acl) {
         const Bytes system = Ace(ACCESS_ALLOWED_ACE_TYPE, 1, kSystem);
         const Bytes other = Acl({Ace(ACCESS_ALLOWED_ACE_TYPE, 1, kAdmins, 44),
                                  Ace(ACCESS_ALLOWED_ACE_TYPE, 3, DomainUser()),
                                  Ace(ACCESS_DENIED_ACE_TYPE, 5, kAdmins), system, system, system},
                                 kSize);
         std::memcpy(acl, other.data(), other.size());
       }},
      {"DeleteAce before it", 3, [](BYTE* acl) { DeleteAce(reinterpret_cast<PACL>(acl), 1); }},
      {"AddAce before it", 3,
       [](BYTE* acl) {
         Bytes entry = Ace(ACCESS_DENIED_ACE_TYPE, 9, DomainUser());
         AddAce(reinterpret_cast<PACL>(acl), ACL_REVISION, 1, entry.data(),
                static_cast<DWORD>(entry.size()));
       }},
      {"InitializeAcl and another list built in the buffer", 3,
       [](BYTE* acl) {
         auto* list = reinterpret_cast<PACL>(acl);
         Bytes system = kSystem;
         InitializeAcl(list, kSize, ACL_REVISION);
         for (DWORD mask = 1; mask <= 6; ++mask)
           AddAccessAllowedAce(list, ACL_REVISION, mask, system.data());
       }},
      // The first two entries become one of 44 bytes and one is appended: the count, the size
      // and the entries at 52 and 88 stay as they were, but stand one index earlier.
      {"another thread's edits that keep the count and the entries reached", 3,
       [](BYTE* acl) {
         std::thread other([acl] {
           auto* list = reinterpret_cast<PACL>(acl);
           Bytes padded = Ace(ACCESS_ALLOWED_ACE_TYPE, 1, kAdmins, 44), system = kSystem;
           DeleteAce(list, 0);
           DeleteAce(list, 0);
           AddAce(list, ACL_REVISION, 0, padded.data(), static_cast<DWORD>(padded.size()));
           AddAccessAllowedAce(list, ACL_REVISION, 7, system.data());
         });
         other.join();
       }},
  };
  for (const auto& c : cases) {
    for (const bool append : {false, true}) {
      if (append && !c.then_append)
        continue;
      SCOPED_TRACE(::testing::Message() << c.name << (append ? ", then an entry appended" : ""));
      alignas(4) BYTE buffer[kSize] = {};
      auto* acl = reinterpret_cast<PACL>(buffer);
      BuildSixEntries(acl, kSize);
      void* ace = nullptr;
      for (DWORD i = 0; i <= c.reached; ++i)
        ASSERT_TRUE(GetAce(acl, i, &ace));
      c.change(buffer);

      const DWORD count = acl->AceCount;
      if (append) {
        // Where a walk over every entry ends, the new entry goes, when the list is whole.
        const std::optional<size_t> end = OffsetFromTheFirstEntry(buffer, count);
        if (!end || *end + 20 > kSize)
          continue;
        Bytes system = kSystem;
        ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, 8, system.data()));
        ASSERT_TRUE(GetAce(acl, count, &ace));
        EXPECT_EQ(static_cast<BYTE*>(ace), buffer + *end);
        EXPECT_EQ(static_cast<ACCESS_ALLOWED_ACE*>(ace)->Mask, 8u);
        continue;
      }
      auto expect_found = [&](DWORD i) {
        void* found = &buffer;
        const BOOL ok = GetAce(acl, i, &found);
        if (i >= count) {
          EXPECT_FALSE(ok) << "entry " << i;
          return;
        }
        const std::optional<size_t> offset = OffsetFromTheFirstEntry(buffer, i);
        ASSERT_TRUE(offset) << "entry " << i;
        EXPECT_TRUE(ok) << "entry " << i;
        EXPECT_EQ(static_cast<BYTE*>(found), buffer + *offset) << "entry " << i;
      };
      // On from the entry reached, then again from the first.
      for (DWORD i = c.reached + 1; i <= count; ++i)
        expect_found(i);
      for (DWORD i = 0; i <= count; ++i)
        expect_found(i);
    }
  }
}

TEST(DescriptorContract, AuditAndLabelEntriesCarryTheirFlags) {
  alignas(4) BYTE buffer[256];
  auto* acl = reinterpret_cast<PACL>(buffer);
  ASSERT_TRUE(InitializeAcl(acl, sizeof(buffer), ACL_REVISION));
  Bytes system = kSystem;
  Bytes medium = {1, 1, 0, 0, 0, 0, 0, 16, 0, 0x20, 0, 0};  // S-1-16-8192
  ASSERT_TRUE(AddAuditAccessAce(acl, ACL_REVISION, 1, system.data(), TRUE, FALSE));
  ASSERT_TRUE(
      AddAuditAccessAceEx(acl, ACL_REVISION, CONTAINER_INHERIT_ACE, 2, system.data(), FALSE, TRUE));
  ASSERT_TRUE(
      AddMandatoryAce(acl, ACL_REVISION, 0, SYSTEM_MANDATORY_LABEL_NO_WRITE_UP, medium.data()));
  struct Expected {
    BYTE type;
    BYTE flags;
    DWORD mask;
  };
  const Expected expected[] = {
      {SYSTEM_AUDIT_ACE_TYPE, SUCCESSFUL_ACCESS_ACE_FLAG, 1},
      {SYSTEM_AUDIT_ACE_TYPE, CONTAINER_INHERIT_ACE | FAILED_ACCESS_ACE_FLAG, 2},
      {SYSTEM_MANDATORY_LABEL_ACE_TYPE, 0, SYSTEM_MANDATORY_LABEL_NO_WRITE_UP},
  };
  ASSERT_EQ(acl->AceCount, 3);
  for (DWORD i = 0; i < 3; ++i) {
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(acl, i, &ace));
    const auto* entry = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    EXPECT_EQ(entry->Header.AceType, expected[i].type);
    EXPECT_EQ(entry->Header.AceFlags, expected[i].flags);
    EXPECT_EQ(entry->Mask, expected[i].mask);
  }
  // A policy outside the three label rights is refused.
  SetLastError(kSentinelError);
  EXPECT_FALSE(AddMandatoryAce(acl, ACL_REVISION, 0, 0x1234, medium.data()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(acl->AceCount, 3);
}

TEST(DescriptorContract, GrantedAccessesCompare) {
  struct Case {
    DWORD granted;
    DWORD desired;
    BOOL all;
    BOOL any;
  };
  const Case cases[] = {
      {0x3, 0x1, TRUE, TRUE},   {0x3, 0x3, TRUE, TRUE}, {0x1, 0x3, FALSE, TRUE},
      {0x4, 0x3, FALSE, FALSE}, {0x3, 0, TRUE, FALSE},  {0, 0, TRUE, FALSE},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AreAllAccessesGranted(c.granted, c.desired), c.all) << c.granted << " " << c.desired;
    EXPECT_EQ(AreAnyAccessesGranted(c.granted, c.desired), c.any) << c.granted << " " << c.desired;
  }
}

TEST(DescriptorContract, TrusteesNameBySidOrByName) {
  Bytes sid = kSystem;
  TRUSTEE_W wide;
  std::memset(&wide, 0xA5, sizeof(wide));
  BuildTrusteeWithSidW(&wide, sid.data());
  EXPECT_EQ(wide.pMultipleTrustee, nullptr);
  EXPECT_EQ(wide.MultipleTrusteeOperation, NO_MULTIPLE_TRUSTEE);
  EXPECT_EQ(GetTrusteeFormW(&wide), TRUSTEE_IS_SID);
  EXPECT_EQ(GetTrusteeTypeW(&wide), TRUSTEE_IS_UNKNOWN);
  EXPECT_EQ(static_cast<void*>(GetTrusteeNameW(&wide)), sid.data());
  wchar_t name[] = L"Everyone";
  BuildTrusteeWithNameW(&wide, name);
  EXPECT_EQ(GetTrusteeFormW(&wide), TRUSTEE_IS_NAME);
  EXPECT_EQ(GetTrusteeNameW(&wide), name);
  TRUSTEE_A narrow;
  char narrow_name[] = "Everyone";
  BuildTrusteeWithNameA(&narrow, narrow_name);
  EXPECT_EQ(GetTrusteeFormA(&narrow), TRUSTEE_IS_NAME);
  EXPECT_EQ(GetTrusteeNameA(&narrow), narrow_name);
  BuildTrusteeWithSidA(&narrow, sid.data());
  EXPECT_EQ(GetTrusteeFormA(&narrow), TRUSTEE_IS_SID);
}

TEST(DescriptorContract, SddlRightsMayMixNumbersAndNames) {
  const struct {
    const wchar_t* text;
    ACCESS_MASK mask;  // of its one entry
  } cases[] = {
      {L"S:(AU;;GR0xFFFFFFFF;;;WD)", 0xFFFFFFFF},
      {L"S:(AU;;0xFFFFFFFFGR;;;WD)", 0xFFFFFFFF},
      {L"S:(AU;;0xFFFFFGR;;;WD)", GENERIC_READ | 0xFFFFF},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text, c.text + wcslen(c.text)));
    PSECURITY_DESCRIPTOR sd = nullptr;
    SetLastError(kSentinelError);
    ASSERT_TRUE(
        ConvertStringSecurityDescriptorToSecurityDescriptorW(c.text, SDDL_REVISION_1, &sd, nullptr))
        << GetLastError();
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorSacl(sd, &present, &acl, &defaulted));
    void* ace = nullptr;
    ASSERT_TRUE(acl && GetAce(acl, 0, &ace));
    EXPECT_EQ(static_cast<ACCESS_ALLOWED_ACE*>(ace)->Mask, c.mask);
    LocalFree(sd);
  }
}

TEST(DescriptorContract, AnsiSddlMatchesTheWideForm) {
  const char* const texts[] = {"O:BAG:SYD:(A;;FA;;;BA)(D;OICI;0x3;;;WD)", "O:SYG:SYD:PAI",
                               "D:(A;;GA;;;S-1-5-21-1-2-3-500)"};
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    PSECURITY_DESCRIPTOR sd = nullptr;
    ULONG length = 0;
    ASSERT_TRUE(
        ConvertStringSecurityDescriptorToSecurityDescriptorA(text, SDDL_REVISION_1, &sd, &length));
    EXPECT_EQ(length, GetSecurityDescriptorLength(sd));
    LPSTR narrow = nullptr;
    ULONG narrow_length = 0;
    const SECURITY_INFORMATION all =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(sd, SDDL_REVISION_1, all,
                                                                     &narrow, &narrow_length));
    LPWSTR wide = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, all,
                                                                     &wide, nullptr));
    EXPECT_EQ(std::wstring(narrow, narrow + std::strlen(narrow)), std::wstring(wide));
    EXPECT_EQ(narrow_length, std::strlen(narrow) + 1);
    LocalFree(wide);
    LocalFree(narrow);
    LocalFree(sd);
  }
  PSECURITY_DESCRIPTOR sd = reinterpret_cast<PSECURITY_DESCRIPTOR>(0x1234);
  SetLastError(kSentinelError);
  EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorA("O:BAG:SYD:(A;;FA;;;BA)", 2,
                                                                    &sd, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_REVISION));
  EXPECT_EQ(sd, reinterpret_cast<PSECURITY_DESCRIPTOR>(0x1234));
}

}  // namespace
