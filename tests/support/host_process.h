// Test support: running a program as a person runs it, with its output captured.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

struct HostRun {
  int status = -1;  // the exit status, or 128 plus the signal that ended it
  std::string out;
  std::string err;
};

// Runs `argv` with this process's environment changed by `environment`: "NAME=value" sets a
// variable, "NAME" alone removes it. Standard input is /dev/null; the output goes through files
// in `scratch`.
HostRun RunProcess(const std::vector<std::string>& argv,
                   const std::vector<std::string>& environment,
                   const std::filesystem::path& scratch);

// As RunProcess, in two steps: the program runs while the test goes on. Each running program
// needs a `scratch` folder of its own; the pid is 0 when it could not be started.
pid_t StartProcess(const std::vector<std::string>& argv,
                   const std::vector<std::string>& environment,
                   const std::filesystem::path& scratch);
HostRun FinishProcess(pid_t pid, const std::filesystem::path& scratch);

std::string ReadFile(const std::filesystem::path& path);

// A POSIX identity that a program runs as, through setpriv.
struct PosixCaller {
  unsigned uid = 0;
  unsigned gid = 0;
  std::vector<unsigned> groups;  // supplementary
};

// The argv prefix that runs a program as `caller`.
std::vector<std::string> AsCaller(const PosixCaller& caller);

// What the kernel answers: may `caller` create a file in `directory`? (touch, run as the caller)
bool KernelLetsCreate(const PosixCaller& caller,
                      const std::filesystem::path& directory,
                      const std::filesystem::path& scratch);

// Why programs cannot be run as other users here (root and setpriv are needed); empty when
// they can.
std::string WhyNotAsOtherUsers();
