// What the file and registry descriptors share: the platform's major version, re-applying an
// object's DACL by name with its inheritance mode, and how often a read is sized again.
#pragma once

#include <string>

#include "platform/win32.h"

namespace vortiss {

DWORD PlatformMajorVersion();

// How many times a descriptor is read when it keeps growing between the sizing call and the
// read: another process's store may come in between.
inline constexpr int kSizingAttempts = 8;

// Reads the DACL of the named object and writes it back, unprotected when `inherit` (it takes
// its parent's inheritable entries) or protected, so that the platform recomputes inheritance
// below it. Returns the platform's code; 0 without writing when the object has no DACL.
DWORD ReapplyDacl(const std::wstring& name, SE_OBJECT_TYPE type, bool inherit);

}  // namespace vortiss
