// The stand-in's AccessCheck and MapGenericMask: the platform's rules as a table of
// descriptors, tokens and desired rights, and the contract of the call's arguments.
#include <cstring>
#include <iostream>
#include <string>

#include "platform/standin/win32/handles.h"
#include "platform/standin/core/text.h"
#include "tests/portable/walk_check.h"
#include "tests/standin_contract.h"

namespace {

// alice is an administrator; with "elevated": false the token holds Administrators deny-only.
constexpr std::string_view kElevated =
    R"j({"user": "alice", "users": ["alice"], "groups": {"Administrators": ["alice"]}})j";
constexpr std::string_view kFiltered =
    R"j({"user": "alice", "users": ["alice"], "groups": {"Administrators": ["alice"]},
        "elevated": false})j";

constexpr DWORD kUnchanged = 0x1abe11ed;
const GENERIC_MAPPING kMapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                                  FILE_ALL_ACCESS};

// The self-relative descriptor of `sddl`, where "%U" stands for alice's SID.
std::vector<BYTE> Descriptor(std::wstring sddl) {
  const auto user = SidOfAccount(L"alice");
  const std::wstring text = SidText(const_cast<BYTE*>(user.data()));
  for (size_t at; (at = sddl.find(L"%U")) != std::wstring::npos;)
    sddl.replace(at, 2, text);
  PSECURITY_DESCRIPTOR sd = nullptr;
  ULONG size = 0;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd,
                                                            &size))
    return {};
  std::vector<BYTE> bytes(static_cast<BYTE*>(sd), static_cast<BYTE*>(sd) + size);
  LocalFree(sd);
  return bytes;
}

class standin_access_check : public StandinTest {
 protected:
  // The host's access walk answers as AccessCheck does for `token` (kMapping is the file
  // mapping the walk's check uses).
  static void ExpectWalkAgrees(HANDLE token, PSECURITY_DESCRIPTOR sd, DWORD desired) {
    DWORD error = 0;
    const auto subject = AccessSubject::OfToken(token, error);
    ASSERT_TRUE(subject) << error;
    EXPECT_EQ(walk_check::ByWalk(*subject, sd, desired, false),
              walk_check::ByAccessCheck(token, sd, desired));
  }

  // The thread's impersonation token for the installed machine.
  HANDLE ImpersonationToken() {
    HANDLE token = nullptr;
    EXPECT_TRUE(ImpersonateSelf(SecurityImpersonation));
    EXPECT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token));
    RevertToSelf();
    return token;
  }
};

struct Case {
  std::string_view profile;
  const wchar_t* sddl;
  DWORD desired;
  BOOL status;
  DWORD granted;
  DWORD error;  // last error after the call; kSentinelError when untouched
};

