// The security of files and directories by name: GetFileSecurityW and SetFileSecurityW.
#include "platform/standin/files/file_security.h"
#include "platform/standin/win32/api_support.h"

using namespace standin;

extern "C" {

BOOL WINAPI GetFileSecurityW(LPCWSTR name,
                             SECURITY_INFORMATION requested,
                             PSECURITY_DESCRIPTOR descriptor,
                             DWORD length,
                             LPDWORD needed) {
  return BoolCall("GetFileSecurityW", [&](Machine& machine) -> DWORD {
    if (!name)
      return ERROR_INVALID_PARAMETER;
    if (!needed)
      return ERROR_NOACCESS;
    OwnedDescriptor sd;
    if (const DWORD error =
            ReadFileSecurity(*machine.files(), name, *EffectiveToken(machine), requested, sd))
      return error;
    // Without a buffer, whatever the length, the call is a size query.
    const DWORD error = CopyOut(sd, descriptor, length, *needed);
    return error == ERROR_NOACCESS ? static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER) : error;
  });
}

BOOL WINAPI SetFileSecurityW(LPCWSTR name,
                             SECURITY_INFORMATION information,
                             PSECURITY_DESCRIPTOR descriptor) {
  return BoolCall("SetFileSecurityW", [&](Machine& machine) -> DWORD {
    if (!name)
      return ERROR_INVALID_PARAMETER;
    OwnedDescriptor given;
    if (const DWORD error = ReadCallerDescriptor(descriptor, given))
      return error;
    return WriteFileSecurity(*machine.files(), name, *EffectiveToken(machine), information, given,
                             false);
  });
}

}  // extern "C"
