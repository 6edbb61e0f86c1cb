// The machine profile loader: what it accepts, and every refusal naming the key at fault,
// whether the profile fails to parse or the machine it describes cannot be built.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/standin/profile/profile.h"
#include "tests/standin_contract.h"

namespace {

class standin_profile : public StandinTest {};

// Parses and builds; returns the key of the refusal, or "" when the profile is accepted.
std::string RefusedKey(std::string_view json, std::string* message = nullptr) {
  try {
    standin::Machine machine(standin::ParseProfile(json, "."));
  } catch (const standin::ProfileError& e) {
    if (message)
      *message = e.what();
    return e.key().empty() ? "(empty key)" : e.key();
  }
  return "";
}

struct Refusal {
  const char* json;
  const char* key;
};

const Refusal kRefusals[] = {
    // The document itself.
    {R"([1, 2])", "profile"},
    {R"({"computer": "A")", "profile"},
    {R"("WS01")", "profile"},
    {R"({"version": {"major": 1e999}})", "profile"},  // a number no type holds
    // Unknown keys, at every depth.
    {R"({"colour": "blue"})", "colour"},
    {R"({"": 4})", R"("")"},
    {R"({"version": {"major": 10, "patch": 1}})", "version.patch"},
    {R"({"users": [{"name": "bob", "uid": 3}]})", "users[0].uid"},
    {R"({"domains": {"CORP": {"forest": "x"}}})", "domains.CORP.forest"},
    {R"({"faults": [{"call": "ImpersonateSelf", "error": 5, "when": 1}]})", "faults[0].when"},
    // Wrong types.
    {R"({"computer": 5})", "computer"},
    {R"({"machine_sid": 21})", "machine_sid"},
    {R"({"elevated": "no"})", "elevated"},
    {R"({"elevated": 0})", "elevated"},
    {R"({"user": ["alice"]})", "user"},
    {R"({"version": {"major": "ten"}})", "version.major"},
    {R"({"version": {"minor": -1}})", "version.minor"},
    {R"({"version": {"minor": 1.5}})", "version.minor"},
    {R"({"version": 10})", "version"},
    {R"({"users": "alice"})", "users"},
    {R"({"users": [7]})", "users[0]"},
    {R"({"users": [{"name": "bob", "rid": 1.5}]})", "users[0].rid"},
    {R"({"users": [{"name": "bob", "rid": 5000000000}]})", "users[0].rid"},
    {R"({"groups": ["Helpdesk"]})", "groups"},
    {R"({"groups": {"Helpdesk": "bob"}})", "groups.Helpdesk"},
    {R"({"users": ["bob"], "groups": {"Helpdesk": ["bob", 5]}})", "groups.Helpdesk[1]"},
    {R"({"names": {"S-1-5-32-544": 7}})", "names.S-1-5-32-544"},
    {R"({"domains": {"CORP": {"controller": 1}}})", "domains.CORP.controller"},
    {R"({"domains": {"CORP": {"users": {"carol": 1}}}})", "domains.CORP.users"},
    {R"({"domains": {"CORP": []}})", "domains.CORP"},
    {R"({"faults": {"call": "ImpersonateSelf", "error": 5}})", "faults"},
    {R"({"faults": [{"call": 5, "error": 5}]})", "faults[0].call"},
    {R"({"faults": [{"call": "ImpersonateSelf", "error": 5, "times": "once"}]})",
     "faults[0].times"},
    {R"({"faults": [{"call": "ImpersonateSelf", "error": -5}]})", "faults[0].error"},
    {R"({"messages": {"5": 5}})", "messages.5"},
    {R"({"messages": ["Access is denied."]})", "messages"},
    {R"({"volumes": []})", "volumes"},
    {R"({"security": "O:BA"})", "security"},
    {R"({"registry": 1})", "registry"},
    // Missing parts.
    {R"({"users": [{"rid": 1005}]})", "users[0].name"},
    {R"({"faults": [{"error": 5}]})", "faults[0].call"},
    {R"({"faults": [{"call": "ImpersonateSelf"}]})", "faults[0].error"},
    // Bad fault call names: unknown, or a call that cannot fail.
    {R"({"faults": [{"call": "MapGenericMask", "error": 5}]})", "faults[0].call"},
    {R"({"faults": [{"call": "impersonateself", "error": 5}]})", "faults[0].call"},
    {R"({"faults": [{"call": "GetLastError", "error": 5}]})", "faults[0].call"},
    {R"({"faults": [{"call": "ImpersonateSelf", "error": 5}, {"call": "", "error": 5}]})",
     "faults[1].call"},
    // Message codes must be decimal numbers.
    {R"({"messages": {"five": "x"}})", "messages.five"},
    {R"({"messages": {"-5": "x"}})", "messages.-5"},
    {R"({"messages": {"0x5": "x"}})", "messages.0x5"},
    {R"({"messages": {" 5": "x"}})", "messages. 5"},
    {R"({"messages": {"+5": "x"}})", "messages.+5"},
    {R"({"messages": {"": "x"}})", "messages."},
    {R"({"messages": {"4294967296": "x"}})", "messages.4294967296"},
    // Bad SIDs.
    {R"({"machine_sid": "S-1-5-21-x"})", "machine_sid"},
    {R"({"machine_sid": "BA"})", "machine_sid"},
    {R"({"domains": {"CORP": {"sid": "S-1-5-bogus"}}})", "domains.CORP.sid"},
    {R"({"machine_sid": "S-1-5-21-1-2-3", "domains": {"CORP": {"sid": "S-1-5-21-1-2-3"}}})",
     "domains.CORP.sid"},
    {R"({"names": {"not-a-sid": "X"}})", "names.not-a-sid"},
    {R"({"names": {"S-1-5-32-999": "X"}})", "names.S-1-5-32-999"},  // no such account
    {R"({"names": {"S-1-5-32-544": ""}})", "names.S-1-5-32-544"},
    // Unresolvable member and user references.
    {R"({"user": "nobody"})", "user"},
    {R"({"user": "CORP\\carol"})", "user"},
    {R"({"user": "Administrators"})", "user"},  // a group
    {R"({"groups": {"Helpdesk": ["nobody"]}})", "groups.Helpdesk[0]"},
    {R"({"groups": {"Administrators": ["CORP\\carol"]}})", "groups.Administrators[0]"},
    {R"({"groups": {"Administrators": ["S-1-5-21-9-9-9-1000"]}})", "groups.Administrators[0]"},
    {R"({"groups": {"Administrators": ["S-1-5-bogus"]}})", "groups.Administrators[0]"},
    {R"({"domains": {"CORP": {"users": ["carol"], "groups": {"G": ["mallory"]}}}})",
     "domains.CORP.groups.G[0]"},
    // Global groups hold users of their own domain only.
    {R"({"users": ["alice"], "domains": {"CORP": {"groups": {"G": ["alice"]}}}})",
     "domains.CORP.groups.G[0]"},
    {R"({"domains": {"CORP": {"users": ["carol"]}, "LAB": {"groups": {"G": ["CORP\\carol"]}}}})",
     "domains.LAB.groups.G[0]"},
    // A local group cannot hold a local group, built-in or not.
    {R"({"groups": {"Helpdesk": ["Users"]}})", "groups.Helpdesk[0]"},
    {R"({"groups": {"Helpdesk": ["BUILTIN\\Administrators"]}})", "groups.Helpdesk[0]"},
    {R"({"groups": {"Helpdesk": [], "Admins": ["Helpdesk"]}})", "groups.Admins[0]"},
    {R"({"groups": {"Helpdesk": [], "Administrators": ["alice", "Helpdesk"]}, "users": ["alice"]})",
     "groups.Administrators[1]"},
    {R"({"groups": {"Users": ["S-1-5-32-544"]}})", "groups.Users[0]"},
    // Names that clash or cannot be names.
    {R"({"computer": ""})", "computer"},
    {R"({"computer": "WS\\01"})", "computer"},
    {R"({"users": ["alice", "ALICE"]})", "users[1]"},
    {R"({"users": ["Administrator"]})", "users[0]"},
    {R"({"users": [{"name": "bob", "rid": 500}]})", "users[0]"},
    {R"({"users": [{"name": "a", "rid": 1005}, {"name": "b", "rid": 1005}]})", "users[1]"},
    {R"({"users": ["a\\b"]})", "users[0]"},
    {R"({"users": ["alice"], "groups": {"alice": []}})", "groups.alice"},
    {R"({"domains": {"WORKSTATION": {}}})", "domains.WORKSTATION"},
    {R"({"domains": {"BUILTIN": {}}})", "domains.BUILTIN"},
    {R"({"domains": {"CORP": {"users": ["carol", "Carol"]}}})", "domains.CORP.users[1]"},
    {R"({"domains": {"CORP": {"controller": "\\\\"}}})", "domains.CORP.controller"},
    {R"({"domain": "CORP", "domains": {"LAB": {}}})", "domain"},
    // Privileges name an account and privileges the platform knows.
    {R"({"privileges": ["SeBackupPrivilege"]})", "privileges"},
    {R"({"privileges": {"Administrator": "SeBackupPrivilege"}})", "privileges.Administrator"},
    {R"({"privileges": {"nobody": ["SeBackupPrivilege"]}})", "privileges.nobody"},
    {R"({"privileges": {"Guest": ["SeBackupPrivilege", "SeBogusPrivilege"]}})",
     "privileges.Guest[1]"},
    // Control characters, which no name holds; a NUL would cut the name short. Keys quote them.
    {R"({"computer": "WS\u001b01"})", "computer"},
    {R"({"users": ["a\u0000x"]})", "users[0]"},
    {R"({"domains": {"CO\nRP": {}}})", "domains.CO\\u000aRP"},
    {R"({"domains": {"CORP": {"users": ["\u0085carol"]}}})", "domains.CORP.users[0]"},
    {R"({"domains": {"CORP": {"controller": "\\\\DC\u0000"}}})", "domains.CORP.controller"},
    {R"({"names": {"S-1-5-32-544": "Admins\u0000"}})", "names.S-1-5-32-544"},
    {R"({"volumes": {"C:": {"path": "disk\u0000c"}}})", "volumes.C:.path"},
    {R"({"volumes": {"C:": {"path": "disk-c", "fs": "FAT\u0000"}}})", "volumes.C:.fs"},
    {R"({"security": {"C:\\Da\u0007ta": "O:BA"}})", "security.C:\\Da\\u0007ta"},
    {R"({"registry": {"HKLM\\Soft\u0001ware": {}}})", "registry.HKLM\\Soft\\u0001ware"},
    {R"({"registry": {"HKLM\\Software\\X": {"values": {"a\u0000b": {"hex": "00"}}}}})",
     "registry.HKLM\\Software\\X.values.a\\u0000b"},
    // Names that `names` makes the same as another account's of the same domain.
    {R"({"machine_sid": "S-1-5-21-1-2-3", "users": [{"name": "bob", "rid": 1005}],
        "names": {"S-1-5-21-1-2-3-1005": "GUEST"}})",
     "names.S-1-5-21-1-2-3-1005"},
    {R"({"names": {"S-1-5-32-545": "Users", "S-1-5-32-544": "users"}})", "names.S-1-5-32-544"},
};