const Case kCases[] = {
    // Allowed, and the order of entries.
    {kElevated, L"O:SYG:SYD:(A;;0x3;;;WD)", 3, TRUE, 3, kSentinelError},
    {kElevated, L"O:SYG:SYD:(A;;0x1;;;WD)", 3, FALSE, 0, ERROR_ACCESS_DENIED},
    {kElevated, L"O:SYG:SYD:(A;;0x1;;;WD)(A;;0x2;;;%U)", 3, TRUE, 3, kSentinelError},
    {kElevated, L"O:SYG:SYD:(A;;0x3;;;WD)(D;;0x2;;;WD)", 3, TRUE, 3, kSentinelError},
    {kElevated, L"O:SYG:SYD:(D;;0x2;;;WD)(A;;0x3;;;WD)", 3, FALSE, 0, ERROR_ACCESS_DENIED},
    {kElevated, L"O:SYG:SYD:(A;;0x1;;;WD)(D;;0x3;;;WD)(A;;0x2;;;WD)", 3, FALSE, 0,
     ERROR_ACCESS_DENIED},
    {kElevated, L"O:SYG:SYD:(D;;0x4;;;WD)(A;;0x3;;;WD)", 3, TRUE, 3, kSentinelError},
    // A DACL with no entries grants nothing; no DACL grants everything.
    {kElevated, L"O:SYG:SYD:", 1, FALSE, 0, ERROR_ACCESS_DENIED},
    {kElevated, L"O:SYG:SY", 0x1f01ff, TRUE, 0x1f01ff, kSentinelError},
    // Asking for nothing is refused by any DACL; without one it is granted, as nothing.
    {kElevated, L"O:SYG:SYD:(A;;0x3;;;WD)", 0, FALSE, 0, ERROR_ACCESS_DENIED},
    {kElevated, L"O:%UG:SYD:", 0, FALSE, 0, ERROR_ACCESS_DENIED},
    {kElevated, L"O:SYG:SY", 0, TRUE, 0, kSentinelError},
    // Inherit-only entries are skipped.
    {kElevated, L"O:SYG:SYD:(A;IO;0x3;;;WD)", 3, FALSE, 0, ERROR_ACCESS_DENIED},
    {kElevated, L"O:SYG:SYD:(D;OICIIO;0x3;;;WD)(A;;0x3;;;WD)", 3, TRUE, 3, kSentinelError},
    // Groups: enabled ones count everywhere, deny-only ones for deny entries only.
    {kElevated, L"O:SYG:SYD:(A;;0x3;;;BA)", 3, TRUE, 3, kSentinelError},
    {kFiltered, L"O:SYG:SYD:(A;;0x3;;;BA)", 3, FALSE, 0, ERROR_ACCESS_DENIED},
    {kFiltered, L"O:SYG:SYD:(D;;0x2;;;BA)(A;;0x3;;;WD)", 3, FALSE, 0, ERROR_ACCESS_DENIED},
    {kFiltered, L"O:SYG:SYD:(A;;0x3;;;BU)", 3, TRUE, 3, kSentinelError},
    {kElevated, L"O:SYG:SYD:(A;;0x3;;;NU)", 3, FALSE, 0, ERROR_ACCESS_DENIED},
    // The owner reads and changes the DACL, unless an OWNER RIGHTS entry says otherwise.
    {kElevated, L"O:%UG:SYD:", READ_CONTROL | WRITE_DAC, TRUE, READ_CONTROL | WRITE_DAC,
     kSentinelError},
    {kElevated, L"O:%UG:SYD:(D;;0x60000;;;WD)", READ_CONTROL, TRUE, READ_CONTROL, kSentinelError},
    {kElevated, L"O:%UG:SYD:", 1, FALSE, 0, ERROR_ACCESS_DENIED},
    {kFiltered, L"O:BAG:SYD:", READ_CONTROL, FALSE, 0, ERROR_ACCESS_DENIED},
    {kElevated, L"O:%UG:SYD:(A;;0x1;;;OW)", READ_CONTROL, FALSE, 0, ERROR_ACCESS_DENIED},
    {kElevated, L"O:%UG:SYD:(A;;0x1;;;OW)", 1, TRUE, 1, kSentinelError},
    {kElevated, L"O:SYG:SYD:(A;;0x1;;;OW)", 1, FALSE, 0, ERROR_ACCESS_DENIED},
    // MAXIMUM_ALLOWED: every right granted, in the order of the entries.
    {kElevated, L"O:SYG:SYD:(A;;0x3;;;WD)(D;;0x6;;;WD)(A;;0x4;;;WD)", MAXIMUM_ALLOWED, TRUE, 3,
     kSentinelError},
    {kElevated, L"O:%UG:SYD:(A;;0x1;;;WD)", MAXIMUM_ALLOWED, TRUE, 0x60001, kSentinelError},
    {kElevated, L"O:SYG:SYD:(A;;0x1;;;WD)", MAXIMUM_ALLOWED | 2, FALSE, 0, ERROR_ACCESS_DENIED},
    {kElevated, L"O:SYG:SYD:", MAXIMUM_ALLOWED, FALSE, 0, ERROR_ACCESS_DENIED},
    {kElevated, L"O:SYG:SY", MAXIMUM_ALLOWED, TRUE, FILE_ALL_ACCESS, kSentinelError},
    // Generic rights in entries count as the rights the mapping gives them.
    {kElevated, L"O:SYG:SYD:(A;;GR;;;WD)", FILE_READ_DATA, TRUE, FILE_READ_DATA, kSentinelError},
    {kElevated, L"O:SYG:SYD:(A;;GA;;;WD)", MAXIMUM_ALLOWED, TRUE, FILE_ALL_ACCESS, kSentinelError},
    {kElevated, L"O:SYG:SYD:(D;;GW;;;WD)(A;;FA;;;WD)", FILE_WRITE_DATA, FALSE, 0,
     ERROR_ACCESS_DENIED},
    // The audit right needs SeSecurityPrivilege enabled; no entry gives it.
    {kElevated, L"O:SYG:SYD:(A;;0x3000003;;;WD)", MAXIMUM_ALLOWED, TRUE, 3, kSentinelError},
    {kElevated, L"O:SYG:SYD:(A;;0x1000000;;;WD)", ACCESS_SYSTEM_SECURITY, FALSE, 0,
     ERROR_PRIVILEGE_NOT_HELD},
};

