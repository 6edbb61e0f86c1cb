// End-to-end tests of `vortiss sd`: the host is run as a person runs it, on a profile machine
// and on the host mirror in a temporary directory.
#include <pwd.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/host_process.h"

#include "platform/standin/machine/machine.h"
#include "platform/standin/profile/profile.h"
#include "platform/win32.h"

namespace {

namespace fs = std::filesystem;

// What the host printed for a descriptor: Dump's lines, then the SDDL line's text.
struct Printed {
  std::vector<std::string> dump;
  std::string sddl;
};

Printed Parse(const std::string& out) {
  Printed printed;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("sddl: ", 0) == 0)
      printed.sddl = line.substr(6);
    else
      printed.dump.push_back(line);
  }
  return printed;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  if (at != std::string::npos)
    text.replace(at, from.size(), to);
  return text;
}

// Every file and key below has this DACL; the profile's user alice is an administrator, bob is
// not, and the SIDs of both are fixed by the machine SID.
constexpr const char* kProfile = R"json({
  "computer": "WS01",
  "machine_sid": "S-1-5-21-1-2-3",
  "user": "alice",
  "users": [{"name": "alice", "rid": 1004}, {"name": "bob", "rid": 1005}],
  "groups": {"Administrators": ["alice"]},
  "volumes": {"C:": {"path": "disk-c", "fs": "NTFS"}},
  "security": {
    "C:\\Data": "O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)",
    "C:\\Data\\report.txt": "O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)",
    "C:\\Locked": "O:SYD:PAI(A;OICI;FR;;;WD)"
  },
  "registry": {
    "HKLM\\Software\\Example": {
      "sddl": "O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)",
      "values": {
        "Launch": {"sddl": "O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)"},
        "Junk": {"hex": "0100ff"}
      }
    },
    "HKLM\\Software\\Locked": {"sddl": "O:SYD:PAI(A;;KR;;;WD)"}
  }
})json";

class HostSdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("vortiss-host-sd-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    registry_ = dir_ / "registry.db";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Runs the host with `args` on the host mirror, with the registry in this test's directory;
  // through `prefix` (a program and its arguments) when one is given, with its output in
  // `scratch` (one folder for each run at a time).
  HostRun Run(const std::vector<std::string>& args,
              const std::vector<std::string>& prefix = {},
              const fs::path& scratch = {}) {
    std::vector<std::string> argv = prefix;
    argv.push_back(VORTISS_HOST);
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(
        argv, {"VORTISS_MACHINE", "VORTISS_DEBUG_LOG", "VORTISS_REGISTRY=" + registry_.string()},
        scratch.empty() ? dir_ : scratch);
  }

  // As Run, on the machine of kProfile, whose C: is a folder of this test's directory.
  HostRun RunOnProfile(std::vector<std::string> args) {
    const fs::path profile = dir_ / "machine.json";
    if (!fs::exists(profile)) {
      fs::create_directories(dir_ / "disk-c" / "Data");
      fs::create_directories(dir_ / "disk-c" / "Locked");
      std::ofstream(dir_ / "disk-c" / "Data" / "report.txt") << "figures";
      std::ofstream(profile) << kProfile;
    }
    args.insert(args.begin(), {"--machine", profile.string()});
    return Run(args);
  }

  // Stores `sddl` as a descriptor in the value `name` of `root`\`subkey` (HKCU unless given)
  // in this test's host mirror registry, through the stand-in in this process.
  void StoreDescriptorValue(const std::wstring& subkey,
                            const std::wstring& name,
                            const std::wstring& sddl,
                            HKEY root = HKEY_CURRENT_USER) {
    setenv("VORTISS_REGISTRY", registry_.c_str(), 1);
    standin::InstallMachine(standin::HostMirrorDescription());
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ULONG length = 0;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                     &descriptor, &length));
    EXPECT_EQ(RegSetValueExW(key, name.c_str(), 0, REG_BINARY, static_cast<const BYTE*>(descriptor),
                             length),
              ERROR_SUCCESS);
    LocalFree(descriptor);
    RegCloseKey(key);
    standin::UninstallMachine();
  }

  fs::path dir_;
  fs::path registry_;
};

