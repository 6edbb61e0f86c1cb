// The access check and the mapping of generic rights.
#include <cstring>

#include "platform/standin/access_check.h"
#include "platform/standin/ace_list.h"
#include "platform/standin/api_support.h"

using namespace standin;

extern "C" {

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
  auto call = EnterCall("AccessCheck");
  if (call.fault)
    return FailWith(*call.fault);
  // The buffers are probed first: a privilege set that cannot be written is a fault.
  if (!privileges_length || (!privileges && *privileges_length != 0) || !granted || !status ||
      !mapping)
    return FailWith(ERROR_NOACCESS);
  auto handle = std::dynamic_pointer_cast<TokenHandle>(call.machine->FindHandle(token));
  if (!handle)
    return FailWith(ERROR_INVALID_HANDLE);
  const TokenData& data = *handle->token;
  if (data.type != TokenImpersonation)
    return FailWith(ERROR_NO_IMPERSONATION_TOKEN);
  if (data.level < SecurityIdentification)
    return FailWith(ERROR_BAD_IMPERSONATION_LEVEL);
  DescriptorParts parts;
  if (ReadDescriptor(descriptor, parts) != ERROR_SUCCESS || !parts.owner || !parts.group)
    return FailWith(ERROR_INVALID_SECURITY_DESCR);
  if (desired & (GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL))
    return FailWith(ERROR_GENERIC_NOT_MAPPED);
  if (*privileges_length < sizeof(PRIVILEGE_SET)) {
    *privileges_length = sizeof(PRIVILEGE_SET);
    return FailWith(ERROR_INSUFFICIENT_BUFFER);
  }

  ACCESS_MASK result = 0;
  const DWORD error = EvaluateAccess(parts, data, desired, *mapping, result);
  // No privilege was used to grant anything.
  privileges->PrivilegeCount = 0;
  privileges->Control = 0;
  *granted = result;
  *status = error == ERROR_SUCCESS;
  if (error != ERROR_SUCCESS)
    SetLastError(error);
  return TRUE;
}

}  // extern "C"
