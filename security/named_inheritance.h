// What the file and registry descriptors share: the platform's major version, and re-applying
// an object's DACL by name with its inheritance mode.
#pragma once

#include <string>

#include "platform/win32.h"
#include "security/sized_read.h"

namespace vortiss {

DWORD PlatformMajorVersion();

// Reads the DACL of the named object and writes it back, unprotected when `inherit` (it takes
// its parent's inheritable entries) or protected, so that the platform recomputes inheritance
// below it. Returns the platform's code; 0 without writing when the object has no DACL.
DWORD ReapplyDacl(const std::wstring& name, SE_OBJECT_TYPE type, bool inherit);

}  // namespace vortiss