// The edits build the same descriptor from the same model whatever holds it; show prints the
// object's own descriptor, which for files and keys carries no group (neither class reads it).
TEST_F(HostSdTest, ProfileMachineShowsAndEditsEveryKindOfTarget) {
  struct Target {
    std::vector<std::string> args;
    const char* shown_sddl;
  };
  const Target targets[] = {
      {{"C:\\Data\\report.txt"}, "O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)"},
      {{"C:\\Data"}, "O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)"},
      {{"--key", "HKLM\\Software\\Example"}, "O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)"},
      {{"--value", "HKEY_LOCAL_MACHINE\\Software\\Example", "Launch"},
       "O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)"},
  };
  struct Edit {
    std::vector<std::string> verb;
    std::vector<std::string> dump;
    const char* sddl;
  };
  const std::string owner = "\t\tOwner: BUILTIN\\Administrators";
  const std::string admins = "\t\tAccess granted to: BUILTIN\\Administrators";
  const std::string users = "\t\tAccess granted to: BUILTIN\\Users";
  const Edit edits[] = {
      {{"grant", "bob", "FR"},
       {owner, admins, users, "\t\tAccess granted to: WS01\\bob"},
       "O:BAG:SYD:(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)(A;OICI;FR;;;S-1-5-21-1-2-3-1005)"},
      {{"deny", "WS01\\bob", "FW"},
       {owner, "\t\tAccess denied to: WS01\\bob", admins, users},
       "O:BAG:SYD:(D;OICI;FW;;;S-1-5-21-1-2-3-1005)(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)"},
      {{"grant", "Users", "0x1f01ff"},
       {owner, admins, users},
       "O:BAG:SYD:(A;OICI;FA;;;BA)(A;OICI;FA;;;BU)"},
      {{"revoke", "BUILTIN\\Users"}, {owner, admins}, "O:BAG:SYD:(A;OICI;FA;;;BA)"},
      {{"owner", "alice"},
       {"\t\tOwner: WS01\\alice", admins, users},
       "O:S-1-5-21-1-2-3-1004G:SYD:(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)"},
  };

  for (const Target& target : targets) {
    std::vector<std::string> show = {"sd", "show"};
    show.insert(show.end(), target.args.begin(), target.args.end());
    const HostRun shown = RunOnProfile(show);
    EXPECT_EQ(shown.status, 0) << target.args[0] << ": " << shown.err;
    EXPECT_EQ(Parse(shown.out).dump, (std::vector<std::string>{owner, admins, users}));
    EXPECT_EQ(Parse(shown.out).sddl, target.shown_sddl) << target.args[0];
    EXPECT_EQ(shown.err, "");

    for (const Edit& edit : edits) {
      std::vector<std::string> args = {"sd", edit.verb[0]};
      args.insert(args.end(), target.args.begin(), target.args.end());
      args.insert(args.end(), edit.verb.begin() + 1, edit.verb.end());
      const HostRun run = RunOnProfile(args);
      const std::string what = target.args[0] + " " + edit.verb[0] + " " + edit.verb[1];
      EXPECT_EQ(run.status, 0) << what << ": " << run.err;
      EXPECT_EQ(Parse(run.out).dump, edit.dump) << what;
      EXPECT_EQ(Parse(run.out).sddl, edit.sddl) << what;
      EXPECT_EQ(run.err, "") << what;
    }
    // A profile machine's edits last for its run only.
    EXPECT_EQ(RunOnProfile(show).out, shown.out) << target.args[0];
  }
}

TEST_F(HostSdTest, RightsAreNumbersOrSddlLetters) {
  struct Case {
    const char* rights;
    const char* entry;
  };
  for (const Case& c : {
           Case{"FR", "(A;OICI;FR;;;WD)"},
           Case{"0x120089", "(A;OICI;FR;;;WD)"},
           Case{"0X120089", "(A;OICI;FR;;;WD)"},
           Case{"1179785", "(A;OICI;FR;;;WD)"},
           Case{"KA", "(A;OICI;KA;;;WD)"},
           Case{"GRGW", "(A;OICI;GWGR;;;WD)"},
           Case{"RCWDWO", "(A;OICI;RCWDWO;;;WD)"},
           Case{"4294967295", "(A;OICI;0xffffffff;;;WD)"},
           Case{"0x0000001", "(A;OICI;CC;;;WD)"},
       }) {
    const HostRun run = RunOnProfile(
        {"sd", "grant", "--value", "HKLM\\Software\\Example", "Launch", "Everyone", c.rights});
    EXPECT_EQ(run.status, 0) << c.rights << ": " << run.err;
    EXPECT_NE(Parse(run.out).sddl.find(c.entry), std::string::npos) << c.rights << ": " << run.out;
  }
}

