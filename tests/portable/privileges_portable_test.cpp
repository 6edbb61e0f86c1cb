// The privilege calls in Wine's manner: the last error set to a sentinel first, outputs filled
// beforehand to show what a failing call leaves alone, exact codes after. The same source runs
// on the stand-in's host mirror and, built for Windows, under Wine.
#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/portable/platform_facts.h"

namespace {

constexpr DWORD kSentinel = 0xdeadbeef;
// The well-known LUIDs (wdm.h): SeChangeNotifyPrivilege, and one no process token holds.
constexpr DWORD kChangeNotify = 23;
constexpr DWORD kCreateToken = 2;

HANDLE ProcessToken(DWORD access) {
  HANDLE token = nullptr;
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), access, &token));
  return token;
}

// The token's privileges: LUID to attributes.
std::vector<LUID_AND_ATTRIBUTES> Privileges(HANDLE token) {
  DWORD needed = 0;
  SetLastError(kSentinel);
  EXPECT_FALSE(GetTokenInformation(token, TokenPrivileges, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  std::vector<BYTE> buffer(needed);
  EXPECT_TRUE(GetTokenInformation(token, TokenPrivileges, buffer.data(), needed, &needed));
  const auto* held = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
  const auto* first = reinterpret_cast<const LUID_AND_ATTRIBUTES*>(
      buffer.data() + offsetof(TOKEN_PRIVILEGES, Privileges));
  EXPECT_EQ(needed, offsetof(TOKEN_PRIVILEGES, Privileges) +
                        held->PrivilegeCount * sizeof(LUID_AND_ATTRIBUTES));
  return std::vector<LUID_AND_ATTRIBUTES>(first, first + held->PrivilegeCount);
}

DWORD AttributesOf(HANDLE token, DWORD luid) {
  for (const auto& p : Privileges(token)) {
    if (p.Luid.LowPart == luid && p.Luid.HighPart == 0)
      return p.Attributes;
  }
  return kSentinel;
}

TEST(PrivilegeLookup, NamesAndLuidsFollowThePlatformsTable) {
  struct Row {
    const wchar_t* name;
    DWORD luid;
  };
  for (const Row& r : {Row{L"SeCreateTokenPrivilege", 2}, Row{L"SeSecurityPrivilege", 8},
                       Row{L"SeTakeOwnershipPrivilege", 9}, Row{L"SeBackupPrivilege", 17},
                       Row{L"SeRestorePrivilege", 18}, Row{L"SeChangeNotifyPrivilege", 23},
                       Row{L"SeCreateGlobalPrivilege", 30}}) {
    const std::wstring name = r.name;
    SCOPED_TRACE(std::string(name.begin(), name.end()));
    LUID luid = {kSentinel, -1};
    EXPECT_TRUE(LookupPrivilegeValueW(nullptr, r.name, &luid));
    EXPECT_EQ(luid.LowPart, r.luid);
    EXPECT_EQ(luid.HighPart, 0);
    // Names are matched without regard to case.
    std::wstring lower = name;
    for (auto& c : lower)
      c = (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    luid = {kSentinel, -1};
    EXPECT_TRUE(LookupPrivilegeValueW(L"", lower.c_str(), &luid));
    EXPECT_EQ(luid.LowPart, r.luid);

    // Two-call sizing: the room asked for counts the terminator, the length reported does not.
    luid = {r.luid, 0};
    DWORD chars = 0;
    SetLastError(kSentinel);
    EXPECT_FALSE(LookupPrivilegeNameW(nullptr, &luid, nullptr, &chars));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(chars, name.size() + 1);
    std::vector<wchar_t> buffer(chars, L'#');
    chars = static_cast<DWORD>(name.size());  // one short
    EXPECT_FALSE(LookupPrivilegeNameW(nullptr, &luid, buffer.data(), &chars));
    EXPECT_EQ(buffer[0], L'#');
    chars = static_cast<DWORD>(buffer.size());
    EXPECT_TRUE(LookupPrivilegeNameW(nullptr, &luid, buffer.data(), &chars));
    EXPECT_EQ(chars, name.size());
    EXPECT_EQ(std::wstring(buffer.data()), name);
  }
}

TEST(PrivilegeLookup, UnknownNamesAndLuidsAreRefused) {
  LUID luid = {kSentinel, -1};
  for (const wchar_t* name : {L"SeBogusPrivilege", L"", static_cast<const wchar_t*>(nullptr)}) {
    SetLastError(kSentinel);
    EXPECT_FALSE(LookupPrivilegeValueW(nullptr, name, &luid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE));
    EXPECT_EQ(luid.LowPart, kSentinel);
  }
  wchar_t buffer[64] = L"#";
  for (const LUID bogus : {LUID{0xdeadbeef, 0}, LUID{kChangeNotify, 1}, LUID{0, 0}}) {
    LUID asked = bogus;
    DWORD chars = 64;
    SetLastError(kSentinel);
    EXPECT_FALSE(LookupPrivilegeNameW(nullptr, &asked, buffer, &chars));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE));
    EXPECT_EQ(buffer[0], L'#');
  }
}

TEST(AdjustTokenPrivileges, ChangesWhatTheTokenHoldsAndReportsTheRest) {
  HANDLE token = ProcessToken(TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES);
  ASSERT_NE(AttributesOf(token, kChangeNotify), kSentinel) << "every token may traverse";
  ASSERT_EQ(AttributesOf(token, kCreateToken), kSentinel) << "no process token creates tokens";

  // Disabled, with the earlier state handed back; then restored from it.
  TOKEN_PRIVILEGES change = {1, {{{kChangeNotify, 0}, 0}}};
  std::vector<BYTE> previous(64, 0xA5);
  DWORD length = kSentinel;
  SetLastError(kSentinel);
  EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &change, static_cast<DWORD>(previous.size()),
                                    reinterpret_cast<TOKEN_PRIVILEGES*>(previous.data()), &length));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  auto* earlier = reinterpret_cast<TOKEN_PRIVILEGES*>(previous.data());
  ASSERT_EQ(earlier->PrivilegeCount, 1u);
  EXPECT_EQ(earlier->Privileges[0].Luid.LowPart, kChangeNotify);
  EXPECT_TRUE(earlier->Privileges[0].Attributes & SE_PRIVILEGE_ENABLED);
  EXPECT_FALSE(AttributesOf(token, kChangeNotify) & SE_PRIVILEGE_ENABLED);
  EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, earlier, 0, nullptr, nullptr));
  EXPECT_TRUE(AttributesOf(token, kChangeNotify) & SE_PRIVILEGE_ENABLED);

  // A privilege the token lacks: the call succeeds and says so in the last error.
  change = {1, {{{kCreateToken, 0}, SE_PRIVILEGE_ENABLED}}};
  SetLastError(kSentinel);
  EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &change, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));

  CloseHandle(token);

  // Without the right to adjust, nothing at all.
  token = ProcessToken(TOKEN_QUERY);
  SetLastError(kSentinel);
  EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &change, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(AttributesOf(token, kChangeNotify) & SE_PRIVILEGE_ENABLED);
  CloseHandle(token);
}