TEST_F(standin_profile, EveryRefusalNamesItsKey) {
  for (const auto& r : kRefusals) {
    SCOPED_TRACE(r.json);
    std::string message;
    EXPECT_EQ(RefusedKey(r.json, &message), r.key);
    EXPECT_NE(message.find(r.key), std::string::npos) << "message: " << message;
    EXPECT_GT(message.size(), std::string(r.key).size() + 2) << "message says nothing more";
  }
}

// The example profile of the profile documentation, whole.
constexpr std::string_view kExample = R"json({
  "computer": "WS01",
  "version": {"major": 10, "minor": 0},
  "user": "alice",
  "elevated": true,
  "users": ["alice", {"name": "bob", "rid": 1005}],
  "groups": {
    "Administrators": ["alice", "CORP\\Domain Admins", "NT AUTHORITY\\INTERACTIVE"],
    "Helpdesk": ["bob"]
  },
  "names": {"S-1-5-32-544": "Administratoren"},
  "domains": {
    "CORP": {
      "controller": "\\\\DC01",
      "users": ["carol", "dave"],
      "groups": {"Domain Admins": ["carol"]}
    },
    "LAB": {"users": ["eve"]}
  },
  "volumes": {
    "C:": {"path": "disk-c", "fs": "NTFS"},
    "F:": {"path": "/media/stick", "fs": "FAT32"}
  },
  "security": {
    "C:\\Data": "O:BAG:SYD:(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
  },
  "registry": {
    "HKLM\\Software\\Example": {
      "sddl": "O:BAG:SYD:(A;CI;KA;;;BA)",
      "values": {"Launch": {"sddl": "O:SYG:SYD:(A;;0x3;;;WD)"}, "Junk": {"hex": "0100ff"}}
    }
  },
  "faults": [
    {"call": "ImpersonateSelf", "error": 1346},
    {"call": "NetGroupGetUsers", "error": 5, "skip": 1, "times": 1}
  ],
  "messages": {"5": "Access is denied.\r\n", "2220": null}
})json";