TEST_F(HostSdTest, BadRightsFailBeforeAnythingIsRead) {
  for (const char* rights :
       {"", "F", "FQ", "fa", "FAX", " FA", "0x", "0x100000000", "4294967296", "12a", "0xFG"}) {
    // The target does not exist: the rights are refused before it is looked at.
    const HostRun run = RunOnProfile({"sd", "grant", "C:\\Absent", "Everyone", rights});
    EXPECT_EQ(run.status, 1) << "'" << rights << "'";
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, std::string("vortiss: bad rights '") + rights +
                           "': error 87: The parameter is incorrect.\n");
  }
}

TEST_F(HostSdTest, UnreadableTargetsNameTheTargetAndThePlatformsError) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  for (const Case& c : {
           Case{{"show", "C:\\Data\\absent.txt"},
                "vortiss: cannot read the descriptor of 'C:\\Data\\absent.txt': error 2: The "
                "system cannot find the file specified."},
           Case{{"grant", "Q:\\x", "Everyone", "FR"},
                "vortiss: cannot read the descriptor of 'Q:\\x': error 3: The system cannot "
                "find the path specified."},
           Case{{"revoke", "--key", "HKLM\\Software\\Absent", "Everyone"},
                "vortiss: cannot read the descriptor of 'HKLM\\Software\\Absent': error 2: The "
                "system cannot find the file specified."},
           Case{{"show", "--value", "HKLM\\Software\\Example", "Absent"},
                "vortiss: cannot read the descriptor of 'HKLM\\Software\\Example' value "
                "'Absent': error 2: The system cannot find the file specified."},
           Case{{"owner", "--value", "HKLM\\Software\\Example", "Junk", "alice"},
                "vortiss: cannot read the descriptor of 'HKLM\\Software\\Example' value 'Junk': "
                "error 1338: The security descriptor structure is invalid."},
       }) {
    std::vector<std::string> args = {"sd"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const HostRun run = RunOnProfile(args);
    EXPECT_EQ(run.status, 1) << c.message;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, std::string(c.message) + "\n");
  }
}

TEST_F(HostSdTest, RefusedWritesReportThePlatformsError) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  for (const Case& c : {
           Case{{"grant", "C:\\Locked", "alice", "FA"},
                "vortiss: cannot write the descriptor of 'C:\\Locked': error 5: Access is "
                "denied."},
           Case{{"deny", "--key", "HKLM\\Software\\Locked", "Guests", "KW"},
                "vortiss: cannot write the descriptor of 'HKLM\\Software\\Locked': error 5: "
                "Access is denied."},
           // An administrator may take ownership for itself, not give it to another user.
           Case{{"owner", "C:\\Data\\report.txt", "bob"},
                "vortiss: cannot write the owner of 'C:\\Data\\report.txt': error 1307: This "
                "security ID may not be assigned as the owner of this object."},
           Case{{"owner", "--key", "HKLM\\Software\\Example", "bob"},
                "vortiss: cannot write the descriptor of 'HKLM\\Software\\Example': error 1307: "
                "This security ID may not be assigned as the owner of this object."},
       }) {
    std::vector<std::string> args = {"sd"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const HostRun run = RunOnProfile(args);
    EXPECT_EQ(run.status, 1) << c.message;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, std::string(c.message) + "\n");
  }
}

