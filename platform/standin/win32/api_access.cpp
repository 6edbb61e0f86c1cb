// The access check and the mapping of generic rights.
#include <cstring>

#include "platform/standin/core/ace_list.h"
#include "platform/standin/object_security/access_check.h"
#include "platform/standin/win32/api_support.h"
#include "platform/standin/win32/handles.h"

using namespace standin;

extern "C" {

BOOL WINAPI AreAllAccessesGranted(DWORD granted, DWORD desired) {
  return (granted & desired) == desired ? TRUE : FALSE;
}

BOOL WINAPI AreAnyAccessesGranted(DWORD granted, DWORD desired) {
  return (granted & desired) != 0 ? TRUE : FALSE;
}

void WINAPI MapGenericMask(PDWORD mask, PGENERIC_MAPPING mapping) {
  if (!mask || !mapping)
    return;
  *mask = MapGenericRights(*mask, *mapping);
}

BOOL WINAPI AccessCheck(PSECURITY_DESCRIPTOR descriptor,
                        HANDLE token,
                        DWORD desired,
                        PGENERIC_MAPPING mapping,
                        PPRIVILEGE_SET privileges,
                        LPDWORD privileges_length,
                        LPDWORD granted,
                        LPBOOL status) {
  return BoolCall("AccessCheck", [&](Machine& machine) -> DWORD {
    // The buffers are probed first: a privilege set that cannot be written is a fault.
    if (!privileges_length || (!privileges && *privileges_length != 0) || !granted || !status ||
        !mapping)
      return ERROR_NOACCESS;
    auto handle = std::dynamic_pointer_cast<TokenHandle>(machine.FindHandle(token));
    if (!handle)
      return ERROR_INVALID_HANDLE;
    const TokenData& data = *handle->token;
    if (data.type != TokenImpersonation)
      return ERROR_NO_IMPERSONATION_TOKEN;
    if (data.level < SecurityIdentification)
      return ERROR_BAD_IMPERSONATION_LEVEL;
    DescriptorParts parts;
    if (ReadDescriptor(descriptor, parts) != ERROR_SUCCESS || !parts.owner || !parts.group)
      return ERROR_INVALID_SECURITY_DESCR;
    if (desired & (GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL))
      return ERROR_GENERIC_NOT_MAPPED;
    if (*privileges_length < sizeof(PRIVILEGE_SET)) {
      *privileges_length = sizeof(PRIVILEGE_SET);
      return ERROR_INSUFFICIENT_BUFFER;
    }

    ACCESS_MASK result = 0;
    std::vector<DWORD> used;
    const DWORD error = EvaluateAccess(parts, data, desired, *mapping, result, &used);
    // The privileges that granted something, each marked as used for access.
    const DWORD needed = static_cast<DWORD>(offsetof(PRIVILEGE_SET, Privilege) +
                                            used.size() * sizeof(LUID_AND_ATTRIBUTES));
    if (*privileges_length < needed) {
      *privileges_length = needed;
      return ERROR_INSUFFICIENT_BUFFER;
    }
    privileges->PrivilegeCount = static_cast<DWORD>(used.size());
    privileges->Control = 0;
    auto* entries = reinterpret_cast<LUID_AND_ATTRIBUTES*>(reinterpret_cast<BYTE*>(privileges) +
                                                           offsetof(PRIVILEGE_SET, Privilege));
    for (size_t i = 0; i < used.size(); ++i)
      entries[i] = {{used[i], 0}, static_cast<DWORD>(SE_PRIVILEGE_USED_FOR_ACCESS)};
    *granted = result;
    *status = error == ERROR_SUCCESS;
    // The check itself succeeded; a refusal is told by the status and the last error.
    if (error != ERROR_SUCCESS)
      SetLastError(error);
    return ERROR_SUCCESS;
  });
}

}  // extern "C"
