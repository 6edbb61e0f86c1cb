// The four well-known SIDs that IsUserInGroup keeps for the life of the process: built on first
// use, in table order, once. Each building allocates one SID, so AllocateAndInitializeSid
// counts them. The statics outlive every machine, so these cases need a process of their own;
// ctest runs each case in one, and a run of the whole program skips what it cannot check.
#include <barrier>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "checks/exports.h"
#include "checks/membership.h"
#include "platform/standin/machine/machine.h"
#include "tests/support/test_machine.h"

namespace {

// Set once a case of this process may have built any of the statics.
bool g_statics_may_exist = false;

constexpr char kNeedsFreshProcess[] =
    "the well-known SIDs of this process already exist; run this case alone";

// Local users bob and alice; Staff holds `members`.
std::string StaffMachine(const std::string& members, const std::string& more = "") {
  return R"({"users": ["bob", "alice"], "groups": {"Staff": [)" + members + "], \"Empty\": []}" +
         more + "}";
}

// The SIDs allocated by a call of IsUserInGroup on Staff, with its answer.
unsigned AllocationsBy(const CSid& account, LPCWSTR group, bool expected) {
  const unsigned before = standin::CallCount("AllocateAndInitializeSid");
  TraceCapture trace;
  EXPECT_EQ(IsUserInGroup(account, group), expected);
  return standin::CallCount("AllocateAndInitializeSid") - before;
}

TEST(WellKnownStatics, NoneBuiltUntilAGroupMemberIsMet) {
  if (g_statics_may_exist) {
    GTEST_SKIP() << kNeedsFreshProcess;
  }
  InstallProfile(StaffMachine(R"("alice", "bob", "LAB\\Domain Users")",
                              R"(, "domains": {"CORP": {"controller": "DC01", "users": ["carol"],
                                                    "groups": {"Admins": ["carol"]}},
                                           "LAB": {"users": ["eve"]}})"));
  const CSid bob(L"bob", std::wstring());
  const CSid carol(L"carol", std::wstring());
  EXPECT_EQ(AllocationsBy(bob, L"Staff", true), 0u);
  EXPECT_EQ(AllocationsBy(carol, L"Staff", false), 0u);
  EXPECT_EQ(AllocationsBy(bob, L"Empty", false), 0u);
  EXPECT_EQ(AllocationsBy(bob, L"Nobody", false), 0u);
  EXPECT_EQ(AllocationsBy(carol, L"CORP\\Admins", true), 0u);

  // The export allocates the Administrators SID and nothing more.
  const unsigned before = standin::CallCount("AllocateAndInitializeSid");
  TraceCapture trace;
  EXPECT_TRUE(IsUserAdministrator());
  EXPECT_EQ(standin::CallCount("AllocateAndInitializeSid") - before, 1u);
}

TEST(WellKnownStatics, BuiltOnceEachInTableOrderWhenReached) {
  if (g_statics_may_exist) {
    GTEST_SKIP() << kNeedsFreshProcess;
  }
  g_statics_may_exist = true;
  const struct {
    const char* member;
    unsigned built;
  } steps[] = {
      {R"("Everyone")", 1},
      {R"("Everyone")", 0},
      {R"("NT AUTHORITY\\INTERACTIVE")", 1},
      {R"("NT AUTHORITY\\TERMINAL SERVER USER")", 2},
      {R"("NT AUTHORITY\\Authenticated Users")", 0},
      {R"("NT AUTHORITY\\NETWORK")", 0},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.member);
    InstallProfile(StaffMachine(step.member));
    const CSid bob(L"bob", std::wstring());
    const bool member = std::string(step.member).find("NETWORK") == std::string::npos;
    EXPECT_EQ(AllocationsBy(bob, L"Staff", member), step.built);
  }
}

// Swallows what concurrent callers write, one writer at a time.
class LockedSink : public std::wstreambuf {
 protected:
  int_type overflow(int_type c) override {
    std::lock_guard lock(mutex_);
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const wchar_t*, std::streamsize count) override {
    std::lock_guard lock(mutex_);
    return count;
  }

