// The caller's identity (GetUserToken, GetCurrentUserSid) and the exported IsUserAdministrator:
// answers, traces line for line, and a thread left without impersonation.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "checks/exports.h"
#include "checks/identity.h"
#include "platform/standin/machine/machine.h"
#include "tests/support/account_checks.h"
#include "tests/support/test_machine.h"

namespace {

using Lines = std::vector<std::wstring>;

constexpr wchar_t kStart[] = L"Starting IsUserAdministrator function";
constexpr wchar_t kCouldNotCreate[] = L"Error - Could not create CSid object, returning false";

struct Outcome {
  bool result;
  Lines out;
  Lines err;
};

// Runs the export, then checks what every call must leave behind: no impersonation and nothing
// of the platform's held.
Outcome CheckAdministrator() {
  Outcome outcome;
  {
    TraceCapture trace;
    outcome.result = IsUserAdministrator();
    outcome.out = trace.out_lines();
    outcome.err = trace.err_lines();
  }
  EXPECT_TRUE(ThreadHasNoToken());
  EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
  return outcome;
}

// The lines of GetCurrentUserSid for an account, after a successful impersonation.
Lines IdentityLines(const std::wstring& qualified) {
  return {L"Good - Impersonated self", L"Good - got thread token",
          L"Good - extracted token information",
          L"Good - Creating CSid object from token information",
          L"Created CSid object with name " + qualified};
}

Lines Concat(std::initializer_list<Lines> parts) {
  Lines all;
  for (const auto& part : parts)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST(IsUserAdministrator, FullTraceOfAMember) {
  InstallProfile("{}");
  const Outcome o = CheckAdministrator();
  EXPECT_TRUE(o.result);
  EXPECT_EQ(o.out, Concat({{kStart},
                           IdentityLines(L"WORKSTATION\\Administrator"),
                           {L"Good - allocated Administrators SID",
                            L"Good - found account name from SID as Administrators",
                            L"Checking group Administrators for user WORKSTATION\\Administrator",
                            L"Found group member WORKSTATION\\Administrator",
                            L"Good - matched user in group WORKSTATION\\Administrator to supplied "
                            L"user name WORKSTATION\\Administrator",
                            L"Good - found user WORKSTATION\\Administrator in group "
                            L"Administrators"}}));
  EXPECT_EQ(o.err, Lines{});
  EXPECT_EQ(standin::CallCount("AllocateAndInitializeSid"), 1u);
  EXPECT_EQ(standin::CallCount("FreeSid"), 1u);
}

TEST(IsUserAdministrator, TranslatedGroupNameIsPrintedAndAsked) {
  InstallProfile(R"({"user": "bob", "users": ["bob"],
                     "groups": {"Administrators": ["Administrator", "bob"]},
                     "names": {"S-1-5-32-544": "Administratoren"}})");
  const Outcome o = CheckAdministrator();
  EXPECT_TRUE(o.result);
  EXPECT_EQ(o.out, Concat({{kStart},
                           IdentityLines(L"WORKSTATION\\bob"),
                           {L"Good - allocated Administrators SID",
                            L"Good - found account name from SID as Administratoren",
                            L"Checking group Administratoren for user WORKSTATION\\bob",
                            L"Found group member WORKSTATION\\Administrator",
                            L"Found group member WORKSTATION\\bob",
                            L"Good - matched user in group WORKSTATION\\bob to supplied user name "
                            L"WORKSTATION\\bob",
                            L"Good - found user WORKSTATION\\bob in group Administratoren"}}));
}

TEST(IsUserAdministrator, NonMemberGetsNoWithTheClosingLineOnErr) {
  InstallProfile(R"({"user": "bob", "users": ["bob"]})");
  const Outcome o = CheckAdministrator();
  EXPECT_FALSE(o.result);
  EXPECT_EQ(o.out, Concat({{kStart},
                           IdentityLines(L"WORKSTATION\\bob"),
                           {L"Good - allocated Administrators SID",
                            L"Good - found account name from SID as Administrators",
                            L"Checking group Administrators for user WORKSTATION\\bob",
                            L"Found group member WORKSTATION\\Administrator",
                            L"User not in local group Administrators"}}));
  EXPECT_EQ(o.err, Lines{L"Error - could not find user WORKSTATION\\bob in group Administrators"});
  EXPECT_EQ(standin::CallCount("FreeSid"), 1u);
}

TEST(IsUserAdministrator, MemberThroughADomainGroup) {
  InstallProfile(R"({"user": "CORP\\carol",
                     "groups": {"Administrators": ["CORP\\Domain Admins"]},
                     "domains": {"CORP": {"controller": "\\\\DC01", "users": ["carol"],
                                          "groups": {"Domain Admins": ["carol"]}}}})");
  const Outcome o = CheckAdministrator();
  EXPECT_TRUE(o.result);
  EXPECT_EQ(o.out,
            Concat({{kStart},
                    IdentityLines(L"CORP\\carol"),
                    {L"Good - allocated Administrators SID",
                     L"Good - found account name from SID as Administrators",
                     L"Checking group Administrators for user CORP\\carol",
                     L"Found group member CORP\\Domain Admins",
                     L"Checking group CORP\\Domain Admins for user CORP\\carol",
                     L"Checking global group CORP\\Domain Admins",
                     L"Found group member CORP\\carol", L"Good - found match in global group",
                     L"Good - found user CORP\\carol in group Administrators"}}));
  EXPECT_EQ(o.err, Lines{});
  EXPECT_EQ(standin::DebuggerTexts(),
            std::vector<std::string>{"The group name could not be found.\r\n"});
}

