// Reads sized by a first call: another process may store a larger value between the sizing and
// the read, and the platform then reports the new size, so the read is made again.
#pragma once

#include <vector>

#include "platform/win32.h"

namespace vortiss {

// How many times a read is made while what it reads keeps growing.
inline constexpr int kSizingAttempts = 8;

// Makes `read` (which returns the call's code) again while it answers `grown`, at most
// kSizingAttempts times in all; the last code.
template <typename Read>
DWORD ReadWhileGrowing(DWORD grown, Read read) {
  DWORD status = read();
  for (int attempt = 1; status == grown && attempt < kSizingAttempts; ++attempt)
    status = read();
  return status;
}

// Fills `buffer` through `read(data, size, &needed)`, a call that answers
// ERROR_INSUFFICIENT_BUFFER with the size it needs: sized by a first call with no room, then
// read again while it grows. The call's last code; on failure `buffer` is empty.
template <typename Read>
DWORD ReadSized(std::vector<BYTE>& buffer, Read read) {
  buffer.clear();
  DWORD needed = 0;
  DWORD status = read(nullptr, 0, &needed);
  if (status == ERROR_INSUFFICIENT_BUFFER)
    status = ReadWhileGrowing(ERROR_INSUFFICIENT_BUFFER, [&] {
      buffer.resize(needed);
      return read(buffer.data(), static_cast<DWORD>(buffer.size()), &needed);
    });
  if (status != ERROR_SUCCESS)
    buffer.clear();
  return status;
}

}  // namespace vortiss
