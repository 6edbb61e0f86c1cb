// CSid: construction from a SID and from a name, copies, equality, and the well-known SIDs.
#include "security/csid.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/standin/machine/machine.h"
#include "tests/support/account_checks.h"
#include "tests/support/test_machine.h"

namespace {

constexpr char kMachine[] = R"({
  "computer": "WS01",
  "machine_sid": "S-1-5-21-1-2-3",
  "users": [{"name": "bob", "rid": 1005}],
  "domains": {
    "CORP": {"sid": "S-1-5-21-7-8-9", "controller": "\\\\DC01",
             "users": [{"name": "carol", "rid": 1107}]},
    "LAB": {"sid": "S-1-5-21-4-5-6", "users": [{"name": "eve", "rid": 1200}]}
  }
})";

constexpr char kLookupFailure[] =
    "LookupAccountName failed, throwing exception from CSid constructor!";

// The int that the name constructor throws, or 0 when it does not throw.
int ThrownBy(const std::wstring& account) {
  try {
    CSid sid(account, std::wstring());
  } catch (int value) {
    return value;
  }
  return 0;
}

struct NameCase {
  const char* label;
  const wchar_t* name;
  const wchar_t* sid;
  const wchar_t* account;
  const wchar_t* domain;
  unsigned controller_queries;
};

