// The library's two exported answers, by plain name with C linkage and the C calling convention.
// Their definitions (exports.c) answer 0 or 1 in the whole return register, so that a caller
// reading the one byte declared here and one reading the register as an integer agree.
#pragma once

#include "platform/win32.h"

extern "C" {

// True when the host process's user is a member of the local Administrators group.
bool WINAPIV IsUserAdministrator(void);

// True when the host process's user may create and write files in the directory of `path`.
bool WINAPIV IsUserAllowedAccess(const wchar_t* path);

}  // extern "C"