TEST_F(HostSdTest, UsageErrors) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"sd"},
           {"sd", "frobnicate", "x"},
           {"sd", "show"},
           {"sd", "show", "a", "b"},
           {"sd", "grant", "C:\\Data", "Everyone"},
           {"sd", "revoke", "--key", "HKLM\\Software\\Example"},
           {"sd", "owner", "--key", "HKLM\\Software\\Example", "alice", "bob"},
           {"sd", "show", "--key", "HKXX\\Software"},
           {"sd", "show", "--key", "HKLM"},
           {"sd", "show", "--key", "HKLM\\"},
           {"sd", "show", "--value", "HKLM\\Software\\Example"},
           {"sd", "show", "--key", "HKLM\\Software", "--value", "HKLM\\Software", "x"},
           {"sd", "show", "--no-inherit", "C:\\Data"},
       }) {
    const HostRun run = RunOnProfile(args);
    std::string joined;
    for (const auto& a : args)
      joined += a + " ";
    EXPECT_EQ(run.status, 2) << joined;
    EXPECT_EQ(run.out, "") << joined;
    EXPECT_FALSE(run.err.empty()) << joined;
  }
}

// On the host mirror, a failed lookup stops every edit before the object is written.
TEST_F(HostSdTest, UnresolvableAccountChangesNothing) {
  const fs::path file = dir_ / "notes.txt";
  std::ofstream(file) << "x";
  StoreDescriptorValue(L"Software\\VortissSd", L"Guard", L"O:BAG:SYD:(A;;FA;;;BA)");
  const std::vector<std::vector<std::string>> targets = {
      {file.string()},
      {"--key", "HKCU\\Software\\VortissSd"},
      {"--value", "HKCU\\Software\\VortissSd", "Guard"}};
  for (const auto& target : targets) {
    std::vector<std::string> show = {"sd", "show"};
    show.insert(show.end(), target.begin(), target.end());
    const HostRun before = Run(show);
    ASSERT_EQ(before.status, 0) << before.err;
    for (const auto& verb : std::vector<std::vector<std::string>>{
             {"grant", "FR"}, {"deny", "FW"}, {"revoke"}, {"owner"}}) {
      std::vector<std::string> args = {"sd", verb[0]};
      args.insert(args.end(), target.begin(), target.end());
      args.push_back("no-such-account");
      args.insert(args.end(), verb.begin() + 1, verb.end());
      const HostRun run = Run(args);
      EXPECT_EQ(run.status, 1) << verb[0] << " " << target[0];
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(run.err,
                "vortiss: cannot resolve account 'no-such-account': error 1332: No mapping "
                "between account names and security IDs was done.\n");
    }
    EXPECT_EQ(Run(show).out, before.out) << target[0];
  }
}

// Show after an edit prints what the edit printed; for a file or key, without the group the
// object's own descriptor lacks, and with the DACL marked protected by --no-inherit.
TEST_F(HostSdTest, HostMirrorEditsPersistAndShowPrintsWhatTheEditPrinted) {
  const fs::path file = dir_ / "plan.txt";
  std::ofstream(file) << "x";
  StoreDescriptorValue(L"Software\\VortissSd", L"Launch", L"O:BAG:SYD:(A;;FA;;;BA)(A;;FR;;;BU)");
  struct Target {
    std::vector<std::string> args;
    bool whole_descriptor;  // the value keeps the group, and has no inheritance
  };
  const Target targets[] = {{{file.string()}, false},
                            {{"--key", "HKCU\\Software\\VortissSd"}, false},
                            {{"--value", "HKCU\\Software\\VortissSd", "Launch"}, true}};
  const std::vector<std::vector<std::string>> edits = {{"grant", "Guests", "FR"},
                                                       {"deny", "Guests", "FW"},
                                                       {"grant", "Everyone", "0x20019"},
                                                       {"revoke", "Guests"},
                                                       {"owner", "Administrators"}};
  for (const Target& target : targets) {
    std::vector<std::string> show = {"sd", "show"};
    show.insert(show.end(), target.args.begin(), target.args.end());
    for (const auto& edit : edits) {
      std::vector<std::string> args = {"sd", edit[0], "--no-inherit"};
      args.insert(args.end(), target.args.begin(), target.args.end());
      args.insert(args.end(), edit.begin() + 1, edit.end());
      const HostRun edited = Run(args);
      const std::string what = edit[0] + " " + edit[1] + " on " + target.args.back();
      ASSERT_EQ(edited.status, 0) << what << ": " << edited.err;
      const HostRun shown = Run(show);
      ASSERT_EQ(shown.status, 0) << what << ": " << shown.err;
      EXPECT_EQ(Parse(shown.out).dump, Parse(edited.out).dump) << what;
      const std::string built = Parse(edited.out).sddl;
      EXPECT_EQ(Parse(shown.out).sddl, target.whole_descriptor
                                           ? built
                                           : Replace(Replace(built, "G:SY", ""), "D:", "D:PAI"))
          << what;
    }
    const Printed last = Parse(Run(show).out);
    EXPECT_EQ(last.dump.front(), "\t\tOwner: BUILTIN\\Administrators") << target.args.back();
    EXPECT_NE(last.sddl.find("(A;OICI;KR;;;WD)"), std::string::npos) << last.sddl;
    EXPECT_EQ(last.sddl.find(";BG)"), std::string::npos) << last.sddl;
  }
}

