// Contract of the stand-in's account lookups: LookupAccountSidW and LookupAccountNameW with
// their two-call sizing, on the local computer and on a domain controller.
#include <string>
#include <vector>

#include "tests/standin_contract.h"

namespace {

constexpr std::string_view kProfile = R"({
  "computer": "WS01",
  "machine_sid": "S-1-5-21-100-200-300",
  "user": "alice",
  "users": ["alice", {"name": "bob", "rid": 1005}],
  "groups": {
    "Administrators": ["alice", "CORP\\Domain Admins", "NT AUTHORITY\\INTERACTIVE"],
    "Helpdesk": ["bob"]
  },
  "domains": {
    "CORP": {"sid": "S-1-5-21-1-2-3", "controller": "\\\\DC01", "users": ["carol", "dave"],
             "groups": {"Domain Admins": ["carol"]}},
    "LAB": {"sid": "S-1-5-21-7-8-9", "users": ["eve"]}
  }
})";

constexpr auto kUseSentinel = static_cast<SID_NAME_USE>(0xF);

std::string Narrow(std::wstring_view text) {
  return std::string(text.begin(), text.end());
}

struct SidLookup {
  BOOL ok;
  DWORD error;
  std::wstring name;
  std::wstring domain;
  SID_NAME_USE use;
};

SidLookup LookupSid(const wchar_t* system, const std::wstring& sid_text) {
  auto sid = SidBytes(sid_text.c_str());
  EXPECT_FALSE(sid.empty()) << Narrow(sid_text);
  wchar_t name[300], domain[300];
  DWORD name_chars = 300, domain_chars = 300;
  SID_NAME_USE use = kUseSentinel;
  SetLastError(kSentinelError);
  const BOOL ok =
      LookupAccountSidW(system, sid.data(), name, &name_chars, domain, &domain_chars, &use);
  const DWORD error = GetLastError();
  if (!ok)
    return {ok, error, {}, {}, use};
  EXPECT_EQ(name_chars, wcslen(name));
  EXPECT_EQ(domain_chars, wcslen(domain));
  return {ok, error, name, domain, use};
}

struct Account {
  const wchar_t* sid;
  const wchar_t* name;
  const wchar_t* domain;
  SID_NAME_USE use;
};

// What the local computer reports for each SID of the profile.
const Account kLocalAccounts[] = {
    {L"S-1-5-32-544", L"Administrators", L"BUILTIN", SidTypeAlias},
    {L"S-1-5-32-545", L"Users", L"BUILTIN", SidTypeAlias},
    {L"S-1-5-32-546", L"Guests", L"BUILTIN", SidTypeAlias},
    {L"S-1-1-0", L"Everyone", L"", SidTypeWellKnownGroup},
    {L"S-1-3-0", L"CREATOR OWNER", L"", SidTypeWellKnownGroup},
    {L"S-1-5-18", L"SYSTEM", L"NT AUTHORITY", SidTypeWellKnownGroup},
    {L"S-1-5-4", L"INTERACTIVE", L"NT AUTHORITY", SidTypeWellKnownGroup},
    {L"S-1-5-11", L"Authenticated Users", L"NT AUTHORITY", SidTypeWellKnownGroup},
    {L"S-1-5-21-100-200-300-500", L"Administrator", L"WS01", SidTypeUser},
    {L"S-1-5-21-100-200-300-501", L"Guest", L"WS01", SidTypeUser},
    {L"S-1-5-21-100-200-300-1000", L"alice", L"WS01", SidTypeUser},
    {L"S-1-5-21-100-200-300-1005", L"bob", L"WS01", SidTypeUser},
    {L"S-1-5-21-100-200-300-1001", L"Helpdesk", L"WS01", SidTypeAlias},
    {L"S-1-5-21-1-2-3-512", L"Domain Admins", L"CORP", SidTypeGroup},
    {L"S-1-5-21-1-2-3-513", L"Domain Users", L"CORP", SidTypeGroup},
    {L"S-1-5-21-1-2-3-1000", L"carol", L"CORP", SidTypeUser},
    {L"S-1-5-21-1-2-3-1001", L"dave", L"CORP", SidTypeUser},
    {L"S-1-5-21-100-200-300", L"WS01", L"WS01", SidTypeDomain},
    {L"S-1-5-32", L"BUILTIN", L"BUILTIN", SidTypeDomain},
    {L"S-1-5-21-1-2-3", L"CORP", L"CORP", SidTypeDomain},
};

