// Who the caller is: the host process's user, read from the thread's token under
// self-impersonation.
#pragma once

#include "platform/win32.h"
#include "security/csid.h"

// An access token of the caller, for an access check. On a handle the thread is still
// impersonating and the caller must call RevertToSelf and CloseHandle; on null there is nothing
// to end or close.
HANDLE GetUserToken();

// Fills `account` with the caller's account and returns true; leaves it unchanged on false.
// Either way the impersonation has ended and the token is closed on return.
bool GetCurrentUserSid(CSid& account);
