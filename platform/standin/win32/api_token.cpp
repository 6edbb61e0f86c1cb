// Tokens and per-thread impersonation.
#include "platform/standin/identity/token_information.h"
#include "platform/standin/win32/api_support.h"
#include "platform/standin/win32/handles.h"

using namespace standin;

namespace {

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(~std::uintptr_t{0});
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(~std::uintptr_t{0} - 1);

// A handle to `token` with `access`.
HANDLE AddTokenHandle(Machine& machine, std::shared_ptr<const TokenData> token, DWORD access) {
  auto object = std::make_shared<TokenHandle>();
  object->token = std::move(token);
  object->access = access;
  return machine.AddHandle(std::move(object));
}

}  // namespace

extern "C" {

HANDLE WINAPI GetCurrentProcess(void) {
  return kCurrentProcess;
}

HANDLE WINAPI GetCurrentThread(void) {
  return kCurrentThread;
}

BOOL WINAPI ImpersonateSelf(SECURITY_IMPERSONATION_LEVEL level) {
  return BoolCall("ImpersonateSelf", [&](Machine& machine) -> DWORD {
    if (level < SecurityAnonymous || level > SecurityDelegation)
      return ERROR_BAD_IMPERSONATION_LEVEL;
    auto token = std::make_shared<TokenData>(*machine.process_token());
    token->type = TokenImpersonation;
    token->level = level;
    SetThreadToken(machine.generation(), std::move(token));
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI RevertToSelf(void) {
  return BoolCall("RevertToSelf", [&](Machine& machine) -> DWORD {
    SetThreadToken(machine.generation(), nullptr);
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI OpenThreadToken(HANDLE thread, DWORD access, BOOL open_as_self, PHANDLE token) {
  (void)open_as_self;
  return BoolCall("OpenThreadToken", [&](Machine& machine) -> DWORD {
    if (!token)
      return ERROR_INVALID_PARAMETER;
    if (thread != kCurrentThread)
      return ERROR_INVALID_HANDLE;
    auto data = ThreadToken(machine.generation());
    if (!data)
      return ERROR_NO_TOKEN;
    if (data->level == SecurityAnonymous)
      return ERROR_CANT_OPEN_ANONYMOUS;
    *token = AddTokenHandle(machine, std::move(data), access);
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  return BoolCall("OpenProcessToken", [&](Machine& machine) -> DWORD {
    if (!token)
      return ERROR_INVALID_PARAMETER;
    if (process != kCurrentProcess)
      return ERROR_INVALID_HANDLE;
    *token = AddTokenHandle(machine, machine.process_token(), access);
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI GetTokenInformation(HANDLE token,
                                TOKEN_INFORMATION_CLASS info_class,
                                LPVOID info,
                                DWORD length,
                                PDWORD return_length) {
  return BoolCall("GetTokenInformation", [&](Machine& machine) -> DWORD {
    if (!return_length)
      return ERROR_INVALID_PARAMETER;
    auto handle = std::dynamic_pointer_cast<TokenHandle>(machine.FindHandle(token));
    if (!handle)
      return ERROR_INVALID_HANDLE;
    if (!(handle->access & TOKEN_QUERY))
      return ERROR_ACCESS_DENIED;
    return WriteTokenInformation(*handle->token, info_class, info, length, *return_length);
  });
}

BOOL WINAPI CloseHandle(HANDLE handle) {
  return BoolCall("CloseHandle", [&](Machine& machine) -> DWORD {
    if (handle == kCurrentProcess || handle == kCurrentThread || machine.RemoveHandle(handle))
      return ERROR_SUCCESS;
    return ERROR_INVALID_HANDLE;
  });
}

}  // extern "C"