TEST(AdjustTokenPrivileges, ChangesNothingWithoutRoomForTheEarlierState) {
  SKIP_UNDER_WINE("AdjustTokenPrivileges adjusts even when PreviousState has no room");
  HANDLE token = ProcessToken(TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES);
  TOKEN_PRIVILEGES change = {1, {{{kChangeNotify, 0}, 0}}};
  std::vector<BYTE> previous(64, 0xA5);
  DWORD length = kSentinel;
  SetLastError(kSentinel);
  EXPECT_FALSE(AdjustTokenPrivileges(
      token, FALSE, &change, 4, reinterpret_cast<TOKEN_PRIVILEGES*>(previous.data()), &length));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(length, offsetof(TOKEN_PRIVILEGES, Privileges) + sizeof(LUID_AND_ATTRIBUTES));
  EXPECT_TRUE(AttributesOf(token, kChangeNotify) & SE_PRIVILEGE_ENABLED);
  CloseHandle(token);
}

TEST(PrivilegeCheck, RefusesAPrimaryToken) {
  SKIP_UNDER_WINE("PrivilegeCheck answers for a primary token");
  PRIVILEGE_SET set = {1, PRIVILEGE_SET_ALL_NECESSARY, {{{kChangeNotify, 0}, 0}}};
  BOOL result = static_cast<BOOL>(kSentinel);
  HANDLE primary = ProcessToken(TOKEN_QUERY);
  SetLastError(kSentinel);
  EXPECT_FALSE(PrivilegeCheck(primary, &set, &result));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_IMPERSONATION_TOKEN));
  EXPECT_EQ(result, static_cast<BOOL>(kSentinel));
  EXPECT_EQ(set.Privilege[0].Attributes, 0u);
  CloseHandle(primary);
}

TEST(PrivilegeCheck, AsksAnImpersonationTokenForEnabledPrivileges) {
  PRIVILEGE_SET set = {1, PRIVILEGE_SET_ALL_NECESSARY, {{{kChangeNotify, 0}, 0}}};
  BOOL result = static_cast<BOOL>(kSentinel);
  ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
  RevertToSelf();
  EXPECT_TRUE(PrivilegeCheck(token, &set, &result));
  EXPECT_TRUE(result);
  EXPECT_EQ(set.Privilege[0].Attributes, static_cast<DWORD>(SE_PRIVILEGE_USED_FOR_ACCESS));

  // Every one needed: one the token lacks fails the check; any one will do: it passes.
  struct {
    DWORD PrivilegeCount;
    DWORD Control;
    LUID_AND_ATTRIBUTES Privilege[2];
  } two = {2, PRIVILEGE_SET_ALL_NECESSARY, {{{kChangeNotify, 0}, 0}, {{kCreateToken, 0}, 0}}};
  EXPECT_TRUE(PrivilegeCheck(token, reinterpret_cast<PRIVILEGE_SET*>(&two), &result));
  EXPECT_FALSE(result);
  EXPECT_EQ(two.Privilege[1].Attributes, 0u);
  two.Control = 0;
  EXPECT_TRUE(PrivilegeCheck(token, reinterpret_cast<PRIVILEGE_SET*>(&two), &result));
  EXPECT_TRUE(result);
  CloseHandle(token);
}

}  // namespace
