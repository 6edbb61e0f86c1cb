// IsUserAllowedAccess on profile machines: the FAT answer, the access check, the probe, and
// the trace of each.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "checks/exports.h"
#include "platform/standin/machine/machine.h"
#include "platform/win32.h"
#include "tests/support/machine_folder.h"
#include "tests/support/test_machine.h"

namespace {

namespace fs = std::filesystem;

// alice (S-1-5-21-1-2-3-1001) may create files in C:\Data; C:\Locked lets her read only; the
// grant of C:\Inherit is inherit-only, for the entries below it and not for the folder itself.
constexpr char kProfile[] = R"json({
  "computer": "WS01", "machine_sid": "S-1-5-21-1-2-3", "user": "alice",
  "users": [{"name": "alice", "rid": 1001}],
  "volumes": {"C:": {"path": "disk-c", "fs": "NTFS"}, "F:": {"path": "stick", "fs": "FAT32"}},
  "security": {
    "C:\\Data": "O:BAG:SYD:(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;S-1-5-21-1-2-3-1001)",
    "C:\\Data\\denied.txt": "O:BAG:SYD:(D;;0x2;;;S-1-5-21-1-2-3-1001)(A;;FA;;;S-1-5-21-1-2-3-1001)",
    "C:\\Locked": "O:BAG:SYD:P(A;OICI;FR;;;S-1-5-21-1-2-3-1001)",
    "C:\\Inherit": "O:BAG:SYD:P(A;OICIIO;FA;;;S-1-5-21-1-2-3-1001)(A;;FR;;;S-1-5-21-1-2-3-1001)"
  }FAULTS
})json";

class WriteAccessTest : public ::testing::Test {
 protected:
  void Install(const std::string& faults = "") {
    for (const char* folder : {"disk-c/Data", "disk-c/Locked", "disk-c/Inherit", "stick"})
      machine_.Folder(folder);
    machine_.File("disk-c/Data/denied.txt", "x");
    std::string profile = kProfile;
    profile.replace(profile.find("FAULTS"), 6, faults);
    machine_.Install(profile);
  }
  void TearDown() override {
    EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
    // No impersonation outlives a call.
    HANDLE token = nullptr;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
  }
  std::vector<std::string> Entries(const std::string& folder) const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(machine_.root() / folder))
      names.push_back(e.path().filename().string());
    return names;
  }

  MachineFolder machine_;
};

using Lines = std::vector<std::wstring>;

TEST_F(WriteAccessTest, FatVolumeAnswersYesWithOneLineAndNoCheck) {
  Install();
  TraceCapture trace;
  EXPECT_TRUE(IsUserAllowedAccess(L"F:\\photos\\x.jpg"));
  EXPECT_EQ(trace.out_lines(),
            Lines{L"Found FAT32 file system, security checks not implemented in FAT file systems"});
  EXPECT_EQ(trace.err(), L"");
  EXPECT_EQ(standin::CallCount("GetFileSecurityW"), 0u);
  EXPECT_EQ(standin::CallCount("AccessCheck"), 0u);
  EXPECT_EQ(standin::CallCount("CreateFileW"), 0u);
}

TEST_F(WriteAccessTest, GrantedDirectoryAnswersYesWithoutProbe) {
  Install();
  TraceCapture trace;
  EXPECT_TRUE(IsUserAllowedAccess(L"C:\\Data\\"));
  EXPECT_EQ(trace.out(), L"");
  EXPECT_EQ(trace.err(), L"");
  EXPECT_EQ(standin::CallCount("CreateFileW"), 0u);
}

TEST_F(WriteAccessTest, DeniedFileInAWritableDirectoryIsDecidedByTheProbe) {
  Install();
  TraceCapture trace;
  EXPECT_TRUE(IsUserAllowedAccess(L"C:\\Data\\denied.txt"));
  EXPECT_EQ(trace.err_lines(),
            (Lines{L"Error in AccessCheck API, error 5", L"Access is denied.\r", L""}));
  EXPECT_EQ(trace.out_lines(), (Lines{L"Attempting to create a new file - C:\\Data\\test.txt",
                                      L"File created, access allowed"}));
  // The probe is gone again.
  EXPECT_EQ(Entries("disk-c/Data"), std::vector<std::string>{"denied.txt"});
}

