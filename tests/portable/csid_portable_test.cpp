// CSid against the platform's own accounts: names, SIDs, lookups both ways, copies, and the
// well-known statics; with the lookup calls' sizing contract beneath them.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "security/csid.h"
#include "security/scoped_platform.h"
#include "tests/portable/platform_facts.h"

namespace {

using portable::SidText;

vortiss::ScopedLocal<void> SidFromText(const wchar_t* text) {
  vortiss::ScopedLocal<void> sid;
  EXPECT_TRUE(ConvertStringSidToSidW(text, sid.receive())) << text;
  return sid;
}

struct Account {
  const wchar_t* name;  // as CSid's name constructor takes it
  const wchar_t* sid;
  const wchar_t* account;  // the name that the SID looks up to
  const wchar_t* domain;
};

// Accounts that every Windows, Wine and the stand-in have, with their names in English.
const Account kAccounts[] = {
    {L"SYSTEM", L"S-1-5-18", L"SYSTEM", L"NT AUTHORITY"},
    {L"Everyone", L"S-1-1-0", L"Everyone", L""},
    {L"Administrators", L"S-1-5-32-544", L"Administrators", L"BUILTIN"},
    {L"BUILTIN\\Administrators", L"S-1-5-32-544", L"Administrators", L"BUILTIN"},
};

TEST(CSidPortable, NameLooksUpToItsSidAndKeepsTheNameAsGiven) {
  for (const Account& a : kAccounts) {
    SCOPED_TRACE(testing::Message() << a.name);
    const CSid sid(a.name, std::wstring());
    EXPECT_EQ(SidText(sid.GetPSid()), a.sid);
    EXPECT_EQ(sid.GetAccountName(), a.name);
    EXPECT_EQ(sid.GetDomainName(), a.domain);
  }
}

TEST(CSidPortable, EmptyNameIsSystem) {
  const CSid sid{std::wstring(), std::wstring()};
  EXPECT_EQ(SidText(sid.GetPSid()), L"S-1-5-18");
  EXPECT_EQ(sid.GetQualifiedName(), L"NT AUTHORITY\\SYSTEM");
}

TEST(CSidPortable, SidLooksUpToItsNames) {
  for (const Account& a : kAccounts) {
    SCOPED_TRACE(testing::Message() << a.sid);
    const auto raw = SidFromText(a.sid);
    const CSid sid(raw.get(), std::wstring());
    EXPECT_EQ(sid.GetAccountName(), a.account);
    EXPECT_EQ(sid.GetDomainName(), a.domain);
    EXPECT_EQ(sid.GetQualifiedName(), std::wstring(a.domain) + L"\\" + a.account);
    EXPECT_NE(sid.GetPSid(), raw.get()) << "CSid keeps its own copy";
  }
}

TEST(CSidPortable, ProcessUserRoundTripsThroughItsQualifiedName) {
  const std::wstring user = portable::ProcessUserSidText();
  ASSERT_FALSE(user.empty());
  const auto raw = SidFromText(user.c_str());
  const CSid by_sid(raw.get(), std::wstring());
  ASSERT_NE(by_sid.GetAccountName(), L"Unknown Account");
  ASSERT_FALSE(by_sid.GetDomainName().empty());

  const CSid by_name(by_sid.GetQualifiedName(), std::wstring());
  EXPECT_EQ(SidText(by_name.GetPSid()), user);
  EXPECT_TRUE(by_name == by_sid);
}

TEST(CSidPortable, SidWithoutAnAccountGetsTheUnknownNames) {
  const auto raw = SidFromText(L"S-1-5-21-1111-2222-3333-987654");
  const CSid sid(raw.get(), std::wstring());
  EXPECT_EQ(sid.GetAccountName(), L"Unknown Account");
  EXPECT_EQ(sid.GetDomainName(), L"Unknown Domain");
  EXPECT_EQ(SidText(sid.GetPSid()), L"S-1-5-21-1111-2222-3333-987654");
}

TEST(CSidPortable, UnresolvableNameThrowsMinusOne) {
  for (const wchar_t* name : {L"no-such-account-7f3a", L"NO-SUCH-DOMAIN-7f3a\\nobody"}) {
    int thrown = 0;
    try {
      CSid sid(name, std::wstring());
    } catch (int value) {
      thrown = value;
    }
    EXPECT_EQ(thrown, -1);
  }
}

TEST(CSidPortable, EqualityComparesSidsOnly) {
  const auto raw = SidFromText(L"S-1-5-32-544");
  const CSid by_sid(raw.get(), std::wstring());
  const CSid by_name(L"BUILTIN\\Administrators", std::wstring());
  const CSid system{std::wstring(), std::wstring()};
  EXPECT_NE(by_sid.GetAccountName(), by_name.GetAccountName());
  EXPECT_TRUE(by_sid == by_name);
  EXPECT_FALSE(by_sid == system);
}

TEST(CSidPortable, CopiesAndAssignmentsOwnTheirSid) {
  CSid original(L"Everyone", std::wstring());
  CSid copy(original);
  EXPECT_TRUE(copy == original);
  EXPECT_NE(copy.GetPSid(), original.GetPSid());
  EXPECT_EQ(copy.GetQualifiedName(), original.GetQualifiedName());

  CSid assigned{std::wstring(), std::wstring()};
  assigned = original;
  original = CSid(std::wstring(), std::wstring());  // the source changes; the copies do not
  EXPECT_EQ(SidText(assigned.GetPSid()), L"S-1-1-0");
  EXPECT_EQ(SidText(copy.GetPSid()), L"S-1-1-0");
  assigned = assigned;
  EXPECT_EQ(SidText(assigned.GetPSid()), L"S-1-1-0");
}

TEST(CSidPortable, WellKnownStatics) {
  const struct {
    CSid sid;
    const wchar_t* text;
  } cases[] = {
      {GetEveryoneSid(), L"S-1-1-0"},
      {GetInteractiveSid(), L"S-1-5-4"},
      {GetAuthenticatedUsersSid(), L"S-1-5-11"},
      {GetTerminalServerUsersSid(), L"S-1-5-13"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SidText(c.sid.GetPSid()), c.text);
    EXPECT_NE(c.sid.GetAccountName(), L"Unknown Account") << SidText(c.sid.GetPSid());
  }
  EXPECT_EQ(GetEveryoneSid().GetQualifiedName(), L"\\Everyone");
  EXPECT_EQ(GetInteractiveSid().GetDomainName(), L"NT AUTHORITY");
  EXPECT_EQ(GetAuthenticatedUsersSid().GetDomainName(), L"NT AUTHORITY");
}

// The sizing call of LookupAccountSidW: no buffers, ERROR_INSUFFICIENT_BUFFER, and the
// lengths with their terminators; the call with buffers of exactly that size then succeeds
// and gives the lengths without them.
TEST(LookupContract, SidLookupSizesItsBuffers) {
  for (const Account& a : kAccounts) {
    SCOPED_TRACE(testing::Message() << a.sid);
    const auto sid = SidFromText(a.sid);
    DWORD name_chars = 0, domain_chars = 0;
    SID_NAME_USE use = SidTypeInvalid;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(
        LookupAccountSidW(nullptr, sid.get(), nullptr, &name_chars, nullptr, &domain_chars, &use));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(name_chars, std::wstring(a.account).size() + 1);
    EXPECT_EQ(domain_chars, std::wstring(a.domain).size() + 1);

    std::vector<wchar_t> name(name_chars, L'#'), domain(domain_chars, L'#');
    ASSERT_TRUE(LookupAccountSidW(nullptr, sid.get(), name.data(), &name_chars, domain.data(),
                                  &domain_chars, &use));
    EXPECT_EQ(std::wstring(name.data()), a.account);
    EXPECT_EQ(std::wstring(domain.data()), a.domain);
    EXPECT_EQ(name_chars, std::wstring(a.account).size());
    EXPECT_EQ(domain_chars, std::wstring(a.domain).size());
  }
}

TEST(LookupContract, NameLookupSizesItsBuffersAndTellsTheKind) {
  const struct {
    const wchar_t* name;
    DWORD sid_bytes;
    const wchar_t* domain;
    SID_NAME_USE use;
  } cases[] = {
      {L"SYSTEM", 12, L"NT AUTHORITY", SidTypeWellKnownGroup},
      {L"Everyone", 12, L"", SidTypeWellKnownGroup},
      {L"Administrators", 16, L"BUILTIN", SidTypeAlias},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name);
    DWORD sid_bytes = 0, domain_chars = 0;
    SID_NAME_USE use = SidTypeInvalid;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(
        LookupAccountNameW(nullptr, c.name, nullptr, &sid_bytes, nullptr, &domain_chars, &use));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(sid_bytes, c.sid_bytes);
    EXPECT_EQ(domain_chars, std::wstring(c.domain).size() + 1);

    std::vector<BYTE> sid(sid_bytes);
    std::vector<wchar_t> domain(domain_chars, L'#');
    ASSERT_TRUE(LookupAccountNameW(nullptr, c.name, sid.data(), &sid_bytes, domain.data(),
                                   &domain_chars, &use));
    EXPECT_EQ(std::wstring(domain.data()), c.domain);
    EXPECT_EQ(domain_chars, std::wstring(c.domain).size());
    EXPECT_EQ(use, c.use);
  }
}

}  // namespace