class standin_account : public StandinTest {
 protected:
  std::string_view Profile() const override { return kProfile; }
};

TEST_F(standin_account, LookupAccountSidReportsEveryAccount) {
  for (const auto& a : kLocalAccounts) {
    SCOPED_TRACE(Narrow(a.sid));
    const auto found = LookupSid(nullptr, a.sid);
    ASSERT_TRUE(found.ok) << "error " << found.error;
    EXPECT_EQ(found.name, a.name);
    EXPECT_EQ(found.domain, a.domain);
    EXPECT_EQ(found.use, a.use);
  }
}

TEST_F(standin_account, AccountNamesAndSidsRoundTrip) {
  for (const auto& a : kLocalAccounts) {
    const std::wstring qualified =
        a.use == SidTypeDomain || !*a.domain ? a.name : std::wstring(a.domain) + L"\\" + a.name;
    SCOPED_TRACE(Narrow(qualified));
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sid_bytes = sizeof(sid);
    wchar_t domain[64];
    DWORD domain_chars = 64;
    SID_NAME_USE use = kUseSentinel;
    SetLastError(kSentinelError);
    ASSERT_TRUE(LookupAccountNameW(nullptr, qualified.c_str(), sid, &sid_bytes, domain,
                                   &domain_chars, &use))
        << "error " << GetLastError();
    EXPECT_EQ(SidText(sid), a.sid);
    EXPECT_EQ(sid_bytes, GetLengthSid(sid));
    EXPECT_EQ(std::wstring(domain), a.domain);
    EXPECT_EQ(domain_chars, wcslen(a.domain));
    EXPECT_EQ(use, a.use);
  }
}

TEST_F(standin_account, LookupAccountSidSizingCountsTheTerminator) {
  for (const auto& a : kLocalAccounts) {
    SCOPED_TRACE(Narrow(a.sid));
    auto sid = SidBytes(a.sid);
    DWORD name_chars = 0, domain_chars = 0;
    SID_NAME_USE use = kUseSentinel;
    SetLastError(kSentinelError);
    EXPECT_FALSE(
        LookupAccountSidW(nullptr, sid.data(), nullptr, &name_chars, nullptr, &domain_chars, &use));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(name_chars, wcslen(a.name) + 1);
    EXPECT_EQ(domain_chars, wcslen(a.domain) + 1);
    EXPECT_EQ(use, kUseSentinel) << "the sizing call set the use";

    // The sizes it asked for are enough; success reports lengths without the terminator.
    std::vector<wchar_t> name(name_chars, L'#'), domain(domain_chars, L'#');
    ASSERT_TRUE(LookupAccountSidW(nullptr, sid.data(), name.data(), &name_chars, domain.data(),
                                  &domain_chars, &use));
    EXPECT_EQ(name_chars, wcslen(a.name));
    EXPECT_EQ(domain_chars, wcslen(a.domain));
    EXPECT_EQ(std::wstring(name.data()), a.name);
    EXPECT_EQ(std::wstring(domain.data()), a.domain);
    EXPECT_EQ(use, a.use);
  }
}

TEST_F(standin_account, LookupAccountSidShortBuffersAreLeftUntouched) {
  auto sid = SidBytes(L"S-1-5-32-544");  // Administrators, BUILTIN
  struct Case {
    DWORD name_chars;
    DWORD domain_chars;
  };
  // One character short of each in turn, then of both.
  const Case cases[] = {{14, 8}, {15, 7}, {14, 7}, {0, 8}, {15, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.name_chars << "/" << c.domain_chars);
    std::vector<wchar_t> name(32, L'#'), domain(32, L'#');
    DWORD name_chars = c.name_chars, domain_chars = c.domain_chars;
    SID_NAME_USE use = kUseSentinel;
    SetLastError(kSentinelError);
    EXPECT_FALSE(LookupAccountSidW(nullptr, sid.data(), name.data(), &name_chars, domain.data(),
                                   &domain_chars, &use));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(name_chars, 15u);
    EXPECT_EQ(domain_chars, 8u);
    EXPECT_EQ(use, kUseSentinel);
    EXPECT_EQ(std::wstring(name.begin(), name.end()), std::wstring(32, L'#'));
    EXPECT_EQ(std::wstring(domain.begin(), domain.end()), std::wstring(32, L'#'));
  }
}

