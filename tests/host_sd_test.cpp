// End-to-end tests of `vortiss sd`: the host is run as a person runs it, on a profile machine
// and on the host mirror in a temporary directory.
#include <grp.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/host_process.h"

#include "platform/standin/core/security_descriptor.h"
#include "platform/standin/core/text.h"
#include "platform/standin/files/file_security_store.h"
#include "platform/standin/files/ntfs_volume.h"
#include "platform/standin/machine/machine.h"
#include "platform/standin/object_security/access_check.h"
#include "platform/standin/profile/host_ids.h"
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
    "C:\\Locked": "O:SYD:PAI(A;OICI;FR;;;WD)",
    "C:\\Shared": "O:SYD:PAI(A;OICI;FA;;;WD)",
    "C:\\Open": "O:BAD:PNO_ACCESS_CONTROL",
    "C:\\Plain": "O:BAD:P(A;OICI;FA;;;BA)",
    "C:\\Sealed": "O:BAD:P(A;OICI;FA;;;SY)"
  },
  "registry": {
    "HKLM\\Software\\Example": {
      "sddl": "O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)",
      "values": {
        "Launch": {"sddl": "O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)"},
        "Junk": {"hex": "0100ff"},
        "Object": {"hex": "0100048014000000240000000000000030000000010200000000000520000000200200000101000000000005120000000400480002000000050028000001000001000000000102030405060708090a0b0c0d0e0f010100000000000100000000000018001900020001020000000000052000000021020000"}
      }
    },
    "HKLM\\Software\\Locked": {"sddl": "O:SYD:PAI(A;;KR;;;WD)"},
    "HKLM\\Software\\Open": {"sddl": "O:BAD:PNO_ACCESS_CONTROL"}
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

  // As Run, on the machine of kProfile, whose C: is a folder of this test's directory; with
  // `filtered`, alice's token is the filtered one of an administrator.
  HostRun RunOnProfile(std::vector<std::string> args, bool filtered = false) {
    const fs::path profile = dir_ / (filtered ? "filtered.json" : "machine.json");
    if (!fs::exists(profile)) {
      fs::create_directories(dir_ / "disk-c" / "Data");
      fs::create_directories(dir_ / "disk-c" / "Locked");
      for (const char* folder : {"Shared", "Open", "Plain", "Sealed"})
        fs::create_directories(dir_ / "disk-c" / folder);
      std::ofstream(dir_ / "disk-c" / "Data" / "report.txt") << "figures";
      std::ofstream(profile) << (filtered ? Replace(kProfile, "\"user\": \"alice\",",
                                                    "\"user\": \"alice\", \"elevated\": false,")
                                          : std::string(kProfile));
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

// An edit changes the account's own entries and nothing else: the other entries keep their
// flags, their order and the DACL's protection. Show prints the object's own descriptor, which
// for files and keys carries no group (neither class reads it); a value holds a whole one.
TEST_F(HostSdTest, ProfileMachineShowsAndEditsEveryKindOfTarget) {
  struct Target {
    std::vector<std::string> args;
    const char* head;   // owner and group as shown
    const char* flags;  // the flags of a new entry: none on a file, inherited on what holds
  };
  const Target targets[] = {
      {{"C:\\Data\\report.txt"}, "O:BA", ""},
      {{"C:\\Data"}, "O:BA", "OICI"},
      {{"--key", "HKLM\\Software\\Example"}, "O:BA", "OICI"},
      {{"--value", "HKEY_LOCAL_MACHINE\\Software\\Example", "Launch"}, "O:BAG:SY", "OICI"},
  };
  struct Edit {
    std::vector<std::string> verb;
    std::vector<std::string> dump;
    const char* sddl;  // %H: the head, %F: a new entry's flags
  };
  const std::string owner = "\t\tOwner: BUILTIN\\Administrators";
  const std::string admins = "\t\tAccess granted to: BUILTIN\\Administrators";
  const std::string users = "\t\tAccess granted to: BUILTIN\\Users";
  const Edit edits[] = {
      {{"grant", "bob", "FR"},
       {owner, admins, users, "\t\tAccess granted to: WS01\\bob"},
       "%HD:PAI(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)(A;%F;FR;;;S-1-5-21-1-2-3-1005)"},
      {{"deny", "WS01\\bob", "FW"},
       {owner, "\t\tAccess denied to: WS01\\bob", admins, users},
       "%HD:PAI(D;%F;FW;;;S-1-5-21-1-2-3-1005)(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)"},
      {{"grant", "Users", "0x1f01ff"},
       {owner, admins, users},
       "%HD:PAI(A;OICI;FA;;;BA)(A;%F;FA;;;BU)"},
      {{"revoke", "BUILTIN\\Users"}, {owner, admins}, "%HD:PAI(A;OICI;FA;;;BA)"},
      {{"owner", "alice"},
       {"\t\tOwner: WS01\\alice", admins, users},
       "O:S-1-5-21-1-2-3-1004%GD:PAI(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)"},
  };

  for (const Target& target : targets) {
    const std::string group = Replace(target.head, "O:BA", "");
    std::vector<std::string> show = {"sd", "show"};
    show.insert(show.end(), target.args.begin(), target.args.end());
    const HostRun shown = RunOnProfile(show);
    EXPECT_EQ(shown.status, 0) << target.args[0] << ": " << shown.err;
    EXPECT_EQ(Parse(shown.out).dump, (std::vector<std::string>{owner, admins, users}));
    EXPECT_EQ(Parse(shown.out).sddl,
              std::string(target.head) + "D:PAI(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)")
        << target.args[0];
    EXPECT_EQ(shown.err, "");

    for (const Edit& edit : edits) {
      std::vector<std::string> args = {"sd", edit.verb[0]};
      args.insert(args.end(), target.args.begin(), target.args.end());
      args.insert(args.end(), edit.verb.begin() + 1, edit.verb.end());
      const HostRun run = RunOnProfile(args);
      const std::string what = target.args[0] + " " + edit.verb[0] + " " + edit.verb[1];
      EXPECT_EQ(run.status, 0) << what << ": " << run.err;
      EXPECT_EQ(Parse(run.out).dump, edit.dump) << what;
      std::string sddl = Replace(Replace(edit.sddl, "%H", target.head), "%G", group);
      sddl = Replace(Replace(sddl, "%F", target.flags), "%F", target.flags);
      EXPECT_EQ(Parse(run.out).sddl, sddl) << what;
      EXPECT_EQ(run.err, "") << what;
    }
    // A profile machine's edits last for its run only.
    EXPECT_EQ(RunOnProfile(show).out, shown.out) << target.args[0];
  }
}

// "Object" holds a DACL another tool wrote: an object entry for Everyone, then a grant to Users.
TEST_F(HostSdTest, ShowAndEditKeepEntriesTheModelDoesNotHold) {
  const HostRun shown =
      RunOnProfile({"sd", "show", "--value", "HKLM\\Software\\Example", "Object"});
  EXPECT_EQ(shown.status, 0) << shown.err;
  const std::string object = "(OA;;CR;03020100-0504-0706-0809-0a0b0c0d0e0f;;WD)";
  EXPECT_EQ(shown.out,
            "\t\tOwner: BUILTIN\\Administrators\n"
            "\t\tAccess granted to: BUILTIN\\Users\n"
            "\t\tObject access granted to: \\Everyone\n"
            "sddl: O:BAG:SYD:" +
                object + "(A;;KR;;;BU)\n");
  const HostRun granted =
      RunOnProfile({"sd", "grant", "--value", "HKLM\\Software\\Example", "Object", "bob", "KR"});
  EXPECT_EQ(granted.status, 0) << granted.err;
  EXPECT_EQ(granted.out,
            "\t\tOwner: BUILTIN\\Administrators\n"
            "\t\tAccess granted to: BUILTIN\\Users\n"
            "\t\tAccess granted to: WS01\\bob\n"
            "\t\tObject access granted to: \\Everyone\n"
            "sddl: O:BAG:SYD:" +
                object + "(A;;KR;;;BU)(A;OICI;KR;;;S-1-5-21-1-2-3-1005)\n");
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
           Case{"NWNR", "(A;OICI;CCDC;;;WD)"},
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
       }) {
    std::vector<std::string> args = {"sd"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const HostRun run = RunOnProfile(args);
    EXPECT_EQ(run.status, 1) << c.message;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, std::string(c.message) + "\n");
  }
}

// As the platform's own tools do, owner enables the take-ownership and restore privileges the
// token holds: an elevated administrator takes ownership where the DACL gives it no right, and
// gives it to another user. A filtered administrator holds neither privilege.
TEST_F(HostSdTest, OwnerUsesThePrivilegesTheTokenHolds) {
  struct Case {
    bool filtered;
    std::vector<std::string> args;
    int status;
    const char* out;
    const char* err;
  };
  for (const Case& c : {
           Case{false,
                {"C:\\Locked", "alice"},
                0,
                "\t\tOwner: WS01\\alice\n\t\tAccess granted to: \\Everyone\n"
                "sddl: O:S-1-5-21-1-2-3-1004D:PAI(A;OICI;FR;;;WD)\n",
                ""},
           Case{false,
                {"C:\\Locked", "bob"},
                0,
                "\t\tOwner: WS01\\bob\n\t\tAccess granted to: \\Everyone\n"
                "sddl: O:S-1-5-21-1-2-3-1005D:PAI(A;OICI;FR;;;WD)\n",
                ""},
           Case{false,
                {"--key", "HKLM\\Software\\Locked", "bob"},
                0,
                "\t\tOwner: WS01\\bob\n\t\tAccess granted to: \\Everyone\n"
                "sddl: O:S-1-5-21-1-2-3-1005D:PAI(A;;KR;;;WD)\n",
                ""},
           Case{true,
                {"C:\\Locked", "alice"},
                1,
                "",
                "vortiss: cannot write the owner of 'C:\\Locked': error 5: Access is denied.\n"},
           Case{true,
                {"C:\\Shared", "bob"},
                1,
                "",
                "vortiss: cannot write the owner of 'C:\\Shared': error 1307: This security ID may "
                "not be assigned as the owner of this object.\n"},
           Case{true,
                {"C:\\Shared", "alice"},
                0,
                "\t\tOwner: WS01\\alice\n\t\tAccess granted to: \\Everyone\n"
                "sddl: O:S-1-5-21-1-2-3-1004D:PAI(A;OICI;FA;;;WD)\n",
                ""},
       }) {
    std::vector<std::string> args = {"sd", "owner"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const HostRun run = RunOnProfile(args, c.filtered);
    const std::string what = (c.filtered ? "filtered " : "elevated ") + c.args[0];
    EXPECT_EQ(run.status, c.status) << what;
    EXPECT_EQ(run.out, c.out) << what;
    EXPECT_EQ(run.err, c.err) << what;
  }
}

// An edit that changes nothing writes nothing: a revocation of an account with no entry of its
// own, or on a null DACL, which a grant or a denial first makes the entry it stands for
// (Everyone, full access). An edit whose write succeeded is done, even when its result can no
// longer be read back. Each row: the command, its status, the SDDL it prints, its error line.
TEST_F(HostSdTest, EditsWriteOnlyWhatTheyChange) {
  const struct {
    std::vector<std::string> args;
    const char* sddl;
    const char* err;
  } rows[] = {
      {{"revoke", "C:\\Open", "bob"},
       "O:BAD:PNO_ACCESS_CONTROL",
       "nothing to revoke: 'C:\\Open' has a null DACL, which lets everyone do everything"},
      {{"grant", "C:\\Open", "bob", "FR"},
       "O:BAD:PAI(A;OICI;FA;;;WD)(A;OICI;FR;;;S-1-5-21-1-2-3-1005)",
       ""},
      {{"deny", "C:\\Open", "bob", "FW"},
       "O:BAD:PAI(D;OICI;FW;;;S-1-5-21-1-2-3-1005)(A;OICI;FA;;;WD)",
       ""},
      {{"grant", "--key", "HKLM\\Software\\Open", "bob", "KR"},
       "O:BAD:PAI(A;OICI;KA;;;WD)(A;OICI;KR;;;S-1-5-21-1-2-3-1005)",
       ""},
      {{"revoke", "C:\\Plain", "bob"},
       "O:BAD:P(A;OICI;FA;;;BA)",
       "nothing to revoke: WS01\\bob has no entry of its own in 'C:\\Plain'"},
      {{"grant", "C:\\Plain", "Administrators", "FA"}, "O:BAD:P(A;OICI;FA;;;BA)", ""},
      {{"owner", "C:\\Sealed", "bob"},
       "",
       "the owner of 'C:\\Sealed' was written, but cannot be read back: error 5: Access is "
       "denied."},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = {"sd"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const HostRun run = RunOnProfile(args);
    const std::string what = row.args[0] + " " + row.args[1];
    EXPECT_EQ(run.status, 0) << what << ": " << run.err;
    EXPECT_EQ(Parse(run.out).sddl, row.sddl) << what;
    EXPECT_EQ(run.err, *row.err ? "vortiss: " + std::string(row.err) + "\n" : "") << what;
  }
  // A null DACL's grant keeps Everyone's access, and says so as Dump does.
  EXPECT_EQ(Parse(RunOnProfile({"sd", "grant", "C:\\Open", "bob", "FR"}).out).dump,
            (std::vector<std::string>{"\t\tOwner: BUILTIN\\Administrators",
                                      "\t\tAccess granted to: \\Everyone",
                                      "\t\tAccess granted to: WS01\\bob"}));
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
           // An empty account is an unset variable far more often than a wish for SYSTEM.
           {"sd", "grant", "C:\\Data", "", "FR"},
           {"sd", "owner", "--key", "HKLM\\Software\\Example", ""},
           {"sd", "grant", "--inherit", "--no-inherit", "C:\\Data", "bob", "FR"},
           {"sd", "set", "C:\\Data"},
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

// The entries of an SDDL string's DACL, each as "TYPE;FLAGS;RIGHTS;;;SID".
std::vector<std::string> Entries(const std::string& sddl) {
  std::vector<std::string> entries;
  for (size_t open = sddl.find('('); open != std::string::npos; open = sddl.find('(', open + 1))
    entries.push_back(sddl.substr(open + 1, sddl.find(')', open) - open - 1));
  return entries;
}

// Edits persist on the host mirror and change only what they name: the account's own entries.
// Inherited entries stay inherited, every account has at most one grant and one denial of its
// own, an edit applied twice gives what it gave once, and show prints what the edit printed.
TEST_F(HostSdTest, HostMirrorEditsChangeOnlyWhatTheyName) {
  const fs::path folder = dir_ / "shared";
  fs::create_directories(folder);
  const fs::path file = folder / "plan.txt";
  std::ofstream(file) << "x";
  ASSERT_EQ(Run({"sd", "grant", folder.string(), "Everyone", "FR"}).status, 0);
  // The value lies in a key of its own: the key's edits deny Users the right to write to it.
  StoreDescriptorValue(L"Software\\VortissValue", L"Launch", L"O:BAG:SYD:(A;;FA;;;BA)(A;;FR;;;BU)");
  StoreDescriptorValue(L"Software\\VortissSd", L"Other", L"O:BAG:SYD:(A;;FA;;;BA)");
  const std::vector<std::vector<std::string>> targets = {
      {file.string()},
      {"--key", "HKCU\\Software\\VortissSd"},
      {"--value", "HKCU\\Software\\VortissValue", "Launch"}};
  const std::vector<std::vector<std::string>> edits = {
      {"grant", "Guests", "FR"},         {"deny", "Users", "FW"},
      {"grant", "Everyone", "FX"},       {"revoke", "Guests"},
      {"grant", "Administrators", "FA"}, {"deny", "Guests", "FW"},
      {"owner", "Administrators"},       {"grant", "Users", "FR"},
      {"grant", "Guests", "0x20019"},    {"revoke", "Everyone"},
  };
  for (const auto& target : targets) {
    std::vector<std::string> show = {"sd", "show"};
    show.insert(show.end(), target.begin(), target.end());
    const auto inherited = [](const std::string& sddl) {
      std::vector<std::string> found;
      for (const auto& e : Entries(sddl)) {
        if (e.find(";ID;") != std::string::npos || e.find("ID;") == 2)
          found.push_back(e);
      }
      return found;
    };
    const std::vector<std::string> before = inherited(Parse(Run(show).out).sddl);
    for (const auto& edit : edits) {
      std::vector<std::string> args = {"sd", edit[0]};
      args.insert(args.end(), target.begin(), target.end());
      args.insert(args.end(), edit.begin() + 1, edit.end());
      const HostRun edited = Run(args);
      const std::string what = edit[0] + " " + edit[1] + " on " + target.back();
      // On the host only root gives a file or key to another owner; a value is stored whole.
      if (edit[0] == "owner" && target[0] != "--value" && ::geteuid() != 0) {
        EXPECT_NE(edited.err.find("error 1307"), std::string::npos) << what << ": " << edited.err;
        continue;
      }
      ASSERT_EQ(edited.status, 0) << what << ": " << edited.err;
      EXPECT_EQ(Run(show).out, edited.out) << what;
      EXPECT_EQ(Run(args).out, edited.out) << what << ": the same edit again changes nothing";
      const std::string sddl = Parse(edited.out).sddl;
      EXPECT_EQ(inherited(sddl), before) << what << ": " << sddl;
      std::map<std::string, int> own;
      for (const auto& e : Entries(sddl)) {
        if (e.find("ID") == std::string::npos)
          ++own[e.substr(0, e.find(';')) + e.substr(e.rfind(';'))];
      }
      for (const auto& [entry, count] : own)
        EXPECT_EQ(count, 1) << what << ": " << entry << " in " << sddl;
    }
  }
  // The file still inherits Everyone from its folder, and the revocation says so.
  const HostRun revoked = Run({"sd", "revoke", file.string(), "Everyone"});
  EXPECT_EQ(revoked.status, 0);
  EXPECT_NE(revoked.err.find("\\Everyone keeps access inherited from '"), std::string::npos)
      << revoked.err;
  EXPECT_NE(revoked.err.find("shared'"), std::string::npos) << revoked.err;
}

// --no-inherit protects a DACL and keeps what it inherited as entries of its own; --inherit lets
// it inherit again. Set applies a whole descriptor, and show --sddl prints it back; a value that
// does not exist yet is made by the first edit.
TEST_F(HostSdTest, ProtectionSetAndNewValues) {
  const fs::path folder = dir_ / "tree";
  fs::create_directories(folder);
  const fs::path file = folder / "leaf.txt";
  std::ofstream(file) << "x";
  ASSERT_EQ(Run({"sd", "grant", folder.string(), "Guests", "FR"}).status, 0);
  const HostRun protect = Run({"sd", "grant", "--no-inherit", file.string(), "Users", "FR"});
  ASSERT_EQ(protect.status, 0) << protect.err;
  const std::string protected_sddl = Parse(protect.out).sddl;
  EXPECT_NE(protected_sddl.find("D:PAI"), std::string::npos) << protected_sddl;
  EXPECT_NE(protected_sddl.find("(A;;FR;;;BG)"), std::string::npos) << protected_sddl;
  EXPECT_EQ(protected_sddl.find("ID;"), std::string::npos) << protected_sddl;
  const HostRun reopened = Run({"sd", "revoke", "--inherit", file.string(), "Guests"});
  ASSERT_EQ(reopened.status, 0) << reopened.err;
  EXPECT_NE(Parse(reopened.out).sddl.find("(A;ID;FR;;;BG)"), std::string::npos) << reopened.out;

  // What show prints, set takes back: a saved descriptor restores as it was, with no entry
  // inherited twice. A folder's DACL comes back marked as passing its entries on (AI).
  for (const fs::path& saved : {file, file.parent_path()}) {
    const std::string before = Run({"sd", "show", "--sddl", saved.string()}).out;
    const HostRun restored =
        Run({"sd", "set", saved.string(), before.substr(0, before.size() - 1)});
    ASSERT_EQ(restored.status, 0) << restored.err;
    std::string after = Run({"sd", "show", "--sddl", saved.string()}).out;
    if (before.find("D:AI") == std::string::npos)
      after = Replace(after, "D:AI", "D:");
    EXPECT_EQ(after, before);
  }

  for (const std::vector<std::string>& target :
       std::vector<std::vector<std::string>>{{"--key", "HKCU\\Software\\VortissSet"},
                                             {"--value", "HKCU\\Software\\VortissSet", "Stored"}}) {
    if (target[0] == "--key")
      StoreDescriptorValue(L"Software\\VortissSet", L"Other", L"O:BAG:SYD:(A;;FA;;;BA)");
    const std::string sddl = target[0] == "--key" ? "O:BAD:PAI(A;CI;KA;;;BA)(D;CI;KW;;;BG)"
                                                  : "O:BAG:SYD:PAI(D;;KW;;;BG)(A;CI;KA;;;BA)";
    std::vector<std::string> set = {"sd", "set"};
    set.insert(set.end(), target.begin(), target.end());
    set.push_back(sddl);
    const HostRun applied = Run(set);
    ASSERT_EQ(applied.status, 0) << applied.err;
    std::vector<std::string> show = {"sd", "show", "--sddl"};
    show.insert(show.end(), target.begin(), target.end());
    const HostRun shown = Run(show);
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(shown.out, sddl + "\n");
  }
  const HostRun bad = Run({"sd", "set", "--key", "HKCU\\Software\\VortissSet", "D:(A;;FA;;;ZZ)"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err,
            "vortiss: invalid descriptor 'D:(A;;FA;;;ZZ)': error 1336: The access control list "
            "(ACL) structure is invalid.\n");

  const HostRun made =
      Run({"sd", "grant", "--value", "HKCU\\Software\\VortissSet", "Fresh", "Guests", "FR"});
  EXPECT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(made.out,
            "\t\tOwner: NT AUTHORITY\\SYSTEM\n\t\tAccess granted to: BUILTIN\\Guests\n"
            "sddl: O:SYG:SYD:(A;OICI;FR;;;BG)\n");
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

// The name the host mirror gives a host user or group, as a lookup by SID reports it.
std::string HostAccountName(bool group, unsigned id) {
  standin::InstallMachine(standin::HostMirrorDescription());
  const standin::SidValue machine = standin::CurrentMachine()->accounts().machine_sid();
  const standin::SidValue sid =
      group ? standin::HostGroupSid(machine, id) : standin::HostUserSid(machine, id);
  wchar_t name[256], domain[256];
  DWORD name_size = 256, domain_size = 256;
  SID_NAME_USE use;
  const bool found = LookupAccountSidW(nullptr, const_cast<BYTE*>(sid.data()), name, &name_size,
                                       domain, &domain_size, &use);
  standin::UninstallMachine();
  return found ? standin::WideToUtf8(std::wstring(domain) + L"\\" + name) : std::string();
}

// Whether the descriptor stored beside `path` lets `caller` add a file, as the platform's
// access check decides on it; nullopt when none is stored.
std::optional<bool> StoredLetsCreate(const fs::path& path, const PosixCaller& caller) {
  std::vector<BYTE> bytes(65536);
  const ssize_t size =
      ::getxattr(path.c_str(), standin::kDescriptorAttribute, bytes.data(), bytes.size());
  standin::DescriptorParts parts;
  if (size <= 0 || standin::ReadSelfRelative(bytes.data(), static_cast<size_t>(size), parts))
    return std::nullopt;
  standin::InstallMachine(standin::HostMirrorDescription());
  const standin::SidValue machine = standin::CurrentMachine()->accounts().machine_sid();
  standin::UninstallMachine();
  standin::TokenData token;
  token.user = standin::HostUserSid(machine, caller.uid);
  constexpr DWORD kEnabled = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
  std::vector<standin::SidValue> groups = {
      standin::SidValue(1, {0}), standin::SidValue(5, {4}), standin::SidValue(5, {11}),
      standin::SidValue(5, {32, 545}), standin::HostGroupSid(machine, caller.gid)};
  for (const unsigned g : caller.groups)
    groups.push_back(standin::HostGroupSid(machine, g));
  for (const auto& sid : groups)
    token.groups.emplace_back(sid, kEnabled);
  ACCESS_MASK granted = 0;
  return standin::EvaluateAccess(parts, token, FILE_ADD_FILE, standin::kFileGenericMapping,
                                 granted) == ERROR_SUCCESS;
}

bool Edited(const fs::path& path) {
  return ::getxattr(path.c_str(), standin::kDescriptorAttribute, nullptr, 0) > 0;
}

// A grant on the host is the kernel's: the user it names can create files, and after the
// revocation cannot. The kernel is asked directly, not Vortiss.
TEST_F(HostSdTest, GrantAndRevokeReachTheKernel) {
  if (const std::string why = WhyNotAsOtherUsers(); !why.empty())
    GTEST_SKIP() << why;
  const passwd* nobody = getpwnam("nobody");
  if (!nobody)
    GTEST_SKIP() << "needs the user nobody";
  const PosixCaller bob{nobody->pw_uid, nobody->pw_gid, {}};
  const fs::path folder = dir_ / "shared";
  fs::create_directories(folder);
  fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
  // A grant to bob himself, and one to Everyone, which the kernel once knew nothing of.
  for (const char* account : {"nobody", "Everyone"}) {
    ASSERT_FALSE(KernelLetsCreate(bob, folder, dir_)) << account;
    const HostRun granted = Run({"sd", "grant", folder.string(), account, "FW"});
    ASSERT_EQ(granted.status, 0) << granted.err;
    EXPECT_TRUE(KernelLetsCreate(bob, folder, dir_)) << account;
    const HostRun revoked = Run({"sd", "revoke", folder.string(), account});
    ASSERT_EQ(revoked.status, 0) << revoked.err;
    EXPECT_FALSE(KernelLetsCreate(bob, folder, dir_)) << account;
  }
}

// Random sequences of edits by root, for a population of callers: the kernel never lets a
// caller create a file where the access check on the stored descriptor refuses it, and the
// access check of the library answers as the kernel does. Sequences of plain grants give what
// they grant: a user named by a grant, and a member of a group named by one, can create files.
TEST_F(HostSdTest, RandomEditsNeverGrantMoreThanTheStoredDescriptor) {
  if (const std::string why = WhyNotAsOtherUsers(); !why.empty())
    GTEST_SKIP() << why;
  std::vector<passwd> user_copies;
  for (const char* name : {"daemon", "bin", "sys", "nobody"}) {
    if (const passwd* pw = getpwnam(name))
      user_copies.push_back(*pw);
  }
  std::vector<unsigned> groups;
  for (const char* name : {"adm", "tty", "disk", "users"}) {
    if (const group* gr = getgrnam(name))
      groups.push_back(gr->gr_gid);
  }
  if (user_copies.size() < 3 || groups.size() < 3)
    GTEST_SKIP() << "needs three of daemon, bin, sys, nobody and of adm, tty, disk, users";
  fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  std::vector<PosixCaller> callers;
  std::vector<std::string> user_names, group_names;
  for (size_t i = 0; i < user_copies.size(); ++i) {
    PosixCaller c{user_copies[i].pw_uid, user_copies[i].pw_gid, {}};
    for (size_t g = 0; g < groups.size(); ++g) {
      if ((i + g) % 2 == 0)
        c.groups.push_back(groups[g]);
    }
    callers.push_back(c);
    user_names.push_back(HostAccountName(false, c.uid));
  }
  for (const unsigned g : groups)
    group_names.push_back(HostAccountName(true, g));

  std::mt19937 random(1208);
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); };
  const char* rights[] = {"FR", "FW", "FA", "FRFX", "0x3"};
  int checked = 0, kernel_yes = 0, stored_yes = 0;
  for (int sequence = 0; sequence < 14; ++sequence) {
    const bool plain = sequence % 2 == 1;
    const fs::path folder = dir_ / ("folder" + std::to_string(sequence));
    fs::create_directories(folder);
    fs::permissions(folder, plain ? fs::perms::owner_all | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read |
                                        fs::perms::others_exec
                                  : static_cast<fs::perms>(pick(01000)));
    struct Grant {
      bool group;
      size_t index;
      bool adds;
    };
    std::vector<Grant> grants;
    for (int step = 0; step < 5; ++step) {
      const size_t verb = plain ? 0 : pick(4);
      const bool group = verb != 3 && pick(2) == 1;
      const size_t index = pick(group ? group_names.size() : user_names.size());
      const std::string account = group ? group_names[index] : user_names[index];
      std::vector<std::string> args = {"sd", "grant", folder.string(), account};
      const char* right = rights[pick(std::size(rights))];
      if (verb == 0) {
        args.push_back(right);
        grants.push_back({group, index, std::string(right) == "FW" || std::string(right) == "FA"});
      } else if (verb == 1) {
        args[1] = "deny";
        args.push_back(right);
      } else {
        args[1] = verb == 2 ? "revoke" : "owner";
      }
      const HostRun edit = Run(args);
      ASSERT_EQ(edit.status, 0) << args[1] << " " << account << ": " << edit.err;
      for (const PosixCaller& c : callers) {
        const bool kernel = KernelLetsCreate(c, folder, dir_);
        const auto stored = StoredLetsCreate(folder, c);
        // Only an edit that changed nothing, on a folder no edit has written yet, stores none.
        if (!stored) {
          ASSERT_NE(edit.err.find("nothing to revoke"), std::string::npos) << args[1] << account;
        }
        ASSERT_FALSE(kernel && stored && !*stored) << "uid " << c.uid << " creates in " << folder
                                                   << " after " << args[1] << " " << account;
        const HostRun answer = RunProcess(
            [&] {
              std::vector<std::string> argv = AsCaller(c);
              argv.insert(argv.end(), {VORTISS_HOST, "access", folder.string() + "/"});
              return argv;
            }(),
            {"VORTISS_MACHINE", "VORTISS_DEBUG_LOG"}, dir_);
        EXPECT_EQ(answer.status, kernel ? 0 : 1) << "uid " << c.uid << " after " << args[1];
        ++checked;
        kernel_yes += kernel;
        stored_yes += stored.value_or(false);
      }
    }
    if (!plain)
      continue;
    // The owner of a fresh directory is root, so each grantee below is a named user or a member
    // of a named group.
    for (const Grant& g : grants) {
      if (!g.adds)
        continue;
      for (size_t i = 0; i < callers.size(); ++i) {
        const PosixCaller& c = callers[i];
        const bool named_user = std::any_of(
            grants.begin(), grants.end(), [&](const Grant& o) { return !o.group && o.index == i; });
        const bool member =
            g.group && (c.gid == groups[g.index] || std::find(c.groups.begin(), c.groups.end(),
                                                              groups[g.index]) != c.groups.end());
        if ((!g.group && g.index == i) || (member && !named_user)) {
          EXPECT_TRUE(KernelLetsCreate(c, folder, dir_))
              << "uid " << c.uid << " after a grant to "
              << (g.group ? group_names[g.index] : user_names[g.index]);
        }
      }
    }
  }
  std::cout << "[ edits    ] " << checked << " checks after " << 14 * 5
            << " edits: the stored descriptor let " << stored_yes << " create, the kernel "
            << kernel_yes << std::endl;
}

// Only the owner or root changes a descriptor, and only root gives ownership away.
TEST_F(HostSdTest, OnlyTheOwnerEditsAndOnlyRootGivesAway) {
  if (const std::string why = WhyNotAsOtherUsers(); !why.empty())
    GTEST_SKIP() << why;
  const passwd* nobody = getpwnam("nobody");
  if (!nobody)
    GTEST_SKIP() << "needs the user nobody";
  fs::permissions(dir_, fs::perms::all);
  const fs::path roots = dir_ / "roots.txt";
  const fs::path own = dir_ / "own.txt";
  std::ofstream(roots) << "x";
  std::ofstream(own) << "x";
  fs::permissions(roots, static_cast<fs::perms>(0666));
  ASSERT_EQ(::chown(own.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  // An owner may edit what it may not write, as it may chmod it.
  const fs::path read_only = dir_ / "read-only.txt";
  std::ofstream(read_only) << "x";
  fs::permissions(read_only, static_cast<fs::perms>(0444));
  ASSERT_EQ(::chown(read_only.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  const PosixCaller as_nobody{nobody->pw_uid, nobody->pw_gid, {}};
  struct Case {
    fs::path file;
    std::vector<std::string> verb;
    int status;
    const char* error;
  };
  const Case cases[] = {
      {roots, {"grant", "nobody", "FA"}, 1, "error 5: Access is denied."},
      {roots, {"owner", "nobody"}, 1, "error 5: Access is denied."},
      {own, {"owner", "root"}, 1, "error 1307: This security ID may not be assigned"},
      {own, {"grant", "nobody", "FA"}, 0, ""},
      {read_only, {"grant", "Guests", "FR"}, 0, ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = AsCaller(as_nobody);
    argv.insert(argv.end(), {VORTISS_HOST, "sd", c.verb[0], c.file.string()});
    argv.insert(argv.end(), c.verb.begin() + 1, c.verb.end());
    const HostRun run = RunProcess(argv, {"VORTISS_MACHINE", "VORTISS_DEBUG_LOG"}, dir_);
    EXPECT_EQ(run.status, c.status) << c.verb[0] << " " << c.file << ": " << run.err;
    EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
  }
  EXPECT_FALSE(Edited(roots));
  EXPECT_TRUE(Edited(read_only));
  EXPECT_EQ(fs::status(read_only).permissions(), static_cast<fs::perms>(0444));
  struct stat st;
  ASSERT_EQ(::stat(own.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, nobody->pw_uid);
}

// A descriptor whose POSIX state changed outside Vortiss is derived afresh.
TEST_F(HostSdTest, StaleDescriptorsAreDerivedAfresh) {
  const fs::path file = dir_ / "plan.txt";
  std::ofstream(file) << "x";
  const HostRun granted = Run({"sd", "grant", file.string(), "Guests", "FR"});
  ASSERT_EQ(granted.status, 0) << granted.err;
  EXPECT_NE(Parse(Run({"sd", "show", file.string()}).out).sddl.find(";FR;;;BG)"),
            std::string::npos);
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
  const Printed derived = Parse(Run({"sd", "show", file.string()}).out);
  EXPECT_EQ(derived.sddl.find(";BG)"), std::string::npos) << derived.sddl;
  EXPECT_EQ(derived.sddl.find(";WD)"), std::string::npos) << derived.sddl;
}

// Names that are not UTF-8, names Windows cannot spell and paths through links each reach
// the entry they name, or are refused; never another.
TEST_F(HostSdTest, NamesAndPathsReachTheEntryTheyName) {
  for (const char* name :
       {"d\xff", "d\xef\xbf\xbd", "d\xfe", "file.", "file", "q/f", "t/sub", "t/f", "a/b"}) {
    fs::create_directories((dir_ / name).parent_path());
    std::ofstream(dir_ / name) << "x";
  }
  fs::remove(dir_ / "t/sub");
  fs::create_directories(dir_ / "t/sub");
  fs::create_directory_symlink(dir_ / "t/sub", dir_ / "q/link");
  struct Case {
    std::string given;
    std::string edited;  // empty: refused
    std::vector<std::string> untouched;
  };
  const Case cases[] = {
      {"d\xff", "d\xff", {"d\xef\xbf\xbd", "d\xfe"}},
      {"file.", "file.", {"file"}},
      {"q/link/../f", "t/f", {"q/f"}},
      {"a\\b", "", {"a/b"}},
  };
  for (const Case& c : cases) {
    const HostRun run = Run({"sd", "grant", (dir_ / c.given).string(), "Guests", "FR"});
    if (c.edited.empty()) {
      EXPECT_EQ(run.status, 2) << c.given;
      EXPECT_NE(run.err.find("Windows cannot spell a backslash in a name"), std::string::npos)
          << run.err;
    } else {
      EXPECT_EQ(run.status, 0) << c.given << ": " << run.err;
      EXPECT_TRUE(Edited(dir_ / c.edited)) << c.given;
    }
    for (const auto& other : c.untouched)
      EXPECT_FALSE(Edited(dir_ / other)) << c.given << " reached " << other;
  }
}

// Every host group resolves by its SID: a root-owned file names its group.
TEST_F(HostSdTest, HostGroupsResolveBySidAndName) {
  const fs::path file = dir_ / "owned.txt";
  std::ofstream(file) << "x";
  // The root group, named like the user root, where the file can be given to it.
  const gid_t gid = ::geteuid() == 0 ? 0 : ::getegid();
  ASSERT_EQ(::chown(file.c_str(), ::geteuid(), gid), 0);
  fs::permissions(file, static_cast<fs::perms>(0640));
  const HostRun shown = Run({"sd", "show", file.string()});
  ASSERT_EQ(shown.status, 0) << shown.err;
  EXPECT_EQ(shown.out.find("Unknown"), std::string::npos) << shown.out;
  const std::string group = HostAccountName(true, gid);
  ASSERT_FALSE(group.empty());
  EXPECT_NE(shown.out.find("Access granted to: " + group + "\n"), std::string::npos) << shown.out;
  // And by its name: an edit can name it.
  const HostRun edited = Run({"sd", "grant", file.string(), group, "FR"});
  EXPECT_EQ(edited.status, 0) << edited.err;
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

// An NTFS volume of a test's own: an image made by mkntfs in `dir`, mounted at `dir`/mnt by
// ntfs-3g in the foreground, and unmounted (the driver's process waited for, so that the image
// is whole) on every path.
class NtfsVolume {
 public:
  explicit NtfsVolume(const fs::path& dir)
      : dir_(dir), image_(dir / "disk.img"), mount_(dir / "mnt") {
    if (::geteuid() != 0) {
      why_ = "needs root to mount an NTFS image";
      return;
    }
    if (!fs::exists("/dev/fuse")) {
      why_ = "needs /dev/fuse to mount an NTFS image";
      return;
    }
    const std::string mkntfs = Program("mkntfs"), ntfs3g = Program("ntfs-3g");
    if (mkntfs.empty() || ntfs3g.empty() || Program("ntfssecaudit").empty()) {
      why_ = "needs mkntfs, ntfs-3g and ntfssecaudit (scripts/install-deps)";
      return;
    }
    fs::create_directories(mount_);
    { std::ofstream(image_).close(); }
    fs::resize_file(image_, 32 << 20);
    const HostRun made = RunProcess({mkntfs, "-F", "-f", "-q", image_.string()}, {}, dir_);
    if (made.status != 0) {
      why_ = "mkntfs failed: " + made.err;
      return;
    }
    fs::create_directories(dir_ / "ntfs-3g");
    if (!Mount("no_detach"))
      why_ = "ntfs-3g did not mount the image";
  }

  // Mounts the image again with ntfs-3g's `options`; false when it did not mount.
  bool Mount(const std::string& options) {
    driver_ = StartProcess({Program("ntfs-3g"), "-o", options, image_.string(), mount_.string()},
                           {}, dir_ / "ntfs-3g");
    for (int i = 0; i < 200 && driver_ && !Mounted(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (Mounted())
      return true;
    Unmount();
    return false;
  }
  ~NtfsVolume() { Unmount(); }
  NtfsVolume(const NtfsVolume&) = delete;
  NtfsVolume& operator=(const NtfsVolume&) = delete;

  // Empty when the volume is mounted: else why it could not be.
  const std::string& why() const { return why_; }
  const fs::path& mount() const { return mount_; }
  const fs::path& image() const { return image_; }

  // Unmounts, and waits for the driver to finish writing the image.
  void Unmount() {
    if (!driver_)
      return;
    if (Mounted())
      RunProcess({Program("umount"), mount_.string()}, {}, dir_);
    if (Mounted())
      RunProcess({Program("umount"), "-l", mount_.string()}, {}, dir_);
    FinishProcess(driver_, dir_ / "ntfs-3g");
    driver_ = 0;
  }

  static std::string Program(const std::string& name) {
    for (const char* folder : {"/usr/bin", "/usr/sbin", "/bin", "/sbin"}) {
      const fs::path path = fs::path(folder) / name;
      if (::access(path.c_str(), X_OK) == 0)
        return path.string();
    }
    return "";
  }

 private:
  bool Mounted() const {
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
      std::istringstream fields(line);
      std::string id, parent, device, root, point;
      fields >> id >> parent >> device >> root >> point;
      if (point == mount_.string())
        return true;
    }
    return false;
  }

  fs::path dir_, image_, mount_;
  std::string why_;
  pid_t driver_ = 0;
};

// The entries of a descriptor, one text each ("type flags mask SID"), as a peer tool shows
// them; "null" for a null DACL.
std::vector<std::string> EntriesOf(const std::string& sddl) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  std::vector<std::string> entries;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &sd,
                                                            nullptr))
    return {"bad SDDL " + sddl};
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
  if (present && !dacl)
    entries.push_back("null");
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    GetAce(dacl, i, &ace);
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    char* sid = nullptr;
    ConvertSidToStringSidA(const_cast<DWORD*>(&allowed->SidStart), &sid);
    char text[64];
    std::snprintf(text, sizeof text, "%u 0x%x 0x%x ", header->AceType, header->AceFlags,
                  static_cast<unsigned>(allowed->Mask));
    entries.push_back(text + std::string(sid ? sid : "?"));
    LocalFree(sid);
  }
  LocalFree(sd);
  return entries;
}

// What ntfssecaudit reads from the image for `path` (a path on the volume): the entries of
// its DACL in the form of EntriesOf.
std::vector<std::string> AuditedEntries(const fs::path& image,
                                        const std::string& path,
                                        const fs::path& scratch) {
  const HostRun run =
      RunProcess({NtfsVolume::Program("ntfssecaudit"), "-vv", image.string(), path}, {}, scratch);
  std::vector<std::string> entries;
  std::istringstream in(run.out);
  std::string type, flags, mask;
  bool in_dacl = false, in_ace = false;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string first, second, third;
    words >> first >> second >> third;
    if (first == "Off" && second == "DACL" && third == "0x0")
      entries.push_back("null");
    if (first == "DACL")
      in_dacl = true;
    else if (first == "SACL")
      in_dacl = false;
    if (!in_dacl)
      continue;
    if (first == "ACE" && third == "at")
      in_ace = true;
    else if (in_ace && first == "type")
      type = second;
    else if (in_ace && first == "flags")
      flags = second;
    else if (in_ace && first == "Acc" && second == "rgts")
      mask = third;
    else if (in_ace && first == "dec") {
      entries.push_back(std::to_string(std::stoul(type)) + " " + flags + " " + mask + " " + second);
      in_ace = false;
    }
  }
  if (entries.empty())
    entries.push_back("ntfssecaudit: " + run.out + run.err);
  return entries;
}

// On an NTFS volume the descriptors are the disk's own, as ntfs-3g gives them: shown as they
// are, edited through the volume, and what ntfs-3g's own ntfssecaudit reads from the image
// afterwards is what Vortiss wrote.
TEST_F(HostSdTest, NtfsVolumeDescriptorsAreTheDisksOwn) {
  NtfsVolume volume(dir_);
  if (!volume.why().empty())
    GTEST_SKIP() << volume.why();
  const fs::path disk = volume.mount();
  fs::create_directories(disk / "Projects" / "Inner");
  fs::create_directories(disk / "Open");
  std::ofstream(disk / "Projects" / "plan.txt") << "plan";

  // What ntfs-3g gives new objects, not what the modes (0777) would derive.
  const HostRun fresh = Run({"sd", "show", "--sddl", (disk / "Open").string()});
  EXPECT_EQ(fresh.status, 0) << fresh.err;
  EXPECT_EQ(fresh.out, "O:BAD:(A;OICI;FA;;;WD)\n");
  // The root's descriptor is larger than a small buffer; it is read whole.
  const HostRun root = Run({"sd", "show", "--sddl", disk.string()});
  EXPECT_EQ(root.status, 0) << root.err;
  EXPECT_NE(root.out.find("(A;;FA;;;SY)"), std::string::npos) << root.out;

  // Protected, deny before allow, CREATOR OWNER, accounts of another machine; a null DACL.
  struct Row {
    const char* path;
    const char* given;
    const char* shown;
  };
  const Row rows[] = {
      {"Projects",
       "O:S-1-5-21-7-8-9-1001D:P(D;OICI;WD;;;S-1-5-21-7-8-9-1002)(A;OICI;FA;;;BA)"
       "(A;OICIIO;FA;;;CO)(A;OICI;0x1200a9;;;WD)",
       "O:S-1-5-21-7-8-9-1001D:PAI(D;OICI;WD;;;S-1-5-21-7-8-9-1002)(A;OICI;FA;;;BA)"
       "(A;OICIIO;FA;;;CO)(A;OICI;0x1200a9;;;WD)\n"},
      {"Open", "O:BAD:NO_ACCESS_CONTROL", "O:BAD:AINO_ACCESS_CONTROL\n"},
  };
  for (const Row& row : rows) {
    const HostRun set = Run({"sd", "set", (disk / row.path).string(), row.given});
    ASSERT_EQ(set.status, 0) << row.path << ": " << set.err;
    EXPECT_EQ(Run({"sd", "show", "--sddl", (disk / row.path).string()}).out, row.shown);
  }
  // What Projects passed on: its inheritable entries, marked inherited, after the entry the
  // directory had of its own; CREATOR OWNER becomes the owner's.
  const std::string inner =
      Run({"sd", "show", "--sddl", (disk / "Projects" / "Inner").string()}).out;
  EXPECT_EQ(inner,
            "O:BAD:AI(A;OICI;FA;;;WD)(D;OICIID;WD;;;S-1-5-21-7-8-9-1002)(A;OICIID;FA;;;BA)"
            "(A;ID;FA;;;BA)(A;OICIIOID;FA;;;CO)(A;OICIID;0x1200a9;;;WD)\n");

  // An edit changes only the account's explicit entries; the inherited ones stay as they are.
  const HostRun granted =
      Run({"sd", "grant", (disk / "Projects" / "Inner").string(), "Guests", "FR"});
  ASSERT_EQ(granted.status, 0) << granted.err;
  const std::string edited =
      Run({"sd", "show", "--sddl", (disk / "Projects" / "Inner").string()}).out;
  EXPECT_EQ(edited,
            "O:BAD:AI(A;OICI;FA;;;WD)(A;OICI;FR;;;BG)(D;OICIID;WD;;;S-1-5-21-7-8-9-1002)"
            "(A;OICIID;FA;;;BA)(A;ID;FA;;;BA)(A;OICIIOID;FA;;;CO)(A;OICIID;0x1200a9;;;WD)\n");

  // Re-read after a write gives exactly the bytes written.
  for (const char* sddl : {"O:BAG:SYD:PAI(A;;FA;;;SY)(A;OICI;0x1301bf;;;AU)",
                           "O:S-1-5-21-7-8-9-1001G:BAD:NO_ACCESS_CONTROL"}) {
    std::vector<BYTE> bytes;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ULONG length = 0;
    ASSERT_TRUE(
        ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, &length));
    standin::DescriptorParts parts;
    const DWORD read = standin::ReadSelfRelative(sd, length, parts);
    // The parts point into the converted bytes: copied before they are released.
    standin::OwnedDescriptor written;
    if (read == ERROR_SUCCESS)
      written = standin::OwnedDescriptor::From(parts);
    LocalFree(sd);
    ASSERT_EQ(read, ERROR_SUCCESS);
    const fs::path file = disk / "Projects" / "plan.txt";
    ASSERT_EQ(standin::WriteNtfsDescriptor(file, written), ERROR_SUCCESS) << sddl;
    const ssize_t size = ::getxattr(file.c_str(), standin::kNtfsDescriptorAttribute, nullptr, 0);
    ASSERT_GT(size, 0);
    bytes.resize(static_cast<size_t>(size));
    ASSERT_EQ(
        ::getxattr(file.c_str(), standin::kNtfsDescriptorAttribute, bytes.data(), bytes.size()),
        size);
    EXPECT_EQ(bytes, written.SelfRelative()) << sddl;
  }

  // ntfs-3g's own reading of the image, as a peer, holds the entries Vortiss wrote.
  std::map<std::string, std::string> shown;
  for (const char* path : {"Projects", "Projects/Inner", "Open"}) {
    std::string sddl = Run({"sd", "show", "--sddl", (disk / path).string()}).out;
    shown[path] = sddl.substr(0, sddl.size() - 1);
  }
  volume.Unmount();
  for (const auto& [path, sddl] : shown)
    EXPECT_EQ(AuditedEntries(volume.image(), "/" + path, dir_), EntriesOf(sddl)) << path;
  EXPECT_EQ(
      AuditedEntries(volume.image(), "/Projects", dir_),
      (std::vector<std::string>{"1 0x3 0x40000 S-1-5-21-7-8-9-1002", "0 0x3 0x1f01ff S-1-5-32-544",
                                "0 0xb 0x1f01ff S-1-3-0", "0 0x3 0x1200a9 S-1-1-0"}));
  EXPECT_EQ(AuditedEntries(volume.image(), "/Open", dir_), std::vector<std::string>{"null"});

  // Mounted read-only, the kernel refuses every write: the descriptors say so, even the null
  // DACL's, and nothing may create in a folder, root included.
  ASSERT_TRUE(volume.Mount("ro,no_detach"));
  EXPECT_EQ(Run({"sd", "show", "--sddl", (disk / "Open").string()}).out,
            "O:BAD:AI(D;;DCLCRPDTCRSDWDWO;;;WD)(A;;RC;;;OW)(A;;FA;;;WD)\n");
  for (const char* path : {"Open", "Projects"}) {
    const HostRun answer = Run({"access", (disk / path).string() + "/"});
    EXPECT_EQ(answer.status, 1) << path << answer.out << answer.err;
  }
}

// A profile describes the machine the disk came from: its accounts name the disk's SIDs, and
// access, find and edits answer from the disk's bytes.
TEST_F(HostSdTest, NtfsVolumeAnswersWithTheDisksAccounts) {
  NtfsVolume volume(dir_);
  if (!volume.why().empty())
    GTEST_SKIP() << volume.why();
  const fs::path disk = volume.mount();
  for (const char* folder : {"Projects/Plans", "Private"})
    fs::create_directories(disk / folder);
  const std::pair<const char*, const char*> descriptors[] = {
      {"", "O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;;0x1200a9;;;WD)"},
      {"Projects",
       "O:S-1-5-21-7-8-9-1001D:P(D;OICI;FW;;;S-1-5-21-7-8-9-1002)"
       "(A;OICI;FA;;;S-1-5-21-7-8-9-1001)(A;OICI;0x1200a9;;;BU)"},
      {"Projects/Plans",
       "O:S-1-5-21-7-8-9-1001D:P(A;OICI;FA;;;S-1-5-21-7-8-9-1001)(A;OICI;FA;;;BA)"},
      {"Private", "O:S-1-5-21-7-8-9-1002D:P(A;OICI;FA;;;S-1-5-21-7-8-9-1002)(A;OICI;FA;;;WD)"},
  };
  for (const auto& [path, sddl] : descriptors)
    ASSERT_EQ(Run({"sd", "set", (disk / path).string(), sddl}).status, 0) << path;
  std::ofstream(dir_ / "disk.json") << R"json({
    "computer": "DISKHOST", "machine_sid": "S-1-5-21-7-8-9",
    "users": [{"name": "carol", "rid": 1001}, {"name": "dave", "rid": 1002}],
    "volumes": {"D:": {"path": "mnt"}}})json";
  auto on_disk = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--machine", (dir_ / "disk.json").string()});
    return Run(args);
  };

  const HostRun shown = on_disk({"sd", "show", "D:\\Projects"});
  EXPECT_EQ(shown.status, 0) << shown.err;
  EXPECT_EQ(
      Parse(shown.out).dump,
      (std::vector<std::string>{
          "\t\tOwner: DISKHOST\\carol", "\t\tAccess denied to: DISKHOST\\dave",
          "\t\tAccess granted to: DISKHOST\\carol", "\t\tAccess granted to: BUILTIN\\Users"}));

  struct Asked {
    const char* account;
    const char* path;
    bool yes;
    const char* entry;  // a line of the explanation
  };
  const Asked asked[] = {
      {"DISKHOST\\carol", "D:\\Projects\\Plans", true, "entry 1 allow DISKHOST\\carol (user)"},
      {"DISKHOST\\dave", "D:\\Projects", false, "entry 1 deny DISKHOST\\dave (user)"},
      {"DISKHOST\\dave", "D:\\Private", true, "entry 1 allow DISKHOST\\dave (user)"},
  };
  for (const Asked& a : asked) {
    const HostRun run = on_disk({"access", a.path, "--as", a.account, "--explain"});
    EXPECT_NE(run.out.find(a.yes ? "answer: yes" : "answer: no"), std::string::npos)
        << a.account << " " << a.path << run.out;
    EXPECT_NE(run.out.find(a.entry), std::string::npos) << a.account << " " << a.path << run.out;
  }

  // Every folder where dave may write, and those where he may not.
  const HostRun writable =
      on_disk({"sd", "find", "D:\\", "--as", "DISKHOST\\dave", "--rights", "FW"});
  EXPECT_EQ(writable.status, 0) << writable.err;
  EXPECT_EQ(writable.out, "D:\\Private\n");
  const HostRun not_writable =
      on_disk({"sd", "find", "D:\\", "--as", "DISKHOST\\dave", "--rights", "FW", "--not"});
  EXPECT_EQ(not_writable.out, "D:\\\nD:\\Projects\nD:\\Projects\\Plans\n");

  // An edit by the disk's account names goes to the disk, with the lock from load to store.
  const HostRun granted = on_disk({"sd", "grant", "D:\\Projects\\Plans", "DISKHOST\\dave", "FR"});
  ASSERT_EQ(granted.status, 0) << granted.err;
  EXPECT_EQ(Run({"sd", "show", "--sddl", (disk / "Projects" / "Plans").string()}).out,
            "O:S-1-5-21-7-8-9-1001D:PAI(A;OICI;FA;;;S-1-5-21-7-8-9-1001)(A;OICI;FA;;;BA)"
            "(A;OICI;FR;;;S-1-5-21-7-8-9-1002)\n");
}

}  // namespace
