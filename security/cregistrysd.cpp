#include "security/cregistrysd.h"

#include "security/named_inheritance.h"
#include "security/scoped_platform.h"

using vortiss::ScopedKey;

CRegistrySD::CRegistrySD(HKEY root, const std::wstring& subkey)
    : strSubKey(subkey), hRootKey(root) {
  if (hRootKey && !strSubKey.empty()) {
    nLastError = Initialize();
  } else {
    nLastError = ERROR_INVALID_PARAMETER;
    bValid = 0;
  }
}

CRegistrySD::CRegistrySD(const CRegistrySD& other)
    : CSD(other), strSubKey(other.strSubKey), hRootKey(other.hRootKey) {}

CRegistrySD& CRegistrySD::operator=(const CRegistrySD& other) {
  CSD::operator=(other);
  strSubKey = other.strSubKey;
  hRootKey = other.hRootKey;
  return *this;
}

CRegistrySD::~CRegistrySD() = default;

int CRegistrySD::Initialize() {
  ScopedKey key;
  LSTATUS status = RegOpenKeyExW(hRootKey, strSubKey.c_str(), 0, READ_CONTROL, key.receive());
  if (status != ERROR_SUCCESS)
    return FailLoad(status);
  const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD length = 0;
  status = RegGetKeySecurity(key.get(), parts, nullptr, &length);
  // Even success is a failure here: a descriptor cannot fit in no bytes.
  if (status != ERROR_INSUFFICIENT_BUFFER)
    return FailLoad(status);
  // A descriptor stored in between may be larger: the call reports its size and is made again.
  status = vortiss::ReadWhileGrowing(ERROR_INSUFFICIENT_BUFFER, [&]() -> DWORD {
    return RegGetKeySecurity(key.get(), parts, ReceiveSelfRelative(length), &length);
  });
  if (status != ERROR_SUCCESS)
    return FailLoad(status);
  key.reset();
  return LoadSelfRelative();
}

int CRegistrySD::WritePart(REGSAM access, SECURITY_INFORMATION part, bool* refused) {
  ScopedKey key;
  const LSTATUS opened = RegOpenKeyExW(hRootKey, strSubKey.c_str(), 0, access, key.receive());
  if (refused)
    *refused = opened == ERROR_ACCESS_DENIED;
  if (opened != ERROR_SUCCESS) {
    if (!(refused && *refused))
      nLastError = opened;
    return opened;
  }
  const LSTATUS written = RegSetKeySecurity(key.get(), part, pAbsoluteSD);
  if (written != ERROR_SUCCESS)
    nLastError = written;
  return written;
}

int CRegistrySD::SecureObject(bool bInherit) {
  // Without a descriptor (one that was never loaded nor built) nothing is written: an empty or
  // made-up DACL must never reach the key.
  if (!pAbsoluteSD) {
    nLastError = ERROR_INVALID_SECURITY_DESCR;
    return nLastError;
  }
  bool owner_refused = false;
  int result = WritePart(WRITE_OWNER, OWNER_SECURITY_INFORMATION, &owner_refused);
  if (result != ERROR_SUCCESS && !owner_refused)
    return result;
  result = WritePart(WRITE_DAC, DACL_SECURITY_INFORMATION, nullptr);
  if (result != ERROR_SUCCESS)
    return result;
  // An owner refused before the DACL was written may be accepted now that the DACL has changed;
  // it is tried again whatever the inheritance mode, since the model asks for that owner.
  if (owner_refused) {
    result = WritePart(WRITE_OWNER, OWNER_SECURITY_INFORMATION, nullptr);
    if (result != ERROR_SUCCESS)
      return result;
  }
  SetInheritance(bInherit);
  return 0;
}

int CRegistrySD::SetInheritance(bool bInherit) {
  if (vortiss::PlatformMajorVersion() <= 4)
    return 0;
  std::wstring name;
  if (hRootKey == HKEY_CURRENT_USER)
    name = L"CURRENT_USER\\";
  else if (hRootKey == HKEY_LOCAL_MACHINE)
    name = L"MACHINE\\";
  name += strSubKey;

  return static_cast<int>(vortiss::ReapplyDacl(name, SE_REGISTRY_KEY, bInherit));
}

CEmbeddedRegistrySD::CEmbeddedRegistrySD(HKEY root,
                                         const std::wstring& subkey,
                                         const std::wstring& name)
    : strSubKey(subkey), strValueName(name), hRootKey(root), dwValueType(REG_BINARY) {
  if (hRootKey && !strSubKey.empty() && !strValueName.empty()) {
    nLastError = Initialize();
  } else {
    nLastError = ERROR_INVALID_PARAMETER;
    bValid = 0;
  }
  // Whatever type a stored value had, it is written back as binary data.
  dwValueType = REG_BINARY;
}

CEmbeddedRegistrySD::~CEmbeddedRegistrySD() = default;

int CEmbeddedRegistrySD::Initialize() {
  ScopedKey key;
  LSTATUS status = RegOpenKeyExW(hRootKey, strSubKey.c_str(), 0, KEY_QUERY_VALUE, key.receive());
  if (status != ERROR_SUCCESS) {
    nLastError = status;
    return status;
  }
  DWORD length = 0;
  status =
      RegQueryValueExW(key.get(), strValueName.c_str(), nullptr, &dwValueType, nullptr, &length);
  if (status != ERROR_SUCCESS) {
    nLastError = status;
    return status;
  }
  // A value stored in between may be larger: the call reports its size and is made again.
  status = vortiss::ReadWhileGrowing(ERROR_MORE_DATA, [&]() -> DWORD {
    return RegQueryValueExW(key.get(), strValueName.c_str(), nullptr, &dwValueType,
                            ReceiveSelfRelative(length), &length);
  });
  if (status != ERROR_SUCCESS) {
    nLastError = status;
    delete[] pSelfRelativeSD;
    pSelfRelativeSD = nullptr;
    return status;
  }
  key.reset();

  // The value is outside data: its bytes are checked, within their length, before anything
  // reads through the offsets they hold.
  if (!RtlValidRelativeSecurityDescriptor(pSelfRelativeSD, length, 0))
    return FailLoad(ERROR_INVALID_SECURITY_DESCR);
  return LoadSelfRelative();
}

int CEmbeddedRegistrySD::SecureObject(bool) {
  ScopedKey key;
  const LSTATUS opened =
      RegOpenKeyExW(hRootKey, strSubKey.c_str(), 0, KEY_SET_VALUE, key.receive());
  if (opened != ERROR_SUCCESS) {
    nLastError = opened;
    bValid = 0;
    return opened;
  }
  // A model that makes no descriptor (a list too long for one ACL) stores nothing.
  const int built = Synchronize(0);
  if (built != 0 || !pSelfRelativeSD)
    return built != 0 ? built : (nLastError = ERROR_INVALID_SECURITY_DESCR);
  const DWORD length = GetSecurityDescriptorLength(pSelfRelativeSD);
  const LSTATUS written =
      RegSetValueExW(key.get(), strValueName.c_str(), 0, dwValueType, pSelfRelativeSD, length);
  if (written != ERROR_SUCCESS) {
    nLastError = written;
    return written;
  }
  return 0;
}
