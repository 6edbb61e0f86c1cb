// Contract of the stand-in's tokens: the process token's user and groups, per-thread
// impersonation, GetTokenInformation's two-call sizing and the handle calls.
#include <algorithm>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <unistd.h>

#include "platform/standin/machine/machine.h"
#include "platform/standin/profile/host_ids.h"
#include "platform/standin/profile/profile.h"
#include "tests/standin_contract.h"

namespace {

constexpr DWORD kEnabled = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;

// The machine of these cases, run as `user` (a JSON string's content).
std::string MachineProfile(std::string_view user = "alice", bool elevated = true) {
  return std::string(R"({
  "computer": "WS01",
  "user": ")") +
         std::string(user) + R"(",
  "elevated": )" +
         (elevated ? "true" : "false") + R"(,
  "users": ["alice", "bob"],
  "groups": {
    "Administrators": ["alice", "CORP\\Domain Admins"],
    "Helpdesk": ["bob", "Everyone"],
    "Auditors": ["CORP\\carol"]
  },
  "domains": {
    "CORP": {"controller": "\\\\DC01", "users": ["carol", "dave"],
             "groups": {"Domain Admins": ["carol"], "Printers": ["dave"]}}
  }
})";
}

class standin_token : public StandinTest {
 protected:
  void SetUp() override { InstallProfile(MachineProfile()); }

  HANDLE OpenProcessTokenOrFail(DWORD access = TOKEN_QUERY) {
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), access, &token));
    return token;
  }

  // The token's groups: SID string to attributes, with the layout checked on the way.
  std::map<std::wstring, DWORD> Groups(HANDLE token) {
    DWORD needed = 0;
    EXPECT_FALSE(GetTokenInformation(token, TokenGroups, nullptr, 0, &needed));
    std::vector<BYTE> buffer(needed);
    EXPECT_TRUE(GetTokenInformation(token, TokenGroups, buffer.data(), needed, &needed));
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    const BYTE* begin = buffer.data();
    const BYTE* end = begin + buffer.size();
    const BYTE* after_records =
        begin + offsetof(TOKEN_GROUPS, Groups) + groups->GroupCount * sizeof(SID_AND_ATTRIBUTES);
    size_t sid_bytes = 0;
    std::map<std::wstring, DWORD> result;
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
      const auto* sid = static_cast<const BYTE*>(groups->Groups[i].Sid);
      EXPECT_GE(sid, after_records) << "SID " << i << " overlaps the records";
      EXPECT_LE(sid + GetLengthSid(groups->Groups[i].Sid), end) << "SID " << i << " outside";
      sid_bytes += GetLengthSid(groups->Groups[i].Sid);
      EXPECT_TRUE(
          result.emplace(SidText(groups->Groups[i].Sid), groups->Groups[i].Attributes).second)
          << "SID " << i << " listed twice";
    }
    EXPECT_EQ(static_cast<size_t>(end - after_records), sid_bytes) << "size is not exact";
    return result;
  }

  std::wstring SidOf(const wchar_t* name) {
    auto sid = SidOfAccount(name);
    return sid.empty() ? L"(none)" : SidText(sid.data());
  }
};

TEST_F(standin_token, OpenThreadTokenWithoutImpersonationHasNoToken) {
  HANDLE token = reinterpret_cast<HANDLE>(0x1234);
  SetLastError(kSentinelError);
  EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
  EXPECT_EQ(token, reinterpret_cast<HANDLE>(0x1234));
}

TEST_F(standin_token, ImpersonateSelfGivesTheThreadAnImpersonationToken) {
  ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));

  TOKEN_TYPE type = TokenPrimary;
  DWORD length = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenType, &type, sizeof(type), &length));
  EXPECT_EQ(type, TokenImpersonation);
  EXPECT_EQ(length, sizeof(TOKEN_TYPE));
  SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
  ASSERT_TRUE(GetTokenInformation(token, TokenImpersonationLevel, &level, sizeof(level), &length));
  EXPECT_EQ(level, SecurityImpersonation);

  // The thread token carries the process token's groups.
  HANDLE process = OpenProcessTokenOrFail();
  EXPECT_EQ(Groups(token), Groups(process));
  EXPECT_TRUE(CloseHandle(process));
  EXPECT_TRUE(CloseHandle(token));

  ASSERT_TRUE(RevertToSelf());
  SetLastError(kSentinelError);
  EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
}

