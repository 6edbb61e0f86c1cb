// `vortiss admin`: is the user a member of the local Administrators group? The library's answer,
// after its trace.
#pragma once

#include "cli/command.h"

class AdminCommand : public Command {
 public:
  explicit AdminCommand(CLI::App& app);
  // "answer: yes" or "answer: no" as the last line; the status: 0 yes, 1 no, 3 the library
  // could not be loaded.
  int Run() const override;
};

// The answer's line, and its status: 0 yes, 1 no.
int Answer(bool yes);
