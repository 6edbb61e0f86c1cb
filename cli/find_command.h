// `vortiss sd find ROOT --as ACCOUNT --rights RIGHTS [--not]`: every file or directory under ROOT
// (or, with --key ROOT\SUBKEY, every key) where ACCOUNT holds RIGHTS (with --not, lacks them),
// one line each.
#pragma once

#include <string>

#include "cli/command.h"

class FindCommand : public Command {
 public:
  // Adds `find` to the `sd` command.
  explicit FindCommand(CLI::App& sd);
  // Walks the tree. The status: 0 the walk ended, 1 some objects could not be read, 2 a usage
  // error, 3 the check could not run, 130 interrupted by Ctrl-C.
  int Run() const override;

 private:
  std::string root_;
  std::string key_;
  std::string as_;
  std::string rights_;
  bool lacking_ = false;
};