// A directory's grant reaches what it holds, and so does its revocation.
TEST_F(HostSdTest, HostMirrorDirectoryPassesItsEntriesOn) {
  const fs::path folder = dir_ / "shared";
  fs::create_directories(folder / "inner");
  std::ofstream(folder / "top.txt") << "x";
  std::ofstream(folder / "inner" / "deep.txt") << "x";
  const std::string guests = "\t\tAccess granted to: BUILTIN\\Guests";
  const auto holds_guests = [&](const fs::path& path) {
    const HostRun run = Run({"sd", "show", path.string()});
    EXPECT_EQ(run.status, 0) << path << ": " << run.err;
    const Printed printed = Parse(run.out);
    const bool listed =
        std::find(printed.dump.begin(), printed.dump.end(), guests) != printed.dump.end();
    EXPECT_EQ(listed, printed.sddl.find(";FR;;;BG)") != std::string::npos) << printed.sddl;
    return listed;
  };
  ASSERT_FALSE(holds_guests(folder / "top.txt"));

  const HostRun granted = Run({"sd", "grant", folder.string(), "Guests", "FR"});
  ASSERT_EQ(granted.status, 0) << granted.err;
  EXPECT_NE(Parse(granted.out).sddl.find("(A;OICI;FR;;;BG)"), std::string::npos);
  EXPECT_TRUE(holds_guests(folder / "top.txt"));
  EXPECT_TRUE(holds_guests(folder / "inner"));
  EXPECT_TRUE(holds_guests(folder / "inner" / "deep.txt"));
  const HostRun entry = Run({"sd", "show", (folder / "inner" / "deep.txt").string()});
  EXPECT_NE(Parse(entry.out).sddl.find("(A;ID;FR;;;BG)"), std::string::npos) << entry.out;

  const HostRun revoked = Run({"sd", "revoke", folder.string(), "Guests"});
  ASSERT_EQ(revoked.status, 0) << revoked.err;
  EXPECT_FALSE(holds_guests(folder / "top.txt"));
  EXPECT_FALSE(holds_guests(folder / "inner" / "deep.txt"));
}

// The entries an edit printed, as the mask granted to each SDDL alias; 0 for one without.
std::vector<unsigned long> Grants(const std::string& sddl,
                                  const std::vector<std::string>& aliases) {
  std::vector<unsigned long> masks(aliases.size(), 0);
  for (size_t open = sddl.find('('); open != std::string::npos; open = sddl.find('(', open + 1)) {
    std::vector<std::string> fields;
    std::istringstream entry(sddl.substr(open + 1, sddl.find(')', open) - open - 1));
    for (std::string field; std::getline(entry, field, ';');)
      fields.push_back(field);
    for (size_t i = 0; i < aliases.size(); ++i) {
      if (fields.size() == 6 && fields[0] == "A" && fields[5] == aliases[i])
        masks[i] = std::stoul(fields[2], nullptr, 16);
    }
  }
  return masks;
}