TEST_F(standin_access_check, RulesOfTheCheck) {
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message()
                 << standin::WideToUtf8(c.sddl) << " desired 0x" << std::hex << c.desired
                 << (c.profile == kFiltered ? " (filtered token)" : ""));
    InstallProfile(c.profile);
    const auto sd = Descriptor(c.sddl);
    ASSERT_FALSE(sd.empty());
    HANDLE token = ImpersonationToken();
    PRIVILEGE_SET privileges;
    DWORD length = sizeof(privileges);
    DWORD granted = kUnchanged;
    BOOL status = static_cast<BOOL>(kUnchanged);
    SetLastError(kSentinelError);
    EXPECT_TRUE(AccessCheck(const_cast<BYTE*>(sd.data()), token, c.desired,
                            const_cast<GENERIC_MAPPING*>(&kMapping), &privileges, &length, &granted,
                            &status));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(granted, c.granted);
    EXPECT_EQ(privileges.PrivilegeCount, 0u);
    ExpectWalkAgrees(token, const_cast<BYTE*>(sd.data()), c.desired);
    CloseHandle(token);
  }
}

// Enabled privileges grant before any entry is read: SeTakeOwnershipPrivilege WRITE_OWNER,
// SeSecurityPrivilege ACCESS_SYSTEM_SECURITY; each one used is reported. Held but disabled, or
// not held (a filtered token), they grant nothing.
TEST_F(standin_access_check, EnabledPrivilegesGrantTheirRights) {
  struct Row {
    std::string_view profile;
    DWORD enable;  // a privilege's LUID, or 0
    const wchar_t* sddl;
    DWORD desired;
    BOOL status;
    DWORD granted;
    DWORD used;  // the privilege reported, or 0
  };
  const Row rows[] = {
      {kElevated, SE_TAKE_OWNERSHIP_PRIVILEGE, L"O:SYG:SYD:", WRITE_OWNER, TRUE, WRITE_OWNER,
       SE_TAKE_OWNERSHIP_PRIVILEGE},
      {kElevated, SE_TAKE_OWNERSHIP_PRIVILEGE, L"O:SYG:SYD:(D;;WO;;;WD)", WRITE_OWNER | 1, FALSE, 0,
       0},
      {kElevated, SE_TAKE_OWNERSHIP_PRIVILEGE, L"O:SYG:SYD:(D;;WO;;;WD)(A;;0x1;;;WD)",
       WRITE_OWNER | 1, TRUE, WRITE_OWNER | 1, SE_TAKE_OWNERSHIP_PRIVILEGE},
      {kElevated, SE_TAKE_OWNERSHIP_PRIVILEGE, L"O:SYG:SYD:(A;;0x1;;;WD)", MAXIMUM_ALLOWED, TRUE,
       WRITE_OWNER | 1, SE_TAKE_OWNERSHIP_PRIVILEGE},
      {kElevated, 0, L"O:SYG:SYD:", WRITE_OWNER, FALSE, 0, 0},
      {kElevated, SE_SECURITY_PRIVILEGE, L"O:SYG:SYD:", ACCESS_SYSTEM_SECURITY, TRUE,
       ACCESS_SYSTEM_SECURITY, SE_SECURITY_PRIVILEGE},
      {kFiltered, SE_TAKE_OWNERSHIP_PRIVILEGE, L"O:SYG:SYD:", WRITE_OWNER, FALSE, 0, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << standin::WideToUtf8(r.sddl) << " desired 0x" << std::hex
                                    << r.desired << " enabling " << std::dec << r.enable);
    InstallProfile(r.profile);
    const auto sd = Descriptor(r.sddl);
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    HANDLE token = nullptr;
    ASSERT_TRUE(
        OpenThreadToken(GetCurrentThread(), TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES, FALSE, &token));
    RevertToSelf();
    if (r.enable) {
      TOKEN_PRIVILEGES change = {1, {{{r.enable, 0}, SE_PRIVILEGE_ENABLED}}};
      SetLastError(kSentinelError);
      EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &change, 0, nullptr, nullptr));
      EXPECT_EQ(GetLastError(), r.profile == kFiltered ? static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED)
                                                       : static_cast<DWORD>(ERROR_SUCCESS));
    }
    PRIVILEGE_SET privileges;
    DWORD length = sizeof(privileges);
    DWORD granted = kUnchanged;
    BOOL status = static_cast<BOOL>(kUnchanged);
    EXPECT_TRUE(AccessCheck(const_cast<BYTE*>(sd.data()), token, r.desired,
                            const_cast<GENERIC_MAPPING*>(&kMapping), &privileges, &length, &granted,
                            &status));
    EXPECT_EQ(status, r.status);
    EXPECT_EQ(granted, r.granted);
    if (r.used) {
      ASSERT_EQ(privileges.PrivilegeCount, 1u);
      EXPECT_EQ(privileges.Privilege[0].Luid.LowPart, r.used);
      EXPECT_EQ(privileges.Privilege[0].Attributes,
                static_cast<DWORD>(SE_PRIVILEGE_USED_FOR_ACCESS));
    } else if (r.status) {
      EXPECT_EQ(privileges.PrivilegeCount, 0u);
    }
    ExpectWalkAgrees(token, const_cast<BYTE*>(sd.data()), r.desired);
    CloseHandle(token);
  }
}