TEST_F(standin_token, AnonymousTokenCannotBeOpened) {
  ASSERT_TRUE(ImpersonateSelf(SecurityAnonymous));
  HANDLE token = reinterpret_cast<HANDLE>(0x1234);
  SetLastError(kSentinelError);
  EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANT_OPEN_ANONYMOUS));
  EXPECT_EQ(token, reinterpret_cast<HANDLE>(0x1234));
  RevertToSelf();
}

TEST_F(standin_token, ProcessTokenIsPrimary) {
  HANDLE token = OpenProcessTokenOrFail();
  TOKEN_TYPE type = TokenImpersonation;
  DWORD length = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenType, &type, sizeof(type), &length));
  EXPECT_EQ(type, TokenPrimary);
  // A primary token has no impersonation level.
  SECURITY_IMPERSONATION_LEVEL level = SecurityDelegation;
  SetLastError(kSentinelError);
  EXPECT_FALSE(GetTokenInformation(token, TokenImpersonationLevel, &level, sizeof(level), &length));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(level, SecurityDelegation);
  CloseHandle(token);
}

TEST_F(standin_token, ImpersonationBelongsToTheThread) {
  ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
  SetLastError(ERROR_ACCESS_DENIED);

  DWORD other_error = 0;
  bool other_opened = true;
  bool other_impersonated = false;
  std::thread other([&] {
    HANDLE token = nullptr;
    SetLastError(kSentinelError);
    other_opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) != FALSE;
    other_error = GetLastError();
    // Its own impersonation stays its own.
    if (ImpersonateSelf(SecurityIdentification) &&
        OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
      other_impersonated = true;
      CloseHandle(token);
    }
  });
  other.join();

  EXPECT_FALSE(other_opened) << "a new thread saw another thread's impersonation";
  EXPECT_EQ(other_error, static_cast<DWORD>(ERROR_NO_TOKEN));
  EXPECT_TRUE(other_impersonated);
  // The last error is per thread too.
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  HANDLE token = nullptr;
  ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
  SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
  DWORD length = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenImpersonationLevel, &level, sizeof(level), &length));
  EXPECT_EQ(level, SecurityImpersonation) << "the other thread's level leaked here";
  CloseHandle(token);
  RevertToSelf();
}

TEST_F(standin_token, ImpersonationEndsWithTheMachine) {
  ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
  InstallProfile(MachineProfile());
  HANDLE token = nullptr;
  SetLastError(kSentinelError);
  EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
}

TEST_F(standin_token, TokenUserLayout) {
  HANDLE token = OpenProcessTokenOrFail();
  const auto alice = SidOfAccount(L"alice");
  ASSERT_FALSE(alice.empty());

  DWORD needed = 0;
  SetLastError(kSentinelError);
  EXPECT_FALSE(GetTokenInformation(token, TokenUser, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(needed, sizeof(TOKEN_USER) + alice.size());

  std::vector<BYTE> buffer(needed + 16, 0xA5);
  DWORD returned = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, buffer.data(), needed + 16, &returned));
  EXPECT_EQ(returned, needed);
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
  EXPECT_EQ(user->User.Attributes, 0u);
  EXPECT_EQ(static_cast<const BYTE*>(user->User.Sid), buffer.data() + sizeof(TOKEN_USER));
  EXPECT_TRUE(EqualSid(user->User.Sid, const_cast<BYTE*>(alice.data())));
  EXPECT_TRUE(AllBytesAre(buffer.data() + needed, 16, 0xA5)) << "wrote past what it needs";
  CloseHandle(token);
}