// The user of an offline domain has no names, yet its SID still matches.
TEST(IsUserAdministrator, UnnamedAccountIsMatchedBySid) {
  InstallProfile(R"({"user": "LAB\\eve", "groups": {"Administrators": ["LAB\\eve"]},
                     "domains": {"LAB": {"sid": "S-1-5-21-4-5-6",
                                         "users": [{"name": "eve", "rid": 1200}]}}})");
  const Outcome o = CheckAdministrator();
  EXPECT_TRUE(o.result);
  ASSERT_GE(o.out.size(), 6u);
  EXPECT_EQ(o.out[5], L"Created CSid object with name Unknown Domain\\Unknown Account");
  EXPECT_EQ(o.out.back(),
            L"Good - found user Unknown Domain\\Unknown Account in group "
            L"Administrators");
}

struct FaultCase {
  const char* label;
  const char* faults;
  Lines out;
  Lines err;
  bool result;
  unsigned sids_allocated;
};

TEST(IsUserAdministrator, EveryFailedPlatformCallHasItsLines) {
  const Lines member_tail = {
      L"Good - extracted token information",
      L"Good - Creating CSid object from token information",
      L"Created CSid object with name WORKSTATION\\Administrator",
      L"Good - allocated Administrators SID",
      L"Good - found account name from SID as Administrators",
      L"Checking group Administrators for user WORKSTATION\\Administrator",
      L"Found group member WORKSTATION\\Administrator",
      L"Good - matched user in group WORKSTATION\\Administrator to supplied user name "
      L"WORKSTATION\\Administrator",
      L"Good - found user WORKSTATION\\Administrator in group Administrators"};
  const FaultCase cases[] = {
      {"no self-impersonation: the process token answers",
       R"([{"call": "ImpersonateSelf", "error": 1346}])",
       Concat({{kStart, L"Good - got token from process"}, member_tail}),
       {L"Warning - could not impersonate self"},
       true,
       1},
      {"thread token missing: the process token answers",
       R"([{"call": "OpenThreadToken", "error": 1008, "times": 1}])",
       Concat(
           {{kStart, L"Good - Impersonated self", L"Good - got token from process"}, member_tail}),
       {},
       true,
       1},
      {"thread token fails otherwise",
       R"([{"call": "OpenThreadToken", "error": 5, "times": 1}])",
       {kStart, L"Good - Impersonated self"},
       {L"Error - unknown error while getting thread token, error code - 5", kCouldNotCreate},
       false,
       0},
      {"no process token after a failed impersonation",
       R"([{"call": "ImpersonateSelf", "error": 1346},
           {"call": "OpenProcessToken", "error": 5}])",
       {kStart},
       {L"Warning - could not impersonate self",
        L"Error - could not get process token, no token available for user", kCouldNotCreate},
       false,
       0},
      {"no process token after a missing thread token",
       R"([{"call": "OpenThreadToken", "error": 1008, "times": 1},
           {"call": "OpenProcessToken", "error": 1346}])",
       {kStart, L"Good - Impersonated self"},
       {L"Error - could not get process token, no token available for user", kCouldNotCreate},
       false,
       0},
      {"token query: buffer too small",
       R"([{"call": "GetTokenInformation", "error": 122}])",
       {kStart, L"Good - Impersonated self", L"Good - got thread token"},
       {L"Error - insufficent buffer to extract token information", kCouldNotCreate},
       false,
       0},
      {"token query fails otherwise",
       R"([{"call": "GetTokenInformation", "error": 6}])",
       {kStart, L"Good - Impersonated self", L"Good - got thread token"},
       {L"Error - unknown error while extracting token information, error code 6", kCouldNotCreate},
       false,
       0},
      {"Administrators SID not allocated",
       R"([{"call": "AllocateAndInitializeSid", "error": 8}])",
       Concat({{kStart}, IdentityLines(L"WORKSTATION\\Administrator")}),
       {L"Error - could not allocate and initialize Administrators SID"},
       false,
       1},
      // The two lookups before this one name the user.
      {"group name not looked up",
       R"([{"call": "LookupAccountSidW", "error": 1332, "skip": 2}])",
       Concat({{kStart},
               IdentityLines(L"WORKSTATION\\Administrator"),
               {L"Good - allocated Administrators SID"}}),
       {L"Error - could not lookup account name from SID, error code 1332"},
       false,
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    InstallProfile(std::string(R"({"faults": )") + c.faults + "}");
    const Outcome o = CheckAdministrator();
    EXPECT_EQ(o.result, c.result);
    EXPECT_EQ(o.out, c.out);
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(standin::CallCount("AllocateAndInitializeSid"), c.sids_allocated);
  }
}

