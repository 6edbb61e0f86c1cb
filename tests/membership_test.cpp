// IsUserInGroup and its two iterators, on machines whose groups, domains and faults each case
// describes.
#include "checks/membership.h"

#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/standin/machine/machine.h"
#include "platform/standin/profile/machine_description.h"
#include "platform/standin/profile/profile.h"
#include "tests/support/test_machine.h"

namespace {

const std::string kGroupNotFound = "The group name could not be found.\r\n";

struct MembershipCase {
  const char* label;
  std::string profile;
  const wchar_t* account;  // looked up by name on the local computer
  const wchar_t* group;
  std::vector<std::wstring> lines;
  std::vector<std::string> debugger_texts;
  unsigned local_enumerations;
  bool result;
};

// A machine with local users bob and alice and the local group Staff holding `members`.
std::string StaffMachine(const std::string& members, const std::string& more = "") {
  return R"({"users": ["bob", "alice"], "groups": {"Staff": [)" + members + "]}" + more + "}";
}

constexpr char kCorp[] = R"(, "domains": {"CORP": {"controller": "\\\\DC01",
    "users": ["carol", "dave"], "groups": {"Domain Admins": ["dave", "carol"]}}})";

void RunCase(const MembershipCase& c) {
  SCOPED_TRACE(c.label);
  InstallProfile(c.profile);
  {
    const CSid account(c.account, std::wstring());
    TraceCapture trace;
    EXPECT_EQ(IsUserInGroup(account, c.group), c.result);
    EXPECT_EQ(trace.out_lines(), c.lines);
    EXPECT_EQ(trace.err(), L"");
  }
  EXPECT_EQ(standin::DebuggerTexts(), c.debugger_texts);
  EXPECT_EQ(standin::CallCount("NetLocalGroupGetMembers"), c.local_enumerations);
  EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
}

TEST(IsUserInGroup, WellKnownGroupsAcceptEveryAccount) {
  const MembershipCase cases[] = {
      {"Everyone",
       StaffMachine(R"("Everyone")"),
       L"bob",
       L"Staff",
       {L"Checking group Staff for user WORKSTATION\\bob", L"Found group member \\Everyone",
        L"Good - found Everyone SID"},
       {},
       1,
       true},
      {"Interactive",
       StaffMachine(R"("NT AUTHORITY\\INTERACTIVE")"),
       L"bob",
       L"Staff",
       {L"Checking group Staff for user WORKSTATION\\bob",
        L"Found group member NT AUTHORITY\\INTERACTIVE", L"Good - found Interactive SID"},
       {},
       1,
       true},
      {"Authenticated Users",
       StaffMachine(R"("NT AUTHORITY\\Authenticated Users")"),
       L"bob",
       L"Staff",
       {L"Checking group Staff for user WORKSTATION\\bob",
        L"Found group member NT AUTHORITY\\Authenticated Users",
        L"Good - found Authenticated Users SID"},
       {},
       1,
       true},
      {"Terminal Server Users",
       StaffMachine(R"("NT AUTHORITY\\TERMINAL SERVER USER")"),
       L"bob",
       L"Staff",
       {L"Checking group Staff for user WORKSTATION\\bob",
        L"Found group member NT AUTHORITY\\TERMINAL SERVER USER",
        L"Good - found Terminal Server Users SID"},
       {},
       1,
       true},
      {"the first listed decides",
       StaffMachine(R"("alice", "NT AUTHORITY\\TERMINAL SERVER USER", "Everyone")"),
       L"bob",
       L"Staff",
       {L"Checking group Staff for user WORKSTATION\\bob", L"Found group member WORKSTATION\\alice",
        L"Found group member NT AUTHORITY\\TERMINAL SERVER USER",
        L"Good - found Terminal Server Users SID"},
       {},
       1,
       true},
      {"another well-known group is tested as a group of its own",
       StaffMachine(R"("NT AUTHORITY\\NETWORK", "Everyone")"),
       L"bob",
       L"Staff",
       {L"Checking group Staff for user WORKSTATION\\bob",
        L"Found group member NT AUTHORITY\\NETWORK",
        L"Checking group NT AUTHORITY\\NETWORK for user WORKSTATION\\bob",
        L"Checking global group NT AUTHORITY\\NETWORK",
        L"User not in global group NT AUTHORITY\\NETWORK", L"Found group member \\Everyone",
        L"Good - found Everyone SID"},
       {kGroupNotFound},
       2,
       true},
  };
  for (const auto& c : cases)
    RunCase(c);
}

