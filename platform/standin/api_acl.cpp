// Access control lists: creation, checks, entries added and read.
#include "platform/standin/acl.h"
#include "platform/standin/api_support.h"

using namespace standin;

namespace {

BOOL Result(DWORD status) {
  return status == ERROR_SUCCESS ? TRUE : FailWith(status);
}

}  // namespace

extern "C" {

BOOL WINAPI InitializeAcl(PACL acl, DWORD length, DWORD revision) {
  auto call = EnterCall("InitializeAcl");
  if (call.fault)
    return FailWith(*call.fault);
  return Result(CreateAcl(acl, length, revision));
}

BOOL WINAPI IsValidAcl(PACL acl) {
  auto call = EnterCall("IsValidAcl");
  if (call.fault)
    return FailWith(*call.fault);
  // The platform answers without touching the last error.
  return acl && AclValid(acl, acl->AclSize) ? TRUE : FALSE;
}

BOOL WINAPI AddAccessAllowedAce(PACL acl, DWORD revision, DWORD mask, PSID sid) {
  auto call = EnterCall("AddAccessAllowedAce");
  if (call.fault)
    return FailWith(*call.fault);
  return Result(AddKnownAce(acl, revision, ACCESS_ALLOWED_ACE_TYPE, 0, mask, sid));
}

BOOL WINAPI AddAccessDeniedAce(PACL acl, DWORD revision, DWORD mask, PSID sid) {
  auto call = EnterCall("AddAccessDeniedAce");
  if (call.fault)
    return FailWith(*call.fault);
  return Result(AddKnownAce(acl, revision, ACCESS_DENIED_ACE_TYPE, 0, mask, sid));
}

BOOL WINAPI AddAccessAllowedAceEx(PACL acl, DWORD revision, DWORD flags, DWORD mask, PSID sid) {
  auto call = EnterCall("AddAccessAllowedAceEx");
  if (call.fault)
    return FailWith(*call.fault);
  return Result(AddKnownAce(acl, revision, ACCESS_ALLOWED_ACE_TYPE, flags, mask, sid));
}

BOOL WINAPI AddAccessDeniedAceEx(PACL acl, DWORD revision, DWORD flags, DWORD mask, PSID sid) {
  auto call = EnterCall("AddAccessDeniedAceEx");
  if (call.fault)
    return FailWith(*call.fault);
  return Result(AddKnownAce(acl, revision, ACCESS_DENIED_ACE_TYPE, flags, mask, sid));
}

BOOL WINAPI AddAce(PACL acl, DWORD revision, DWORD start_index, LPVOID entries, DWORD length) {
  auto call = EnterCall("AddAce");
  if (call.fault)
    return FailWith(*call.fault);
  return Result(InsertAces(acl, revision, start_index, entries, length));
}

BOOL WINAPI GetAce(PACL acl, DWORD index, LPVOID* ace) {
  auto call = EnterCall("GetAce");
  if (call.fault)
    return FailWith(*call.fault);
  return Result(FindAce(acl, index, ace));
}

}  // extern "C"