TEST_F(standin_account, LookupAccountSidFailures) {
  struct Case {
    const wchar_t* system;
    const wchar_t* sid;
    DWORD error;
  };
  const Case cases[] = {
      {nullptr, L"S-1-5-21-100-200-300-9999", ERROR_NONE_MAPPED},
      {nullptr, L"S-1-5-21-55-66-77-500", ERROR_NONE_MAPPED},
      {nullptr, L"S-1-5-99", ERROR_NONE_MAPPED},
      // A domain without a controller cannot be asked.
      {nullptr, L"S-1-5-21-7-8-9-1000", ERROR_NONE_MAPPED},
      {nullptr, L"S-1-5-21-7-8-9", ERROR_NONE_MAPPED},
      {L"\\\\NOWHERE", L"S-1-5-32-544", RPC_S_SERVER_UNAVAILABLE},
      {L"NOWHERE", L"S-1-1-0", RPC_S_SERVER_UNAVAILABLE},
      // The computer's own accounts are unknown to the controller.
      {L"\\\\DC01", L"S-1-5-21-100-200-300-1000", ERROR_NONE_MAPPED},
      {L"\\\\DC01", L"S-1-5-21-100-200-300", ERROR_NONE_MAPPED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.sid) + " on " + (c.system ? Narrow(c.system) : "local"));
    auto sid = SidBytes(c.sid);
    wchar_t name[64], domain[64];
    wcscpy(name, L"sentinel");
    wcscpy(domain, L"sentinel");
    DWORD name_chars = 64, domain_chars = 64;
    SID_NAME_USE use = kUseSentinel;
    SetLastError(kSentinelError);
    EXPECT_FALSE(
        LookupAccountSidW(c.system, sid.data(), name, &name_chars, domain, &domain_chars, &use));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(std::wstring(name), L"sentinel");
    EXPECT_EQ(std::wstring(domain), L"sentinel");
    EXPECT_EQ(name_chars, 64u);
    EXPECT_EQ(domain_chars, 64u);
    EXPECT_EQ(use, kUseSentinel);
  }

  std::vector<BYTE> bad = {2, 1, 0, 0, 0, 0, 0, 5, 1, 0, 0, 0};
  wchar_t name[64], domain[64];
  DWORD name_chars = 64, domain_chars = 64;
  SID_NAME_USE use;
  SetLastError(kSentinelError);
  EXPECT_FALSE(
      LookupAccountSidW(nullptr, bad.data(), name, &name_chars, domain, &domain_chars, &use));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
}

TEST_F(standin_account, LookupAccountSidOnTheControllerAndByComputerName) {
  struct Case {
    const wchar_t* system;
    const wchar_t* sid;
    const wchar_t* name;
  };
  const Case cases[] = {
      {L"\\\\DC01", L"S-1-5-21-1-2-3-1000", L"carol"},
      {L"DC01", L"S-1-5-21-1-2-3-512", L"Domain Admins"},
      {L"\\\\dc01", L"S-1-5-21-1-2-3", L"CORP"},
      {L"\\\\DC01", L"S-1-5-32-544", L"Administrators"},
      {L"\\\\DC01", L"S-1-1-0", L"Everyone"},
      // The computer's own name is the local computer.
      {L"\\\\WS01", L"S-1-5-21-100-200-300-1000", L"alice"},
      {L"ws01", L"S-1-5-21-100-200-300-1005", L"bob"},
      {L"", L"S-1-5-21-100-200-300-500", L"Administrator"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.sid) + " on " + Narrow(c.system));
    const auto found = LookupSid(c.system, c.sid);
    ASSERT_TRUE(found.ok) << "error " << found.error;
    EXPECT_EQ(found.name, c.name);
  }
}

