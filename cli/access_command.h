// `vortiss access PATH [--as ACCOUNT [--rights RIGHTS]] [--explain]`: may the user create and
// write files in the directory of PATH (the library's answer), or what may another account do to
// PATH itself (Authz, in this process); with --explain, the entries that decided.
#pragma once

#include <string>

#include "cli/command.h"
#include "cli/target.h"

class AccessCommand : public Command {
 public:
  explicit AccessCommand(CLI::App& app);
  // "answer: yes" or "answer: no", and with --explain why. The status: 0 yes, 1 no, 2 a usage
  // error, 3 the check could not run.
  int Run() const override;

 private:
  // The caller's own answer, from the library.
  int RunOwn(const Target& target) const;
  // Another account's, through Authz.
  int RunAs(const Target& target) const;

  CLI::Option* as_option_ = nullptr;
  std::string path_;
  std::string as_;      // the account to answer for
  std::string rights_;  // RIGHTS for --as; empty: what the write check asks for
  bool explain_ = false;
};
