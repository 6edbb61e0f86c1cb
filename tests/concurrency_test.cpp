// The exports called from eight threads at once on one machine: the first use of the well-known
// SIDs, nested and domain groups, and access checks on a directory per thread. Run under
// ThreadSanitizer by the tsan preset; in the other builds they check the answers alone.
#include <barrier>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "checks/exports.h"
#include "platform/standin/machine/machine.h"
#include "tests/support/account_checks.h"
#include "tests/support/discarded_trace.h"
#include "tests/support/machine_folder.h"
#include "tests/support/test_machine.h"

namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 5;

// What one thread saw: its answers in order, and whether every call left it without a token.
struct ThreadResult {
  std::vector<int> answers;
  bool no_token_after_each = true;
};

// Runs `call(thread, round)` kRounds times on each of kThreads threads that start together.
std::vector<ThreadResult> RunTogether(const std::function<bool(int, int)>& call) {
  std::vector<ThreadResult> results(kThreads);
  std::barrier start(kThreads);
  DiscardedTrace trace;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int round = 0; round < kRounds; ++round) {
        results[t].answers.push_back(call(t, round) ? 1 : 0);
        results[t].no_token_after_each = results[t].no_token_after_each && ThreadHasNoToken();
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  return results;
}

struct AdministratorCase {
  const char* name;
  const char* profile;
  bool expected;
};

// The last member of Administrators decides, so that every thread meets every earlier one.
const AdministratorCase kAdministratorCases[] = {
    {"WellKnownGroupLast",
     R"({"users": ["bob"], "user": "bob",
         "groups": {"Administrators": ["Administrator", "NT AUTHORITY\\NETWORK",
                                        "NT AUTHORITY\\TERMINAL SERVER USER"]}})",
     true},
    {"DomainGroup",
     R"({"user": "CORP\\carol", "groups": {"Administrators": ["Administrator", "CORP\\Domain Admins"]},
         "domains": {"CORP": {"controller": "\\\\DC01", "users": ["carol", "dave"],
                              "groups": {"Domain Admins": ["dave", "carol"]}}}})",
     true},
    {"NotAMember",
     R"({"users": ["bob"], "user": "bob",
         "groups": {"Administrators": ["Administrator", "NT AUTHORITY\\NETWORK",
                                        "CORP\\Domain Admins"]},
         "domains": {"CORP": {"controller": "\\\\DC01", "users": ["carol"],
                              "groups": {"Domain Admins": ["carol"]}}}})",
     false},
};

class ConcurrentAdministrator : public ::testing::TestWithParam<AdministratorCase> {};

TEST_P(ConcurrentAdministrator, EveryThreadGetsTheSameAnswer) {
  InstallProfile(GetParam().profile);
  const auto results = RunTogether([](int, int) { return IsUserAdministrator(); });
  for (int t = 0; t < kThreads; ++t) {
    SCOPED_TRACE(t);
    EXPECT_EQ(results[t].answers, std::vector<int>(kRounds, GetParam().expected ? 1 : 0));
    EXPECT_TRUE(results[t].no_token_after_each);
  }
  EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Concurrency,
                         ConcurrentAdministrator,
                         ::testing::ValuesIn(kAdministratorCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Each thread has a directory of its own, of one of three kinds: the access check grants, the
// check refuses a file that the probe then answers for, or both refuse.
constexpr char kAccessProfile[] = R"json({
  "computer": "WS01", "machine_sid": "S-1-5-21-1-2-3", "user": "alice",
  "users": [{"name": "alice", "rid": 1001}, "bob"],
  "groups": {"Administrators": ["Administrator", "alice"]},
  "volumes": {"C:": {"path": "disk-c", "fs": "NTFS"}},
  "security": {SECURITY}
})json";

enum class Kind { kGranted, kProbed, kRefused };

Kind KindOf(int thread) {
  return static_cast<Kind>(thread % 3);
}

std::string Folder(int thread) {
  return "Dir" + std::to_string(thread);
}

TEST(Concurrency, AccessChecksOnADirectoryPerThread) {
  MachineFolder machine;
  std::string security;
  for (int t = 0; t < kThreads; ++t) {
    const std::string dir = "C:\\\\" + Folder(t);
    machine.Folder("disk-c/" + Folder(t));
    if (!security.empty())
      security += ",";
    switch (KindOf(t)) {
      case Kind::kGranted:
        security += "\"" + dir + "\": \"O:BAG:SYD:(A;OICI;0x1301bf;;;S-1-5-21-1-2-3-1001)\"";
        break;
      case Kind::kProbed:
        machine.File("disk-c/" + Folder(t) + "/denied.txt", "x");
        security += "\"" + dir + "\": \"O:BAG:SYD:(A;OICI;FA;;;S-1-5-21-1-2-3-1001)\", \"" + dir +
                    "\\\\denied.txt\": \"O:BAG:SYD:P(A;;FR;;;S-1-5-21-1-2-3-1001)\"";
        break;
      case Kind::kRefused:
        security += "\"" + dir + "\": \"O:BAG:SYD:P(A;OICI;FR;;;S-1-5-21-1-2-3-1001)\"";
        break;
    }
  }
  std::string profile = kAccessProfile;
  profile.replace(profile.find("SECURITY"), 8, security);
  machine.Install(profile);

  std::vector<std::wstring> paths;
  for (int t = 0; t < kThreads; ++t) {
    const std::wstring dir = L"C:\\Dir" + std::to_wstring(t) + L"\\";
    paths.push_back(KindOf(t) == Kind::kProbed ? dir + L"denied.txt" : dir);
  }
  // Odd rounds ask whether the user is an administrator, between the access checks.
  const auto results = RunTogether([&](int t, int round) {
    return round % 2 ? IsUserAdministrator() : IsUserAllowedAccess(paths[t].c_str());
  });

  for (int t = 0; t < kThreads; ++t) {
    SCOPED_TRACE(t);
    std::vector<int> expected;
    for (int round = 0; round < kRounds; ++round)
      expected.push_back(round % 2 || KindOf(t) != Kind::kRefused ? 1 : 0);
    EXPECT_EQ(results[t].answers, expected);
    EXPECT_TRUE(results[t].no_token_after_each);
    // The probes are gone again.
    const auto folder = machine.root() / "disk-c" / Folder(t);
    EXPECT_FALSE(std::filesystem::exists(folder / "test.txt"));
  }
  EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
  // A probe per access round where the access check did not grant.
  unsigned probing = 0;
  for (int t = 0; t < kThreads; ++t)
    probing += KindOf(t) != Kind::kGranted;
  EXPECT_EQ(standin::CallCount("CreateFileW"), probing * ((kRounds + 1) / 2));
}

}  // namespace