TEST(IsUserInGroup, AccountMembersAreComparedBySid) {
  const MembershipCase cases[] = {
      {"listed directly",
       StaffMachine(R"("alice", "bob")"),
       L"bob",
       L"Staff",
       {L"Checking group Staff for user WORKSTATION\\bob", L"Found group member WORKSTATION\\alice",
        L"Found group member WORKSTATION\\bob",
        L"Good - matched user in group WORKSTATION\\bob to supplied user name "
        L"WORKSTATION\\bob"},
       {},
       1,
       true},
      {"the name as given is printed, the SID decides",
       StaffMachine(R"("bob")"),
       L"BOB",
       L"staff",
       {L"Checking group staff for user WORKSTATION\\BOB", L"Found group member WORKSTATION\\bob",
        L"Good - matched user in group WORKSTATION\\bob to supplied user name "
        L"WORKSTATION\\BOB"},
       {},
       1,
       true},
      {"not listed",
       StaffMachine(R"("alice")"),
       L"bob",
       L"Staff",
       {L"Checking group Staff for user WORKSTATION\\bob", L"Found group member WORKSTATION\\alice",
        L"User not in local group Staff"},
       {},
       1,
       false},
      {"empty group",
       StaffMachine(""),
       L"bob",
       L"Staff",
       {L"Checking group Staff for user WORKSTATION\\bob", L"User not in local group Staff"},
       {},
       1,
       false},
      // A member of an offline domain is listed by SID with an unknown usage: compared, never
      // enumerated.
      {"member of unknown usage",
       StaffMachine(R"("LAB\\Domain Users")",
                    R"(, "domains": {"LAB": {"sid": "S-1-5-21-4-5-6", "users": ["eve"]}})"),
       L"bob",
       L"Staff",
       {L"Checking group Staff for user WORKSTATION\\bob", L"Found group member S-1-5-21-4-5-6-513",
        L"User not in local group Staff"},
       {},
       1,
       false},
  };
  for (const auto& c : cases)
    RunCase(c);
}

