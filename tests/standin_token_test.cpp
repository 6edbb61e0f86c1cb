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
  HANDLE token = OpenProcessTokenOrFail(TOKEN_QUERY | TOKEN_QUERY_SOURCE);
  for (auto info_class : {TokenUser,
                          TokenGroups,
                          TokenOwner,
                          TokenPrimaryGroup,
                          TokenDefaultDacl,
                          TokenSource,
                          TokenType,
                          TokenStatistics,
                          TokenRestrictedSids,
                          TokenSessionId,
                          TokenSandBoxInert,
                          TokenOrigin,
                          TokenElevationType,
                          TokenElevation,
                          TokenHasRestrictions,
                          TokenVirtualizationAllowed,
                          TokenVirtualizationEnabled,
                          TokenIntegrityLevel,
                          TokenUIAccess,
                          TokenMandatoryPolicy,
                          TokenLogonSid,
                          TokenIsAppContainer,
                          TokenCapabilities,
                          TokenAppContainerSid,
                          TokenAppContainerNumber,
                          TokenIsRestricted}) {
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
      // An elevated token may make Administrators the owner of what it writes.
      EXPECT_EQ(it->second, it->first == L"S-1-5-32-544" ? kEnabled | SE_GROUP_OWNER : kEnabled)
          << std::string(name, name + wcslen(name));
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
    EXPECT_EQ(admins->second, elevated ? kEnabled | SE_GROUP_OWNER
                                       : static_cast<DWORD>(SE_GROUP_USE_FOR_DENY_ONLY));
    // Only Administrators is filtered; the logon SID is marked as one.
    for (const auto& [sid, attributes] : groups) {
      if (sid != L"S-1-5-32-544") {
        EXPECT_EQ(attributes,
                  sid.rfind(L"S-1-5-5-", 0) == 0 ? kEnabled | SE_GROUP_LOGON_ID : kEnabled)
            << std::string(sid.begin(), sid.end());
      }
    }
    TOKEN_ELEVATION elevation{0xFF};
    DWORD length = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &length));
    EXPECT_EQ(elevation.TokenIsElevated, elevated ? 1u : 0u);
    CloseHandle(token);
  }
}

// One class's answer read whole into a buffer of its own.
std::vector<BYTE> Query(HANDLE token, TOKEN_INFORMATION_CLASS info_class) {
  DWORD needed = 0;
  GetTokenInformation(token, info_class, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed);
  EXPECT_TRUE(GetTokenInformation(token, info_class, buffer.data(), needed, &needed));
  return buffer;
}