TEST(IsUserAdministrator, FailedPlaceholderLookupAnswersNo) {
  for (bool impersonating : {false, true}) {
    SCOPED_TRACE(impersonating ? "thread impersonating on entry" : "thread not impersonating");
    InstallProfile(R"({"faults": [{"call": "LookupAccountNameW", "error": 1332}]})");
    if (impersonating) {
      ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    }
    const Outcome o = CheckAdministrator();
    EXPECT_FALSE(o.result);
    EXPECT_EQ(o.out, Lines{kStart});
    EXPECT_EQ(o.err, Lines{L"Error - IsUserAdministrator could not complete, returning false"});
    EXPECT_EQ(standin::DebuggerTexts(),
              std::vector<std::string>{
                  "LookupAccountName failed, throwing exception from CSid constructor!"});
  }
}

TEST(IsUserAdministrator, ImpersonationOnEntryIsEndedAndTheProcessUserAnswers) {
  InstallProfile(R"({"user": "bob", "users": ["bob"]})");
  ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
  const Outcome o = CheckAdministrator();
  EXPECT_FALSE(o.result);
  ASSERT_GE(o.out.size(), 6u);
  EXPECT_EQ(o.out[5], L"Created CSid object with name WORKSTATION\\bob");
}

TEST(GetCurrentUserSid, FillsTheAccountAndEndsImpersonation) {
  InstallProfile(R"({"user": "bob", "users": [{"name": "bob", "rid": 1005}],
                     "machine_sid": "S-1-5-21-1-2-3"})");
  CSid account{std::wstring(), std::wstring()};
  TraceCapture trace;
  EXPECT_TRUE(GetCurrentUserSid(account));
  EXPECT_EQ(SidString(account.GetPSid()), L"S-1-5-21-1-2-3-1005");
  EXPECT_EQ(account.GetQualifiedName(), L"WORKSTATION\\bob");
  EXPECT_EQ(trace.out_lines(), IdentityLines(L"WORKSTATION\\bob"));
  EXPECT_EQ(trace.err(), L"");
  EXPECT_TRUE(ThreadHasNoToken());
  EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
}

