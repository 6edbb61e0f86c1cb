// End-to-end tests of the vortiss host: the program is run as a person runs it.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/host_process.h"

namespace {

namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

// A host path as the stand-in's Windows names it: on drive Z:, with backslashes.
std::string ZForm(const fs::path& path) {
  std::string windows = "Z:" + path.string();
  for (char& c : windows)
    c = c == '/' ? '\\' : c;
  return windows;
}

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("vortiss-host-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs the host with `args`; `env` entries (NAME=value) are added to the environment, and
  // names given as "NAME" alone are removed from it.
  HostRun Run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    return RunWith({}, args, env);
  }

  // As Run, with the host started through `prefix` (a program and its arguments).
  HostRun RunWith(const std::vector<std::string>& prefix,
                  const std::vector<std::string>& args,
                  const std::vector<std::string>& env) {
    std::vector<std::string> argv = prefix;
    argv.push_back(VORTISS_HOST);
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> environment = {"VORTISS_MACHINE", "VORTISS_DEBUG_LOG"};
    environment.insert(environment.end(), env.begin(), env.end());
    return RunProcess(argv, environment, dir_);
  }

  std::string Example(const std::string& name) const {
    return std::string(VORTISS_EXAMPLES) + "/" + name;
  }

  fs::path WriteProfile(const std::string& json) {
    const fs::path path = dir_ / "machine.json";
    std::ofstream(path) << json;
    return path;
  }

  fs::path dir_;
};

TEST_F(HostTest, NestedDomainGroupTracesEveryStepAndAnswersYes) {
  const HostRun run = Run({"--machine", Example("nested-domain-group.json"), "admin"});
  EXPECT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> expected = {
      "Starting IsUserAdministrator function",
      "Good - Impersonated self",
      "Good - got thread token",
      "Good - extracted token information",
      "Good - Creating CSid object from token information",
      "Created CSid object with name CORP\\carol",
      "Good - allocated Administrators SID",
      "Good - found account name from SID as Administrators",
      "Checking group Administrators for user CORP\\carol",
      "Found group member WS01\\Administrator",
      "Found group member CORP\\Domain Admins",
      "Checking group CORP\\Domain Admins for user CORP\\carol",
      "Checking global group CORP\\Domain Admins",
      "Found group member CORP\\dave",
      "Found group member CORP\\carol",
      "Good - found match in global group",
      "Good - found user CORP\\carol in group Administrators",
      "answer: yes",
  };
  EXPECT_EQ(Lines(run.out), expected);
  EXPECT_EQ(run.err, "");
}

TEST_F(HostTest, AnswerIsTheLastLineAndTheExitStatus) {
  struct Case {
    const char* example;
    int status;
    const char* last_line;
  };
  for (const Case& c :
       {Case{"direct-member.json", 0, "answer: yes"}, Case{"offline-domain.json", 1, "answer: no"},
        Case{"everyone-is-admin.json", 0, "answer: yes"},
        Case{"failed-impersonation.json", 0, "answer: yes"}}) {
    const HostRun run = Run({"--machine", Example(c.example), "admin"});
    EXPECT_EQ(run.status, c.status) << c.example << ": " << run.err;
    const auto lines = Lines(run.out);
    ASSERT_FALSE(lines.empty()) << c.example;
    EXPECT_EQ(lines.back(), c.last_line) << c.example;
  }
}

// access --as answers through Authz for any account of the profile; --explain lists the entries
// that decided, with the bits each took, in the order the check met them.
TEST_F(HostTest, AccessAsExplainsTheEntriesThatDecided) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      // A grant through a domain group nested in a local one, each named on the way.
      {{"C:\\Projects", "--as", "CORP\\carol", "--rights", "FA", "--explain"},
       0,
       {"answer: yes", "explain: CORP\\carol asks 0x001f01ff, granted 0x001f01ff",
        "explain: owner BUILTIN\\Administrators holds 0x00060000 implicitly",
        "explain: entry 1 allow BUILTIN\\Administrators (group) granted 0x001901ff: CORP\\carol "
        "through CORP\\Domain Admins, a member of BUILTIN\\Administrators",
        "explain: entry 2 allow BUILTIN\\Users (group) granted 0x00000000: CORP\\carol through "
        "NT AUTHORITY\\Authenticated Users, a member of BUILTIN\\Users",
        "explain: missing 0x00000000"}},
      // A group's denial met first outweighs the later grant to Everyone, which every logon
      // holds without a list to show it.
      {{"C:\\Reports", "--as", "CORP\\dave", "--rights", "FW", "--explain"},
       1,
       {"answer: no", "explain: CORP\\dave asks 0x00120116, granted 0x00000000",
        "explain: entry 1 deny BUILTIN\\Users (group) denied 0x00120116: CORP\\dave through NT "
        "AUTHORITY\\Authenticated Users, a member of BUILTIN\\Users",
        "explain: entry 2 allow Everyone (group) granted 0x000d00e9",
        "explain: missing 0x00120116"}},
      // The owner reads and changes the DACL though no entry grants it.
      {{"C:\\Private", "--as", "bob", "--rights", "RCWD", "--explain"},
       0,
       {"answer: yes", "explain: WS01\\bob asks 0x00060000, granted 0x00060000",
        "explain: owner WS01\\bob holds 0x00060000 implicitly",
        "explain: entry 1 allow Everyone (group) granted 0x00100089",
        "explain: missing 0x00000000"}},
      {{"C:\\Private", "--as", "CORP\\dave", "--rights", "RCWD"}, 1, {"answer: no"}},
      // The inherit-only entry 1 takes no part.
      {{"C:\\Templates", "--as", "bob", "--rights", "FW", "--explain"},
       1,
       {"answer: no", "explain: WS01\\bob asks 0x00120116, granted 0x00000000",
        "explain: entry 2 allow Everyone (group) granted 0x00120089",
        "explain: missing 0x00000116"}},
      // RIGHTS default to what the write check asks: read and write data.
      {{"C:\\Templates", "--as", "bob"}, 1, {"answer: no"}},
      {{"C:\\Reports", "--as", "bob"}, 1, {"answer: no"}},
      {{"C:\\Projects", "--as", "alice"}, 0, {"answer: yes"}},
      // The caller's own check, explained after the library's answer; alice is a direct member.
      {{"C:\\Projects", "--explain"},
       0,
       {"answer: yes", "explain: owner BUILTIN\\Administrators holds 0x00060000 implicitly",
        "explain: entry 1 allow BUILTIN\\Administrators (group) granted 0x001901ff: WS01\\alice, "
        "a member of BUILTIN\\Administrators",
        "explain: entry 2 allow BUILTIN\\Users (group) granted 0x00000000: WS01\\alice through "
        "NT AUTHORITY\\INTERACTIVE, a member of BUILTIN\\Users",
        "explain: missing 0x00000000"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--machine", Example("effective-access.json"), "access"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const HostRun run = Run(args);
    EXPECT_EQ(run.status, c.status) << c.args[0] << " " << c.args.back() << ": " << run.err;
    std::vector<std::string> lines = Lines(run.out);
    // The library's own trace comes before its answer.
    const auto answer = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
      return l.rfind("answer: ", 0) == 0;
    });
    lines.erase(lines.begin(), answer);
    EXPECT_EQ(lines, c.lines) << c.args[0] << " " << c.args.back();
  }
}