TEST_F(standin_account, LookupAccountNameSizing) {
  DWORD sid_bytes = 0, domain_chars = 0;
  SID_NAME_USE use = kUseSentinel;
  SetLastError(kSentinelError);
  EXPECT_FALSE(
      LookupAccountNameW(nullptr, L"alice", nullptr, &sid_bytes, nullptr, &domain_chars, &use));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(sid_bytes, 28u);
  EXPECT_EQ(domain_chars, 5u);  // "WS01" and its terminator
  EXPECT_EQ(use, kUseSentinel);

  // One byte of SID short, then one character of domain short: nothing written.
  for (auto [sid_room, domain_room] : {std::pair<DWORD, DWORD>{27, 5}, {28, 4}}) {
    std::vector<BYTE> sid(64, 0xA5);
    std::vector<wchar_t> domain(16, L'#');
    sid_bytes = sid_room;
    domain_chars = domain_room;
    SetLastError(kSentinelError);
    EXPECT_FALSE(LookupAccountNameW(nullptr, L"alice", sid.data(), &sid_bytes, domain.data(),
                                    &domain_chars, &use));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(sid_bytes, 28u);
    EXPECT_EQ(domain_chars, 5u);
    EXPECT_EQ(use, kUseSentinel);
    EXPECT_TRUE(AllBytesAre(sid.data(), sid.size(), 0xA5));
    EXPECT_EQ(std::wstring(domain.begin(), domain.end()), std::wstring(16, L'#'));
  }

  std::vector<BYTE> sid(28);
  std::vector<wchar_t> domain(5);
  sid_bytes = 28;
  domain_chars = 5;
  ASSERT_TRUE(LookupAccountNameW(nullptr, L"alice", sid.data(), &sid_bytes, domain.data(),
                                 &domain_chars, &use));
  EXPECT_EQ(sid_bytes, 28u);
  EXPECT_EQ(domain_chars, 4u);
  EXPECT_EQ(std::wstring(domain.data()), L"WS01");
  EXPECT_EQ(use, SidTypeUser);
  EXPECT_EQ(SidText(sid.data()), L"S-1-5-21-100-200-300-1000");

  // A well-known group's domain is empty: one character for the terminator.
  sid_bytes = domain_chars = 0;
  EXPECT_FALSE(
      LookupAccountNameW(nullptr, L"Everyone", nullptr, &sid_bytes, nullptr, &domain_chars, &use));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(sid_bytes, 12u);
  EXPECT_EQ(domain_chars, 1u);
}

TEST_F(standin_account, LookupAccountNameFailures) {
  const std::wstring long256(256, L'a');
  const std::wstring long300 = L"WS01\\" + std::wstring(300, L'b');
  const std::wstring long4000(4000, L'c');
  struct Case {
    const wchar_t* system;
    const wchar_t* name;
    DWORD error;
  };
  const Case cases[] = {
      {nullptr, L"nobody", ERROR_NONE_MAPPED},
      {nullptr, L"WS01\\carol", ERROR_NONE_MAPPED},
      {nullptr, L"CORP\\alice", ERROR_NONE_MAPPED},
      {nullptr, L"NOSUCHDOMAIN\\alice", ERROR_NONE_MAPPED},
      // An offline domain's accounts cannot be found.
      {nullptr, L"LAB\\eve", ERROR_NONE_MAPPED},
      {nullptr, L"eve", ERROR_NONE_MAPPED},
      {nullptr, L"LAB", ERROR_NONE_MAPPED},
      {nullptr, long256.c_str(), ERROR_NONE_MAPPED},
      {nullptr, long300.c_str(), ERROR_NONE_MAPPED},
      {nullptr, long4000.c_str(), ERROR_NONE_MAPPED},
      {L"\\\\NOWHERE", L"alice", RPC_S_SERVER_UNAVAILABLE},
      // The controller knows its domain, not the computer's own accounts.
      {L"\\\\DC01", L"alice", ERROR_NONE_MAPPED},
      {L"\\\\DC01", L"WS01\\bob", ERROR_NONE_MAPPED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.name).substr(0, 40) + " on " + (c.system ? Narrow(c.system) : "local"));
    // The sizing form: sizes stay 0.
    DWORD sid_bytes = 0, domain_chars = 0;
    SID_NAME_USE use = kUseSentinel;
    SetLastError(kSentinelError);
    EXPECT_FALSE(
        LookupAccountNameW(c.system, c.name, nullptr, &sid_bytes, nullptr, &domain_chars, &use));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(sid_bytes, 0u);
    EXPECT_EQ(domain_chars, 0u);
    EXPECT_EQ(use, kUseSentinel);

    // With room: nothing written.
    std::vector<BYTE> sid(64, 0xA5);
    std::vector<wchar_t> domain(16, L'#');
    sid_bytes = 64;
    domain_chars = 16;
    SetLastError(kSentinelError);
    EXPECT_FALSE(LookupAccountNameW(c.system, c.name, sid.data(), &sid_bytes, domain.data(),
                                    &domain_chars, &use));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(sid_bytes, 64u);
    EXPECT_EQ(domain_chars, 16u);
    EXPECT_TRUE(AllBytesAre(sid.data(), sid.size(), 0xA5));
    EXPECT_EQ(std::wstring(domain.begin(), domain.end()), std::wstring(16, L'#'));
    EXPECT_EQ(use, kUseSentinel);
  }
}