TEST_F(standin_token, BufferOneByteShortIsLeftUntouched) {
  HANDLE token = OpenProcessTokenOrFail();
  for (auto info_class : {TokenUser, TokenGroups, TokenType, TokenElevation}) {
    SCOPED_TRACE(::testing::Message() << "class " << int(info_class));
    DWORD needed = 0;
    SetLastError(kSentinelError);
    EXPECT_FALSE(GetTokenInformation(token, info_class, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_GT(needed, 0u);

    std::vector<BYTE> buffer(needed, 0xA5);
    DWORD returned = 0;
    SetLastError(kSentinelError);
    EXPECT_FALSE(GetTokenInformation(token, info_class, buffer.data(), needed - 1, &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(returned, needed);
    EXPECT_TRUE(AllBytesAre(buffer.data(), buffer.size(), 0xA5)) << "a failing call wrote";

    EXPECT_TRUE(GetTokenInformation(token, info_class, buffer.data(), needed, &returned));
    EXPECT_EQ(returned, needed);
  }
  CloseHandle(token);
}

TEST_F(standin_token, ProcessTokenGroupsFollowTheMemberships) {
  struct Case {
    const char* user_json;
    const wchar_t* user;
    std::vector<const wchar_t*> in;   // groups the token must hold, enabled
    std::vector<const wchar_t*> out;  // groups it must not hold
  };
  const Case cases[] = {
      {"alice",
       L"alice",
       {L"Everyone", L"NT AUTHORITY\\INTERACTIVE", L"NT AUTHORITY\\Authenticated Users",
        L"BUILTIN\\Administrators", L"BUILTIN\\Users", L"WS01\\Helpdesk"},
       {L"BUILTIN\\Guests", L"WS01\\Auditors", L"CORP\\Domain Admins", L"WS01\\alice"}},
      {"bob",
       L"bob",
       {L"Everyone", L"BUILTIN\\Users", L"WS01\\Helpdesk"},
       {L"BUILTIN\\Administrators", L"WS01\\Auditors"}},
      // A domain user: its global groups, and the local groups that list them.
      {"CORP\\\\carol",
       L"CORP\\carol",
       {L"Everyone", L"CORP\\Domain Admins", L"CORP\\Domain Users", L"BUILTIN\\Administrators",
        L"WS01\\Auditors", L"BUILTIN\\Users", L"WS01\\Helpdesk"},
       {L"CORP\\Printers", L"BUILTIN\\Guests"}},
      {"CORP\\\\dave",
       L"CORP\\dave",
       {L"CORP\\Printers", L"CORP\\Domain Users", L"Everyone"},
       {L"CORP\\Domain Admins", L"BUILTIN\\Administrators", L"WS01\\Auditors"}},
      {"Guest", L"Guest", {L"BUILTIN\\Guests", L"Everyone"}, {L"BUILTIN\\Administrators"}},
      // Administrators as given replaces its default member; Guests keeps its own.
      {"Administrator",
       L"Administrator",
       {L"BUILTIN\\Users", L"WS01\\Helpdesk"},
       {L"BUILTIN\\Administrators", L"BUILTIN\\Guests"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.user_json);
    InstallProfile(MachineProfile(c.user_json));

    HANDLE token = OpenProcessTokenOrFail();
    const auto groups = Groups(token);
    for (const wchar_t* name : c.in) {
      const auto it = groups.find(SidOf(name));
      if (it == groups.end()) {
        ADD_FAILURE() << "missing " << std::string(name, name + wcslen(name));
        continue;
      }
      EXPECT_EQ(it->second, kEnabled) << std::string(name, name + wcslen(name));
    }
    for (const wchar_t* name : c.out)
      EXPECT_EQ(groups.count(SidOf(name)), 0u) << std::string(name, name + wcslen(name));

    std::vector<BYTE> user(sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE);
    DWORD length = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()),
                                    &length));
    EXPECT_EQ(SidText(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid), SidOf(c.user));
    EXPECT_EQ(groups.count(SidOf(c.user)), 0u) << "the user is no group";
    CloseHandle(token);
  }
}

TEST_F(standin_token, FilteredTokenHoldsAdministratorsForDenyOnly) {
  for (bool elevated : {true, false}) {
    SCOPED_TRACE(elevated ? "elevated" : "filtered");
    InstallProfile(MachineProfile("alice", elevated));
    HANDLE token = OpenProcessTokenOrFail();
    const auto groups = Groups(token);
    const auto admins = groups.find(L"S-1-5-32-544");
    ASSERT_NE(admins, groups.end());
    EXPECT_EQ(admins->second, elevated ? kEnabled : static_cast<DWORD>(SE_GROUP_USE_FOR_DENY_ONLY));
    // Only Administrators is filtered.
    for (const auto& [sid, attributes] : groups) {
      if (sid != L"S-1-5-32-544") {
        EXPECT_EQ(attributes, kEnabled) << std::string(sid.begin(), sid.end());
      }
    }
    TOKEN_ELEVATION elevation{0xFF};
    DWORD length = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &length));
    EXPECT_EQ(elevation.TokenIsElevated, elevated ? 1u : 0u);
    CloseHandle(token);
  }
}