TEST_F(HostTest, AccessAsRefusesWhatNamesNothing) {
  const std::string profile = Example("effective-access.json");
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"C:\\Projects", "--rights", "FR"},
                                             {"C:\\Projects", "--as", "nobody-such"},
                                             {"C:\\Projects", "--as", ""},
                                             {"C:\\Projects", "--as", "bob", "--rights", "QQ"}}) {
    std::vector<std::string> argv = {"--machine", profile, "access"};
    argv.insert(argv.end(), args.begin(), args.end());
    const HostRun run = Run(argv);
    EXPECT_EQ(run.status, 2) << args.back() << ": " << run.out;
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(run.err.empty());
  }
}

TEST_F(HostTest, NegativeAnswerClosesTheTraceOnStandardError) {
  const HostRun run = Run({"--machine", Example("offline-domain.json"), "admin"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("Error - could not find user Unknown Domain\\Unknown Account in group "
                         "Administrators\n"),
            std::string::npos)
      << run.err;
}

TEST_F(HostTest, RefusedProfileNamesTheKeyAndRunsNothing) {
  struct Case {
    const char* json;
    const char* key;
  };
  for (const Case& c : {
           Case{R"({"colour": "blue"})", "colour"},
           Case{R"({"users": "alice"})", "users"},
           Case{R"({"groups": {"Administrators": ["nobody"]}})", "groups.Administrators[0]"},
           Case{R"({"faults": [{"call": "NoSuchCall", "error": 5}]})", "faults[0].call"},
           Case{R"({"elevated": "yes"})", "elevated"},
           Case{R"({"user": "nobody"})", "user"},
           Case{R"({not json)", "profile"},
       }) {
    const HostRun run = Run({"--machine", WriteProfile(c.json).string(), "admin"});
    EXPECT_EQ(run.status, 2) << c.json;
    EXPECT_EQ(run.out, "") << c.json;
    EXPECT_NE(run.err.find(std::string("refused: ") + c.key + ":"), std::string::npos)
        << c.json << "\n"
        << run.err;
  }
}

// Profiles of machines that cannot be, and files that are no profile: each is refused at once
// (the watchdog only turns a hang into a failure), naming the key, quoting little of the input.
TEST_F(HostTest, HostileProfilesAreRefusedAtOnce) {
  const std::string deep_keys = [] {
    std::string path = "HKLM";  // as JSON writes it: each backslash doubled
    for (int i = 0; i < 20000; ++i)
      path += "\\\\a";
    return path;
  }();
  const std::string levels_600 = [] {
    std::string path = "HKLM\\\\Software";
    for (int i = 0; i < 599; ++i)
      path += "\\\\level" + std::to_string(i);
    return path;
  }();
  std::string huge_acl = "O:BAD:";
  for (int i = 0; i < 6000; ++i)
    huge_acl += "(A;;FA;;;BA)";
  const fs::path fifo = dir_ / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // 1.3 million users in 15.6 MB: more than the host may hold in 320 MiB of address space.
  const fs::path crowd = dir_ / "crowd.json";
  {
    std::ofstream out(crowd);
    out << R"({"users": [)";
    for (int i = 0; i < 1300000; ++i)
      out << (i ? ", " : "") << "\"u" << i << '"';
    out << "]}";
  }
  struct Case {
    std::string profile;  // JSON, or "@" and a path
    std::string key;
    std::vector<std::string> limit = {};  // run under these limits
  };
  std::vector<Case> cases = {
      {R"({"users": ["a\u0000x"], "user": "a\u0000x"})", "users[0]"},
      {R"({"groups": {"Help\u0007desk": []}})", "groups.Help\\u0007desk"},
      {R"({"machine_sid": "S-1-5-21-1-2-3", "users": [{"name": "bob", "rid": 1005}],
          "names": {"S-1-5-21-1-2-3-1005": "Administrator"}})",
       "names.S-1-5-21-1-2-3-1005"},
      {"@/dev/zero", "profile"},
      {"@" + dir_.string(), "profile"},
      {"@" + fifo.string(), "profile"},
      {R"({"registry": {")" + deep_keys + R"(": {}}})", "registry.HKLM\\a\\a"},
      {R"({"registry": {")" + levels_600 + R"(": {}}})", "registry.HKLM\\Software\\level0"},
      {R"({"registry": {"HKLM\\)" + std::string(256, 'k') + R"(": {}}})", "registry.HKLM\\kkk"},
      {R"({"security": {"C:\\Data": ")" + huge_acl + R"("}})", "security.C:\\Data"},
  };
  // The sanitizers' runtimes need more address space than the limits leave. Under the smaller
  // one the reading fails before it starts, under the larger one in the midst of parsing.
  for (const char* limit : {"--as=209715200", "--as=335544320"}) {
    if (!kSanitized)
      cases.push_back({"@" + crowd.string(), "out of memory", {"/usr/bin/prlimit", limit}});
  }
  for (const Case& c : cases) {
    const std::string path =
        c.profile[0] == '@' ? c.profile.substr(1) : WriteProfile(c.profile).string();
    std::vector<std::string> prefix = {"/usr/bin/timeout", "20"};
    prefix.insert(prefix.end(), c.limit.begin(), c.limit.end());
    const HostRun run = RunWith(prefix, {"--machine", path, "admin"}, {});
    EXPECT_EQ(run.status, 2) << c.key << ": " << run.err;
    EXPECT_EQ(run.out, "") << c.key;
    EXPECT_NE(run.err.find("refused: " + c.key), std::string::npos) << run.err;
    EXPECT_LT(run.err.size(), 512u) << c.key;
  }
}

