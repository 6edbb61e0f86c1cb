// The descriptor core and its editing: builds, read-backs, copies and edits, compared as SDDL
// and as bytes.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/standin/machine/machine.h"
#include "platform/win32.h"
#include "security/csd.h"
#include "tests/support/test_machine.h"

namespace {

constexpr char kProfile[] = R"({
  "computer": "WS01",
  "machine_sid": "S-1-5-21-1-2-3",
  "users": [{"name": "alice", "rid": 1001}, {"name": "bob", "rid": 1002},
            {"name": "carol", "rid": 1003}]
})";

const wchar_t kAlice[] = L"S-1-5-21-1-2-3-1001";
const wchar_t kBob[] = L"S-1-5-21-1-2-3-1002";
const wchar_t kCarol[] = L"S-1-5-21-1-2-3-1003";

// A descriptor bound to nothing: it loads the bytes it is given.
class TestSD : public CSD {
 public:
  TestSD() = default;
  explicit TestSD(const std::vector<BYTE>& self_relative) { Load(self_relative); }

  int Load(const std::vector<BYTE>& self_relative) {
    const auto length = static_cast<DWORD>(self_relative.size());
    std::memcpy(ReceiveSelfRelative(length), self_relative.data(), length);
    return LoadSelfRelative();
  }
  int SecureObject(bool) override { return 0; }
  const std::vector<CVisa*>& denied() const { return visasDenied; }
  const std::vector<CVisa*>& allowed() const { return visasAllowed; }
  const BYTE* sacl() const { return pSacl; }
  const BYTE* self_relative() const { return pSelfRelativeSD; }
  const CSid& group() const { return sidGroup; }

 protected:
  int Initialize() override { return 0; }
};

std::vector<BYTE> FromSddl(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  ULONG length = 0;
  EXPECT_TRUE(
      ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, &length))
      << GetLastError();
  std::vector<BYTE> bytes(static_cast<const BYTE*>(sd), static_cast<const BYTE*>(sd) + length);
  LocalFree(sd);
  return bytes;
}

std::wstring ToSddl(void* sd) {
  LPWSTR text = nullptr;
  if (!sd ||
      !ConvertSecurityDescriptorToStringSecurityDescriptorW(
          sd, SDDL_REVISION_1,
          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
          &text, nullptr))
    return L"(none)";
  std::wstring result = text;
  LocalFree(text);
  return result;
}

CSid Account(const wchar_t* sid_text) {
  PSID sid = nullptr;
  EXPECT_TRUE(ConvertStringSidToSidW(sid_text, &sid));
  CSid account(sid, std::wstring());
  LocalFree(sid);
  return account;
}

std::vector<std::wstring> Sids(const std::vector<CVisa*>& visas) {
  std::vector<std::wstring> sids;
  for (const CVisa* v : visas) {
    LPWSTR text = nullptr;
    ConvertSidToStringSidW(v->GetSid().GetPSid(), &text);
    sids.push_back(text ? text : L"?");
    LocalFree(text);
  }
  return sids;
}

class CsdTest : public ::testing::Test {
 protected:
  void SetUp() override { InstallProfile(kProfile); }
  void TearDown() override { EXPECT_EQ(standin::LiveResourcesNow().total(), 0u); }
};

TEST_F(CsdTest, NewDescriptorIsSystemsWithEmptyLists) {
  TestSD sd;
  EXPECT_EQ(sd.GetOwner()->GetQualifiedName(), L"NT AUTHORITY\\SYSTEM");
  EXPECT_EQ(sd.group().GetQualifiedName(), L"NT AUTHORITY\\SYSTEM");
  EXPECT_EQ(sd.IsValid(), 1);
  EXPECT_EQ(sd.GetLastError(), 0);
  EXPECT_EQ(sd.GetDACL(), nullptr);
  EXPECT_TRUE(sd.denied().empty());
  EXPECT_TRUE(sd.allowed().empty());
}

