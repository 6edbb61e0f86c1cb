// The host's access walk beside the platform's own checks: AccessCheck for the process's token,
// AuthzAccessCheck for client contexts, on the rows the differential program prints and on
// random descriptors and requests. The walk decides nothing the checks would not: every verdict
// must be theirs. Under Wine, AccessCheck only (authz.dll is stubs), on what Wine weighs as
// Windows does.
#include <iostream>
#include <string>

#include <gtest/gtest.h>

#include "cli/access_walk.h"
#include "security/scoped_platform.h"
#include "tests/portable/access_rows.h"
#include "tests/portable/platform_facts.h"
#include "tests/portable/walk_check.h"

namespace {

using walk_check::ByAccessCheck;
using walk_check::ByAuthz;
using walk_check::ByWalk;
using walk_check::Text;
using walk_check::Verdict;

constexpr int kRandomTokenPairs = 3000;
constexpr int kRandomContextPairs = 1000;

std::string Narrow(const std::wstring& text) {
  return std::string(text.begin(), text.end());
}

// The rows where Wine's AccessCheck answers otherwise than Windows (wine_faults.txt).
bool WineDiffersOn(const std::string& row) {
  return row == "maximum" || row == "owner-maximum" || row == "owner-rights";
}

// The thread's impersonation token, whose privileges the test may change.
HANDLE ImpersonationToken() {
  HANDLE token = nullptr;
  EXPECT_TRUE(ImpersonateSelf(SecurityImpersonation));
  EXPECT_TRUE(
      OpenThreadToken(GetCurrentThread(), TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES, TRUE, &token));
  RevertToSelf();
  return token;
}

void Enable(HANDLE token, const wchar_t* privilege, bool enabled) {
  TOKEN_PRIVILEGES change = {1, {{{0, 0}, enabled ? DWORD{SE_PRIVILEGE_ENABLED} : DWORD{0}}}};
  if (LookupPrivilegeValueW(nullptr, privilege, &change.Privileges[0].Luid))
    AdjustTokenPrivileges(token, FALSE, &change, 0, nullptr, nullptr);
}

TEST(AccessWalk, AgreesWithAccessCheckOnTheDifferentialRows) {
  const vortiss::ScopedHandle token(ImpersonationToken());
  DWORD error = 0;
  const auto subject = AccessSubject::OfToken(token.get(), error);
  ASSERT_TRUE(subject) << error;
  int agreed = 0, compared = 0;
  for (const portable::AccessRow& row : portable::kAccessRows) {
    if (portable::RunningUnderWine() && WineDiffersOn(row.name))
      continue;
    ++compared;
    std::vector<BYTE> sd = walk_check::Descriptor(row.sddl, portable::ProcessUserSidText());
    ASSERT_FALSE(sd.empty()) << row.name;
    const Verdict check = ByAccessCheck(token.get(), sd.data(), row.desired);
    const Verdict walk = ByWalk(*subject, sd.data(), row.desired, false);
    EXPECT_EQ(walk, check) << row.name << ": the check says " << Text(check);
    agreed += walk == check;
  }
  std::cout << "[ walk     ] " << agreed << " of " << compared << " rows ("
            << std::size(portable::kAccessRows) << " in the table) agree with AccessCheck"
            << std::endl;
}

TEST(AccessWalk, AgreesWithAccessCheckOnRandomPairs) {
  const bool wine = portable::RunningUnderWine();
  const vortiss::ScopedHandle token(ImpersonationToken());
  walk_check::RandomPairs pairs(2205, walk_check::SidsOf(token.get()), wine);
  int agreed = 0, granted = 0;
  for (int i = 0; i < kRandomTokenPairs; ++i) {
    Enable(token.get(), L"SeSecurityPrivilege", pairs.Coin());
    // Wine's check takes no account of the take-ownership privilege: it stays disabled there.
    Enable(token.get(), L"SeTakeOwnershipPrivilege", !wine && pairs.Coin());
    DWORD error = 0;
    const auto subject = AccessSubject::OfToken(token.get(), error);
    ASSERT_TRUE(subject) << error;
    PSECURITY_DESCRIPTOR sd = pairs.NextDescriptor();
    const ACCESS_MASK desired = pairs.NextDesired();
    const Verdict check = ByAccessCheck(token.get(), sd, desired);
    const Verdict walk = ByWalk(*subject, sd, desired, false);
    EXPECT_EQ(walk, check) << std::hex << "desired 0x" << desired << " on "
                           << Narrow(pairs.LastText()) << ": the check says " << Text(check)
                           << ", the walk " << Text(walk);
    agreed += walk == check;
    granted += !check.refused && check.result == ERROR_SUCCESS;
    if (::testing::Test::HasFailure() && i - agreed > 5)
      break;
  }
  std::cout << "[ walk     ] " << agreed << " of " << kRandomTokenPairs
            << " random pairs agree with AccessCheck (" << granted << " granted)" << std::endl;
}

TEST(AccessWalk, AgreesWithAuthzAccessCheckOnRandomPairs) {
  SKIP_UNDER_WINE("authz.dll's calls are stubs (ERROR_CALL_NOT_IMPLEMENTED)");
  AUTHZ_RESOURCE_MANAGER_HANDLE manager = nullptr;
  ASSERT_TRUE(AuthzInitializeResourceManager(AUTHZ_RM_FLAG_NO_AUDIT, nullptr, nullptr, nullptr,
                                             L"vortiss", &manager));
  int agreed = 0, total = 0;
  // The process's user, SYSTEM, and a group's own context.
  for (const std::wstring& account :
       {portable::ProcessUserSidText(), std::wstring(L"S-1-5-18"), std::wstring(L"S-1-5-32-545")}) {
    std::vector<BYTE> sid = portable::SidBytes(account.c_str());
    AUTHZ_CLIENT_CONTEXT_HANDLE context = nullptr;
    ASSERT_TRUE(AuthzInitializeContextFromSid(AUTHZ_COMPUTE_PRIVILEGES, sid.data(), manager,
                                              nullptr, LUID{}, nullptr, &context))
        << Narrow(account);
    DWORD error = 0;
    const auto subject = AccessSubject::OfContext(context, error);
    ASSERT_TRUE(subject) << error;
    DWORD groups_size = 0;
    AuthzGetInformationFromContext(context, AuthzContextInfoGroupsSids, 0, &groups_size, nullptr);
    std::vector<BYTE> groups(groups_size);
    ASSERT_TRUE(AuthzGetInformationFromContext(context, AuthzContextInfoGroupsSids, groups_size,
                                               &groups_size, groups.data()));
    std::vector<std::vector<BYTE>> held = {sid};
    const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(groups.data());
    for (DWORD i = 0; i < list->GroupCount; ++i) {
      const auto* bytes = static_cast<const BYTE*>(list->Groups[i].Sid);
      held.emplace_back(bytes, bytes + GetLengthSid(list->Groups[i].Sid));
    }
    walk_check::RandomPairs pairs(2206 + total, held, false);
    for (int i = 0; i < kRandomContextPairs; ++i, ++total) {
      PSECURITY_DESCRIPTOR sd = pairs.NextDescriptor();
      // Authz maps no generic rights: requests may hold them.
      ACCESS_MASK desired = pairs.NextDesired();
      if (pairs.Coin() && pairs.Coin())
        desired |= GENERIC_READ;
      const Verdict check = ByAuthz(context, sd, desired);
      const Verdict walk = ByWalk(*subject, sd, desired, true);
      EXPECT_EQ(walk, check) << std::hex << "desired 0x" << desired << " on "
                             << Narrow(pairs.LastText()) << ": the check says " << Text(check)
                             << ", the walk " << Text(walk);
      agreed += walk == check;
    }
    EXPECT_TRUE(AuthzFreeContext(context));
  }
  EXPECT_TRUE(AuthzFreeResourceManager(manager));
  std::cout << "[ walk     ] " << agreed << " of " << total
            << " random pairs agree with AuthzAccessCheck" << std::endl;
}

}  // namespace