// Calls that fail leave the granted mask and the status alone.
TEST_F(standin_access_check, ArgumentsAreChecked) {
  InstallProfile(kElevated);
  const auto sd = Descriptor(L"O:SYG:SYD:(A;;0x3;;;WD)");
  const auto no_group = Descriptor(L"O:SYD:(A;;0x3;;;WD)");
  const auto no_owner = Descriptor(L"G:SYD:(A;;0x3;;;WD)");
  HANDLE token = ImpersonationToken();
  HANDLE primary = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &primary));
  auto anonymous_data =
      std::make_shared<standin::TokenData>(*standin::CurrentMachine()->process_token());
  anonymous_data->type = TokenImpersonation;
  anonymous_data->level = SecurityAnonymous;
  auto anonymous_object = std::make_shared<standin::TokenHandle>();
  anonymous_object->token = anonymous_data;
  HANDLE anonymous = standin::CurrentMachine()->AddHandle(anonymous_object);

  struct Bad {
    const char* what;
    const std::vector<BYTE>* sd;
    HANDLE token;
    DWORD desired;
    bool privileges;
    DWORD length;
    DWORD error;
    DWORD length_after;
  };
  const Bad bad[] = {
      {"primary token", &sd, primary, 1, true, 20, ERROR_NO_IMPERSONATION_TOKEN, 20},
      {"anonymous token", &sd, anonymous, 1, true, 20, ERROR_BAD_IMPERSONATION_LEVEL, 20},
      {"no such token", &sd, reinterpret_cast<HANDLE>(0x7770), 1, true, 20, ERROR_INVALID_HANDLE,
       20},
      {"no group", &no_group, token, 1, true, 20, ERROR_INVALID_SECURITY_DESCR, 20},
      {"no owner", &no_owner, token, 1, true, 20, ERROR_INVALID_SECURITY_DESCR, 20},
      {"generic rights", &sd, token, GENERIC_READ, true, 20, ERROR_GENERIC_NOT_MAPPED, 20},
      {"no privilege set", &sd, token, GENERIC_READ, false, 20, ERROR_NOACCESS, 20},
      {"no privilege set, length 1", &sd, token, 1, false, 1, ERROR_NOACCESS, 1},
      {"no privilege set, length 0", &sd, token, 1, false, 0, ERROR_INSUFFICIENT_BUFFER, 20},
      {"short privilege set", &sd, token, 1, true, 19, ERROR_INSUFFICIENT_BUFFER, 20},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.what);
    PRIVILEGE_SET privileges;
    std::memset(&privileges, 0xcc, sizeof(privileges));
    DWORD length = b.length;
    DWORD granted = kUnchanged;
    BOOL status = static_cast<BOOL>(kUnchanged);
    SetLastError(kSentinelError);
    EXPECT_FALSE(AccessCheck(const_cast<BYTE*>(b.sd->data()), b.token, b.desired,
                             const_cast<GENERIC_MAPPING*>(&kMapping),
                             b.privileges ? &privileges : nullptr, &length, &granted, &status));
    EXPECT_EQ(GetLastError(), b.error);
    EXPECT_EQ(length, b.length_after);
    EXPECT_EQ(granted, kUnchanged);
    EXPECT_EQ(status, static_cast<BOOL>(kUnchanged));
    EXPECT_TRUE(AllBytesAre(&privileges, sizeof(privileges), 0xcc));
  }
  // A null privilege length is a fault too.
  DWORD granted = kUnchanged;
  BOOL status = FALSE;
  PRIVILEGE_SET privileges;
  SetLastError(kSentinelError);
  EXPECT_FALSE(AccessCheck(const_cast<BYTE*>(sd.data()), token, 1,
                           const_cast<GENERIC_MAPPING*>(&kMapping), &privileges, nullptr, &granted,
                           &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
  CloseHandle(anonymous);
  CloseHandle(primary);
  CloseHandle(token);
}

// Random descriptors against an elevated administrator's token and a filtered one, whose
// Administrators counts for deny entries only: the host's walk answers as the check does.
TEST_F(standin_access_check, WalkAgreesOnRandomPairsWithDenyOnlyGroups) {
  int agreed = 0, total = 0;
  for (const std::string_view profile : {kElevated, kFiltered}) {
    InstallProfile(profile);
    HANDLE token = ImpersonationToken();
    walk_check::RandomPairs pairs(1208 + total, walk_check::SidsOf(token), false);
    DWORD error = 0;
    const auto subject = AccessSubject::OfToken(token, error);
    ASSERT_TRUE(subject) << error;
    for (int i = 0; i < 1000; ++i, ++total) {
      PSECURITY_DESCRIPTOR sd = pairs.NextDescriptor();
      const DWORD desired = pairs.NextDesired();
      const walk_check::Verdict check = walk_check::ByAccessCheck(token, sd, desired);
      const walk_check::Verdict walk = walk_check::ByWalk(*subject, sd, desired, false);
      EXPECT_EQ(walk, check) << standin::WideToUtf8(pairs.LastText()) << " desired 0x" << std::hex
                             << desired << ": " << walk_check::Text(check);
      agreed += walk == check;
    }
    CloseHandle(token);
  }
  std::cout << "[ walk     ] " << agreed << " of " << total
            << " random pairs (elevated and filtered tokens) agree with AccessCheck" << std::endl;
}

TEST_F(standin_access_check, MapGenericMaskMapsAndClearsTheGenericBits) {
  GENERIC_MAPPING mapping = {0x1, 0x2, 0x4, 0x7};
  const struct {
    DWORD in, out;
  } cases[] = {
      {0, 0},
      {GENERIC_READ, 0x1},
      {GENERIC_WRITE | 0x100, 0x102},
      {GENERIC_EXECUTE | GENERIC_READ, 0x5},
      {GENERIC_ALL, 0x7},
      {MAXIMUM_ALLOWED | GENERIC_READ, MAXIMUM_ALLOWED | 0x1},
  };
  for (const auto& c : cases) {
    DWORD mask = c.in;
    MapGenericMask(&mask, &mapping);
    EXPECT_EQ(mask, c.out) << std::hex << c.in;
  }
}

}  // namespace