TEST_F(CsdTest, EmptyListsBuildAnEmptyDaclNotANullOne) {
  TestSD sd;
  void* absolute = sd.GetAbsoluteSD();
  ASSERT_NE(absolute, nullptr);
  BOOL present = FALSE, defaulted = TRUE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(absolute, &present, &dacl, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_FALSE(defaulted);
  ASSERT_NE(dacl, nullptr);
  EXPECT_EQ(dacl, sd.GetDACL());
  EXPECT_EQ(dacl->AclSize, 8);
  EXPECT_EQ(dacl->AceCount, 0);
  EXPECT_EQ(ToSddl(absolute), L"O:SYG:SYD:");
}

TEST_F(CsdTest, DaclLengthIsHeaderPlusEntriesWithTheirSids) {
  TestSD sd;
  CSid everyone = Account(L"S-1-1-0");  // 12 bytes
  CSid alice = Account(kAlice);         // 28 bytes
  EXPECT_EQ(sd.DenyAccess(&everyone, FILE_WRITE_DATA), 0);
  EXPECT_EQ(sd.AllowAccess(&alice, FILE_ALL_ACCESS), 0);
  ASSERT_NE(sd.GetDACL(), nullptr);
  EXPECT_EQ(sd.GetDACL()->AclSize, 8 + (12 + 8) + (28 + 8));
  EXPECT_EQ(sd.GetDACL()->AceCount, 2);
}

TEST_F(CsdTest, BuildWritesDenialsBeforeGrantsAllInherited) {
  TestSD sd(
      FromSddl(L"O:BAG:SYD:(A;;0x1;;;S-1-5-21-1-2-3-1001)(D;;0x2;;;S-1-5-21-1-2-3-1002)"
               L"(A;;0x4;;;S-1-5-21-1-2-3-1003)"));
  EXPECT_EQ(sd.IsValid(), 1);
  EXPECT_EQ(Sids(sd.allowed()), (std::vector<std::wstring>{kAlice, kCarol}));
  EXPECT_EQ(Sids(sd.denied()), (std::vector<std::wstring>{kBob}));
  EXPECT_EQ(sd.allowed()[0]->GetMask(), 1u);
  EXPECT_EQ(sd.allowed()[1]->GetMask(), 4u);
  EXPECT_EQ(sd.denied()[0]->GetMask(), 2u);
  EXPECT_EQ(sd.GetOwner()->GetQualifiedName(), L"BUILTIN\\Administrators");
  EXPECT_EQ(ToSddl(sd.GetAbsoluteSD()),
            L"O:BAG:SYD:(D;OICI;DC;;;S-1-5-21-1-2-3-1002)(A;OICI;CC;;;S-1-5-21-1-2-3-1001)"
            L"(A;OICI;LC;;;S-1-5-21-1-2-3-1003)");
}

TEST_F(CsdTest, ReadBackKeepsDuplicatesAndDropsOtherEntryTypes) {
  // Build a DACL with an allowed entry twice and an audit entry between them.
  CSid alice = Account(kAlice);
  std::vector<BYTE> acl_bytes(8 + 3 * 36);
  const PACL acl = reinterpret_cast<PACL>(acl_bytes.data());
  ASSERT_TRUE(InitializeAcl(acl, static_cast<DWORD>(acl_bytes.size()), ACL_REVISION));
  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, 1, alice.GetPSid()));
  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, 2, alice.GetPSid()));
  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, 4, alice.GetPSid()));
  LPVOID middle = nullptr;
  ASSERT_TRUE(GetAce(acl, 1, &middle));
  static_cast<ACE_HEADER*>(middle)->AceType = SYSTEM_AUDIT_ACE_TYPE;

  std::vector<BYTE> absolute(SECURITY_DESCRIPTOR_MIN_LENGTH);
  ASSERT_TRUE(InitializeSecurityDescriptor(absolute.data(), SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(absolute.data(), TRUE, acl, FALSE));
  DWORD length = 0;
  MakeSelfRelativeSD(absolute.data(), nullptr, &length);
  std::vector<BYTE> self_relative(length);
  ASSERT_TRUE(MakeSelfRelativeSD(absolute.data(), self_relative.data(), &length));

  TestSD sd(self_relative);
  EXPECT_EQ(sd.IsValid(), 1);
  ASSERT_EQ(sd.allowed().size(), 2u);
  EXPECT_EQ(sd.allowed()[0]->GetMask(), 1u);
  EXPECT_EQ(sd.allowed()[1]->GetMask(), 4u);
  EXPECT_TRUE(sd.denied().empty());
  // Without owner or group in the bytes, the model keeps SYSTEM.
  EXPECT_EQ(sd.GetOwner()->GetQualifiedName(), L"NT AUTHORITY\\SYSTEM");
}

TEST_F(CsdTest, SaclStaysUntilTheNextBuild) {
  TestSD sd(FromSddl(L"O:BAG:BAD:(A;;FA;;;BA)S:(AU;SA;FA;;;WD)"));
  EXPECT_NE(sd.sacl(), nullptr);
  sd.GetAbsoluteSD();
  EXPECT_EQ(sd.sacl(), nullptr);
}

TEST_F(CsdTest, MissingDaclLeavesTheListsAndBuildsAPresentOne) {
  TestSD sd;
  CSid alice = Account(kAlice);
  sd.AllowAccess(&alice, 1);
  ASSERT_EQ(sd.Load(FromSddl(L"O:BAG:BA")), 0);
  EXPECT_EQ(Sids(sd.allowed()), std::vector<std::wstring>{kAlice});
  EXPECT_EQ(sd.GetDACL(), nullptr);
  EXPECT_EQ(ToSddl(sd.GetAbsoluteSD()), L"O:BAG:BAD:(A;OICI;CC;;;S-1-5-21-1-2-3-1001)");
}