// Every token may traverse; an elevated administrator also holds the administrators'
// privileges, disabled until enabled; a profile gives more to users and groups.
TEST_F(standin_token, TokensHoldThePrivilegesOfTheirAccounts) {
  constexpr DWORD kOnByDefault = SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT;
  struct Case {
    const char* user;
    bool elevated;
    std::map<DWORD, DWORD> privileges;  // LUID to attributes
  };
  const Case cases[] = {
      {"alice",
       true,
       {{SE_CHANGE_NOTIFY_PRIVILEGE, kOnByDefault},
        {SE_BACKUP_PRIVILEGE, 0},
        {SE_RESTORE_PRIVILEGE, 0},
        {SE_TAKE_OWNERSHIP_PRIVILEGE, 0},
        {SE_SECURITY_PRIVILEGE, 0}}},
      {"alice", false, {{SE_CHANGE_NOTIFY_PRIVILEGE, kOnByDefault}}},
      // bob's own privilege; none of the groups he is not in.
      {"bob", true, {{SE_CHANGE_NOTIFY_PRIVILEGE, kOnByDefault}, {20, 0}}},
      // Auditors' privilege, and the administrators' through Domain Admins.
      {"CORP\\\\carol",
       true,
       {{SE_CHANGE_NOTIFY_PRIVILEGE, kOnByDefault},
        {SE_BACKUP_PRIVILEGE, 0},
        {SE_RESTORE_PRIVILEGE, 0},
        {SE_TAKE_OWNERSHIP_PRIVILEGE, 0},
        {SE_SECURITY_PRIVILEGE, 0},
        {21, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.user) + (c.elevated ? "" : ", filtered"));
    std::string profile = MachineProfile(c.user, c.elevated);
    profile.insert(profile.rfind('}'),
                   R"(, "privileges": {"Guests": ["SeShutdownPrivilege"],
                       "bob": ["SeDebugPrivilege"], "Auditors": ["SeAuditPrivilege"]})");
    InstallProfile(profile);
    HANDLE token = OpenProcessTokenOrFail();
    DWORD needed = 0;
    SetLastError(kSentinelError);
    EXPECT_FALSE(GetTokenInformation(token, TokenPrivileges, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, offsetof(TOKEN_PRIVILEGES, Privileges) +
                          c.privileges.size() * sizeof(LUID_AND_ATTRIBUTES));
    std::vector<BYTE> buffer(needed);
    ASSERT_TRUE(GetTokenInformation(token, TokenPrivileges, buffer.data(), needed, &needed));
    const auto* held = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    const auto* entries = reinterpret_cast<const LUID_AND_ATTRIBUTES*>(
        buffer.data() + offsetof(TOKEN_PRIVILEGES, Privileges));
    std::map<DWORD, DWORD> found;
    for (DWORD i = 0; i < held->PrivilegeCount; ++i) {
      EXPECT_EQ(entries[i].Luid.HighPart, 0);
      found[entries[i].Luid.LowPart] = entries[i].Attributes;
    }
    EXPECT_EQ(found, c.privileges);

    // The same, with the user and groups, in the one record that holds both.
    auto both = Query(token, TokenGroupsAndPrivileges);
    const auto* record = reinterpret_cast<const TOKEN_GROUPS_AND_PRIVILEGES*>(both.data());
    EXPECT_EQ(record->SidCount, Groups(token).size() + 1);
    auto user = Query(token, TokenUser);
    EXPECT_EQ(SidText(record->Sids[0].Sid),
              SidText(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid));
    EXPECT_EQ(record->RestrictedSidCount, 0u);
    ASSERT_EQ(record->PrivilegeCount, held->PrivilegeCount);
    EXPECT_EQ(record->PrivilegeLength, held->PrivilegeCount * sizeof(LUID_AND_ATTRIBUTES));
    EXPECT_EQ(std::memcmp(record->Privileges, entries, record->PrivilegeLength), 0);
    auto statistics = Query(token, TokenStatistics);
    const auto* stats = reinterpret_cast<const TOKEN_STATISTICS*>(statistics.data());
    EXPECT_EQ(stats->PrivilegeCount, held->PrivilegeCount);
    EXPECT_EQ(record->AuthenticationId.LowPart, stats->AuthenticationId.LowPart);
    CloseHandle(token);
  }
}

TEST_F(standin_token, ClassesDescribeTheLogon) {
  struct Case {
    bool elevated;
    const wchar_t* integrity;
    TOKEN_ELEVATION_TYPE elevation_type;
  };
  const Case cases[] = {
      {true, L"S-1-16-12288", TokenElevationTypeDefault},
      {false, L"S-1-16-8192", TokenElevationTypeLimited},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.elevated ? "elevated" : "filtered");
    InstallProfile(MachineProfile("alice", c.elevated));
    HANDLE token = OpenProcessTokenOrFail();
    const std::wstring alice = SidOf(L"alice");

    auto owner = Query(token, TokenOwner);
    EXPECT_EQ(owner.size(), sizeof(TOKEN_OWNER) + 28);
    EXPECT_EQ(SidText(reinterpret_cast<TOKEN_OWNER*>(owner.data())->Owner), alice);
    // A local account's primary group is its computer's "None", RID 513.
    auto group = Query(token, TokenPrimaryGroup);
    EXPECT_EQ(SidText(reinterpret_cast<TOKEN_PRIMARY_GROUP*>(group.data())->PrimaryGroup),
              alice.substr(0, alice.rfind(L'-')) + L"-513");

    auto dacl = Query(token, TokenDefaultDacl);
    PACL acl = reinterpret_cast<TOKEN_DEFAULT_DACL*>(dacl.data())->DefaultDacl;
    ASSERT_EQ(reinterpret_cast<BYTE*>(acl), dacl.data() + sizeof(TOKEN_DEFAULT_DACL));
    EXPECT_EQ(dacl.size(), sizeof(TOKEN_DEFAULT_DACL) + acl->AclSize);
    ASSERT_TRUE(IsValidAcl(acl));
    ASSERT_EQ(acl->AceCount, 2);
    // GENERIC_ALL for the owner of what the token creates (Administrators when elevated) and
    // SYSTEM.
    const wchar_t* const holders[] = {c.elevated ? L"S-1-5-32-544" : alice.c_str(), L"S-1-5-18"};
    for (DWORD i = 0; i < 2; ++i) {
      void* ace = nullptr;
      ASSERT_TRUE(GetAce(acl, i, &ace));
      auto* entry = static_cast<ACCESS_ALLOWED_ACE*>(ace);
      EXPECT_EQ(entry->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
      EXPECT_EQ(entry->Mask, static_cast<DWORD>(GENERIC_ALL));
      EXPECT_EQ(SidText(&entry->SidStart), holders[i]);
    }

    auto label = Query(token, TokenIntegrityLevel);
    EXPECT_EQ(label.size(), sizeof(TOKEN_MANDATORY_LABEL) + 12);
    const auto* mandatory = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(label.data());
    EXPECT_EQ(SidText(mandatory->Label.Sid), c.integrity);
    EXPECT_EQ(mandatory->Label.Attributes,
              static_cast<DWORD>(SE_GROUP_INTEGRITY | SE_GROUP_INTEGRITY_ENABLED));

    auto elevation_type = Query(token, TokenElevationType);
    EXPECT_EQ(*reinterpret_cast<TOKEN_ELEVATION_TYPE*>(elevation_type.data()), c.elevation_type);

    // The logon SID is one of the groups, S-1-5-5-X-Y.
    auto logon = Query(token, TokenLogonSid);
    const auto* logon_groups = reinterpret_cast<TOKEN_GROUPS*>(logon.data());
    ASSERT_EQ(logon_groups->GroupCount, 1u);
    EXPECT_EQ(SidText(logon_groups->Groups[0].Sid).rfind(L"S-1-5-5-", 0), 0u);
    EXPECT_EQ(Groups(token).at(SidText(logon_groups->Groups[0].Sid)),
              kEnabled | static_cast<DWORD>(SE_GROUP_LOGON_ID));

    auto statistics = Query(token, TokenStatistics);
    const auto* stats = reinterpret_cast<TOKEN_STATISTICS*>(statistics.data());
    EXPECT_EQ(stats->TokenType, TokenPrimary);
    EXPECT_EQ(stats->GroupCount, Groups(token).size());
    EXPECT_EQ(stats->ModifiedId.LowPart, stats->TokenId.LowPart);
    auto restricted = Query(token, TokenRestrictedSids);
    EXPECT_EQ(reinterpret_cast<TOKEN_GROUPS*>(restricted.data())->GroupCount, 0u);
    CloseHandle(token);
  }
}

TEST_F(standin_token, EachTokenHasItsOwnId) {
  HANDLE process = OpenProcessTokenOrFail(TOKEN_QUERY | TOKEN_DUPLICATE);
  HANDLE again = OpenProcessTokenOrFail();
  HANDLE copy = nullptr;
  ASSERT_TRUE(DuplicateToken(process, SecurityImpersonation, &copy));
  auto id = [&](HANDLE token) {
    return reinterpret_cast<TOKEN_STATISTICS*>(Query(token, TokenStatistics).data())->TokenId;
  };
  EXPECT_EQ(id(process).LowPart, id(again).LowPart) << "two handles to one token";
  EXPECT_NE(id(process).LowPart, id(copy).LowPart) << "a duplicate is a new token";
  for (HANDLE h : {process, again, copy})
    CloseHandle(h);
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

TEST_F(standin_token, LinkedTokenIsTheFullHalfOfAFilteredLogon) {
  HANDLE token = OpenProcessTokenOrFail();
  TOKEN_LINKED_TOKEN linked{reinterpret_cast<HANDLE>(0x1234)};
  DWORD length = 0;
  SetLastError(kSentinelError);
  EXPECT_FALSE(GetTokenInformation(token, TokenLinkedToken, &linked, sizeof(linked), &length));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_LOGON_SESSION));
  EXPECT_EQ(linked.LinkedToken, reinterpret_cast<HANDLE>(0x1234));
  CloseHandle(token);

  InstallProfile(MachineProfile("alice", false));
  token = OpenProcessTokenOrFail();
  ASSERT_TRUE(GetTokenInformation(token, TokenLinkedToken, &linked, sizeof(linked), &length));
  EXPECT_EQ(length, sizeof(TOKEN_LINKED_TOKEN));
  EXPECT_EQ(Groups(linked.LinkedToken).at(L"S-1-5-32-544"), kEnabled | SE_GROUP_OWNER);
  auto type = Query(linked.LinkedToken, TokenElevationType);
  EXPECT_EQ(*reinterpret_cast<TOKEN_ELEVATION_TYPE*>(type.data()), TokenElevationTypeFull);
  auto level = Query(linked.LinkedToken, TokenImpersonationLevel);
  EXPECT_EQ(*reinterpret_cast<SECURITY_IMPERSONATION_LEVEL*>(level.data()), SecurityIdentification);
  EXPECT_TRUE(CloseHandle(linked.LinkedToken));
  CloseHandle(token);
}

