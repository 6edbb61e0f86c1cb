#include "platform/standin/profile/faultable_calls.h"

#include <algorithm>
#include <iterator>

namespace standin {

namespace {

// The calls that a profile may make fail; those that cannot fail on Windows are not listed.
constexpr std::string_view kFaultableCalls[] = {
    "AllocateAndInitializeSid",
    "FreeSid",
    "CopySid",
    "EqualSid",
    "IsValidSid",
    "ConvertSidToStringSidW",
    "ConvertStringSidToSidW",
    "ConvertSidToStringSidA",
    "ConvertStringSidToSidA",
    "InitializeSid",
    "EqualDomainSid",
    "CreateWellKnownSid",
    "InitializeSecurityDescriptor",
    "SetSecurityDescriptorOwner",
    "SetSecurityDescriptorGroup",
    "SetSecurityDescriptorDacl",
    "SetSecurityDescriptorSacl",
    "SetSecurityDescriptorControl",
    "GetSecurityDescriptorOwner",
    "GetSecurityDescriptorGroup",
    "GetSecurityDescriptorDacl",
    "GetSecurityDescriptorSacl",
    "GetSecurityDescriptorControl",
    "IsValidSecurityDescriptor",
    "MakeSelfRelativeSD",
    "MakeAbsoluteSD",
    "RtlValidRelativeSecurityDescriptor",
    "InitializeAcl",
    "IsValidAcl",
    "AddAccessAllowedAce",
    "AddAccessDeniedAce",
    "AddAccessAllowedAceEx",
    "AddAccessDeniedAceEx",
    "AddAce",
    "GetAce",
    "DeleteAce",
    "GetAclInformation",
    "AddAuditAccessAceEx",
    "AddMandatoryAce",
    "ConvertStringSecurityDescriptorToSecurityDescriptorW",
    "ConvertSecurityDescriptorToStringSecurityDescriptorW",
    "ConvertStringSecurityDescriptorToSecurityDescriptorA",
    "ConvertSecurityDescriptorToStringSecurityDescriptorA",
    "ImpersonateSelf",
    "RevertToSelf",
    "OpenThreadToken",
    "OpenProcessToken",
    "GetTokenInformation",
    "DuplicateTokenEx",
    "CheckTokenMembership",
    "CloseHandle",
    "LookupAccountSidW",
    "LookupAccountNameW",
    "LookupAccountSidA",
    "LookupAccountNameA",
    "NetLocalGroupGetMembers",
    "NetGroupGetUsers",
    "NetGetDCName",
    "NetApiBufferFree",
    "LocalAlloc",
    "LocalFree",
    "FormatMessageA",
    "FormatMessageW",
    "GetVolumeInformationW",
    "GetVersionExW",
    "CreateFileW",
    "DeleteFileW",
    "CreateDirectoryW",
    "RemoveDirectoryW",
    "GetFileAttributesW",
    "FindFirstFileW",
    "FindNextFileW",
    "FindClose",
    "GetFileSecurityW",
    "SetFileSecurityW",
    "GetNamedSecurityInfoW",
    "SetNamedSecurityInfoW",
    "AccessCheck",
    "RegOpenKeyExW",
    "RegCreateKeyExW",
    "RegCloseKey",
    "RegDeleteKeyW",
    "RegDeleteValueW",
    "RegGetKeySecurity",
    "RegSetKeySecurity",
    "RegQueryValueExW",
    "RegSetValueExW",
};

}  // namespace

bool IsFaultableCall(std::string_view name) {
  return std::find(std::begin(kFaultableCalls), std::end(kFaultableCalls), name) !=
         std::end(kFaultableCalls);
}

}  // namespace standin