TEST(GetCurrentUserSid, LeavesTheAccountUnchangedOnFailure) {
  for (const char* fault : {"OpenThreadToken", "GetTokenInformation"}) {
    SCOPED_TRACE(fault);
    InstallProfile(std::string(R"({"faults": [{"call": ")") + fault +
                   R"(", "error": 5, "times": 1}]})");
    CSid account{std::wstring(), std::wstring()};
    TraceCapture trace;
    EXPECT_FALSE(GetCurrentUserSid(account));
    EXPECT_EQ(SidString(account.GetPSid()), L"S-1-5-18");
    EXPECT_EQ(account.GetQualifiedName(), L"NT AUTHORITY\\SYSTEM");
    EXPECT_TRUE(ThreadHasNoToken());
    EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
  }
}

TEST(GetUserToken, HandsOverTokenAndImpersonation) {
  InstallProfile(R"({"user": "bob", "users": [{"name": "bob", "rid": 1005}],
                     "machine_sid": "S-1-5-21-1-2-3"})");
  TraceCapture trace;
  HANDLE token = GetUserToken();
  ASSERT_NE(token, nullptr);
  EXPECT_FALSE(ThreadHasNoToken());

  union {
    TOKEN_USER user;
    BYTE bytes[512];
  } buffer;
  DWORD length = sizeof(buffer);
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, buffer.bytes, length, &length));
  EXPECT_EQ(SidString(buffer.user.User.Sid), L"S-1-5-21-1-2-3-1005");
  EXPECT_EQ(standin::LiveResourcesNow().handles, 1u);

  RevertToSelf();
  CloseHandle(token);
  EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
  EXPECT_EQ(trace.out(), L"");
  EXPECT_EQ(trace.err(), L"");
}

TEST(GetUserToken, FallsBackToTheProcessToken) {
  InstallProfile(R"({"faults": [{"call": "ImpersonateSelf", "error": 1346}]})");
  HANDLE token = GetUserToken();
  ASSERT_NE(token, nullptr);
  EXPECT_TRUE(ThreadHasNoToken());
  RevertToSelf();
  CloseHandle(token);
  EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
}

TEST(GetUserToken, NullLeavesNothingToEndOrClose) {
  const char* cases[] = {
      R"([{"call": "OpenThreadToken", "error": 5, "times": 1}])",
      R"([{"call": "OpenThreadToken", "error": 1008, "times": 1},
          {"call": "OpenProcessToken", "error": 5}])",
      R"([{"call": "ImpersonateSelf", "error": 1346}, {"call": "OpenProcessToken", "error": 5}])",
      R"([{"call": "GetTokenInformation", "error": 122}])",
      R"([{"call": "GetTokenInformation", "error": 5}])",
  };
  for (const char* faults : cases) {
    SCOPED_TRACE(faults);
    InstallProfile(std::string(R"({"faults": )") + faults + "}");
    TraceCapture trace;
    EXPECT_EQ(GetUserToken(), nullptr);
    EXPECT_TRUE(ThreadHasNoToken());
    EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
    EXPECT_EQ(trace.out() + trace.err(), L"");
  }
}

}  // namespace
