// Fields of the platform's binary structures read and written in place, at the offsets their
// declarations give: bytes from outside are never assumed aligned.
#pragma once

#include <cstddef>
#include <cstring>

#include "platform/standin/win32api.h"

namespace standin {

template <typename T>
T ReadAt(const void* base, size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const BYTE*>(base) + offset, sizeof(value));
  return value;
}

template <typename T>
void WriteAt(void* base, size_t offset, T value) {
  std::memcpy(static_cast<BYTE*>(base) + offset, &value, sizeof(value));
}

// The control word sits at the same offset in both forms of a descriptor.
inline SECURITY_DESCRIPTOR_CONTROL DescriptorControl(const void* descriptor) {
  return ReadAt<SECURITY_DESCRIPTOR_CONTROL>(descriptor,
                                             offsetof(SECURITY_DESCRIPTOR_RELATIVE, Control));
}

}  // namespace standin