TEST_F(HostTest, MissingProfileIsRefused) {
  const HostRun run = Run({"--machine", (dir_ / "absent.json").string(), "admin"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("refused"), std::string::npos) << run.err;
}

TEST_F(HostTest, ProfileFromTheEnvironmentIsCheckedToo) {
  const HostRun bad = Run({"admin"}, {"VORTISS_MACHINE=" + WriteProfile("[]").string()});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.out, "");
  const HostRun good = Run({"admin"}, {"VORTISS_MACHINE=" + Example("direct-member.json")});
  EXPECT_EQ(good.status, 0) << good.err;
  EXPECT_NE(good.out.find("WS01\\alice"), std::string::npos);
}

TEST_F(HostTest, UsageErrors) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {},
           {"bogus"},
           {"admin", "extra"},
           {"--machine"},
           {"--no-such-option", "admin"},
           {"--debug-log", dir_.string(), "admin"},
           {"--debug-log", (dir_ / "absent" / "log").string(), "admin"},
           {"sd", "find", "/tmp", "--rights", "FW"},
           {"sd", "find", "/tmp", "--as", "root", "--rights", "QQ"},
           {"sd", "find", "/tmp", "--as", "no-such-account", "--rights", "FW"},
           {"sd", "find", "/tmp", "--key", "HKLM", "--as", "root", "--rights", "KR"},
           {"sd", "find", "--key", "HKXX\\Software", "--as", "root", "--rights", "KR"},
           {"sd", "find", "--as", "root", "--rights", "KR"}}) {
    const HostRun run = Run(args);
    EXPECT_EQ(run.status, 2) << (args.empty() ? "(no arguments)" : args[0]);
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(run.err.empty());
  }
}

TEST_F(HostTest, HelpAndVersion) {
  const HostRun help = Run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("admin"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("--machine"), std::string::npos);
  const HostRun version = Run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "vortiss " VORTISS_VERSION_TEXT "\n");
}

TEST_F(HostTest, NonAsciiNamesPrintInAnyLocale) {
  for (const char* locale : {"LC_ALL=C", "LC_ALL=C.UTF-8"}) {
    const HostRun run =
        Run({"--machine", Example("translated-system.json"), "admin"}, {locale, "LANG"});
    EXPECT_EQ(run.status, 0) << locale << ": " << run.err;
    EXPECT_NE(run.out.find("Created CSid object with name ARBEITSPLATZ\\j\xc3\xbcrgen\n"),
              std::string::npos)
        << locale << ":\n"
        << run.out;
    EXPECT_NE(run.out.find("Good - found account name from SID as Administratoren\n"),
              std::string::npos);
    EXPECT_EQ(Lines(run.out).back(), "answer: yes") << locale;
  }
}

TEST_F(HostTest, DebugLogReceivesTheDebuggerTextsExactly) {
  const fs::path log = dir_ / "debug.log";
  const HostRun run =
      Run({"--machine", Example("nested-domain-group.json"), "--debug-log", log.string(), "admin"});
  EXPECT_EQ(run.status, 0) << run.err;
  // The nested call first reads CORP\Domain Admins as a local group, which fails.
  EXPECT_EQ(ReadFile(log), "The group name could not be found.\r\n");
}