TEST_F(CsdTest, UnreadableDescriptorInvalidatesAndLeavesNoBuffers) {
  std::vector<BYTE> bytes = FromSddl(L"O:BAG:BAD:(A;;FA;;;BA)");
  // A damaged DACL (an ACL revision no platform knows). The read-back takes no length, so the
  // damage lies inside the descriptor's bytes.
  SECURITY_DESCRIPTOR_RELATIVE header;
  std::memcpy(&header, bytes.data(), sizeof header);
  ASSERT_NE(header.Dacl, 0u);
  bytes[header.Dacl] = 9;
  TestSD sd(bytes);
  EXPECT_EQ(sd.IsValid(), 0);
  EXPECT_NE(sd.GetLastError(), 0);
  EXPECT_EQ(sd.GetDACL(), nullptr);
  EXPECT_EQ(sd.self_relative(), nullptr);
  EXPECT_TRUE(sd.allowed().empty());
}

TEST_F(CsdTest, CopiesAndAssignmentsCarryTheModel) {
  TestSD source(FromSddl(
      L"O:S-1-5-21-1-2-3-1001G:BUD:(D;;0x2;;;S-1-5-21-1-2-3-1002)(A;;0x1;;;S-1-5-21-1-2-3-1001)"
      L"(A;;0x4;;;S-1-5-21-1-2-3-1003)"));
  const std::wstring expected = ToSddl(source.GetAbsoluteSD());

  TestSD copy(source);
  EXPECT_EQ(ToSddl(copy.GetAbsoluteSD()), expected);
  EXPECT_EQ(copy.IsValid(), 1);

  TestSD assigned;
  CSid bob = Account(kBob);
  assigned.AllowAccess(&bob, 0x10);  // the target's own entry goes
  assigned = source;
  EXPECT_EQ(ToSddl(assigned.GetAbsoluteSD()), expected);

  TestSD& self = assigned;
  assigned = self;
  EXPECT_EQ(ToSddl(assigned.GetAbsoluteSD()), expected);
  EXPECT_EQ(assigned.allowed().size(), 2u);
}

TEST_F(CsdTest, EditsChangeBothListsAndTheDacl) {
  CSid alice = Account(kAlice), bob = Account(kBob), carol = Account(kCarol);
  TestSD sd;
  sd.AllowAccess(&alice, 1);
  sd.AllowAccess(&bob, 2);

  // Denying a granted account removes the grant.
  EXPECT_EQ(sd.DenyAccess(&alice, 3), 0);
  EXPECT_FALSE(sd.IsAllowed(&alice));
  EXPECT_TRUE(sd.IsDenied(&alice));
  EXPECT_EQ(ToSddl(sd.GetAbsoluteSD()),
            L"O:SYG:SYD:(D;OICI;CCDC;;;S-1-5-21-1-2-3-1001)(A;OICI;DC;;;S-1-5-21-1-2-3-1002)");

  // Granting a denied account keeps the denial before the grant.
  EXPECT_EQ(sd.AllowAccess(&alice, 4), 0);
  EXPECT_TRUE(sd.IsAllowed(&alice));
  EXPECT_TRUE(sd.IsDenied(&alice));

  // A second grant replaces the first and moves the account to the end.
  sd.AllowAccess(&bob, 8);
  EXPECT_EQ(Sids(sd.allowed()), (std::vector<std::wstring>{kAlice, kBob}));
  EXPECT_EQ(sd.allowed()[1]->GetMask(), 8u);

  // Revoking an account not in the list changes nothing and builds nothing.
  const PACL before = sd.GetDACL();
  EXPECT_EQ(sd.RevokeDenial(&carol), 0);
  EXPECT_EQ(sd.GetDACL(), before);

  EXPECT_EQ(sd.RevokeAllowance(&alice), 0);
  EXPECT_EQ(Sids(sd.allowed()), std::vector<std::wstring>{kBob});
  EXPECT_EQ(sd.RevokeAllDenials(), 0);
  EXPECT_TRUE(sd.denied().empty());
  EXPECT_EQ(sd.RevokeAllAllowances(), 0);
  EXPECT_EQ(ToSddl(sd.GetAbsoluteSD()), L"O:SYG:SYD:");
  EXPECT_EQ(sd.RevokeAllAllowances(), 0);  // an empty list still builds
}

TEST_F(CsdTest, EditsRemoveOnlyTheFirstOfDuplicates) {
  TestSD sd(FromSddl(L"D:(A;;0x1;;;S-1-5-21-1-2-3-1001)(A;;0x2;;;S-1-5-21-1-2-3-1001)"));
  CSid alice = Account(kAlice);
  EXPECT_EQ(sd.RevokeAllowance(&alice), 0);
  EXPECT_TRUE(sd.IsAllowed(&alice));
  ASSERT_EQ(sd.allowed().size(), 1u);
  EXPECT_EQ(sd.allowed()[0]->GetMask(), 2u);
}

