#include "security/named_inheritance.h"

#include "security/scoped_platform.h"

namespace vortiss {

DWORD PlatformMajorVersion() {
  OSVERSIONINFOW info = {};
  info.dwOSVersionInfoSize = sizeof info;
  GetVersionExW(&info);
  return info.dwMajorVersion;
}

DWORD ReapplyDacl(const std::wstring& name, SE_OBJECT_TYPE type, bool inherit) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD result = GetNamedSecurityInfoW(name.c_str(), type, DACL_SECURITY_INFORMATION, nullptr,
                                       nullptr, &dacl, nullptr, &descriptor);
  ScopedLocal<void> owned(descriptor);
  if (result == ERROR_SUCCESS && dacl) {
    const SECURITY_INFORMATION flags =
        DACL_SECURITY_INFORMATION |
        (inherit ? UNPROTECTED_DACL_SECURITY_INFORMATION : PROTECTED_DACL_SECURITY_INFORMATION);
    std::wstring writable = name;
    result = SetNamedSecurityInfoW(writable.data(), type, flags, nullptr, nullptr, dacl, nullptr);
  }
  return result;
}

}  // namespace vortiss