TEST_F(standin_profile, DocumentedExampleIsAccepted) {
  EXPECT_EQ(RefusedKey(kExample), "");
  InstallProfile(kExample);
  const auto bob = SidOfAccount(L"WS01\\bob");
  ASSERT_FALSE(bob.empty());
  EXPECT_EQ(*GetSidSubAuthority(const_cast<BYTE*>(bob.data()), 4), 1005u);
  EXPECT_FALSE(SidOfAccount(L"Administratoren").empty());
  SetLastError(kSentinelError);
  EXPECT_FALSE(ImpersonateSelf(SecurityImpersonation));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_IMPERSONATION_LEVEL));
}

TEST_F(standin_profile, AcceptedVariants) {
  const char* const accepted[] = {
      "{}",
      R"({"users": [], "groups": {}, "domains": {}, "faults": [], "messages": {}, "names": {}})",
      R"({"user": "S-1-5-18"})",
      R"({"user": "WORKSTATION\\Guest"})",
      R"({"domains": {"CORP": {"users": ["carol"]}}, "user": "CORP\\carol"})",
      R"({"users": ["bob"], "groups": {"Helpdesk": ["BOB", "everyone", "S-1-5-4"]}})",
      R"({"groups": {"Administrators": []}})",
      R"({"users": [{"name": "bob", "rid": 1000}, "carl"]})",
      R"({"messages": {"4294967295": "x", "0": null}})",
      R"({"faults": [{"call": "LocalFree", "error": 6, "skip": 0, "times": 0}]})",
      R"({"machine_sid": "S-1-5-21-1-2-3", "version": {"major": 6, "minor": 1}})",
      R"({"privileges": {"Users": ["sebackupprivilege"], "S-1-1-0": []}})",
  };
  for (const char* json : accepted) {
    SCOPED_TRACE(json);
    EXPECT_EQ(RefusedKey(json), "");
  }
}