TEST_F(HostTest, DebugLogTakesTheMessageTextsOfTheProfile) {
  const fs::path profile = WriteProfile(R"({
    "user": "carol@corp",
    "users": ["carol@corp"],
    "groups": {"Administrators": ["NT AUTHORITY\\NETWORK"]},
    "messages": {"2220": "Keine Gruppe.\r\n", "2453": null}
  })");
  const fs::path log = dir_ / "debug.log";
  const HostRun run = Run({"--machine", profile.string(), "--debug-log", log.string(), "admin"});
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(ReadFile(log), "Keine Gruppe.\r\n");
}

// Without a profile the host is the machine: root and the members of the administrative groups
// are administrators.
TEST_F(HostTest, HostMirrorAnswersForTheRealUser) {
  const passwd* pw = getpwuid(geteuid());
  bool expected = geteuid() == 0;
  if (pw) {
    for (const char* admin_group : {"sudo", "wheel", "admin"}) {
      const group* gr = getgrnam(admin_group);
      if (!gr)
        continue;
      expected = expected || pw->pw_gid == gr->gr_gid;
      for (char** m = gr->gr_mem; *m; ++m)
        expected = expected || std::string(*m) == pw->pw_name;
    }
  }
  const HostRun run = Run({"admin"});
  EXPECT_EQ(run.status, expected ? 0 : 1) << run.out << run.err;
  const auto lines = Lines(run.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), expected ? "answer: yes" : "answer: no");
  if (pw) {
    EXPECT_NE(run.out.find(std::string("\\") + pw->pw_name + "\n"), std::string::npos) << run.out;
  }
}

TEST_F(HostTest, HostMirrorAnswersNoForAnUnprivilegedUser) {
  if (geteuid() != 0 || !fs::exists("/usr/bin/setpriv") || !getpwuid(65534))
    GTEST_SKIP() << "needs root and setpriv to run the host as nobody";
  fs::permissions(dir_, fs::perms::all);
  const HostRun run = RunWith(
      {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}, {"admin"}, {});
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_EQ(Lines(run.out).back(), "answer: no");
  EXPECT_NE(run.out.find("User not in local group Administrators\n"), std::string::npos);
}

// On the host, the probe is a real creation: the answer is the host's own.
TEST_F(HostTest, AccessOnTheHostAnswersAsTheHostDoes) {
  const fs::path open = dir_ / "open";
  const fs::path closed = dir_ / "closed";
  fs::create_directories(open);
  fs::create_directories(closed);
  fs::permissions(dir_, fs::perms::all);
  fs::permissions(open, fs::perms::all);
  fs::permissions(closed, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);

  const HostRun writable = Run({"access", open.string() + "/"});
  EXPECT_EQ(writable.status, 0) << writable.out << writable.err;
  EXPECT_EQ(Lines(writable.out).back(), "answer: yes");
  EXPECT_TRUE(fs::is_empty(open));

  if (geteuid() != 0 || !fs::exists("/usr/bin/setpriv") || !getpwuid(65534))
    GTEST_SKIP() << "needs root and setpriv to ask as an unprivileged user";
  const std::vector<std::string> as_nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                              "--clear-groups"};
  const HostRun refused = RunWith(as_nobody, {"access", closed.string() + "/"}, {});
  EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
  EXPECT_EQ(Lines(refused.out).back(), "answer: no");
  EXPECT_NE(refused.out.find("Attempting to create a new file - " + ZForm(closed / "test.txt")),
            std::string::npos)
      << refused.out;
  const HostRun allowed = RunWith(as_nobody, {"access", open.string() + "/"}, {});
  EXPECT_EQ(allowed.status, 0) << allowed.out << allowed.err;
  EXPECT_TRUE(fs::is_empty(open));
}

// Waits up to ten seconds for `name` to leave the folder that `watch` watches.
bool WaitForRemoval(int watch, const std::string& name) {
  for (int waited = 0; waited < 100; ++waited) {
    pollfd ready{watch, POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0)
      continue;
    alignas(inotify_event) char events[4096];
    const ssize_t length = read(watch, events, sizeof events);
    for (ssize_t at = 0; at < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      if ((event->mask & IN_DELETE) && event->len && name == event->name)
        return true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return false;
}

// The probe's file leaves the folder while the probe's handle holds it, and nothing removes a
// name after that: a file that another process makes under the name meanwhile stays, however
// long the probe's removal takes to return.
TEST_F(HostTest, ProbeNeverRemovesAFileItDidNotCreate) {
  const fs::path folder = dir_ / "probed";
  const fs::path probe = folder / "test.txt";
  const fs::path host_scratch = dir_ / "host";
  fs::create_directories(folder);
  fs::create_directories(host_scratch);
  const std::vector<std::string> strace = {"/usr/bin/strace",
                                           "-f",
                                           "-qq",
                                           "-o",
                                           "/dev/null",
                                           "-P",
                                           probe.string(),
                                           "-e",
                                           "trace=unlink,unlinkat",
                                           "-e",
                                           "inject=unlink,unlinkat:delay_exit=2000000:when=1"};
  // LeakSanitizer cannot work in a traced process.
  const std::string no_leak_check = "ASAN_OPTIONS=detect_leaks=0";
  if (!fs::exists(strace[0]) || RunWith(strace, {"--version"}, {no_leak_check}).status != 0)
    GTEST_SKIP() << "needs strace, allowed to trace its child, to slow the removal down";

  const int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, folder.c_str(), IN_DELETE), 0);
  std::vector<std::string> argv = strace;
  argv.insert(argv.end(), {VORTISS_HOST, "access", (folder / "absent.txt").string()});
  const pid_t host =
      StartProcess(argv, {"VORTISS_MACHINE", "VORTISS_DEBUG_LOG", no_leak_check}, host_scratch);
  ASSERT_NE(host, 0);
  const bool removed = WaitForRemoval(watch, "test.txt");
  close(watch);
  if (removed) {
    const int mine = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    EXPECT_GE(mine, 0) << "the probe's name is still taken";
    EXPECT_EQ(write(mine, "mine", 4), 4);
    close(mine);
  }
  const HostRun run = FinishProcess(host, host_scratch);
  ASSERT_TRUE(removed) << run.out << run.err;
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(Lines(run.out).back(), "answer: yes");
  EXPECT_EQ(ReadFile(probe), "mine");
}

