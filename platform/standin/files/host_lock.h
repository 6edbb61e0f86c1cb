// An advisory lock on a host file, held until the object goes: how processes on the host take
// turns at one object. The host releases it too when its process ends.
#pragma once

#include <filesystem>

#include "platform/standin/win32api.h"

namespace standin {

class HostLock {
 public:
  HostLock() = default;
  ~HostLock();
  HostLock(HostLock&& other) noexcept;
  HostLock& operator=(HostLock&& other) noexcept;
  HostLock(const HostLock&) = delete;
  HostLock& operator=(const HostLock&) = delete;

  // Takes the exclusive lock of `path`, first creating the file when `create` says so; waits for
  // another holder. Errors: the host's (HostError), ERROR_LOCK_VIOLATION when the holder keeps it
  // longer than a minute.
  DWORD Take(const std::filesystem::path& path, bool create);
  bool held() const { return fd_ >= 0; }

 private:
  void Release();
  int fd_ = -1;
};

}  // namespace standin