TEST_F(standin_profile, DescriptionsAreCheckedWhenTheMachineIsBuilt) {
  struct Case {
    void (*edit)(standin::MachineDescription&);
    const char* key;
  };
  const Case cases[] = {
      {[](auto& d) {
         d.faults.push_back({"NoSuchCall", 5, 0, std::nullopt});
       },
       "faults[0].call"},
      {[](auto& d) { d.user = L"nobody"; }, "user"},
      {[](auto& d) { d.names.emplace_back(L"S-1-9", L"X"); }, "names.S-1-9"},
      {[](auto& d) { d.machine_sid = L"S-1-5-21-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15"; },
       "machine_sid"},
      {[](auto& d) {
         d.groups.push_back({L"Helpdesk", {L"Guests"}});
       },
       "groups.Helpdesk[0]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    standin::MachineDescription d;
    c.edit(d);
    try {
      standin::InstallMachine(d);
      ADD_FAILURE() << "accepted";
    } catch (const standin::ProfileError& e) {
      EXPECT_EQ(e.key(), c.key);
    }
  }
}

TEST_F(standin_profile, RefusedMachineLeavesTheInstalledOneInPlace) {
  InstallProfile(R"({"computer": "KEEP", "users": ["alice"]})");
  EXPECT_THROW(standin::InstallMachine(standin::ParseProfile(R"({"user": "nobody"})", ".")),
               standin::ProfileError);
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sid_bytes = sizeof(sid);
  wchar_t domain[32];
  DWORD domain_chars = 32;
  SID_NAME_USE use;
  ASSERT_TRUE(LookupAccountNameW(nullptr, L"alice", sid, &sid_bytes, domain, &domain_chars, &use));
  EXPECT_EQ(std::wstring(domain), L"KEEP");
}

TEST_F(standin_profile, ProfileFilesAreRead) {
  const auto dir =
      std::filesystem::temp_directory_path() /
      ("standin_profile_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::create_directories(dir);
  const auto good = dir / "good.json";
  const auto bad = dir / "bad.json";
  {
    std::ofstream(good) << R"({"computer": "FROMFILE"})";
    std::ofstream(bad) << R"({"computer": "FROMFILE", "elevated": null})";
  }
  EXPECT_NO_THROW(standin::CheckProfile(good));
  EXPECT_EQ(standin::LoadProfile(good).computer, L"FROMFILE");
  EXPECT_EQ(standin::LoadProfile(good).base_directory, std::filesystem::absolute(dir));
  try {
    standin::CheckProfile(bad);
    ADD_FAILURE() << "accepted";
  } catch (const standin::ProfileError& e) {
    EXPECT_EQ(e.key(), "elevated");
  }
  try {
    standin::CheckProfile(dir / "missing.json");
    ADD_FAILURE() << "accepted";
  } catch (const standin::ProfileError& e) {
    EXPECT_EQ(e.key(), "profile");
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