// sd find walks as the process and answers for the account: on the host, every object it lists
// (or leaves out) is one the kernel lets nobody write (or not), each checked by a real write.
TEST_F(HostTest, FindAgreesWithTheKernelForNobody) {
  const passwd* nobody = getpwuid(65534);
  if (geteuid() != 0 || !fs::exists("/usr/bin/setpriv") || !nobody)
    GTEST_SKIP() << "needs root and setpriv to ask as nobody";
  const fs::path root = dir_ / "tree";
  auto make = [&](const std::string& name, fs::perms perms, bool directory) {
    const fs::path path = root / name;
    if (directory)
      fs::create_directories(path);
    else
      std::ofstream(path) << "x";
    fs::permissions(path, perms);
  };
  using P = fs::perms;
  fs::permissions(dir_, P::all);
  make("", P::all, true);
  make("open", P::all, true);
  make("open/f",
       P::owner_read | P::owner_write | P::group_read | P::group_write | P::others_read |
           P::others_write,
       false);
  make("open/ro", P::owner_read | P::owner_write | P::group_read | P::others_read, false);
  make("closed", P::owner_all | P::group_read | P::group_exec | P::others_read | P::others_exec,
       true);
  make("closed/f", P::owner_read | P::owner_write | P::others_read | P::others_write, false);
  make("sticky", P::all | P::sticky_bit, true);
  make("sticky/f", P::owner_read | P::owner_write | P::others_read, false);
  make("private", P::owner_all, true);
  make("private/inner", P::all, true);
  make("private/inner/f", P::owner_read | P::owner_write | P::others_read | P::others_write, false);
  make("named", P::owner_all | P::group_read | P::group_exec | P::others_read | P::others_exec,
       true);
  if (fs::exists("/usr/bin/setfacl")) {
    const HostRun acl =
        RunProcess({"/usr/bin/setfacl", "-m", std::string("u:") + nobody->pw_name + ":rwx",
                    (root / "named").string()},
                   {}, dir_);
    ASSERT_EQ(acl.status, 0) << acl.err;
  }

  auto listed = [&](bool lacking) {
    std::vector<std::string> args = {"sd",       "find", root.string(), "--as", nobody->pw_name,
                                     "--rights", "FW"};
    if (lacking)
      args.push_back("--not");
    const HostRun run = Run(args);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    const auto lines = Lines(run.out);
    return std::set<std::string>(lines.begin(), lines.end());
  };
  const std::set<std::string> writable = listed(false);
  const std::set<std::string> not_writable = listed(true);
  EXPECT_TRUE(writable.count(ZForm(root / "open" / "f")));
  EXPECT_TRUE(not_writable.count(ZForm(root / "private" / "inner" / "f")));

  const PosixCaller caller{65534, nobody->pw_gid, {}};
  std::vector<fs::path> objects = {root};
  for (const auto& entry : fs::recursive_directory_iterator(root))
    objects.push_back(entry.path());
  EXPECT_EQ(writable.size() + not_writable.size(), objects.size());
  for (const fs::path& object : objects) {
    const std::string shown = ZForm(object);
    const bool found = writable.count(shown) > 0;
    EXPECT_NE(found, not_writable.count(shown) > 0) << shown;
    bool kernel;
    if (fs::is_directory(object)) {
      kernel = KernelLetsCreate(caller, object, dir_);
    } else {
      std::vector<std::string> argv = AsCaller(caller);
      argv.insert(argv.end(), {"/bin/sh", "-c", ": >> \"$1\"", "sh", object.string()});
      kernel = RunProcess(argv, {}, dir_).status == 0;
    }
    EXPECT_EQ(found, kernel) << shown;
  }
}

// An object whose descriptor cannot be read gets a line of its own, and the walk goes on.
TEST_F(HostTest, FindReportsAnUnreadableObjectAndWalksOn) {
  fs::create_directories(dir_ / "disk" / "Tree");
  for (const char* name : {"a.txt", "b.txt"})
    std::ofstream(dir_ / "disk" / "Tree" / name) << "x";
  const fs::path profile = WriteProfile(R"json({
    "computer": "WS01", "machine_sid": "S-1-5-21-1-2-3", "user": "alice",
    "users": [{"name": "alice", "rid": 1004}],
    "volumes": {"C:": {"path": "disk", "fs": "NTFS"}},
    "security": {"C:\\Tree": "O:BAD:PAI(A;OICI;FA;;;WD)"},
    "faults": [{"call": "GetNamedSecurityInfoW", "error": 5, "skip": 1, "times": 1}]
  })json");
  const HostRun run = Run(
      {"--machine", profile.string(), "sd", "find", "C:\\Tree", "--as", "alice", "--rights", "FR"});
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(Lines(run.out),
            (std::vector<std::string>{"C:\\Tree", "unreadable: C:\\Tree\\a.txt: error 5",
                                      "C:\\Tree\\b.txt"}));
}

