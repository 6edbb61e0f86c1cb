// Access control lists: creation, checks, entries added and read.
#include "platform/standin/core/acl.h"
#include "platform/standin/core/acl_walk.h"
#include "platform/standin/win32/api_support.h"

using namespace standin;

namespace {

// GetAce's name, one text whose address the thread's record of its calls compares.
constexpr char kGetAce[] = "GetAce";

// GetAce the long way: counted as every call is unless `counted` says it was, then the walk.
[[gnu::noinline]] BOOL GetAceTheLongWay(PACL acl, DWORD index, LPVOID* ace, bool counted) {
  if (counted)
    return Result(FindAce(acl, index, ace));
  return MemoryCall(kGetAce, [&] { return FindAce(acl, index, ace); });
}

// GetAce of the first entry, counted: no walk at all.
[[gnu::noinline]] BOOL GetFirstAce(PACL acl, LPVOID* ace) {
  auto* b = reinterpret_cast<BYTE*>(acl);
  const size_t offset = FirstEntry(b);
  if (!offset)
    return GetAceTheLongWay(acl, 0, ace, true);
  *ace = b + offset;
  return TRUE;
}

}  // namespace

extern "C" {

BOOL WINAPI InitializeAcl(PACL acl, DWORD length, DWORD revision) {
  return BoolCall("InitializeAcl", [&](Machine&) { return CreateAcl(acl, length, revision); });
}

BOOL WINAPI IsValidAcl(PACL acl) {
  auto call = EnterCall("IsValidAcl");
  if (call.fault)
    return FailWith(*call.fault);
  // The platform answers without touching the last error.
  return acl && AclValid(acl, acl->AclSize) ? TRUE : FALSE;
}

BOOL WINAPI AddAccessAllowedAce(PACL acl, DWORD revision, DWORD mask, PSID sid) {
  return BoolCall("AddAccessAllowedAce", [&](Machine&) {
    return AddKnownAce(acl, revision, ACCESS_ALLOWED_ACE_TYPE, 0, mask, sid);
  });
}

BOOL WINAPI AddAccessDeniedAce(PACL acl, DWORD revision, DWORD mask, PSID sid) {
  return BoolCall("AddAccessDeniedAce", [&](Machine&) {
    return AddKnownAce(acl, revision, ACCESS_DENIED_ACE_TYPE, 0, mask, sid);
  });
}

BOOL WINAPI AddAccessAllowedAceEx(PACL acl, DWORD revision, DWORD flags, DWORD mask, PSID sid) {
  return BoolCall("AddAccessAllowedAceEx", [&](Machine&) {
    return AddKnownAce(acl, revision, ACCESS_ALLOWED_ACE_TYPE, flags, mask, sid);
  });
}

BOOL WINAPI AddAccessDeniedAceEx(PACL acl, DWORD revision, DWORD flags, DWORD mask, PSID sid) {
  return BoolCall("AddAccessDeniedAceEx", [&](Machine&) {
    return AddKnownAce(acl, revision, ACCESS_DENIED_ACE_TYPE, flags, mask, sid);
  });
}

BOOL WINAPI AddAce(PACL acl, DWORD revision, DWORD start_index, LPVOID entries, DWORD length) {
  return BoolCall(
      "AddAce", [&](Machine&) { return InsertAces(acl, revision, start_index, entries, length); });
}

BOOL WINAPI GetAce(PACL acl, DWORD index, LPVOID* ace) {
  // A caller reading entries in order is counted and answered here, with no walk at all.
  const bool counted = CountKnownCall(kGetAce);
  if (!counted || !acl || !ace) [[unlikely]]
    return GetAceTheLongWay(acl, index, ace, counted);
  if (index == 0)
    return GetFirstAce(acl, ace);
  auto* b = reinterpret_cast<BYTE*>(acl);
  const size_t offset = NextEntryInOrder(b, index);
  if (!offset) [[unlikely]]
    return GetAceTheLongWay(acl, index, ace, true);
  *ace = b + offset;
  return TRUE;
}

BOOL WINAPI AddAuditAccessAce(PACL acl,
                              DWORD revision,
                              DWORD mask,
                              PSID sid,
                              BOOL audit_success,
                              BOOL audit_failure) {
  return AddAuditAccessAceEx(acl, revision, 0, mask, sid, audit_success, audit_failure);
}

BOOL WINAPI AddAuditAccessAceEx(PACL acl,
                                DWORD revision,
                                DWORD flags,
                                DWORD mask,
                                PSID sid,
                                BOOL audit_success,
                                BOOL audit_failure) {
  return BoolCall("AddAuditAccessAceEx", [&](Machine&) {
    const DWORD audit = (audit_success ? SUCCESSFUL_ACCESS_ACE_FLAG : 0) |
                        (audit_failure ? FAILED_ACCESS_ACE_FLAG : 0);
    return AddKnownAce(acl, revision, SYSTEM_AUDIT_ACE_TYPE, flags | audit, mask, sid);
  });
}

BOOL WINAPI AddMandatoryAce(PACL acl, DWORD revision, DWORD flags, DWORD policy, PSID label) {
  return BoolCall("AddMandatoryAce", [&](Machine&) -> DWORD {
    if (policy & ~SYSTEM_MANDATORY_LABEL_VALID_MASK)
      return ERROR_INVALID_PARAMETER;
    return AddKnownAce(acl, revision, SYSTEM_MANDATORY_LABEL_ACE_TYPE, flags, policy, label);
  });
}

BOOL WINAPI DeleteAce(PACL acl, DWORD index) {
  return BoolCall("DeleteAce", [&](Machine&) { return RemoveAce(acl, index); });
}

BOOL WINAPI FindFirstFreeAce(PACL acl, LPVOID* ace) {
  // An ntdll answer: TRUE or FALSE, the last error left alone.
  return FirstFreeByte(acl, ace) ? TRUE : FALSE;
}

BOOL WINAPI GetAclInformation(PACL acl,
                              LPVOID information,
                              DWORD length,
                              ACL_INFORMATION_CLASS information_class) {
  return BoolCall("GetAclInformation", [&](Machine&) -> DWORD {
    BYTE revision = 0;
    AclSizeFacts size;
    if (!information)
      return ERROR_NOACCESS;
    switch (information_class) {
      case AclRevisionInformation:
        if (length < sizeof(ACL_REVISION_INFORMATION))
          return ERROR_INSUFFICIENT_BUFFER;
        if (const DWORD error = DescribeAcl(acl, revision, size))
          return error;
        static_cast<ACL_REVISION_INFORMATION*>(information)->AclRevision = revision;
        return ERROR_SUCCESS;
      case AclSizeInformation: {
        if (length < sizeof(ACL_SIZE_INFORMATION))
          return ERROR_INSUFFICIENT_BUFFER;
        if (const DWORD error = DescribeAcl(acl, revision, size))
          return error;
        auto* out = static_cast<ACL_SIZE_INFORMATION*>(information);
        out->AceCount = size.count;
        out->AclBytesInUse = size.in_use;
        out->AclBytesFree = size.free;
        return ERROR_SUCCESS;
      }
      default:
        return ERROR_INVALID_PARAMETER;
    }
  });
}

}  // extern "C"