TEST_F(standin_token, OpenedAccessIsMappedAndMaximumAllowedGivesAll) {
  struct Case {
    DWORD desired;
    bool query;
    bool duplicate;
  };
  const Case cases[] = {
      {MAXIMUM_ALLOWED, true, true}, {GENERIC_READ, true, false},    {GENERIC_ALL, true, true},
      {GENERIC_WRITE, false, false}, {TOKEN_DUPLICATE, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "desired 0x" << std::hex << c.desired);
    HANDLE token = OpenProcessTokenOrFail(c.desired);
    DWORD length = 0;
    TOKEN_TYPE type;
    EXPECT_EQ(GetTokenInformation(token, TokenType, &type, sizeof(type), &length) != FALSE,
              c.query);
    HANDLE copy = nullptr;
    EXPECT_EQ(DuplicateTokenEx(token, 0, nullptr, SecurityImpersonation, TokenImpersonation,
                               &copy) != FALSE,
              c.duplicate);
    if (copy)
      CloseHandle(copy);
    CloseHandle(token);
  }
}

TEST_F(standin_token, DuplicateTokenExKeepsWithinTheSourcesLevel) {
  HANDLE process = OpenProcessTokenOrFail(TOKEN_DUPLICATE | TOKEN_QUERY);
  HANDLE identification = nullptr;
  ASSERT_TRUE(DuplicateTokenEx(process, TOKEN_ALL_ACCESS, nullptr, SecurityIdentification,
                               TokenImpersonation, &identification));
  struct Case {
    const char* name;
    HANDLE source;
    SECURITY_IMPERSONATION_LEVEL level;
    TOKEN_TYPE type;
    DWORD error;  // 0: made
  };
  const Case cases[] = {
      {"primary from primary", process, SecurityAnonymous, TokenPrimary, 0},
      {"delegation from primary", process, SecurityDelegation, TokenImpersonation, 0},
      {"bad type", process, SecurityImpersonation, static_cast<TOKEN_TYPE>(3),
       ERROR_INVALID_PARAMETER},
      {"level raised", identification, SecurityImpersonation, TokenImpersonation,
       ERROR_BAD_IMPERSONATION_LEVEL},
      {"primary from identification", identification, SecurityAnonymous, TokenPrimary,
       ERROR_BAD_IMPERSONATION_LEVEL},
      {"same level", identification, SecurityIdentification, TokenImpersonation, 0},
      {"not a token", reinterpret_cast<HANDLE>(0x4321), SecurityImpersonation, TokenImpersonation,
       ERROR_INVALID_HANDLE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HANDLE copy = reinterpret_cast<HANDLE>(0x1234);
    SetLastError(kSentinelError);
    const BOOL made = DuplicateTokenEx(c.source, 0, nullptr, c.level, c.type, &copy);
    if (c.error) {
      EXPECT_FALSE(made);
      EXPECT_EQ(GetLastError(), c.error);
      EXPECT_EQ(copy, reinterpret_cast<HANDLE>(0x1234));
      continue;
    }
    ASSERT_TRUE(made);
    auto type = Query(copy, TokenType);
    EXPECT_EQ(*reinterpret_cast<TOKEN_TYPE*>(type.data()), c.type);
    CloseHandle(copy);
  }
  CloseHandle(identification);
  CloseHandle(process);
}

TEST_F(standin_token, CheckTokenMembershipCountsEnabledGroupsOnly) {
  InstallProfile(MachineProfile("alice", false));
  HANDLE process = OpenProcessTokenOrFail(TOKEN_DUPLICATE | TOKEN_QUERY);
  HANDLE token = nullptr;
  ASSERT_TRUE(DuplicateToken(process, SecurityIdentification, &token));
  struct Case {
    const wchar_t* sid;
    BOOL member;
  };
  const Case cases[] = {
      {L"S-1-1-0", TRUE},       {L"S-1-5-32-545", TRUE},
      {L"S-1-5-32-544", FALSE},  // deny-only in a filtered token
      {L"S-1-5-32-546", FALSE}, {L"S-1-5-18", FALSE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.sid, c.sid + wcslen(c.sid)));
    auto sid = SidBytes(c.sid);
    BOOL member = 7;
    ASSERT_TRUE(CheckTokenMembership(token, sid.data(), &member));
    EXPECT_EQ(member, c.member);
    // Without a token: the process token when the thread does not impersonate.
    member = 7;
    ASSERT_TRUE(CheckTokenMembership(nullptr, sid.data(), &member));
    EXPECT_EQ(member, c.member);
  }
  auto user = SidOfAccount(L"alice");
  BOOL member = FALSE;
  ASSERT_TRUE(CheckTokenMembership(token, user.data(), &member));
  EXPECT_TRUE(member) << "the user counts";

  CloseHandle(token);
  CloseHandle(process);
}

TEST_F(standin_token, QueryNeedsTokenQueryAccess) {
  // TokenSource needs TOKEN_QUERY_SOURCE; every other class TOKEN_QUERY.
  const std::pair<DWORD, TOKEN_INFORMATION_CLASS> refused[] = {
      {TOKEN_DUPLICATE, TokenUser},
      {TOKEN_QUERY_SOURCE, TokenGroups},
      {TOKEN_QUERY, TokenSource},
  };
  for (const auto& [access, info_class] : refused) {
    SCOPED_TRACE(::testing::Message() << "class " << int(info_class));
    HANDLE token = OpenProcessTokenOrFail(access);
    std::vector<BYTE> buffer(256, 0xA5);
    DWORD length = 0x5A5A;
    SetLastError(kSentinelError);
    EXPECT_FALSE(GetTokenInformation(token, info_class, buffer.data(), 256, &length));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(AllBytesAre(buffer.data(), buffer.size(), 0xA5));
    EXPECT_EQ(length, 0x5A5Au);
    CloseHandle(token);
  }
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
