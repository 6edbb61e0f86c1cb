#include "platform/standin/files/host_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/standin/files/host_errors.h"

namespace standin {

namespace {

constexpr auto kPatience = std::chrono::seconds(60);

}  // namespace

HostLock::~HostLock() {
  Release();
}

HostLock::HostLock(HostLock&& other) noexcept : fd_(other.fd_) {
  other.fd_ = -1;
}

HostLock& HostLock::operator=(HostLock&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void HostLock::Release() {
  if (fd_ >= 0)
    ::close(fd_);  // closing the last descriptor of the open file drops its lock
  fd_ = -1;
}

DWORD HostLock::Take(const std::filesystem::path& path, bool create) {
  Release();
  // Any open will do for the lock: reading first, writing for a file the caller may only write.
  // Neither waits on a FIFO nor makes a terminal the process's own.
  const int flags = O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (create ? O_CREAT : 0);
  int fd = ::open(path.c_str(), O_RDONLY | flags, 0644);
  if (fd < 0 && errno == EACCES)
    fd = ::open(path.c_str(), O_WRONLY | flags, 0644);
  if (fd < 0)
    return HostError(errno);
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  auto pause = std::chrono::milliseconds(1);
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if (error != EWOULDBLOCK && error != EINTR) {
      ::close(fd);
      return HostError(error);
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ::close(fd);
      return ERROR_LOCK_VIOLATION;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(16));
  }
  fd_ = fd;
  return ERROR_SUCCESS;
}

}  // namespace standin