TEST_F(standin_account, LookupAccountNameIgnoresCase) {
  struct Case {
    const wchar_t* system;
    const wchar_t* name;
    const wchar_t* sid;
    const wchar_t* domain;  // as the platform spells it
  };
  const Case cases[] = {
      {nullptr, L"ADMINISTRATORS", L"S-1-5-32-544", L"BUILTIN"},
      {nullptr, L"builtin\\users", L"S-1-5-32-545", L"BUILTIN"},
      {nullptr, L"Ws01\\ALICE", L"S-1-5-21-100-200-300-1000", L"WS01"},
      {nullptr, L"BOB", L"S-1-5-21-100-200-300-1005", L"WS01"},
      {nullptr, L"helpDESK", L"S-1-5-21-100-200-300-1001", L"WS01"},
      {nullptr, L"everyone", L"S-1-1-0", L""},
      {nullptr, L"nt authority\\system", L"S-1-5-18", L"NT AUTHORITY"},
      {nullptr, L"corp\\domain admins", L"S-1-5-21-1-2-3-512", L"CORP"},
      {nullptr, L"CAROL", L"S-1-5-21-1-2-3-1000", L"CORP"},
      {nullptr, L"corp", L"S-1-5-21-1-2-3", L"CORP"},
      {nullptr, L"ws01", L"S-1-5-21-100-200-300", L"WS01"},
      {L"\\\\DC01", L"Corp\\Dave", L"S-1-5-21-1-2-3-1001", L"CORP"},
      {L"\\\\DC01", L"carol", L"S-1-5-21-1-2-3-1000", L"CORP"},
      {L"\\\\DC01", L"administrators", L"S-1-5-32-544", L"BUILTIN"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.name) + " on " + (c.system ? Narrow(c.system) : "local"));
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sid_bytes = sizeof(sid);
    wchar_t domain[64];
    DWORD domain_chars = 64;
    SID_NAME_USE use;
    ASSERT_TRUE(LookupAccountNameW(c.system, c.name, sid, &sid_bytes, domain, &domain_chars, &use))
        << "error " << GetLastError();
    EXPECT_EQ(SidText(sid), c.sid);
    EXPECT_EQ(std::wstring(domain), c.domain);
  }
}

TEST_F(standin_account, TranslatedNamesReplaceTheEnglishOnes) {
  InstallProfile(R"({
    "computer": "WS01",
    "names": {"S-1-5-32-544": "Administratoren", "S-1-1-0": "Jeder"}
  })");
  const auto admins = LookupSid(nullptr, L"S-1-5-32-544");
  ASSERT_TRUE(admins.ok);
  EXPECT_EQ(admins.name, L"Administratoren");
  EXPECT_EQ(admins.domain, L"BUILTIN");
  const auto everyone = LookupSid(nullptr, L"S-1-1-0");
  ASSERT_TRUE(everyone.ok);
  EXPECT_EQ(everyone.name, L"Jeder");
  EXPECT_EQ(LookupSid(nullptr, L"S-1-5-32-545").name, L"Users") << "untranslated stay English";

  EXPECT_EQ(SidText(SidOfAccount(L"BUILTIN\\Administratoren").data()), L"S-1-5-32-544");
  EXPECT_EQ(SidText(SidOfAccount(L"jeder").data()), L"S-1-1-0");
  // A translated system knows its accounts by the translated names only.
  DWORD sid_bytes = 0, domain_chars = 0;
  SID_NAME_USE use;
  SetLastError(kSentinelError);
  EXPECT_FALSE(LookupAccountNameW(nullptr, L"Administrators", nullptr, &sid_bytes, nullptr,
                                  &domain_chars, &use));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NONE_MAPPED));
}

}  // namespace