// Ctrl-C ends a walk between two objects: what was printed is whole, the walk says where it
// stopped, and the status is a shell's for SIGINT. /usr is the long walk: a system with this
// project's tools holds tens of thousands of objects there, none of them nobody's to write.
TEST_F(HostTest, FindStopsCleanlyOnCtrlC) {
  const fs::path tree = "/usr";
  const fs::path scratch = dir_ / "walk";
  fs::create_directories(scratch);
  const pid_t host = StartProcess(
      {VORTISS_HOST, "sd", "find", tree.string(), "--as", "nobody", "--rights", "FW", "--not"},
      {"VORTISS_MACHINE", "VORTISS_DEBUG_LOG"}, scratch);
  ASSERT_NE(host, 0);
  // The first block of output means the walk is under way, with its handler in place.
  const auto printed = [&] {
    std::error_code ec;
    const auto size = fs::file_size(scratch / "stdout", ec);
    return !ec && size > 0;
  };
  for (int waited = 0; waited < 10000 && !printed(); ++waited)
    usleep(1000);
  ASSERT_EQ(kill(host, SIGINT), 0);
  const HostRun run = FinishProcess(host, scratch);
  EXPECT_EQ(run.status, 130) << run.err;
  EXPECT_NE(run.err.find("vortiss: interrupted after "), std::string::npos) << run.err;
  ASSERT_FALSE(run.out.empty());
  EXPECT_EQ(run.out.back(), '\n');
  const auto lines = Lines(run.out);
  for (const std::string& line : lines)
    EXPECT_EQ(line.rfind(ZForm(tree), 0), 0u) << line;
}

// sd find --key walks a key and its subkeys, each named as it was written.
TEST_F(HostTest, FindWalksRegistryKeys) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {{"--key", "HKLM", "--as", "bob", "--rights", "KW", "--not"},
       {"HKLM", "HKLM\\SOFTWARE", "HKLM\\SOFTWARE\\Example", "HKLM\\SOFTWARE\\Example\\Settings",
        "HKLM\\SOFTWARE\\Vendor", "HKLM\\SYSTEM"}},
      {{"--key", "hklm\\software", "--as", "alice", "--rights", "KA"},
       {"hklm\\software", "hklm\\software\\Example", "hklm\\software\\Example\\Settings"}},
      // Vendor grants Everyone read; Example and Settings grant it to BUILTIN\Users, which
      // Everyone alone does not hold.
      {{"--key", "HKLM\\Software", "--as", "Everyone", "--rights", "KR"},
       {"HKLM\\Software\\Vendor"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--machine", Example("registry-permissions.json"), "sd",
                                     "find"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const HostRun run = Run(args);
    EXPECT_EQ(run.status, 0) << c.args[1] << ": " << run.err;
    EXPECT_EQ(Lines(run.out), c.lines) << c.args[1] << " " << c.args[3];
  }
}

