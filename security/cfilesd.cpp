#include "security/cfilesd.h"

#include "security/named_inheritance.h"
#include "security/scoped_platform.h"

CFileSD::CFileSD(const std::wstring& path) : strPath(path) {
  nLastError = Initialize();
}

CFileSD::CFileSD(const CFileSD& other) : CSD(other), strPath(other.strPath) {}

CFileSD::CFileSD(const CFileSD& other, std::wstring path) : CSD(other), strPath(std::move(path)) {}

CFileSD::~CFileSD() = default;

CFileSD& CFileSD::operator=(const CFileSD& other) {
  CSD::operator=(other);
  strPath = other.strPath;
  return *this;
}

int CFileSD::Initialize() {
  const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD needed = 0;
  if (GetFileSecurityW(strPath.c_str(), parts, nullptr, 0, &needed) != 1 &&
      ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return FailLoad(static_cast<int>(::GetLastError()));
  // Another process may store a larger descriptor between the two calls: the second call then
  // reports the new size, and is made again with it.
  const DWORD status = vortiss::ReadWhileGrowing(ERROR_INSUFFICIENT_BUFFER, [&]() -> DWORD {
    return GetFileSecurityW(strPath.c_str(), parts, ReceiveSelfRelative(needed), needed, &needed) ==
                   1
               ? ERROR_SUCCESS
               : ::GetLastError();
  });
  if (status != ERROR_SUCCESS)
    return FailLoad(static_cast<int>(status));
  return LoadSelfRelative();
}

int CFileSD::SecureObject(bool bInherit) {
  // An object whose descriptor could not be read, and was not edited since, holds no
  // descriptor: nothing is handed to the platform, and the write fails as a refused one would.
  const BOOL written =
      pAbsoluteSD ? SetFileSecurityW(strPath.c_str(), DACL_SECURITY_INFORMATION, pAbsoluteSD)
                  : (SetLastError(ERROR_INVALID_SECURITY_DESCR), FALSE);
  if (written != 1) {
    const DWORD error = ::GetLastError();
    OutputDebugStringW(L"Failed to set security on");
    OutputDebugStringW(strPath.c_str());
    nLastError = static_cast<int>(error);
    return nLastError;
  }

  if (vortiss::PlatformMajorVersion() <= 4) {
    // No inheritance on these platforms: every entry of a directory gets the descriptor.
    WIN32_FIND_DATAW data;
    const std::wstring pattern = strPath + L"\\*.*";
    const HANDLE find = FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
      return 0;
    vortiss::ScopedFind closer(find);
    do {
      if (data.cFileName[0] == L'.')
        continue;
      CFileSD child(*this, strPath + L"\\" + data.cFileName);
      child.SecureObject(true);
    } while (FindNextFileW(find, &data));
    closer.reset();
    SetInheritance(bInherit);
    return 0;
  }
  SetInheritance(bInherit);
  return 0;
}

int CFileSD::SetInheritance(bool bInherit) {
  if (vortiss::PlatformMajorVersion() < 5)
    return 0;
  return static_cast<int>(vortiss::ReapplyDacl(strPath, SE_FILE_OBJECT, bInherit));
}