TEST(CSidFromName, ResolvesNamesAndKeepsTheNameAsGiven) {
  const NameCase cases[] = {
      {"empty name", L"", L"S-1-5-18", L"SYSTEM", L"NT AUTHORITY", 0},
      {"local user", L"bob", L"S-1-5-21-1-2-3-1005", L"bob", L"WS01", 0},
      {"case as given", L"BOB", L"S-1-5-21-1-2-3-1005", L"BOB", L"WS01", 0},
      {"domain prefix, controller found", L"CORP\\carol", L"S-1-5-21-7-8-9-1107", L"CORP\\carol",
       L"CORP", 1},
      {"alias prefix, no controller", L"BUILTIN\\Administrators", L"S-1-5-32-544",
       L"BUILTIN\\Administrators", L"BUILTIN", 1},
      {"computer's own prefix", L"WS01\\bob", L"S-1-5-21-1-2-3-1005", L"WS01\\bob", L"WS01", 1},
      {"well-known, empty domain", L"Everyone", L"S-1-1-0", L"Everyone", L"", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    InstallProfile(kMachine);
    {
      const CSid sid(c.name, std::wstring());
      EXPECT_EQ(SidString(sid.GetPSid()), c.sid);
      EXPECT_EQ(sid.GetAccountName(), c.account);
      EXPECT_EQ(sid.GetDomainName(), c.domain);
      EXPECT_EQ(sid.GetQualifiedName(), std::wstring(c.domain) + L"\\" + c.account);
    }
    EXPECT_EQ(standin::CallCount("NetGetDCName"), c.controller_queries);
    EXPECT_TRUE(standin::DebuggerTexts().empty());
    EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
  }
}

TEST(CSidFromName, UnresolvableNameThrowsMinusOneAndLeaksNothing) {
  const struct {
    const char* label;
    const wchar_t* name;
    const char* faults;
  } cases[] = {
      {"no such account", L"nobody", "[]"},
      {"no such account on the controller", L"CORP\\nobody", "[]"},
      {"domain without controller", L"LAB\\eve", "[]"},
      {"second lookup fails", L"bob",
       R"([{"call": "LookupAccountNameW", "error": 1332, "skip": 1}])"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::string profile = kMachine;
    profile.insert(profile.rfind('}'), std::string(R"(, "faults": )") + c.faults);
    InstallProfile(profile);
    EXPECT_EQ(ThrownBy(c.name), -1);
    EXPECT_EQ(standin::DebuggerTexts(), std::vector<std::string>{kLookupFailure});
    EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
  }
}

struct SidCase {
  const char* label;
  const wchar_t* sid;
  const wchar_t* system;
  const wchar_t* account;
  const wchar_t* domain;
};

TEST(CSidFromSid, LooksUpNamesOrFallsBackToPlaceholders) {
  const SidCase cases[] = {
      {"local user", L"S-1-5-21-1-2-3-1005", L"", L"bob", L"WS01"},
      {"empty domain", L"S-1-1-0", L"", L"Everyone", L""},
      {"domain user", L"S-1-5-21-7-8-9-1107", L"", L"carol", L"CORP"},
      {"domain user on its controller", L"S-1-5-21-7-8-9-1107", L"\\\\DC01", L"carol", L"CORP"},
      {"made-up domain SID", L"S-1-5-21-99-98-97-1000", L"", L"Unknown Account", L"Unknown Domain"},
      {"domain without controller", L"S-1-5-21-4-5-6-1200", L"", L"Unknown Account",
       L"Unknown Domain"},
      {"unknown system", L"S-1-5-21-1-2-3-1005", L"\\\\NOWHERE", L"Unknown Account",
       L"Unknown Domain"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    InstallProfile(kMachine);
    {
      SidFromString source(c.sid);
      ASSERT_NE(source.get(), nullptr);
      const CSid sid(source.get(), c.system);
      EXPECT_NE(sid.GetPSid(), source.get());
      // The SID is a copy of its own: it outlives the source.
      source.reset();
      EXPECT_EQ(SidString(sid.GetPSid()), c.sid);
      EXPECT_EQ(sid.GetAccountName(), c.account);
      EXPECT_EQ(sid.GetDomainName(), c.domain);
      EXPECT_EQ(sid.GetQualifiedName(), std::wstring(c.domain) + L"\\" + c.account);
    }
    EXPECT_TRUE(standin::DebuggerTexts().empty());
    EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
  }
}

TEST(CSidFromSid, FailedLookupNeverThrows) {
  for (unsigned skip : {0u, 1u}) {
    SCOPED_TRACE(skip);
    InstallProfile(R"({"faults": [{"call": "LookupAccountSidW", "error": 1722, "skip": )" +
                   std::to_string(skip) + "}]}");
    SidFromString system(L"S-1-5-18");
    const CSid sid(system.get(), std::wstring());
    EXPECT_EQ(SidString(sid.GetPSid()), L"S-1-5-18");
    EXPECT_EQ(sid.GetQualifiedName(), L"Unknown Domain\\Unknown Account");
  }
}

TEST(CSid, EqualityComparesSidsOnly) {
  InstallProfile(kMachine);
  SidFromString carol_sid(L"S-1-5-21-7-8-9-1107");
  const CSid by_name(L"CORP\\carol", std::wstring());
  const CSid by_sid(carol_sid.get(), std::wstring());
  ASSERT_NE(by_name.GetAccountName(), by_sid.GetAccountName());
  EXPECT_TRUE(by_name == by_sid);
  EXPECT_TRUE(by_sid == by_name);

  const CSid bob(L"bob", std::wstring());
  EXPECT_FALSE(bob == by_name);
  // Same names, different SIDs: a SID without names and another one.
  SidFromString unknown1(L"S-1-5-21-99-98-97-1000");
  SidFromString unknown2(L"S-1-5-21-99-98-97-1001");
  const CSid u1(unknown1.get(), std::wstring());
  const CSid u2(unknown2.get(), std::wstring());
  ASSERT_EQ(u1.GetQualifiedName(), u2.GetQualifiedName());
  EXPECT_FALSE(u1 == u2);
}

TEST(CSid, CopiesOwnSeparateSids) {
  InstallProfile(kMachine);
  auto source = std::make_unique<CSid>(L"CORP\\carol", std::wstring());
  const CSid copy(*source);
  EXPECT_NE(copy.GetPSid(), source->GetPSid());
  EXPECT_TRUE(copy == *source);
  source.reset();
  EXPECT_EQ(SidString(copy.GetPSid()), L"S-1-5-21-7-8-9-1107");
  EXPECT_EQ(copy.GetAccountName(), L"CORP\\carol");
  EXPECT_EQ(copy.GetDomainName(), L"CORP");
  EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
}

TEST(CSid, AssignmentCopiesSidAndNames) {
  InstallProfile(kMachine);
  CSid target{std::wstring(), std::wstring()};
  {
    const CSid bob(L"bob", std::wstring());
    target = bob;
    EXPECT_NE(target.GetPSid(), bob.GetPSid());
    EXPECT_TRUE(target == bob);
  }
  EXPECT_EQ(SidString(target.GetPSid()), L"S-1-5-21-1-2-3-1005");
  EXPECT_EQ(target.GetQualifiedName(), L"WS01\\bob");

  CSid& same = target;
  target = same;
  EXPECT_EQ(SidString(target.GetPSid()), L"S-1-5-21-1-2-3-1005");
  EXPECT_EQ(target.GetQualifiedName(), L"WS01\\bob");
  EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
}

struct WellKnownCase {
  CSid (*make)();
  const wchar_t* sid;
  const wchar_t* account;
  const wchar_t* domain;
};

const WellKnownCase kWellKnown[] = {
    {GetEveryoneSid, L"S-1-1-0", L"Everyone", L""},
    {GetInteractiveSid, L"S-1-5-4", L"INTERACTIVE", L"NT AUTHORITY"},
    {GetAuthenticatedUsersSid, L"S-1-5-11", L"Authenticated Users", L"NT AUTHORITY"},
    {GetTerminalServerUsersSid, L"S-1-5-13", L"TERMINAL SERVER USER", L"NT AUTHORITY"},
};

TEST(WellKnownSids, CarryTheNamesOfTheLocalLookup) {
  for (const auto& c : kWellKnown) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.sid)));
    InstallProfile("{}");
    {
      const CSid sid = c.make();
      EXPECT_EQ(SidString(sid.GetPSid()), c.sid);
      EXPECT_EQ(sid.GetAccountName(), c.account);
      EXPECT_EQ(sid.GetDomainName(), c.domain);
    }
    EXPECT_EQ(standin::CallCount("AllocateAndInitializeSid"), 1u);
    EXPECT_EQ(standin::CallCount("FreeSid"), 1u);
    EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
  }
}