// On the host the token holds the groups the kernel gives the process, by the host's SID
// scheme, instead of the computer's groups whose member lists name the user.
TEST_F(standin_token, HostTokenHoldsTheKernelsGroups) {
  standin::MachineDescription description =
      standin::ParseProfile(MachineProfile("bob"), std::filesystem::current_path());
  description.token_gids = std::vector<std::uint32_t>{4242, 7};
  standin::InstallMachine(description);
  const standin::SidValue machine = standin::CurrentMachine()->accounts().machine_sid();
  HANDLE token = OpenProcessTokenOrFail();
  const auto groups = Groups(token);
  CloseHandle(token);
  for (const std::uint32_t gid : {4242u, 7u}) {
    const auto it = groups.find(standin::HostGroupSid(machine, gid).ToString());
    ASSERT_NE(it, groups.end()) << gid;
    EXPECT_EQ(it->second, kEnabled);
  }
  EXPECT_EQ(groups.count(SidOf(L"WS01\\Helpdesk")), 0u);
  EXPECT_EQ(groups.count(SidOf(L"BUILTIN\\Users")), 1u);

  // The host mirror itself: the process's effective and supplementary groups.
  standin::InstallMachine(standin::HostMirrorDescription());
  const standin::SidValue host = standin::CurrentMachine()->accounts().machine_sid();
  token = OpenProcessTokenOrFail();
  const auto held = Groups(token);
  CloseHandle(token);
  std::vector<gid_t> gids(static_cast<size_t>(getgroups(0, nullptr)));
  gids.resize(static_cast<size_t>(getgroups(static_cast<int>(gids.size()), gids.data())));
  gids.push_back(getegid());
  for (const gid_t gid : gids)
    EXPECT_EQ(held.count(standin::HostGroupSid(host, gid).ToString()), 1u) << gid;
}

TEST_F(standin_token, QueryNeedsTokenQueryAccess) {
  HANDLE token = OpenProcessTokenOrFail(TOKEN_DUPLICATE);
  std::vector<BYTE> buffer(256, 0xA5);
  DWORD length = 0x5A5A;
  SetLastError(kSentinelError);
  EXPECT_FALSE(GetTokenInformation(token, TokenUser, buffer.data(), 256, &length));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(AllBytesAre(buffer.data(), buffer.size(), 0xA5));
  CloseHandle(token);
}

TEST_F(standin_token, BadHandlesAreRefused) {
  SetLastError(kSentinelError);
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x4321)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  HANDLE token = OpenProcessTokenOrFail();
  ASSERT_TRUE(CloseHandle(token));
  SetLastError(kSentinelError);
  EXPECT_FALSE(CloseHandle(token)) << "closed twice";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  DWORD length = 0;
  TOKEN_TYPE type;
  SetLastError(kSentinelError);
  EXPECT_FALSE(GetTokenInformation(token, TokenType, &type, sizeof(type), &length));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  HANDLE out = reinterpret_cast<HANDLE>(0x1234);
  SetLastError(kSentinelError);
  EXPECT_FALSE(OpenProcessToken(reinterpret_cast<HANDLE>(0x4321), TOKEN_QUERY, &out));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(out, reinterpret_cast<HANDLE>(0x1234));

  // The pseudo-handles need no closing, and closing them does no harm.
  EXPECT_TRUE(CloseHandle(GetCurrentProcess()));
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &out));
  CloseHandle(out);
}

}  // namespace