TEST(IsUserInGroup, DomainGroups) {
  const MembershipCase cases[] = {
      {"nested domain group holding the account",
       StaffMachine(R"("CORP\\Domain Admins")", kCorp),
       L"carol",
       L"Staff",
       {L"Checking group Staff for user CORP\\carol", L"Found group member CORP\\Domain Admins",
        L"Checking group CORP\\Domain Admins for user CORP\\carol",
        L"Checking global group CORP\\Domain Admins", L"Found group member CORP\\dave",
        L"Found group member CORP\\carol", L"Good - found match in global group"},
       {kGroupNotFound},
       2,
       true},
      {"nested domain group without the account",
       StaffMachine(R"("CORP\\Domain Admins")", kCorp),
       L"bob",
       L"Staff",
       {L"Checking group Staff for user WORKSTATION\\bob",
        L"Found group member CORP\\Domain Admins",
        L"Checking group CORP\\Domain Admins for user WORKSTATION\\bob",
        L"Checking global group CORP\\Domain Admins", L"Found group member CORP\\dave",
        L"Found group member CORP\\carol", L"User not in global group CORP\\Domain Admins",
        L"User not in local group Staff"},
       {kGroupNotFound},
       2,
       false},
      {"domain group named directly, domain matched ignoring case",
       R"({"domains": {"corp": {"controller": "DC01", "users": ["ALICE"],
                                "groups": {"Admins": ["alice"]}}}})",
       L"alice",
       L"CORP\\Admins",
       {L"Checking group CORP\\Admins for user corp\\alice", L"Checking global group CORP\\Admins",
        L"Found group member CORP\\ALICE", L"Good - found match in global group"},
       {kGroupNotFound},
       1,
       true},
      {"no backslash: the whole name is domain and group",
       R"({"domains": {"STAFF": {"controller": "DC02", "users": ["dave"],
                                 "groups": {"STAFF": ["dave"]}}}})",
       L"dave",
       L"STAFF",
       {L"Checking group STAFF for user STAFF\\dave", L"Checking global group STAFF",
        L"Found group member STAFF\\dave", L"Good - found match in global group"},
       {kGroupNotFound},
       1,
       true},
      {"no backslash, no such domain",
       StaffMachine(""),
       L"bob",
       L"Nobody",
       {L"Checking group Nobody for user WORKSTATION\\bob", L"Checking global group Nobody",
        L"User not in global group Nobody"},
       {kGroupNotFound},
       1,
       false},
      {"domain group with no users",
       R"({"users": ["bob"], "domains": {"CORP": {"controller": "DC01",
                                                 "groups": {"Empty": []}}}})",
       L"bob",
       L"CORP\\Empty",
       {L"Checking group CORP\\Empty for user WORKSTATION\\bob",
        L"Checking global group CORP\\Empty", L"User not in global group CORP\\Empty"},
       {kGroupNotFound},
       1,
       false},
      // A\B\C asks A's controller for group B\C, which no domain can hold; group B is not meant.
      {"A\\B\\C is group B\\C of domain A",
       R"({"domains": {"A": {"controller": "DCA", "users": ["u1"], "groups": {"B": ["u1"]}}}})",
       L"u1",
       L"A\\B\\C",
       {L"Checking group A\\B\\C for user A\\u1"},
       {kGroupNotFound, kGroupNotFound},
       1,
       false},
      {"controller found, users cannot be listed",
       StaffMachine(
           "", std::string(kCorp) + R"(, "faults": [{"call": "NetGroupGetUsers", "error": 5}])"),
       L"carol",
       L"CORP\\Domain Admins",
       {L"Checking group CORP\\Domain Admins for user CORP\\carol"},
       {kGroupNotFound, "Access is denied.\r\n"},
       1,
       false},
      {"a failed nested group does not end the loop",
       StaffMachine(
           R"("CORP\\Domain Admins", "bob")",
           std::string(kCorp) + R"(, "faults": [{"call": "NetGroupGetUsers", "error": 5}])"),
       L"bob",
       L"Staff",
       {L"Checking group Staff for user WORKSTATION\\bob",
        L"Found group member CORP\\Domain Admins",
        L"Checking group CORP\\Domain Admins for user WORKSTATION\\bob",
        L"Found group member WORKSTATION\\bob",
        L"Good - matched user in group WORKSTATION\\bob to supplied user name "
        L"WORKSTATION\\bob"},
       {kGroupNotFound, "Access is denied.\r\n"},
       2,
       true},
      {"a status without text",
       StaffMachine("", R"(, "messages": {"2220": null})"),
       L"bob",
       L"Nobody",
       {L"Checking group Nobody for user WORKSTATION\\bob", L"Checking global group Nobody",
        L"User not in global group Nobody"},
       {"Unknown Error"},
       1,
       false},
  };
  for (const auto& c : cases)
    RunCase(c);
}

TEST(IsUserInGroup, DomainFallbackAsksTheControllerOfTheFirstPart) {
  InstallProfile(R"({"domains": {"A": {"controller": "DCA", "users": ["u1"],
                                       "groups": {"B": ["u1"]}}}})");
  const CSid account(L"u1", std::wstring());
  TraceCapture trace;
  EXPECT_FALSE(IsUserInGroup(account, L"A\\B\\C"));
  EXPECT_EQ(standin::CallCount("NetGetDCName"), 1u);
  EXPECT_EQ(standin::CallCount("NetGroupGetUsers"), 1u);
}

