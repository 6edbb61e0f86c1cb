// Test support: running a program as a person runs it, with its output captured.
#pragma once

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

std::string ReadFile(const std::filesystem::path& path);