 private:
  std::mutex mutex_;
};

TEST(WellKnownStatics, EightThreadsAtFirstUseBuildEachOnce) {
  if (g_statics_may_exist) {
    GTEST_SKIP() << kNeedsFreshProcess;
  }
  g_statics_may_exist = true;
  // The last of the four is the member, so every thread reaches all four.
  InstallProfile(StaffMachine(R"("NT AUTHORITY\\TERMINAL SERVER USER")"));
  const CSid bob(L"bob", std::wstring());
  constexpr int kThreads = 8;
  std::barrier start(kThreads);
  std::vector<int> answers(kThreads, -1);

  LockedSink sink;
  std::wstreambuf* const old_out = std::wcout.rdbuf(&sink);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      answers[i] = IsUserInGroup(bob, L"Staff") ? 1 : 0;
    });
  }
  for (auto& t : threads)
    t.join();
  std::wcout.rdbuf(old_out);

  EXPECT_EQ(answers, std::vector<int>(kThreads, 1));
  EXPECT_EQ(standin::CallCount("AllocateAndInitializeSid"), 4u);
  EXPECT_EQ(standin::CallCount("NetLocalGroupGetMembers"), unsigned{kThreads});
  EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
}

// A static whose building throws stays unbuilt: the int reaches the caller and the next call
// builds it.
TEST(WellKnownStatics, FailedBuildingPassesTheIntAndIsTriedAgain) {
  if (g_statics_may_exist) {
    GTEST_SKIP() << kNeedsFreshProcess;
  }
  g_statics_may_exist = true;
  // On a translated system the fallback name "Everyone" names nobody.
  InstallProfile(StaffMachine(R"("Everyone")", R"(, "names": {"S-1-1-0": "Jeder"},
      "faults": [{"call": "AllocateAndInitializeSid", "error": 8, "times": 1}])"));
  const CSid bob(L"bob", std::wstring());
  int thrown = 0;
  {
    TraceCapture trace;
    try {
      IsUserInGroup(bob, L"Staff");
    } catch (int value) {
      thrown = value;
    }
    EXPECT_EQ(trace.out_lines(),
              (std::vector<std::wstring>{L"Checking group Staff for user WORKSTATION\\bob",
                                         L"Found group member \\Jeder"}));
  }
  EXPECT_EQ(thrown, -1);
  EXPECT_EQ(standin::DebuggerTexts(),
            std::vector<std::string>{
                "LookupAccountName failed, throwing exception from CSid constructor!"});
  EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);

  TraceCapture trace;
  EXPECT_TRUE(IsUserInGroup(bob, L"Staff"));
  ASSERT_FALSE(trace.out_lines().empty());
  EXPECT_EQ(trace.out_lines().back(), L"Good - found Everyone SID");
  EXPECT_EQ(standin::CallCount("AllocateAndInitializeSid"), 2u);
}

TEST(WellKnownStatics, LaterCallsAndMachinesBuildNoMore) {
  const unsigned first_build = g_statics_may_exist ? 0 : 4;
  g_statics_may_exist = true;
  InstallProfile(StaffMachine(R"("NT AUTHORITY\\TERMINAL SERVER USER")"));
  const CSid bob(L"bob", std::wstring());
  EXPECT_EQ(AllocationsBy(bob, L"Staff", true), first_build);
  EXPECT_EQ(AllocationsBy(bob, L"Staff", true), 0u);

  // Another machine, with other names for the groups, meets the same statics.
  InstallProfile(StaffMachine(R"("NT AUTHORITY\\NETWORK", "Everyone")",
                              R"(, "names": {"S-1-1-0": "Jeder", "S-1-5-2": "NETZWERK"})"));
  const CSid bob2(L"bob", std::wstring());
  EXPECT_EQ(AllocationsBy(bob2, L"Staff", true), 0u);
  EXPECT_EQ(AllocationsBy(bob2, L"Staff", true), 0u);
  EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
}

}  // namespace
