// The host boundary on Windows: the system is the machine, paths are taken as written, the
// console is written in UTF-16 and elsewhere UTF-8, the library is Vortiss.dll beside the
// program, and editors of one object share a named mutex.
#include "platform/host.h"

#include <fcntl.h>
#include <io.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cwctype>
#include <vector>

namespace host {

namespace {

constexpr DWORD kPatienceMs = 60000;

// A mutex name for `object`: one per object, whatever case or form of path names it.
std::wstring MutexName(const std::wstring& object) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const wchar_t c : object) {
    hash ^= static_cast<std::uint64_t>(std::towupper(static_cast<wint_t>(c)));
    hash *= 1099511628211ull;
  }
  wchar_t digits[17] = {};
  for (int i = 15; i >= 0; --i, hash >>= 4)
    digits[i] = L"0123456789abcdef"[hash & 0xF];
  return L"Local\\Vortiss.sd." + std::wstring(digits);
}

DWORD TakeMutex(const std::wstring& object, HANDLE& taken) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, MutexName(object).c_str());
  if (!mutex)
    return GetLastError();
  switch (WaitForSingleObject(mutex, kPatienceMs)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // an editor that ended without releasing it
      taken = mutex;
      return ERROR_SUCCESS;
    case WAIT_TIMEOUT:
      CloseHandle(mutex);
      return ERROR_LOCK_VIOLATION;
    default: {
      const DWORD error = GetLastError();
      CloseHandle(mutex);
      return error;
    }
  }
}

}  // namespace

std::wstring PreparePlatform(const std::string& machine, const std::string& debug_log) {
  if (!machine.empty() || !debug_log.empty())
    return L"--machine and --debug-log belong to the stand-in platform; on Windows the library "
           L"asks the system itself";
  return {};
}

void UseConsoleLocale() {
  // The wide streams write UTF-16 text to the console and UTF-8 elsewhere.
  std::setlocale(LC_ALL, ".UTF-8");
}

std::wstring WideFromUtf8(const std::string& text) {
  if (text.empty())
    return {};
  const int chars =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(chars), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), chars);
  return wide;
}

bool StandardErrorIsTerminal() {
  return _isatty(_fileno(stderr)) != 0;
}

std::optional<std::wstring> WindowsPathOf(const std::string& path, std::wstring&) {
  return WideFromUtf8(path);
}

struct Library::Loaded {
  HMODULE module;
  ~Loaded() { FreeLibrary(module); }
};

Library::Library() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring file = L"Vortiss.dll";
  if (length > 0 && length < MAX_PATH) {
    std::wstring self(path, length);
    file = self.substr(0, self.find_last_of(L"\\/") + 1) + file;
  }
  if (HMODULE module = LoadLibraryW(file.c_str()))
    loaded_ = std::make_unique<Loaded>(module);
  else
    error_ = L"cannot load " + file + L", error " + std::to_wstring(GetLastError());
}

Library::~Library() = default;

void* Library::Export(const char* name) const {
  return loaded_ ? reinterpret_cast<void*>(GetProcAddress(loaded_->module, name)) : nullptr;
}

struct EditLock::Held {
  HANDLE mutex = nullptr;
  ~Held() {
    if (mutex) {
      ReleaseMutex(mutex);
      CloseHandle(mutex);
    }
  }
};

EditLock::EditLock() = default;
EditLock::~EditLock() = default;

DWORD EditLock::LockFile(const std::wstring& path) {
  std::vector<wchar_t> full(MAX_PATH);
  DWORD length =
      GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length >= full.size()) {
    full.resize(length);
    length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  }
  if (length == 0 || length >= full.size()) {
    const DWORD error = GetLastError();
    return error ? error : static_cast<DWORD>(ERROR_INVALID_NAME);
  }
  held_ = std::make_unique<Held>();
  return TakeMutex(L"file:" + std::wstring(full.data(), length), held_->mutex);
}

DWORD EditLock::LockRegistry() {
  held_ = std::make_unique<Held>();
  return TakeMutex(L"registry", held_->mutex);
}

}  // namespace host
