// Owners for what the platform allocates: each releases its value with the platform's own call,
// once, on every path.
#pragma once

#include <utility>

#include "platform/win32.h"

namespace vortiss {

template <typename T, auto Release, T Empty = T{}>
class ScopedPlatform {
 public:
  ScopedPlatform() = default;
  explicit ScopedPlatform(T value) : value_(value) {}
  ~ScopedPlatform() { reset(); }
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;
  ScopedPlatform(ScopedPlatform&& other) noexcept : value_(std::exchange(other.value_, Empty)) {}
  ScopedPlatform& operator=(ScopedPlatform&& other) noexcept {
    if (this != &other) {
      reset();
      value_ = std::exchange(other.value_, Empty);
    }
    return *this;
  }

  T get() const { return value_; }
  // Hands the value to the caller, who releases it from now on.
  T release() { return std::exchange(value_, Empty); }
  explicit operator bool() const { return value_ != Empty; }
  // The address a platform call writes a new value into; releases the current one first.
  T* receive() {
    reset();
    return &value_;
  }
  void reset() {
    if (value_ != Empty)
      Release(std::exchange(value_, Empty));
  }

 private:
  T value_ = Empty;
};

inline void ReleaseNetApiBuffer(LPBYTE buffer) {
  NetApiBufferFree(buffer);
}
template <typename Record>
void ReleaseNetApiRecords(Record* records) {
  NetApiBufferFree(records);
}
inline void ReleaseLocal(void* memory) {
  LocalFree(static_cast<HLOCAL>(memory));
}
inline void ReleaseSid(PSID sid) {
  FreeSid(sid);
}
inline void ReleaseHandle(HANDLE handle) {
  CloseHandle(handle);
}
inline void ReleaseKey(HKEY key) {
  RegCloseKey(key);
}
inline void ReleaseFind(HANDLE find) {
  FindClose(find);
}

using ScopedSid = ScopedPlatform<PSID, ReleaseSid>;
using ScopedNetApiBuffer = ScopedPlatform<LPBYTE, ReleaseNetApiBuffer>;
// An array of records that a network-management call returned.
template <typename Record>
using ScopedNetApiRecords = ScopedPlatform<Record*, ReleaseNetApiRecords<Record>>;
using ScopedHandle = ScopedPlatform<HANDLE, ReleaseHandle>;
using ScopedKey = ScopedPlatform<HKEY, ReleaseKey>;
// A directory listing that FindFirstFileW opened (a handle other than INVALID_HANDLE_VALUE).
using ScopedFind = ScopedPlatform<HANDLE, ReleaseFind>;
template <typename T>
using ScopedLocal = ScopedPlatform<T*, ReleaseLocal>;

}  // namespace vortiss
