#include "cli/admin_command.h"

#include <iostream>

#include "cli/report.h"
#include "platform/host.h"

AdminCommand::AdminCommand(CLI::App& app)
    : Command(
          app.add_subcommand("admin", "Is the user a member of the local Administrators group?")) {}

int AdminCommand::Run() const {
  const host::Library library;
  if (!library.loaded()) {
    Say(library.error());
    return kCannotRun;
  }
  using AdministratorCheck = bool (*)();
  auto check = reinterpret_cast<AdministratorCheck>(library.Export("IsUserAdministrator"));
  if (!check) {
    Say(L"the library has no IsUserAdministrator");
    return kCannotRun;
  }
  return Answer(check());
}

int Answer(bool yes) {
  std::wcout << (yes ? L"answer: yes" : L"answer: no") << std::endl;
  return yes ? kYes : kNo;
}
