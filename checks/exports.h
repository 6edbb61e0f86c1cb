// The library's two exported answers, by plain name with C linkage and the C calling convention.
#pragma once

#include "platform/win32.h"

extern "C" {

// True when the host process's user is a member of the local Administrators group.
bool WINAPIV IsUserAdministrator(void);

}  // extern "C"
