#include "tests/support/host_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

extern char** environ;

namespace fs = std::filesystem;

pid_t StartProcess(const std::vector<std::string>& argv,
                   const std::vector<std::string>& environment,
                   const fs::path& scratch) {
  auto name_of = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> entries;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    bool changed = false;
    for (const auto& change : environment)
      changed = changed || name_of(change) == name_of(entry);
    if (!changed)
      entries.push_back(entry);
  }
  for (const auto& change : environment) {
    if (change.find('=') != std::string::npos)
      entries.push_back(change);
  }
  std::vector<char*> args;
  for (const auto& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : entries)
    envp.push_back(e.data());
  envp.push_back(nullptr);

  const fs::path out = scratch / "stdout", err = scratch / "stderr";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(spawned, 0) << "cannot start " << argv[0];
  return spawned == 0 ? pid : 0;
}

HostRun FinishProcess(pid_t pid, const fs::path& scratch) {
  HostRun run;
  if (pid == 0)
    return run;
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  run.out = ReadFile(scratch / "stdout");
  run.err = ReadFile(scratch / "stderr");
  return run;
}

HostRun RunProcess(const std::vector<std::string>& argv,
                   const std::vector<std::string>& environment,
                   const fs::path& scratch) {
  return FinishProcess(StartProcess(argv, environment, scratch), scratch);
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> AsCaller(const PosixCaller& caller) {
  std::vector<std::string> argv = {"/usr/bin/setpriv", "--reuid=" + std::to_string(caller.uid),
                                   "--regid=" + std::to_string(caller.gid)};
  if (caller.groups.empty()) {
    argv.push_back("--clear-groups");
  } else {
    std::string list;
    for (const unsigned g : caller.groups)
      list += (list.empty() ? "" : ",") + std::to_string(g);
    argv.push_back("--groups=" + list);
  }
  return argv;
}

bool KernelLetsCreate(const PosixCaller& caller,
                      const fs::path& directory,
                      const fs::path& scratch) {
  std::vector<std::string> argv = AsCaller(caller);
  const fs::path made = directory / "made-by-touch";
  argv.insert(argv.end(), {"/usr/bin/touch", made.string()});
  const HostRun run = RunProcess(argv, {}, scratch);
  std::error_code ec;
  fs::remove(made, ec);
  return run.status == 0;
}

std::string WhyNotAsOtherUsers() {
  if (::geteuid() != 0)
    return "needs root to run programs as other users";
  if (!fs::exists("/usr/bin/setpriv"))
    return "needs setpriv (util-linux) to run programs as other users";
  return "";
}
