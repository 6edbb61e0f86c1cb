// Access control lists: creation, checks, entries added and read.
#include "platform/standin/core/acl.h"
#include "platform/standin/win32/api_support.h"

using namespace standin;

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
  return BoolCall("GetAce", [&](Machine&) { return FindAce(acl, index, ace); });
}

}  // extern "C"
