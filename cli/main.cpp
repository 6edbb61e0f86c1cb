// vortiss: asks the Vortiss library about the user this program runs as, and reports the answer;
// shows and edits security descriptors through the class library.
#include <cstdio>
#include <iostream>
#include <new>
#include <sstream>
#include <string>

#include <CLI/CLI.hpp>

#include "cli/access_command.h"
#include "cli/admin_command.h"
#include "cli/find_command.h"
#include "cli/report.h"
#include "cli/sd_command.h"
#include "platform/host.h"

namespace {

void WriteLines(std::wostream& stream, const std::string& text) {
  if (!text.empty())
    stream << host::WideFromUtf8(text) << std::flush;
}

// CLI11 writes narrow text; the streams here are wide, so its output is routed through them.
int ReportParseResult(const CLI::App& app, const CLI::ParseError& e) {
  std::ostringstream out, err;
  const int code = app.exit(e, out, err);
  WriteLines(std::wcout, out.str());
  WriteLines(std::wcerr, err.str());
  return code == 0 ? 0 : kUsage;
}

// The host's work; main reports what escapes it.
int RunHost(int argc, char** argv) {
  CLI::App app{
      "Asks Windows security about the user this program runs as; shows and edits security "
      "descriptors."};
  app.name("vortiss");
  std::string machine, debug_log;
  app.add_option("--machine", machine, "Machine profile (JSON) for the stand-in platform to play")
      ->option_text("FILE");
  app.add_option("--debug-log", debug_log, "Append the library's debugger output to FILE")
      ->option_text("FILE");
  app.set_version_flag("--version", std::string("vortiss ") + VORTISS_VERSION);
  app.require_subcommand(1, 1);
  const AdminCommand admin(app);
  const AccessCommand access(app);
  const SdCommand sd(app);
  const FindCommand find(sd.command());

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return ReportParseResult(app, e);
  }

  // The platform plays the machine the options name before anything calls it.
  if (const std::wstring refusal = host::PreparePlatform(machine, debug_log); !refusal.empty())
    return Usage(refusal);
  for (const Command* command :
       std::initializer_list<const Command*>{&find, &sd, &access, &admin}) {
    if (command->parsed())
      return command->Run();
  }
  return kUsage;
}

}  // namespace

int main(int argc, char** argv) {
  host::UseConsoleLocale();
  // Nothing leaves the host as an exception: running out of memory is reported, as any refusal.
  try {
    return RunHost(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputws(L"vortiss: out of memory\n", stderr);
  } catch (...) {
    std::fputws(L"vortiss: stopped by an unexpected error\n", stderr);
  }
  return kUsage;
}