TEST(WellKnownSids, TranslatedSystemReportsTranslatedNames) {
  InstallProfile(R"({"names": {"S-1-1-0": "Jeder", "S-1-5-4": "INTERAKTIV",
                               "S-1-5-11": "Authentifizierte Benutzer",
                               "S-1-5-13": "TERMINALSERVERBENUTZER"}})");
  EXPECT_EQ(GetEveryoneSid().GetAccountName(), L"Jeder");
  EXPECT_EQ(GetInteractiveSid().GetAccountName(), L"INTERAKTIV");
  EXPECT_EQ(GetAuthenticatedUsersSid().GetAccountName(), L"Authentifizierte Benutzer");
  EXPECT_EQ(GetTerminalServerUsersSid().GetAccountName(), L"TERMINALSERVERBENUTZER");
}

TEST(WellKnownSids, FallBackToTheirNamesWhenTheSidCannotBeBuilt) {
  constexpr char kNoAllocation[] =
      R"({"faults": [{"call": "AllocateAndInitializeSid", "error": 8}]})";
  // The fallback names keep the spelling they are looked up with.
  const WellKnownCase cases[] = {
      {GetEveryoneSid, L"S-1-1-0", L"Everyone", L""},
      {GetInteractiveSid, L"S-1-5-4", L"Interactive", L"NT AUTHORITY"},
      {GetAuthenticatedUsersSid, L"S-1-5-11", L"Authenticated Users", L"NT AUTHORITY"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.sid)));
    InstallProfile(kNoAllocation);
    {
      const CSid sid = c.make();
      EXPECT_EQ(SidString(sid.GetPSid()), c.sid);
      EXPECT_EQ(sid.GetAccountName(), c.account);
      EXPECT_EQ(sid.GetDomainName(), c.domain);
    }
    EXPECT_EQ(standin::CallCount("LookupAccountNameW"), 2u);
    EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
  }

  // "Terminal Server Users" names no account, so its fallback throws.
  InstallProfile(kNoAllocation);
  int thrown = 0;
  try {
    GetTerminalServerUsersSid();
  } catch (int value) {
    thrown = value;
  }
  EXPECT_EQ(thrown, -1);
  EXPECT_EQ(standin::DebuggerTexts(), std::vector<std::string>{kLookupFailure});
  EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
}

}  // namespace
