#include <iostream>

#include "checks/checks.h"
#include "checks/identity.h"
#include "checks/membership.h"
#include "security/scoped_platform.h"

namespace {

// Room for an account or domain name of the Administrators group, with its terminator.
constexpr DWORD kNameBufferChars = 256;

bool CheckAdministrator() {
  std::wcout << L"Starting IsUserAdministrator function" << std::endl;

  // A placeholder that GetCurrentUserSid overwrites.
  CSid account{std::wstring(), std::wstring()};
  if (!GetCurrentUserSid(account)) {
    std::wcerr << L"Error - Could not create CSid object, returning false" << std::endl;
    return false;
  }

  SID_IDENTIFIER_AUTHORITY nt_authority = SECURITY_NT_AUTHORITY;
  vortiss::ScopedSid administrators;
  if (!AllocateAndInitializeSid(&nt_authority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                administrators.receive())) {
    std::wcerr << L"Error - could not allocate and initialize Administrators SID" << std::endl;
    return false;
  }
  std::wcout << L"Good - allocated Administrators SID" << std::endl;

  wchar_t name[kNameBufferChars] = {};
  wchar_t domain[kNameBufferChars] = {};
  DWORD name_chars = kNameBufferChars - 1;
  DWORD domain_chars = kNameBufferChars - 1;
  SID_NAME_USE use;
  if (!LookupAccountSidW(nullptr, administrators.get(), name, &name_chars, domain, &domain_chars,
                         &use)) {
    std::wcerr << L"Error - could not lookup account name from SID, error code " << GetLastError()
               << std::endl;
    return false;
  }
  std::wcout << L"Good - found account name from SID as " << name << std::endl;

  if (IsUserInGroup(account, name)) {
    std::wcout << L"Good - found user " << account.GetQualifiedName() << L" in group " << name
               << std::endl;
    return true;
  }
  std::wcerr << L"Error - could not find user " << account.GetQualifiedName() << L" in group "
             << name << std::endl;
  return false;
}

}  // namespace

extern "C" bool CheckIsUserAdministrator(void) {
  try {
    return CheckAdministrator();
  } catch (...) {
    // Nothing may cross the C boundary: a failed account lookup (an int) or a failed allocation
    // ends the check with no, and no impersonation left in force.
    RevertToSelf();
    try {
      std::wcerr << L"Error - IsUserAdministrator could not complete, returning false" << std::endl;
    } catch (...) {
    }
    return false;
  }
}