// Four editors grant at once, a hundred rounds each, on one file and on one registry value,
// while a reader shows it. Every descriptor an edit stored holds every grant acknowledged before
// it (the stored descriptors form one chain), the last holds each editor's last grant, and every
// read succeeds.
TEST_F(HostSdTest, ConcurrentEditorsLoseNothing) {
  constexpr int kRounds = 100;
  const std::vector<std::string> accounts = {"Guests", "Power Users", "Backup Operators",
                                             "Remote Desktop Users"};
  const std::vector<std::string> aliases = {"BG", "PU", "BO", "RD"};
  const fs::path file = dir_ / "shared.txt";
  std::ofstream(file) << "x";
  StoreDescriptorValue(L"Software\\VortissSd", L"Shared", L"O:BAG:SYD:(A;;FA;;;BA)");
  const std::vector<std::vector<std::string>> targets = {
      {file.string()}, {"--value", "HKCU\\Software\\VortissSd", "Shared"}};
  for (const auto& target : targets) {
    SCOPED_TRACE(target.back());
    std::vector<std::vector<HostRun>> edits(accounts.size());
    std::vector<HostRun> reads;
    std::atomic<bool> editing{true};
    std::vector<std::thread> editors;
    for (size_t e = 0; e < accounts.size(); ++e) {
      editors.emplace_back([&, e] {
        const fs::path scratch = dir_ / ("editor" + std::to_string(e));
        fs::create_directories(scratch);
        for (int round = 1; round <= kRounds; ++round) {
          std::vector<std::string> args = {"sd", "grant"};
          args.insert(args.end(), target.begin(), target.end());
          std::ostringstream mask;
          mask << "0x" << std::hex << (round << 9);  // bits no SDDL name covers: printed in hex
          args.insert(args.end(), {accounts[e], mask.str()});
          edits[e].push_back(Run(args, {}, scratch));
        }
      });
    }
    std::thread reader([&] {
      const fs::path scratch = dir_ / "reader";
      fs::create_directories(scratch);
      std::vector<std::string> show = {"sd", "show"};
      show.insert(show.end(), target.begin(), target.end());
      while (editing)
        reads.push_back(Run(show, {}, scratch));
    });
    for (auto& editor : editors)
      editor.join();
    editing = false;
    reader.join();

    std::vector<std::vector<unsigned long>> stored;
    for (size_t e = 0; e < edits.size(); ++e) {
      for (size_t round = 0; round < edits[e].size(); ++round) {
        const HostRun& run = edits[e][round];
        ASSERT_EQ(run.status, 0) << accounts[e] << " round " << round + 1 << ": " << run.err;
        stored.push_back(Grants(Parse(run.out).sddl, aliases));
        EXPECT_EQ(stored.back()[e], (round + 1) << 9) << Parse(run.out).sddl;
      }
    }
    std::sort(stored.begin(), stored.end(), [](const auto& a, const auto& b) {
      return std::accumulate(a.begin(), a.end(), 0ul) < std::accumulate(b.begin(), b.end(), 0ul);
    });
    for (size_t i = 1; i < stored.size(); ++i) {
      for (size_t e = 0; e < aliases.size(); ++e)
        ASSERT_LE(stored[i - 1][e], stored[i][e]) << "an edit undid " << accounts[e] << "'s grant";
    }
    for (const HostRun& read : reads)
      EXPECT_EQ(read.status, 0) << read.err;
    std::vector<std::string> show = {"sd", "show"};
    show.insert(show.end(), target.begin(), target.end());
    EXPECT_EQ(Grants(Parse(Run(show).out).sddl, aliases),
              std::vector<unsigned long>(aliases.size(), kRounds << 9));
  }
}

