/* The two exports. Each answers 0 or 1 in the whole return register: a caller that reads the
 * low byte sees the one-byte boolean that vortiss.h declares, and a caller that reads EAX or
 * RAX as an integer (NSIS's System plug-in with `i`, a scripting host's BOOL prototype, a C
 * caller that declared int) sees the same 0 or 1. A function returning bool leaves whatever
 * its last call left above the low byte, so the definitions return a pointer-sized integer,
 * which the compiler must set whole. This file is C: the declarations in exports.h and
 * vortiss.h stay bool, and no C++ translation unit sees this other type. The calling convention
 * is the compiler's default, cdecl on 32-bit Windows; the DLL's link refuses any other. */
#include <stdint.h>

#include "checks/checks.h"

intptr_t IsUserAdministrator(void) {
  return CheckIsUserAdministrator() ? 1 : 0;
}

intptr_t IsUserAllowedAccess(const wchar_t* path) {
  return CheckIsUserAllowedAccess(path) ? 1 : 0;
}
