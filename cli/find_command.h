// `vortiss sd find ROOT --as ACCOUNT --rights RIGHTS [--not]`: every file or directory under ROOT
// (or, with --key ROOT\SUBKEY, every key) where ACCOUNT holds RIGHTS (with --not, lacks them),
// one line each.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

class FindCommand {
 public:
  // Adds `find` to the `sd` command of `app`.
  explicit FindCommand(CLI::App& app);
  FindCommand(const FindCommand&) = delete;
  FindCommand& operator=(const FindCommand&) = delete;

  bool parsed() const;
  // Walks the tree. The status: 0 the walk ended, 1 some objects could not be read, 2 a usage
  // error, 3 the check could not run, 130 interrupted by Ctrl-C.
  int Run() const;

 private:
  CLI::App* find_ = nullptr;
  std::string root_;
  std::string key_;
  std::string as_;
  std::string rights_;
  bool lacking_ = false;
};
