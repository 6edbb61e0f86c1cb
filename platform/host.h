// What the vortiss host needs of its platform beyond the Windows API of platform/win32.h: the
// machine the platform plays, the library it loads, the console, paths as a person types them,
// and the lock by which editors take turns. One implementation plays it on the stand-in
// (platform/standin/host/), one on Windows (platform/windows/).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/win32.h"

namespace host {

// Readies the platform before anything else calls it: `machine` is the machine profile to play
// and `debug_log` the file the library's debugger output is appended to (either may be empty).
// Empty when the platform is ready; otherwise the message that says why not (a profile that is
// refused, a log that cannot be appended to, an option the platform does not have).
std::wstring PreparePlatform(const std::string& machine, const std::string& debug_log);

// Puts the process in a locale that can show any name, so that the wide standard streams write
// every name the platform reports; the stand-in's host names keep their own bytes.
void UseConsoleLocale();
// Command-line text (UTF-8) as the wide text the platform takes.
std::wstring WideFromUtf8(const std::string& text);
bool StandardErrorIsTerminal();

// A path as a person gives it, in the form the platform's Windows names it. On Windows it is
// taken as written. On the stand-in a POSIX path becomes its form on the drive of the host's
// root, its directory part resolved as the kernel resolves it (links before ".."), a trailing
// separator kept, a name Windows would trim (a trailing dot or blank) kept by the "\\?\" form;
// a path that starts with a drive letter or a backslash is a Windows path already. Nothing,
// with `refusal` saying why, for a name Windows cannot spell (one holding a backslash).
std::optional<std::wstring> WindowsPathOf(const std::string& path, std::wstring& refusal);

// The Vortiss library, loaded at run time as a person's program loads it: the one beside this
// program (on the stand-in, the one VORTISS_LIBRARY names, if set).
class Library {
 public:
  Library();
  ~Library();

  bool loaded() const { return loaded_ != nullptr; }
  // Why loading failed.
  const std::wstring& error() const { return error_; }
  // An export by name; null when the library has none of that name.
  void* Export(const char* name) const;

 private:
  struct Loaded;  // the platform's handle of the loaded library
  std::unique_ptr<Loaded> loaded_;
  std::wstring error_;
};

// Editors of one object take turns: the lock is held from the load of a descriptor to its
// store, so that no editor's store undoes what another stored in between.
class EditLock {
 public:
  EditLock();
  ~EditLock();

  // Waits for the other editors of the file or directory at the Windows path `path`, or of the
  // registry, and holds them off until this object goes. Returns a Win32 code.
  DWORD LockFile(const std::wstring& path);
  DWORD LockRegistry();

 private:
  struct Held;
  std::unique_ptr<Held> held_;
};

}  // namespace host
