// vortiss: asks the Vortiss library about the user this program runs as, and reports the answer;
// shows and edits security descriptors through the class library.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <new>
#include <sstream>
#include <string>

#include <CLI/CLI.hpp>

#include "cli/access_command.h"
#include "cli/console.h"
#include "cli/find_command.h"
#include "cli/library.h"
#include "cli/sd_command.h"
#include "cli/windows_path.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/standin/machine/machine.h"
#endif

namespace {

constexpr int kYes = 0;
constexpr int kNo = 1;
constexpr int kUsage = 2;
constexpr int kCannotRun = 3;

struct HostOptions {
  std::string machine;
  std::string debug_log;
};

void WriteLines(std::wostream& stream, const std::string& text) {
  if (!text.empty())
    stream << WideFromUtf8(text) << std::flush;
}

// CLI11 writes narrow text; the streams here are wide, so its output is routed through them.
int ReportParseResult(const CLI::App& app, const CLI::ParseError& e) {
  std::ostringstream out, err;
  const int code = app.exit(e, out, err);
  WriteLines(std::wcout, out.str());
  WriteLines(std::wcerr, err.str());
  return code == 0 ? 0 : kUsage;
}

int Answer(bool yes) {
  std::wcout << (yes ? L"answer: yes" : L"answer: no") << std::endl;
  return yes ? kYes : kNo;
}

// Hands the machine profile and the debugger log to the library through its environment,
// refusing a bad profile before anything runs.
bool PrepareEnvironment(const HostOptions& options) {
#ifdef _WIN32
  if (!options.machine.empty() || !options.debug_log.empty()) {
    std::wcerr << L"vortiss: --machine and --debug-log belong to the stand-in platform; on "
                  L"Windows the library asks the system itself"
               << std::endl;
    return false;
  }
  return true;
#else
  namespace fs = std::filesystem;
  std::string profile = options.machine;
  if (profile.empty()) {
    if (const char* inherited = std::getenv("VORTISS_MACHINE"))
      profile = inherited;
  }
  if (!profile.empty()) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(profile, ec);
    try {
      standin::CheckProfile(absolute);
    } catch (const standin::ProfileError& e) {
      std::wcerr << L"vortiss: machine profile " << WideFromUtf8(profile) << L" refused: "
                 << WideFromUtf8(e.what()) << std::endl;
      return false;
    } catch (const std::bad_alloc&) {
      std::wcerr << L"vortiss: machine profile " << WideFromUtf8(profile)
                 << L" refused: out of memory while reading it" << std::endl;
      return false;
    }
    setenv("VORTISS_MACHINE", absolute.c_str(), 1);
  }
  if (!options.debug_log.empty()) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(options.debug_log, ec);
    // The log is opened as the library will open it, without waiting on a FIFO that nobody
    // reads; a path it cannot append to is refused now rather than ignored later.
    const int log =
        ::open(absolute.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (ec || log < 0) {
      const int error = ec ? ec.value() : errno;
      std::wcerr << L"vortiss: cannot append the debugger output to "
                 << WideFromUtf8(options.debug_log) << L": " << WideFromUtf8(std::strerror(error))
                 << std::endl;
      return false;
    }
    ::close(log);
    setenv("VORTISS_DEBUG_LOG", absolute.c_str(), 1);
  }
  return true;
#endif
}

int RunAccess(const VortissLibrary& library,
              const std::string& path,
              const AccessOptions& access_options) {
  auto check = reinterpret_cast<VortissLibrary::AccessCheck>(library.Export("IsUserAllowedAccess"));
  if (!check) {
    std::wcerr << L"vortiss: the library has no IsUserAllowedAccess" << std::endl;
    return kCannotRun;
  }
  std::wstring refusal;
  const auto windows_path = ToWindowsPath(path, refusal);
  if (!windows_path) {
    std::wcerr << L"vortiss: " << refusal << std::endl;
    return kUsage;
  }
  const int answer = Answer(check(windows_path->c_str()));
  if (access_options.explain)
    ExplainOwnAccess(*windows_path);
  return answer;
}

// --as answers through Authz in this process, without the library.
int RunAccessFor(const std::string& path, const AccessOptions& access_options) {
  std::wstring refusal;
  const auto windows_path = ToWindowsPath(path, refusal);
  if (!windows_path) {
    std::wcerr << L"vortiss: " << refusal << std::endl;
    return kUsage;
  }
  try {
    return RunAccessAs(*windows_path, access_options);
  } catch (const std::exception& e) {
    std::wcerr << L"vortiss: " << WideFromUtf8(e.what()) << std::endl;
    return kCannotRun;
  }
}

int RunAdmin(const VortissLibrary& library) {
  auto check =
      reinterpret_cast<VortissLibrary::AdministratorCheck>(library.Export("IsUserAdministrator"));
  if (!check) {
    std::wcerr << L"vortiss: the library has no IsUserAdministrator" << std::endl;
    return kCannotRun;
  }
  return Answer(check());
}

// The host's work; main reports what escapes it.
int RunHost(int argc, char** argv) {
  CLI::App app{
      "Asks Windows security about the user this program runs as; shows and edits security "
      "descriptors."};
  app.name("vortiss");
  HostOptions options;
  app.add_option("--machine", options.machine,
                 "Machine profile (JSON) for the stand-in platform to play")
      ->option_text("FILE");
  app.add_option("--debug-log", options.debug_log, "Append the library's debugger output to FILE")
      ->option_text("FILE");
  app.set_version_flag("--version", std::string("vortiss ") + VORTISS_VERSION);
  app.require_subcommand(1, 1);
  CLI::App* admin =
      app.add_subcommand("admin", "Is the user a member of the local Administrators group?");
  std::string access_path;
  CLI::App* access =
      app.add_subcommand("access", "May the user create and write files in the directory of PATH?");
  access->add_option("PATH", access_path, "A file or directory; a POSIX path becomes Z:\\...")
      ->required();
  AccessOptions access_options;
  AddAccessOptions(*access, access_options);
  SdCommand sd(app);
  FindCommand find(app);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return ReportParseResult(app, e);
  }

  if (!PrepareEnvironment(options))
    return kUsage;
  // The class library runs in this process, on the machine the environment now names.
  if (find.parsed())
    return find.Run();
  if (sd.parsed())
    return sd.Run();
  if (access->parsed() && access->count("--as") > 0)
    return RunAccessFor(access_path, access_options);

  VortissLibrary library;
  if (!library.loaded()) {
    std::wcerr << L"vortiss: " << library.error() << std::endl;
    return kCannotRun;
  }
  if (admin->parsed())
    return RunAdmin(library);
  if (access->parsed())
    return RunAccess(library, access_path, access_options);
  return kUsage;
}

}  // namespace

int main(int argc, char** argv) {
  UseConsoleLocale();
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
