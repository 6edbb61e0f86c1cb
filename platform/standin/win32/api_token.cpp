// Tokens, their privileges and per-thread impersonation.
#include <cstring>
#include <cwchar>

#include "platform/standin/core/ace_list.h"
#include "platform/standin/core/acl_walk.h"
#include "platform/standin/identity/token_information.h"
#include "platform/standin/win32/api_support.h"
#include "platform/standin/win32/handles.h"

using namespace standin;

namespace {

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(~std::uintptr_t{0});
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(~std::uintptr_t{0} - 1);

// The rights a token handle opened with `desired` holds: generic rights mapped as tokens map
// them, and MAXIMUM_ALLOWED every right, since the caller's own token grants it all.
DWORD TokenAccess(DWORD desired) {
  static const GENERIC_MAPPING kTokenMapping = {TOKEN_READ, TOKEN_WRITE, TOKEN_EXECUTE,
                                                TOKEN_ALL_ACCESS};
  if (desired & MAXIMUM_ALLOWED)
    desired = (desired & ~MAXIMUM_ALLOWED) | TOKEN_ALL_ACCESS;
  return MapGenericRights(desired, kTokenMapping);
}

// A handle to `token` with `access`.
HANDLE AddTokenHandle(Machine& machine, std::shared_ptr<const TokenData> token, DWORD access) {
  auto object = std::make_shared<TokenHandle>();
  object->token = std::move(token);
  object->access = TokenAccess(access);
  return machine.AddHandle(std::move(object));
}

// The token behind `handle`, when the handle holds `needed`. Errors: ERROR_INVALID_HANDLE,
// ERROR_ACCESS_DENIED.
DWORD FindToken(Machine& machine, HANDLE handle, DWORD needed, std::shared_ptr<TokenHandle>& out) {
  out = std::dynamic_pointer_cast<TokenHandle>(machine.FindHandle(handle));
  if (!out)
    return ERROR_INVALID_HANDLE;
  return (out->access & needed) == needed ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// Privileges are looked up on the local computer, or on a controller the machine knows.
DWORD CheckSystem(const Machine& machine, LPCWSTR system) {
  return machine.accounts().SiteFor(system) ? ERROR_SUCCESS
                                            : static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE);
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
    SetThreadToken(machine.generation(),
                   CopyToken(*machine.process_token(), TokenImpersonation, level));
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
    std::shared_ptr<TokenHandle> handle;
    // Where the token came from is a right of its own.
    const DWORD needed = info_class == TokenSource ? TOKEN_QUERY_SOURCE : TOKEN_QUERY;
    if (const DWORD error = FindToken(machine, token, needed, handle))
      return error;
    if (info_class != TokenLinkedToken) {
      const DWORD status =
          WriteTokenInformation(*handle->token, info_class, info, length, *return_length);
      if (status == ERROR_SUCCESS && info_class == TokenDefaultDacl)
        ForgetAclWalks();  // an ACL went into the caller's buffer
      return status;
    }
    // The other half of a linked logon, as a new handle the caller closes.
    auto linked = LinkedTokenOf(*handle->token);
    if (!linked)
      return ERROR_NO_SUCH_LOGON_SESSION;
    *return_length = sizeof(TOKEN_LINKED_TOKEN);
    if (length < sizeof(TOKEN_LINKED_TOKEN) || !info)
      return ERROR_INSUFFICIENT_BUFFER;
    static_cast<TOKEN_LINKED_TOKEN*>(info)->LinkedToken =
        AddTokenHandle(machine, std::move(linked), TOKEN_ALL_ACCESS);
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI DuplicateTokenEx(HANDLE existing,
                             DWORD access,
                             LPSECURITY_ATTRIBUTES attributes,
                             SECURITY_IMPERSONATION_LEVEL level,
                             TOKEN_TYPE type,
                             PHANDLE token) {
  (void)attributes;  // the new token's own descriptor is not kept
  return BoolCall("DuplicateTokenEx", [&](Machine& machine) -> DWORD {
    if (!token)
      return ERROR_INVALID_PARAMETER;
    std::shared_ptr<TokenHandle> handle;
    if (const DWORD error = FindToken(machine, existing, TOKEN_DUPLICATE, handle))
      return error;
    if (type != TokenPrimary && type != TokenImpersonation)
      return ERROR_INVALID_PARAMETER;
    if (type == TokenImpersonation && (level < SecurityAnonymous || level > SecurityDelegation))
      return ERROR_BAD_IMPERSONATION_LEVEL;
    // An impersonation token gives no more than its own level, and a primary token only from
    // one that may impersonate.
    const TokenData& source = *handle->token;
    if (source.type == TokenImpersonation &&
        (type == TokenPrimary ? source.level < SecurityImpersonation : level > source.level))
      return ERROR_BAD_IMPERSONATION_LEVEL;
    // Access 0 asks for the rights the existing handle holds.
    *token =
        AddTokenHandle(machine, CopyToken(source, type, level), access ? access : handle->access);
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI DuplicateToken(HANDLE existing, SECURITY_IMPERSONATION_LEVEL level, PHANDLE token) {
  return DuplicateTokenEx(existing, TOKEN_IMPERSONATE | TOKEN_QUERY, nullptr, level,
                          TokenImpersonation, token);
}

BOOL WINAPI CheckTokenMembership(HANDLE token, PSID sid, PBOOL is_member) {
  return BoolCall("CheckTokenMembership", [&](Machine& machine) -> DWORD {
    if (!is_member)
      return ERROR_NOACCESS;
    *is_member = FALSE;  // before anything can fail, as the platform does
    std::shared_ptr<const TokenData> data;
    if (token) {
      std::shared_ptr<TokenHandle> handle;
      if (const DWORD error = FindToken(machine, token, TOKEN_QUERY, handle))
        return error;
      data = handle->token;
      if (data->type != TokenImpersonation)
        return ERROR_NO_IMPERSONATION_TOKEN;
    } else {
      // No token: the thread's impersonation token, else a copy of the process token.
      data = EffectiveToken(machine);
    }
    const auto value = SidValue::FromBytes(sid, SidLengthFor(SID_MAX_SUB_AUTHORITIES));
    if (!value)
      return ERROR_INVALID_SID;
    *is_member = TokenIsMember(*data, *value) ? TRUE : FALSE;
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI LookupPrivilegeValueW(LPCWSTR system, LPCWSTR name, PLUID luid) {
  return BoolCall("LookupPrivilegeValueW", [&](Machine& machine) -> DWORD {
    if (const DWORD error = CheckSystem(machine, system))
      return error;
    const auto value = name ? PrivilegeValue(name) : std::nullopt;
    if (!value)
      return ERROR_NO_SUCH_PRIVILEGE;
    if (!luid)
      return ERROR_NOACCESS;
    *luid = {*value, 0};
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI LookupPrivilegeNameW(LPCWSTR system, PLUID luid, LPWSTR name, LPDWORD name_chars) {
  return BoolCall("LookupPrivilegeNameW", [&](Machine& machine) -> DWORD {
    if (!luid || !name_chars)
      return ERROR_INVALID_PARAMETER;
    if (const DWORD error = CheckSystem(machine, system))
      return error;
    const wchar_t* found = PrivilegeName(*luid);
    if (!found)
      return ERROR_NO_SUCH_PRIVILEGE;
    // Two-call sizing: the room asked for counts the terminator, the length reported does not.
    const DWORD length = static_cast<DWORD>(std::wcslen(found));
    if (*name_chars <= length || !name) {
      *name_chars = length + 1;
      return ERROR_INSUFFICIENT_BUFFER;
    }
    std::wcscpy(name, found);
    *name_chars = length;
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE token,
                                  BOOL disable_all,
                                  PTOKEN_PRIVILEGES new_state,
                                  DWORD length,
                                  PTOKEN_PRIVILEGES previous_state,
                                  PDWORD return_length) {
  return BoolCall("AdjustTokenPrivileges", [&](Machine& machine) -> DWORD {
    std::shared_ptr<TokenHandle> handle;
    const DWORD needed = TOKEN_ADJUST_PRIVILEGES | (previous_state ? TOKEN_QUERY : 0);
    if (const DWORD error = FindToken(machine, token, needed, handle))
      return error;
    if (!disable_all && !new_state)
      return ERROR_INVALID_PARAMETER;
    std::vector<LUID_AND_ATTRIBUTES> changes;
    if (!disable_all) {
      const auto* entries = reinterpret_cast<const LUID_AND_ATTRIBUTES*>(
          reinterpret_cast<const BYTE*>(new_state) + offsetof(TOKEN_PRIVILEGES, Privileges));
      changes.assign(entries, entries + new_state->PrivilegeCount);
    }
    HeldPrivileges& held = handle->token->privileges;
    if (previous_state) {
      // Nothing changes unless the earlier state fits.
      const auto earlier = held.WouldChange(disable_all, changes);
      const DWORD size = static_cast<DWORD>(offsetof(TOKEN_PRIVILEGES, Privileges) +
                                            earlier.size() * sizeof(LUID_AND_ATTRIBUTES));
      if (!return_length)
        return ERROR_NOACCESS;
      *return_length = size;
      if (length < size)
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::vector<LUID_AND_ATTRIBUTES> earlier;
    const DWORD result = held.Adjust(disable_all, changes, earlier);
    if (previous_state) {
      previous_state->PrivilegeCount = static_cast<DWORD>(earlier.size());
      if (!earlier.empty())
        std::memcpy(
            reinterpret_cast<BYTE*>(previous_state) + offsetof(TOKEN_PRIVILEGES, Privileges),
            earlier.data(), earlier.size() * sizeof(LUID_AND_ATTRIBUTES));
    }
    // The call succeeds either way; the last error tells whether every privilege was held.
    SetLastError(result);
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI PrivilegeCheck(HANDLE token, PPRIVILEGE_SET required, LPBOOL result) {
  return BoolCall("PrivilegeCheck", [&](Machine& machine) -> DWORD {
    std::shared_ptr<TokenHandle> handle;
    if (const DWORD error = FindToken(machine, token, TOKEN_QUERY, handle))
      return error;
    if (handle->token->type != TokenImpersonation)
      return ERROR_NO_IMPERSONATION_TOKEN;
    if (!required || !result)
      return ERROR_INVALID_PARAMETER;
    auto* entries = reinterpret_cast<LUID_AND_ATTRIBUTES*>(reinterpret_cast<BYTE*>(required) +
                                                           offsetof(PRIVILEGE_SET, Privilege));
    DWORD enabled = 0;
    for (DWORD i = 0; i < required->PrivilegeCount; ++i) {
      const bool on = entries[i].Luid.HighPart == 0 &&
                      handle->token->privileges.Enabled(entries[i].Luid.LowPart);
      if (on) {
        entries[i].Attributes |= SE_PRIVILEGE_USED_FOR_ACCESS;
        ++enabled;
      }
    }
    const bool all = required->Control & PRIVILEGE_SET_ALL_NECESSARY;
    *result = (all ? enabled == required->PrivilegeCount : enabled > 0) ? TRUE : FALSE;
    return ERROR_SUCCESS;
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