TEST_F(WriteAccessTest, DirectoryThatRefusesBothAnswersNo) {
  Install();
  TraceCapture trace;
  EXPECT_FALSE(IsUserAllowedAccess(L"C:\\Locked\\"));
  EXPECT_EQ(trace.out_lines(), Lines{L"Attempting to create a new file - C:\\Locked\\test.txt"});
  EXPECT_EQ(trace.err_lines(),
            (Lines{L"Error in AccessCheck API, error 5", L"Access is denied.\r", L"",
                   L"Could not create file, error 5", L"Access is denied.\r", L""}));
  EXPECT_TRUE(Entries("disk-c/Locked").empty());
}

TEST_F(WriteAccessTest, MissingFileIsReportedAndTheProbeDecides) {
  Install();
  TraceCapture trace;
  EXPECT_TRUE(IsUserAllowedAccess(L"C:\\Data\\new.txt"));
  const Lines err = trace.err_lines();
  ASSERT_GE(err.size(), 2u);
  EXPECT_EQ(err[0],
            L"Invalid Security Descriptor object created for file C:\\Data\\new.txt, "
            L"error 2");
  EXPECT_EQ(err[1], L"The system cannot find the file specified.\r");
  EXPECT_EQ(trace.out_lines().back(), L"File created, access allowed");

  // In a folder that does not exist, nothing can be created either.
  TraceCapture second;
  EXPECT_FALSE(IsUserAllowedAccess(L"C:\\Nowhere\\new.txt"));
  EXPECT_NE(second.err().find(L"error 3\n"), std::wstring::npos) << second.err();
}

TEST_F(WriteAccessTest, TrailingBackslashChoosesTheDirectoryProbed) {
  Install();
  {
    // Without it, the descriptor is the folder's and the probe goes to its parent.
    TraceCapture trace;
    EXPECT_TRUE(IsUserAllowedAccess(L"C:\\Locked"));
    EXPECT_EQ(trace.out_lines().front(), L"Attempting to create a new file - C:\\test.txt");
  }
  {
    TraceCapture trace;
    EXPECT_FALSE(IsUserAllowedAccess(L"C:\\Locked\\"));
    EXPECT_EQ(trace.out_lines().front(), L"Attempting to create a new file - C:\\Locked\\test.txt");
  }
}

TEST_F(WriteAccessTest, PathWithoutBackslashProbesTheCurrentDirectory) {
  Install();
  const fs::path previous = fs::current_path();
  fs::current_path(machine_.Folder("cwd"));
  TraceCapture trace;
  const bool answer = IsUserAllowedAccess(L"file.txt");
  fs::current_path(previous);
  EXPECT_TRUE(answer);
  const Lines out = trace.out_lines();
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.front(), L"Attempting to create a new file - test.txt");
  EXPECT_TRUE(Entries("cwd").empty());
}

// The grant of C:\Inherit is for what lies below it; the folder itself only lets alice read.
TEST_F(WriteAccessTest, InheritOnlyGrantDoesNotOpenTheDirectoryItself) {
  Install();
  TraceCapture trace;
  EXPECT_FALSE(IsUserAllowedAccess(L"C:\\Inherit\\"));
  EXPECT_NE(trace.err().find(L"Error in AccessCheck API, error 5\n"), std::wstring::npos);
  EXPECT_NE(trace.err().find(L"Could not create file, error 5\n"), std::wstring::npos);
}

TEST_F(WriteAccessTest, FailedSelfImpersonationLeavesThePrimaryTokenAndTheProbeDecides) {
  Install(R"(, "faults": [{"call": "ImpersonateSelf", "error": 1346}])");
  TraceCapture trace;
  EXPECT_TRUE(IsUserAllowedAccess(L"C:\\Data\\"));
  const Lines err = trace.err_lines();
  ASSERT_GE(err.size(), 1u);
  EXPECT_EQ(err[0], L"Error in AccessCheck API, error 1309");
  EXPECT_EQ(trace.out_lines().back(), L"File created, access allowed");
}

// Names that are taken are passed over, however many: test.txt, then test-1.txt to test-9.txt.
TEST_F(WriteAccessTest, ExistingProbeFileIsKeptByteForByte) {
  Install();
  machine_.File("disk-c/Locked/test.txt", "keep me");
  machine_.File("disk-c/Data/test.txt", "mine\n");
  for (int i = 1; i <= 9; ++i)
    machine_.File("disk-c/Data/test-" + std::to_string(i) + ".txt", "mine too");
  {
    TraceCapture trace;
    EXPECT_TRUE(IsUserAllowedAccess(L"C:\\Data\\denied.txt"));
    const Lines out = trace.out_lines();
    ASSERT_EQ(out.size(), 12u);
    EXPECT_EQ(out.front(), L"Attempting to create a new file - C:\\Data\\test.txt");
    EXPECT_EQ(out[10], L"Attempting to create a new file - C:\\Data\\test-10.txt");
    EXPECT_EQ(out.back(), L"File created, access allowed");
  }
  EXPECT_EQ(machine_.Read("disk-c/Data/test.txt"), "mine\n");
  EXPECT_EQ(Entries("disk-c/Data").size(), 11u);  // denied.txt and the user's own ten
  {
    TraceCapture trace;
    EXPECT_FALSE(IsUserAllowedAccess(L"C:\\Locked\\"));
  }
  EXPECT_EQ(machine_.Read("disk-c/Locked/test.txt"), "keep me");
}