TEST_F(CsdTest, NameOverloadsResolveAccounts) {
  TestSD sd;
  EXPECT_EQ(sd.AllowAccess(std::wstring(L"alice"), 1), 0);
  EXPECT_EQ(sd.DenyAccess(std::wstring(L"WS01\\bob"), 2), 0);
  EXPECT_EQ(sd.SetOwner(std::wstring(L"carol")), 0);
  EXPECT_EQ(ToSddl(sd.GetAbsoluteSD()),
            L"O:S-1-5-21-1-2-3-1003G:SYD:(D;OICI;DC;;;S-1-5-21-1-2-3-1002)"
            L"(A;OICI;CC;;;S-1-5-21-1-2-3-1001)");
  EXPECT_EQ(sd.RevokeDenial(std::wstring(L"bob")), 0);
  EXPECT_EQ(sd.RevokeAllowance(std::wstring(L"alice")), 0);
  EXPECT_TRUE(sd.allowed().empty() && sd.denied().empty());
  // An empty name is SYSTEM.
  EXPECT_EQ(sd.AllowAccess(std::wstring(), 1), 0);
  EXPECT_EQ(ToSddl(sd.GetAbsoluteSD()), L"O:S-1-5-21-1-2-3-1003G:SYD:(A;OICI;CC;;;SY)");
  // An unknown name throws before anything changes.
  EXPECT_THROW(sd.DenyAccess(std::wstring(L"nobody"), 1), int);
  EXPECT_EQ(sd.allowed().size(), 1u);
}

TEST_F(CsdTest, SetOwnerLooksTheNamesUpAgain) {
  TestSD sd;
  CSid alice(std::wstring(L"WS01\\alice"), std::wstring());
  ASSERT_EQ(alice.GetAccountName(), L"WS01\\alice");
  sd.SetOwner(&alice);
  EXPECT_EQ(sd.GetOwner()->GetAccountName(), L"alice");
}

TEST_F(CsdTest, DumpWritesOwnerDenialsAndGrants) {
  TestSD fresh;
  {
    TraceCapture trace;
    EXPECT_EQ(fresh.Dump(), 0);
    EXPECT_EQ(trace.out(), L"\t\tOwner: NT AUTHORITY\\SYSTEM\n");
  }
  TestSD sd(FromSddl(
      L"O:S-1-5-21-1-2-3-1001D:(A;;0x1;;;S-1-5-21-1-2-3-1003)(D;;0x1;;;S-1-5-21-1-2-3-1002)"
      L"(A;;0x1;;;S-1-5-21-9-9-9-500)"));
  TraceCapture trace;
  sd.Dump();
  EXPECT_EQ(trace.out_lines(), (std::vector<std::wstring>{
                                   L"\t\tOwner: WS01\\alice",
                                   L"\t\tAccess denied to: WS01\\bob",
                                   L"\t\tAccess granted to: WS01\\carol",
                                   L"\t\tAccess granted to: Unknown Domain\\Unknown Account",
                               }));
  EXPECT_EQ(trace.err(), L"");
}

// A list that no 16-bit ACL can hold fails the build, and no descriptor is left to write.
TEST_F(CsdTest, ListTooLongForOneAclFailsTheBuild) {
  // 3,276 entries of 12-byte SIDs fill an ACL to 65,528 bytes.
  std::wstring sddl = L"O:BAG:BAD:";
  for (int i = 0; i < 3276; ++i)
    sddl += L"(A;;0x1;;;S-1-9-" + std::to_wstring(i) + L")";
  TestSD sd(FromSddl(sddl.c_str()));
  ASSERT_EQ(sd.allowed().size(), 3276u);
  ASSERT_NE(sd.GetAbsoluteSD(), nullptr);
  EXPECT_EQ(sd.GetDACL()->AclSize, 65528);

  CSid one_more = Account(L"S-1-9-99999");
  EXPECT_EQ(sd.AllowAccess(&one_more, 1), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(sd.GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(sd.GetAbsoluteSD(), nullptr);
  EXPECT_EQ(sd.GetDACL(), nullptr);
  EXPECT_EQ(sd.self_relative(), nullptr);

  // A copy of such a descriptor keeps every entry and the error.
  TestSD copy(sd);
  EXPECT_EQ(copy.allowed().size(), 3277u);
  EXPECT_EQ(copy.GetLastError(), ERROR_INVALID_PARAMETER);

  // Back within the limit, the build succeeds again.
  EXPECT_EQ(sd.RevokeAllowance(&one_more), 0);
  EXPECT_NE(sd.GetAbsoluteSD(), nullptr);
}

}  // namespace