// Local groups cannot hold local groups, so the membership test never meets a cycle.
TEST(IsUserInGroup, MachineWithLocalGroupInLocalGroupIsRefused) {
  const char* profiles[] = {
      R"({"groups": {"Loop": ["Loop"]}})",
      R"({"groups": {"A": ["B"], "B": ["A"]}})",
      R"({"groups": {"Administrators": ["Users"]}})",
      R"({"groups": {"Staff": ["WORKSTATION\\Helpdesk"], "Helpdesk": []}})",
  };
  for (const char* profile : profiles) {
    SCOPED_TRACE(profile);
    EXPECT_THROW(standin::InstallMachine(standin::ParseProfile(profile, ".")),
                 standin::ProfileError);
  }
}

// Member names and usages of a local group, read through the iterator.
std::vector<std::pair<std::wstring, SID_NAME_USE>> Members(LPCWSTR group) {
  std::vector<std::pair<std::wstring, SID_NAME_USE>> members;
  user_in_group_iterator_2 it(group);
  const user_in_group_iterator_2 end;
  for (; it != end; ++it)
    members.emplace_back((*it)->lgrmi2_domainandname, (*it)->lgrmi2_sidusage);
  return members;
}

TEST(LocalGroupIterator, WalksMembersInListingOrderAndEndsEmptyHanded) {
  InstallProfile(StaffMachine(R"("alice", "Everyone", "bob", "CORP\\Domain Admins")", kCorp));
  const std::vector<std::pair<std::wstring, SID_NAME_USE>> expected = {
      {L"WORKSTATION\\alice", SidTypeUser},
      {L"\\Everyone", SidTypeWellKnownGroup},
      {L"WORKSTATION\\bob", SidTypeUser},
      {L"CORP\\Domain Admins", SidTypeGroup}};
  EXPECT_EQ(Members(L"Staff"), expected);

  user_in_group_iterator_2 it(L"Staff");
  const user_in_group_iterator_2 end;
  for (int i = 0; i < 4; ++i) {
    ASSERT_NE(*it, nullptr);
    EXPECT_TRUE(it != end);
    EXPECT_FALSE(it == end);
    ++it;
  }
  EXPECT_TRUE(it == end);
  EXPECT_TRUE(end == it);
  EXPECT_EQ(*it, nullptr);
  // The iterator lives on, its buffer already released.
  EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
  EXPECT_EQ(standin::CallCount("NetLocalGroupGetMembers"), 2u);
}

TEST(LocalGroupIterator, EmptyGroupIsAtTheEndAtOnce) {
  InstallProfile(StaffMachine(""));
  const user_in_group_iterator_2 it(L"Staff");
  EXPECT_TRUE(it == user_in_group_iterator_2());
  EXPECT_EQ(*it, nullptr);
  EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
  EXPECT_TRUE(user_in_group_iterator_2() == user_in_group_iterator_2());
}

TEST(LocalGroupIterator, IteratorsOverOneGroupCompareByRecord) {
  InstallProfile(R"({"users": ["bob", "alice"],
                     "groups": {"Staff": ["alice", "bob", "Everyone"], "Other": ["bob"]}})");
  user_in_group_iterator_2 a(L"Staff");
  user_in_group_iterator_2 b(L"Staff");
  const user_in_group_iterator_2 end;
  EXPECT_TRUE(a == b);
  ++a;
  EXPECT_FALSE(a == b);
  EXPECT_TRUE(a != b);
  ++b;
  EXPECT_TRUE(a == b);
  // An iterator over another group standing on the same member is equal too.
  const user_in_group_iterator_2 other(L"Other");
  EXPECT_TRUE(a == other);
  ++a;
  ++a;
  EXPECT_FALSE(a == b);
  EXPECT_TRUE(a == end);
}