// Makes and removes files named `name` until `stop` has something to read; each file is checked
// to be still its own before it goes. Writes how many it made and lost to `result`.
[[noreturn]] void Compete(const fs::path& name, int stop, int result) {
  int counts[2] = {0, 0};  // made, lost
  pollfd stopped{stop, POLLIN, 0};
  while (poll(&stopped, 1, 0) == 0) {
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
      continue;  // a probe holds the name
    ++counts[0];
    struct stat made, named;
    fstat(fd, &made);
    sched_yield();  // a moment in which a probe could reach for the name
    if (lstat(name.c_str(), &named) != 0 || named.st_ino != made.st_ino)
      ++counts[1];
    else
      unlink(name.c_str());
    close(fd);
  }
  _exit(write(result, counts, sizeof counts) == sizeof counts ? 0 : 1);
}

// Another process makes and removes files of the probe's name beside thousands of probes, and
// loses none of them: a probe removes only the file it made, and only while it holds it.
TEST_F(WriteAccessTest, CompetingProcessLosesNoFileToTheProbe) {
  Install();
  int stop[2], result[2];
  ASSERT_EQ(pipe(stop), 0);
  ASSERT_EQ(pipe(result), 0);
  const pid_t competitor = fork();
  ASSERT_GE(competitor, 0);
  if (competitor == 0)
    Compete(machine_.root() / "disk-c/Data/test.txt", stop[0], result[1]);
  int answered = 0;
  {
    TraceCapture trace;
    for (int probe = 0; probe < 6000; ++probe)
      answered += IsUserAllowedAccess(L"C:\\Data\\denied.txt");
  }
  EXPECT_EQ(write(stop[1], "x", 1), 1);
  int counts[2] = {0, 0};
  EXPECT_EQ(read(result[0], counts, sizeof counts), static_cast<ssize_t>(sizeof counts));
  int status = 0;
  waitpid(competitor, &status, 0);
  for (int fd : {stop[0], stop[1], result[0], result[1]})
    close(fd);
  RecordProperty("competitor_files", counts[0]);
  EXPECT_EQ(answered, 6000);
  EXPECT_GT(counts[0], 0) << "the competitor made no file";
  EXPECT_EQ(counts[1], 0) << "of " << counts[0] << " files";
  EXPECT_EQ(Entries("disk-c/Data"), std::vector<std::string>{"denied.txt"});
}

TEST_F(WriteAccessTest, NullPathAnswersNoWithAnErrorLine) {
  Install();
  TraceCapture trace;
  EXPECT_FALSE(IsUserAllowedAccess(nullptr));
  EXPECT_EQ(trace.err_lines(), Lines{L"Error - no path given, returning false"});
  EXPECT_EQ(trace.out(), L"");
}

// Every failure of a platform call on the way ends in an answer, never an exception, and with
// nothing left open.
TEST_F(WriteAccessTest, InjectedFaultsStillAnswer) {
  struct Case {
    const char* call;
    DWORD error;
    const wchar_t* path;
    bool answer;
  };
  for (const Case& c : {Case{"GetVolumeInformationW", 5, L"C:\\Data\\", true},
                        Case{"GetFileSecurityW", 5, L"C:\\Data\\", true},
                        Case{"AccessCheck", 5, L"C:\\Data\\", true},
                        Case{"OpenThreadToken", 6, L"C:\\Data\\", true},
                        Case{"CreateFileW", 5, L"C:\\Data\\denied.txt", false},
                        Case{"FormatMessageW", 317, L"C:\\Locked\\", false}}) {
    SCOPED_TRACE(c.call);
    Install(std::string(R"(, "faults": [{"call": ")") + c.call + R"(", "error": )" +
            std::to_string(c.error) + "}]");
    TraceCapture trace;
    EXPECT_EQ(IsUserAllowedAccess(c.path), c.answer);
    EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
    if (std::string(c.call) == "FormatMessageW") {
      EXPECT_NE(trace.err().find(L"No message text for error 5\n"), std::wstring::npos)
          << trace.err();
    }
  }
}

}  // namespace
