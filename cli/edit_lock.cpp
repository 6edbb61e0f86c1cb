#include "cli/edit_lock.h"

#ifdef _WIN32

#include <windows.h>

#include <cstdint>
#include <cwctype>
#include <vector>

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

}  // namespace

// On Windows the editors of one object share a named mutex.
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

namespace {

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

#else

#include "platform/standin/machine/machine.h"

// On the stand-in the host's editors share an advisory lock on the object's file, or on the
// registry database's lock file.
struct EditLock::Held {
  standin::HostLock lock;
};

EditLock::EditLock() = default;
EditLock::~EditLock() = default;

DWORD EditLock::LockFile(const std::wstring& path) {
  held_ = std::make_unique<Held>();
  return standin::LockFileForEdit(path, held_->lock);
}

DWORD EditLock::LockRegistry() {
  held_ = std::make_unique<Held>();
  return standin::LockRegistryForEdit(held_->lock);
}

#endif