TEST(LocalGroupIterator, FailedEnumerationThrowsTheSystemText) {
  const struct {
    const char* profile;
    const wchar_t* group;
    const char* what;
  } cases[] = {
      {"{}", L"Nobody", "The group name could not be found.\r\n"},
      {"{}", L"BUILTIN\\Administrators", "The group name could not be found.\r\n"},
      {R"({"messages": {"2220": "Gruppe nicht gefunden.\r\n"}})", L"Nobody",
       "Gruppe nicht gefunden.\r\n"},
      {R"({"messages": {"2220": null}})", L"Nobody", "Unknown Error"},
      {R"({"faults": [{"call": "NetLocalGroupGetMembers", "error": 5}]})", L"Administrators",
       "Access is denied.\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.profile);
    InstallProfile(c.profile);
    std::string what;
    try {
      user_in_group_iterator_2 it(c.group);
    } catch (const std::runtime_error& e) {
      what = e.what();
    }
    EXPECT_EQ(what, c.what);
    EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
  }
}

std::vector<std::wstring> Users(LPCWSTR group) {
  std::vector<std::wstring> users;
  user_in_globalgroup_iterator it(group);
  const user_in_globalgroup_iterator end;
  for (; it != end; ++it)
    users.push_back(*it);
  return users;
}

TEST(GlobalGroupIterator, NamesUsersWithTheDomainAsWritten) {
  InstallProfile(std::string("{") + (kCorp + 1) + "}");
  EXPECT_EQ(Users(L"CORP\\Domain Admins"),
            (std::vector<std::wstring>{L"CORP\\dave", L"CORP\\carol"}));
  EXPECT_EQ(Users(L"corp\\Domain Admins"),
            (std::vector<std::wstring>{L"corp\\dave", L"corp\\carol"}));
  EXPECT_EQ(Users(L"CORP\\Domain Users"),
            (std::vector<std::wstring>{L"CORP\\carol", L"CORP\\dave"}));
  EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);

  user_in_globalgroup_iterator it(L"CORP\\Domain Admins");
  ++it;
  ++it;
  EXPECT_TRUE(it == user_in_globalgroup_iterator());
  EXPECT_EQ(*it, L"");
  EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
}

TEST(GlobalGroupIterator, NoControllerOrNoUsersIsTheEnd) {
  InstallProfile(R"({"domains": {"CORP": {"controller": "DC01", "groups": {"Empty": []}},
                                 "LAB": {"users": ["eve"], "groups": {"Lab": ["eve"]}}}})");
  const user_in_globalgroup_iterator end;
  for (const wchar_t* group : {L"CORP\\Empty", L"LAB\\Lab", L"NOWHERE\\Group", L"Nobody"}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(group)));
    const user_in_globalgroup_iterator it(group);
    EXPECT_TRUE(it == end);
    EXPECT_EQ(*it, L"");
    EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
  }
  // Only CORP has a controller to ask.
  EXPECT_EQ(standin::CallCount("NetGroupGetUsers"), 1u);
}

TEST(GlobalGroupIterator, SeparateLiveIteratorsAreNeverEqual) {
  InstallProfile(std::string("{") + (kCorp + 1) + "}");
  const user_in_globalgroup_iterator a(L"CORP\\Domain Admins");
  const user_in_globalgroup_iterator b(L"CORP\\Domain Admins");
  ASSERT_EQ(*a, *b);
  EXPECT_FALSE(a == b);
  EXPECT_TRUE(a != b);
  EXPECT_TRUE(a != user_in_globalgroup_iterator());
  EXPECT_TRUE(user_in_globalgroup_iterator() == user_in_globalgroup_iterator());
}

TEST(GlobalGroupIterator, FailedListingThrowsAndReleasesTheControllerName) {
  InstallProfile(std::string("{") + (kCorp + 1) +
                 R"(, "faults": [{"call": "NetGroupGetUsers", "error": 5}]})");
  std::string what;
  try {
    user_in_globalgroup_iterator it(L"CORP\\Domain Admins");
  } catch (const std::runtime_error& e) {
    what = e.what();
  }
  EXPECT_EQ(what, "Access is denied.\r\n");
  EXPECT_EQ(standin::CallCount("NetGetDCName"), 1u);
  EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
}

}  // namespace