TEST_F(HostTest, AccessTakesPosixPathsInTheirZForm) {
  fs::permissions(dir_, fs::perms::all);
  const HostRun run = Run({"access", (dir_ / "missing" / "file").string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("Attempting to create a new file - " +
                         ZForm(dir_ / "missing" / "test.txt") + "\n"),
            std::string::npos)
      << run.out;
}

// A directory made for one trial: its owner, group, mode and POSIX ACL (a named user and a
// named group with the mask, when `acl` is set).
struct TrialDirectory {
  unsigned uid = 0;
  unsigned gid = 0;
  unsigned mode = 0755;
  bool acl = false;
  unsigned user = 0, user_perms = 0, group = 0, group_perms = 0, mask = 7;

  std::string AclText() const {
    const char* perms[] = {"---", "--x", "-w-", "-wx", "r--", "r-x", "rw-", "rwx"};
    return "u:" + std::to_string(user) + ":" + perms[user_perms] + ",g:" + std::to_string(group) +
           ":" + perms[group_perms] + ",m::" + perms[mask];
  }
  // Whether `c` is in the group class through both the owning group's entry and the named
  // group's entry (the same gid may have both).
  bool InTwoGroupEntries(const PosixCaller& c) const {
    auto holds = [&](unsigned g) {
      return c.gid == g || std::find(c.groups.begin(), c.groups.end(), g) != c.groups.end();
    };
    return acl && c.uid != 0 && c.uid != uid && c.uid != user && holds(gid) && holds(group);
  }
  // The class the kernel puts `c` in, and the permissions it has there.
  std::pair<const char*, unsigned> ClassOf(const PosixCaller& c) const {
    if (c.uid == 0)
      return {"root", 7};
    if (c.uid == uid)
      return {"owner", (mode >> 6) & 7};
    if (acl && c.uid == user)
      return {"named user", user_perms & mask};
    auto holds = [&](unsigned g) {
      return c.gid == g || std::find(c.groups.begin(), c.groups.end(), g) != c.groups.end();
    };
    const unsigned limit = acl ? mask : 7;
    if (holds(gid) || (acl && holds(group))) {
      const unsigned own = holds(gid) ? (mode >> 3) & 7 : 0;
      const unsigned named = acl && holds(group) ? group_perms : 0;
      return {"group class", (own | named) & limit};
    }
    return {"other", mode & 7};
  }
};

// Makes `path` as `wanted` says; false when it cannot be made so here.
bool MakeDirectory(const fs::path& path, const TrialDirectory& wanted, const fs::path& scratch) {
  fs::create_directories(path);
  if (::chown(path.c_str(), wanted.uid, wanted.gid) != 0 || ::chmod(path.c_str(), wanted.mode) != 0)
    return false;
  if (!wanted.acl)
    return true;
  return RunProcess({"/usr/bin/setfacl", "-n", "-m", wanted.AclText(), path.string()}, {}, scratch)
             .status == 0;
}

// The cases the issue was found with: each answers as the kernel does.
TEST_F(HostTest, AccessAnswersAsTheKernelForTheCasesOfTheIssue) {
  if (const std::string why = WhyNotAsOtherUsers(); !why.empty())
    GTEST_SKIP() << why;
  struct Case {
    const char* what;
    TrialDirectory directory;
    PosixCaller caller;
    bool yes;
  };
  const Case cases[] = {
      {"0777 with user:nobody:r-x, asked by nobody",
       {0, 0, 0777, true, 65534, 5, 4245, 0, 7},
       {65534, 65534, {}},
       false},
      {"0707 owned by 0:4242, asked by a member of 4242",
       {0, 4242, 0707},
       {4243, 4243, {4242}},
       false},
      {"0077, asked by its owner", {4244, 4244, 077}, {4244, 4244, {}}, false},
      {"0600 (no search), asked by its owner", {4244, 4244, 0600}, {4244, 4244, {}}, false},
      {"a named group limited by the mask",
       {0, 0, 0770, true, 4247, 0, 4245, 7, 5},
       {4246, 4246, {4245}},
       false},
      {"0770 with user:nobody:rwx, asked by nobody",
       {0, 0, 0770, true, 65534, 7, 4245, 0, 7},
       {65534, 65534, {}},
       true},
      {"0070, asked by a member of its group", {0, 4242, 070}, {4243, 4243, {4242}}, true},
      {"0300 (write and search), asked by its owner", {4244, 4244, 0300}, {4244, 4244, {}}, true},
      // Each matching group-class entry holds part of what creating takes, none all of it.
      {"0675 owned by 0:4301 with group:4301:rw- over an owning entry --x, asked by a member of "
       "4300 and 4301",
       {0, 4301, 0615, true, 65534, 0, 4301, 6, 7},
       {4244, 4300, {4301}},
       false},
  };
  for (const Case& c : cases) {
    const fs::path directory = dir_ / "case";
    fs::remove_all(directory);
    ASSERT_TRUE(MakeDirectory(directory, c.directory, dir_)) << c.what;
    const HostRun run = RunWith(AsCaller(c.caller), {"access", directory.string() + "/"}, {});
    EXPECT_EQ(run.status, c.yes ? 0 : 1) << c.what << "\n" << run.out << run.err;
    EXPECT_EQ(KernelLetsCreate(c.caller, directory, dir_), c.yes) << c.what;
  }
  // A kernel file system: nothing is created there, not even by root.
  if (fs::is_directory("/sys/kernel")) {
    const HostRun root = Run({"access", "/sys/kernel/"});
    EXPECT_EQ(root.status, 1) << root.out << root.err;
    EXPECT_FALSE(KernelLetsCreate({0, 0, {}}, "/sys/kernel", dir_));
  }
}

// Several hundred directories with a random owner, group, mode and, in half of them, a POSIX
// ACL with a mask, each asked about by a random caller: Vortiss answers exactly as the kernel
// lets that caller create a file. Some lie on a read-only mount, some are immutable or
// append-only where the file system allows it.
TEST_F(HostTest, RandomDirectoriesAnswerAsTheKernel) {
  if (const std::string why = WhyNotAsOtherUsers(); !why.empty())
    GTEST_SKIP() << why;
  constexpr int kTrials = 320;
  std::mt19937 random(20241208);
  auto below = [&](unsigned n) {
    return std::uniform_int_distribution<unsigned>(0, n - 1)(random);
  };
  const unsigned users[] = {0, 4301, 4302, 4303, 65534};
  const unsigned groups[] = {0, 4401, 4402, 4403, 65534};

  // A read-only mount, when this machine allows one: its directories are made first.
  const fs::path mount_point = dir_ / "read-only";
  fs::create_directories(mount_point);
  const bool mounted = ::mount("vortiss", mount_point.c_str(), "tmpfs", 0, "mode=0755") == 0;

  struct Trial {
    fs::path path;
    TrialDirectory directory;
    PosixCaller caller;
    bool read_only = false;
    const char* flag = nullptr;  // chattr's +i or +a
  };
  std::vector<Trial> trials;
  for (int i = 0; i < kTrials; ++i) {
    Trial t;
    t.read_only = mounted && below(10) == 0;
    t.path = (t.read_only ? mount_point : dir_) / ("d" + std::to_string(i));
    t.directory = {users[below(4)], groups[below(4)], below(01000)};
    // A third of the callers match both the owning group's entry and the named group's entry.
    const bool two_entries = below(3) == 0;
    if (two_entries || below(2) == 0) {
      t.directory.acl = true;
      t.directory.user = users[1 + below(3)];
      t.directory.user_perms = below(8);
      t.directory.group = groups[1 + below(3)];
      t.directory.group_perms = below(8);
      t.directory.mask = below(8);
    }
    t.caller.uid = below(12) == 0 ? 0 : users[1 + below(4)];
    t.caller.gid = groups[1 + below(4)];
    for (unsigned g : {4401u, 4402u, 4403u}) {
      if (below(3) == 0)
        t.caller.groups.push_back(g);
    }
    if (two_entries) {
      t.directory.gid = groups[1 + below(3)];
      t.caller.uid = 4304;  // no entry names this user
      t.caller.gid = t.directory.gid;
      t.caller.groups.push_back(t.directory.group);
      // Mostly each entry holds part of write and search, neither both, under a full mask.
      if (below(4) != 0) {
        const unsigned search_only[] = {1, 5}, write_only[] = {2, 6};
        unsigned own = search_only[below(2)], named = write_only[below(2)];
        if (below(2))
          std::swap(own, named);
        t.directory.mode = (t.directory.mode & ~070u) | (own << 3);
        t.directory.group_perms = named;
        t.directory.mask = 7;
      }
    }
    if (!t.read_only && below(16) == 0)
      t.flag = below(2) ? "+i" : "+a";
    ASSERT_TRUE(MakeDirectory(t.path, t.directory, dir_)) << t.path;
    trials.push_back(t);
  }
  const bool read_only_mount = mounted && ::mount(nullptr, mount_point.c_str(), nullptr,
                                                  MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  int immutable = 0, append_only = 0;
  for (Trial& t : trials) {
    if (t.flag && RunProcess({"/usr/bin/chattr", t.flag, t.path.string()}, {}, dir_).status == 0)
      ++(t.flag[1] == 'i' ? immutable : append_only);
    else
      t.flag = nullptr;
  }

  int agree = 0, yes = 0, acls = 0, masks = 0, read_only = 0, write_without_search = 0,
      two_entries = 0;
  std::map<std::string, int> classes;
  std::string disagreements;
  for (const Trial& t : trials) {
    const HostRun run = RunWith(AsCaller(t.caller), {"access", t.path.string() + "/"}, {});
    const bool kernel = KernelLetsCreate(t.caller, t.path, dir_);
    if ((run.status == 0 && kernel) || (run.status == 1 && !kernel))
      ++agree;
    else
      disagreements += t.path.filename().string() + " as uid " + std::to_string(t.caller.uid) +
                       ": vortiss " + std::to_string(run.status) + ", kernel " +
                       (kernel ? "yes" : "no") + "\n";
    const auto [name, perms] = t.directory.ClassOf(t.caller);
    ++classes[name];
    yes += kernel;
    acls += t.directory.acl;
    masks += t.directory.acl && t.directory.mask != 7;
    read_only += t.read_only && read_only_mount;
    write_without_search += (perms & 3) == 2;
    two_entries += t.directory.InTwoGroupEntries(t.caller);
  }
  for (const Trial& t : trials) {
    if (t.flag)
      RunProcess({"/usr/bin/chattr", t.flag[1] == 'i' ? "-i" : "-a", t.path.string()}, {}, dir_);
  }
  if (mounted)
    ::umount2(mount_point.c_str(), MNT_DETACH);
  std::cout << "[ trials   ] " << agree << " of " << trials.size() << " agree with the kernel ("
            << yes << " yes); " << acls << " with an ACL, " << masks
            << " of them with a mask below rwx;";
  for (const auto& [name, count] : classes)
    std::cout << " " << count << " " << name << ",";
  std::cout << " " << two_entries << " in two group-class entries, " << write_without_search
            << " with write but no search, " << read_only << " on a read-only mount, " << immutable
            << " immutable, " << append_only << " append-only" << std::endl;
  EXPECT_EQ(agree, static_cast<int>(trials.size())) << disagreements;
}

// A name that is not UTF-8 reaches its own directory, not a sibling whose name would decode
// alike, and the trace prints it as the host holds it.
TEST_F(HostTest, AccessReachesNamesThatAreNotUtf8) {
  const fs::path own = dir_ / "d\xff";
  const fs::path sibling = dir_ / "d\xef\xbf\xbd";
  fs::create_directories(own);
  fs::create_directories(sibling);
  fs::permissions(dir_, fs::perms::all);
  fs::permissions(sibling, fs::perms::all);
  // Only the sibling is writable, for nobody when root runs this, else for the user.
  const bool as_nobody = WhyNotAsOtherUsers().empty() && getpwuid(65534);
  fs::permissions(own, as_nobody ? static_cast<fs::perms>(0755) : static_cast<fs::perms>(0555));
  const std::vector<std::string> prefix =
      as_nobody ? AsCaller({65534, 65534, {}}) : std::vector<std::string>();
  const HostRun run = RunWith(prefix, {"access", own.string() + "/"}, {});
  fs::permissions(own, fs::perms::all);
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_NE(run.out.find("Attempting to create a new file - " + ZForm(own / "test.txt") + "\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(Lines(run.out).back(), "answer: no");
}

TEST_F(HostTest, LibraryExportsOnlyTheTwoChecks) {
  const std::string command = "nm -D --defined-only " + std::string(VORTISS_LIBRARY_FILE) + " > " +
                              (dir_ / "symbols").string();
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::vector<std::string> names;
  for (const auto& line : Lines(ReadFile(dir_ / "symbols"))) {
    const auto space = line.rfind(' ');
    names.push_back(line.substr(space + 1));
  }
  ASSERT_FALSE(names.empty());
  bool has_admin_check = false;
  for (const auto& name : names) {
    EXPECT_TRUE(name == "IsUserAdministrator" || name == "IsUserAllowedAccess") << name;
    has_admin_check = has_admin_check || name == "IsUserAdministrator";
  }
  EXPECT_TRUE(has_admin_check);
}

}  // namespace