// A reader of the registry does not wait while another process holds a write transaction.
TEST_F(HostSdTest, RegistryReaderDoesNotWaitForAWriter) {
  StoreDescriptorValue(L"Software\\VortissSd", L"Launch", L"O:BAG:SYD:(A;;FA;;;BA)");
  sqlite3* writer = nullptr;
  ASSERT_EQ(sqlite3_open(registry_.c_str(), &writer), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(writer,
                         "BEGIN IMMEDIATE; INSERT INTO reg_values VALUES('HELD', 'HELD', 'Held', "
                         "3, x'00')",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  const auto start = std::chrono::steady_clock::now();
  const HostRun shown = Run({"sd", "show", "--value", "HKCU\\Software\\VortissSd", "Launch"});
  const auto waited = std::chrono::steady_clock::now() - start;
  sqlite3_exec(writer, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(writer);
  EXPECT_EQ(shown.status, 0) << shown.err;
  EXPECT_EQ(Parse(shown.out).sddl, "O:BAG:SYD:(A;;FA;;;BA)");
  RecordProperty(
      "reader_ms",
      static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()));
}

// A database the user may only read is read as it is, without a byte written.
TEST_F(HostSdTest, ReadOnlyRegistryIsRead) {
  if (geteuid() != 0 || !fs::exists("/usr/bin/setpriv") || !getpwuid(65534))
    GTEST_SKIP() << "needs root and setpriv to read root's database as nobody";
  StoreDescriptorValue(L"Software\\VortissRo", L"Launch", L"O:BAG:SYD:(A;;FA;;;BA)",
                       HKEY_LOCAL_MACHINE);
  fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(registry_, fs::perms::owner_read | fs::perms::owner_write |
                                 fs::perms::group_read | fs::perms::others_read);
  const std::string before = ReadFile(registry_);
  const fs::path scratch = fs::temp_directory_path() / ("vortiss-ro-" + std::to_string(getpid()));
  fs::create_directories(scratch);
  fs::permissions(scratch, fs::perms::all);
  const HostRun shown =
      Run({"sd", "show", "--value", "HKLM\\Software\\VortissRo", "Launch"},
          {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}, scratch);
  fs::remove_all(scratch);
  EXPECT_EQ(shown.status, 0) << shown.err;
  EXPECT_EQ(Parse(shown.out).sddl, "O:BAG:SYD:(A;;FA;;;BA)");
  EXPECT_EQ(ReadFile(registry_), before);
}

// A database that is damaged, or is no registry's, is reported with its path and SQLite's own
// text, and left byte for byte as it was by a read and by an edit.
TEST_F(HostSdTest, DamagedRegistryIsReportedAndLeftAlone) {
  struct Case {
    const char* what;
    void (*make)(const fs::path&);
    const char* sqlite_text;
    const char* error;
  };
  const Case cases[] = {
      {"garbage", [](const fs::path& db) { std::ofstream(db) << std::string(4096, 'x'); },
       "file is not a database", "error 1009"},
      {"a directory", [](const fs::path& db) { fs::create_directories(db); },
       "unable to open database file", "error 1016"},
      {"another program's",
       [](const fs::path& db) {
         sqlite3* other = nullptr;
         sqlite3_open(db.c_str(), &other);
         sqlite3_exec(other, "CREATE TABLE notes(text)", nullptr, nullptr, nullptr);
         sqlite3_close(other);
       },
       "the database holds tables of another program", "error 1009"},
      {"another layout",
       [](const fs::path& db) {
         sqlite3* other = nullptr;
         sqlite3_open(db.c_str(), &other);
         sqlite3_exec(other, "CREATE TABLE reg_keys(path); CREATE TABLE reg_values(key)", nullptr,
                      nullptr, nullptr);
         sqlite3_close(other);
       },
       "no such column", "error 1009"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(registry_);
    c.make(registry_);
    const std::string before = fs::is_directory(registry_) ? "" : ReadFile(registry_);
    for (const char* verb : {"show", "grant"}) {
      std::vector<std::string> args = {"sd", verb, "--key", "HKCU\\Software\\Any"};
      if (std::string(verb) == "grant")
        args.insert(args.end(), {"Guests", "KR"});
      const HostRun run = Run(args);
      EXPECT_EQ(run.status, 1) << verb;
      EXPECT_NE(run.err.find("registry database " + registry_.string() + ": " + c.sqlite_text),
                std::string::npos)
          << verb << ": " << run.err;
      EXPECT_NE(run.err.find(c.error), std::string::npos) << verb << ": " << run.err;
    }
    if (!fs::is_directory(registry_)) {
      EXPECT_EQ(ReadFile(registry_), before);
    }
    EXPECT_FALSE(fs::exists(registry_.string() + "-wal"));
  }
}

}  // namespace
