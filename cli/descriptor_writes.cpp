#include "cli/descriptor_writes.h"

#include <vector>

#include "cli/privileges.h"
#include "security/scoped_platform.h"

DWORD WriteOwner(const Target& target, PSID owner) {
  PrivilegeScope privileges({L"SeTakeOwnershipPrivilege", L"SeRestorePrivilege"});
  std::wstring name = target.ObjectName();
  return SetNamedSecurityInfoW(name.data(), target.ObjectType(), OWNER_SECURITY_INFORMATION, owner,
                               nullptr, nullptr, nullptr);
}

DWORD WriteDacl(const Target& target, PACL acl, bool protect) {
  std::wstring name = target.ObjectName();
  const SECURITY_INFORMATION information =
      DACL_SECURITY_INFORMATION |
      (protect ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
  return SetNamedSecurityInfoW(name.data(), target.ObjectType(), information, nullptr, nullptr, acl,
                               nullptr);
}

DWORD WriteValue(const Target& target, PSECURITY_DESCRIPTOR descriptor) {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!GetSecurityDescriptorControl(descriptor, &control, &revision))
    return ::GetLastError();
  std::vector<BYTE> bytes;
  if (control & SE_SELF_RELATIVE) {
    const auto* start = static_cast<const BYTE*>(descriptor);
    bytes.assign(start, start + GetSecurityDescriptorLength(descriptor));
  } else {
    DWORD length = 0;
    if (!MakeSelfRelativeSD(descriptor, nullptr, &length) &&
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
      return ::GetLastError();
    bytes.resize(length);
    if (!MakeSelfRelativeSD(descriptor, bytes.data(), &length))
      return ::GetLastError();
  }
  vortiss::ScopedKey key;
  LSTATUS status =
      RegOpenKeyExW(target.root, target.subkey.c_str(), 0, KEY_SET_VALUE, key.receive());
  if (status != ERROR_SUCCESS)
    return static_cast<DWORD>(status);
  status = RegSetValueExW(key.get(), target.value_name.c_str(), 0, REG_BINARY, bytes.data(),
                          static_cast<DWORD>(bytes.size()));
  return static_cast<DWORD>(status);
}

DWORD ValueDescriptor::Build(PSID owner,
                             PSID group,
                             PACL acl,
                             SECURITY_DESCRIPTOR_CONTROL control,
                             bool protect) {
  constexpr SECURITY_DESCRIPTOR_CONTROL kKept = SE_DACL_AUTO_INHERITED | SE_DACL_AUTO_INHERIT_REQ;
  const auto bits = static_cast<SECURITY_DESCRIPTOR_CONTROL>((control & kKept) |
                                                             (protect ? SE_DACL_PROTECTED : 0));
  if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
      (owner && !SetSecurityDescriptorOwner(&descriptor_, owner, FALSE)) ||
      (group && !SetSecurityDescriptorGroup(&descriptor_, group, FALSE)) ||
      !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) ||
      !SetSecurityDescriptorControl(&descriptor_, kKept | SE_DACL_PROTECTED, bits))
    return ::GetLastError();
  return ERROR_SUCCESS;
}
