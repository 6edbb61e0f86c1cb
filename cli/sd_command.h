// `vortiss sd`: shows and edits the security descriptor of a file or directory, a registry key,
// or a descriptor stored in a registry value, through the class library in this process.
#pragma once

#include <array>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

class SdCommand {
 public:
  // Adds `sd` and its verbs (show, grant, deny, revoke, owner, set) to `app`.
  explicit SdCommand(CLI::App& app);
  SdCommand(const SdCommand&) = delete;
  SdCommand& operator=(const SdCommand&) = delete;

  bool parsed() const;
  // Runs the verb given; the exit status: 0 done, 1 failed, 2 a usage error.
  int Run() const;

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
  CLI::App* sd_ = nullptr;
  // Fixed in place: CLI11 writes into their members.
  std::array<VerbOptions, 6> verbs_;
};
