// `vortiss sd VERB TARGET ...`: shows and edits the security descriptor of a file or directory,
// a registry key, or a descriptor stored in a registry value, through the class library in this
// process.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "cli/command.h"

class SdCommand : public Command {
 public:
  // Adds `sd` and its verbs (show, grant, deny, revoke, owner, set) to `app`.
  explicit SdCommand(CLI::App& app);

  // The `sd` command, for the commands that live under it.
  CLI::App& command() const { return *command_; }
  // Whether one of the verbs above was given.
  bool parsed() const override;
  // Runs the verb given; the exit status: 0 done, 1 failed, 2 a usage error.
  int Run() const override;

  enum class Verb { kShow, kGrant, kDeny, kRevoke, kOwner, kSet };

  struct VerbOptions {
    Verb verb = Verb::kShow;
    CLI::App* command = nullptr;
    std::vector<std::string> arguments;  // TARGET (unless a key or value) and the verb's own
    std::string key;                     // --key ROOT\SUBKEY
    std::vector<std::string> value;      // --value ROOT\SUBKEY NAME
    bool no_inherit = false;             // protect the DACL
    bool inherit = false;                // let it inherit again
    bool sddl = false;                   // show: the SDDL alone
  };

 private:
  // Fixed in place: CLI11 writes into their members.
  std::array<VerbOptions, 6> verbs_;
};
