// One command of the host: it adds itself to the command line, says whether the command line
// named it, and runs.
#pragma once

#include <CLI/CLI.hpp>

class Command {
 public:
  virtual ~Command() = default;
  Command(const Command&) = delete;
  Command& operator=(const Command&) = delete;

  // Whether the command line named this command.
  virtual bool parsed() const { return command_->parsed(); }
  // Runs it, after the platform is ready; the exit status.
  virtual int Run() const = 0;

 protected:
  explicit Command(CLI::App* command) : command_(command) {}

  // Options write into members of the derived command, so a command stays where it is made.
  CLI::App* command_;
};
