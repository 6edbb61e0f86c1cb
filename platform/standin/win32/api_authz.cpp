// Authz: resource managers, client contexts made from an account's SID, and the access check
// for such a context.
#include "platform/standin/object_security/access_check.h"

#include "platform/standin/identity/token_information.h"
#include "platform/standin/win32/api_support.h"
#include "platform/standin/win32/handles.h"

using namespace standin;

namespace {

struct AuthzResourceManager : HandleObject {};

struct AuthzContext : HandleObject {
  std::shared_ptr<const TokenData> token;
};

struct AuthzResults : HandleObject {};

// Authz has no generic mapping: rights in entries and requests are compared as written.
constexpr GENERIC_MAPPING kUnmapped = {GENERIC_READ, GENERIC_WRITE, GENERIC_EXECUTE, GENERIC_ALL};

HANDLE AsHandle(const void* authz_handle) {
  return const_cast<void*>(authz_handle);
}

template <typename Object>
std::shared_ptr<Object> Find(Machine& machine, const void* authz_handle) {
  if (!authz_handle)
    return nullptr;
  return std::dynamic_pointer_cast<Object>(machine.FindHandle(AsHandle(authz_handle)));
}

// The context's token for `sid`: the account's groups as a logon expands them, or with
// AUTHZ_SKIP_TOKEN_GROUPS the SID alone.
DWORD ContextToken(const Machine& machine,
                   DWORD flags,
                   const SidValue& sid,
                   std::shared_ptr<const TokenData>& out) {
  const AccountDatabase& db = machine.accounts();
  if (flags & AUTHZ_SKIP_TOKEN_GROUPS) {
    auto token = std::make_shared<TokenData>();
    token->user = sid;
    token->id = NewTokenId();
    out = std::move(token);
    return ERROR_SUCCESS;
  }
  const auto account = db.FindBySid(sid, LookupSite{});
  if (!account)
    return ERROR_NONE_MAPPED;
  out = BuildLogonToken(machine.description(), db, *account, LogonKind::kContextFromSid);
  return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

BOOL WINAPI AuthzInitializeResourceManager(DWORD flags,
                                           PFN_AUTHZ_DYNAMIC_ACCESS_CHECK,
                                           PFN_AUTHZ_COMPUTE_DYNAMIC_GROUPS,
                                           PFN_AUTHZ_FREE_DYNAMIC_GROUPS,
                                           PCWSTR,
                                           PAUTHZ_RESOURCE_MANAGER_HANDLE manager) {
  return BoolCall("AuthzInitializeResourceManager", [&](Machine& machine) -> DWORD {
    if (!manager || (flags & ~static_cast<DWORD>(AUTHZ_VALID_RM_INIT_FLAGS)))
      return ERROR_INVALID_PARAMETER;
    *manager = static_cast<AUTHZ_RESOURCE_MANAGER_HANDLE>(
        machine.AddHandle(std::make_shared<AuthzResourceManager>()));
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI AuthzFreeResourceManager(AUTHZ_RESOURCE_MANAGER_HANDLE manager) {
  return BoolCall("AuthzFreeResourceManager", [&](Machine& machine) -> DWORD {
    if (!Find<AuthzResourceManager>(machine, manager))
      return ERROR_INVALID_PARAMETER;
    machine.RemoveHandle(AsHandle(manager));
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI AuthzInitializeContextFromSid(DWORD flags,
                                          PSID user,
                                          AUTHZ_RESOURCE_MANAGER_HANDLE manager,
                                          PLARGE_INTEGER,
                                          LUID,
                                          PVOID,
                                          PAUTHZ_CLIENT_CONTEXT_HANDLE context) {
  return BoolCall("AuthzInitializeContextFromSid", [&](Machine& machine) -> DWORD {
    constexpr DWORD kKnownFlags =
        AUTHZ_SKIP_TOKEN_GROUPS | AUTHZ_REQUIRE_S4U_LOGON | AUTHZ_COMPUTE_PRIVILEGES;
    if (!context || !user || (flags & ~kKnownFlags))
      return ERROR_INVALID_PARAMETER;
    if (!Find<AuthzResourceManager>(machine, manager))
      return ERROR_INVALID_PARAMETER;
    const auto sid = SidValue::FromBytes(user, CheckedSidLength(user, SidLengthFor(15)));
    if (!sid)
      return ERROR_INVALID_SID;
    std::shared_ptr<const TokenData> token;
    if (const DWORD error = ContextToken(machine, flags, *sid, token))
      return error;
    auto object = std::make_shared<AuthzContext>();
    object->token = std::move(token);
    *context = static_cast<AUTHZ_CLIENT_CONTEXT_HANDLE>(machine.AddHandle(std::move(object)));
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI AuthzGetInformationFromContext(AUTHZ_CLIENT_CONTEXT_HANDLE context,
                                           AUTHZ_CONTEXT_INFORMATION_CLASS info_class,
                                           DWORD size,
                                           PDWORD size_required,
                                           PVOID buffer) {
  return BoolCall("AuthzGetInformationFromContext", [&](Machine& machine) -> DWORD {
    auto object = Find<AuthzContext>(machine, context);
    if (!object || !size_required)
      return ERROR_INVALID_PARAMETER;
    // Each class is laid out as the token class of the same content.
    TOKEN_INFORMATION_CLASS token_class;
    switch (info_class) {
      case AuthzContextInfoUserSid:
        token_class = TokenUser;
        break;
      case AuthzContextInfoGroupsSids:
        token_class = TokenGroups;
        break;
      case AuthzContextInfoPrivileges:
        token_class = TokenPrivileges;
        break;
      default:
        return ERROR_INVALID_PARAMETER;
    }
    DWORD needed = 0;
    const DWORD error = WriteTokenInformation(*object->token, token_class, buffer, size, needed);
    *size_required = needed;
    return error;
  });
}

BOOL WINAPI AuthzFreeContext(AUTHZ_CLIENT_CONTEXT_HANDLE context) {
  return BoolCall("AuthzFreeContext", [&](Machine& machine) -> DWORD {
    if (!Find<AuthzContext>(machine, context))
      return ERROR_INVALID_PARAMETER;
    machine.RemoveHandle(AsHandle(context));
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI AuthzAccessCheck(DWORD flags,
                             AUTHZ_CLIENT_CONTEXT_HANDLE context,
                             PAUTHZ_ACCESS_REQUEST request,
                             AUTHZ_AUDIT_EVENT_HANDLE,
                             PSECURITY_DESCRIPTOR descriptor,
                             PSECURITY_DESCRIPTOR*,
                             DWORD optional_descriptor_count,
                             PAUTHZ_ACCESS_REPLY reply,
                             PAUTHZ_ACCESS_CHECK_RESULTS_HANDLE results) {
  return BoolCall("AuthzAccessCheck", [&](Machine& machine) -> DWORD {
    if (flags & ~static_cast<DWORD>(AUTHZ_ACCESS_CHECK_NO_DEEP_COPY_SD))
      return ERROR_INVALID_PARAMETER;
    auto object = Find<AuthzContext>(machine, context);
    if (!object || !request || !descriptor || !reply)
      return ERROR_INVALID_PARAMETER;
    // Without an object type list there is one result, in the reply's first slots.
    if (reply->ResultListLength < 1 || !reply->GrantedAccessMask || !reply->Error ||
        optional_descriptor_count != 0 || request->ObjectTypeList)
      return ERROR_INVALID_PARAMETER;
    DescriptorParts parts;
    if (ReadDescriptor(descriptor, parts) != ERROR_SUCCESS || !parts.owner)
      return ERROR_INVALID_SECURITY_DESCR;
    ACCESS_MASK granted = 0;
    const DWORD error =
        EvaluateAccess(parts, *object->token, request->DesiredAccess, kUnmapped, granted);
    reply->GrantedAccessMask[0] = granted;
    reply->Error[0] = error;
    if (reply->SaclEvaluationResults)
      reply->SaclEvaluationResults[0] = 0;
    if (results)
      *results = static_cast<AUTHZ_ACCESS_CHECK_RESULTS_HANDLE>(
          machine.AddHandle(std::make_shared<AuthzResults>()));
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI AuthzFreeHandle(AUTHZ_ACCESS_CHECK_RESULTS_HANDLE results) {
  return BoolCall("AuthzFreeHandle", [&](Machine& machine) -> DWORD {
    if (!Find<AuthzResults>(machine, results))
      return ERROR_INVALID_PARAMETER;
    machine.RemoveHandle(AsHandle(results));
    return ERROR_SUCCESS;
  });
}

}  // extern "C"
