#include "checks/identity.h"

#include <iostream>

#include "security/scoped_platform.h"

namespace {

// Room for a TOKEN_USER record and its SID; a query that needs more fails.
constexpr DWORD kTokenUserBufferSize = 512;

// The buffer the token's user is read into, aligned for the record at its start.
union TokenUserBuffer {
  TOKEN_USER user;
  BYTE bytes[kTokenUserBufferSize];
};

}  // namespace

HANDLE GetUserToken() {
  if (ImpersonateSelf(SecurityImpersonation) != 1)
    RevertToSelf();

  vortiss::ScopedHandle token;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.receive())) {
    if (GetLastError() != ERROR_NO_TOKEN) {
      RevertToSelf();
      return nullptr;
    }
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive())) {
      RevertToSelf();
      return nullptr;
    }
  }

  // The query only proves that the token can be read.
  TokenUserBuffer buffer;
  DWORD length = kTokenUserBufferSize;
  if (GetTokenInformation(token.get(), TokenUser, buffer.bytes, length, &length))
    return token.release();

  if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    token.reset();
    RevertToSelf();
  } else {
    RevertToSelf();
    token.reset();
  }
  return nullptr;
}

bool GetCurrentUserSid(CSid& account) {
  if (ImpersonateSelf(SecurityImpersonation) == 1) {
    std::wcout << L"Good - Impersonated self" << std::endl;
  } else {
    std::wcerr << L"Warning - could not impersonate self" << std::endl;
    RevertToSelf();
  }

  vortiss::ScopedHandle token;
  if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.receive())) {
    std::wcout << L"Good - got thread token" << std::endl;
  } else {
    const DWORD error = GetLastError();
    if (error != ERROR_NO_TOKEN) {
      std::wcerr << L"Error - unknown error while getting thread token, error code - " << error
                 << std::endl;
      RevertToSelf();
      return false;
    }
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive())) {
      std::wcerr << L"Error - could not get process token, no token available for user"
                 << std::endl;
      RevertToSelf();
      return false;
    }
    std::wcout << L"Good - got token from process" << std::endl;
  }

  TokenUserBuffer buffer;
  DWORD length = kTokenUserBufferSize;
  if (!GetTokenInformation(token.get(), TokenUser, buffer.bytes, length, &length)) {
    const DWORD error = GetLastError();
    if (error == ERROR_INSUFFICIENT_BUFFER) {
      std::wcerr << L"Error - insufficent buffer to extract token information" << std::endl;
      token.reset();
      RevertToSelf();
    } else {
      std::wcerr << L"Error - unknown error while extracting token information, error code "
                 << error << std::endl;
      RevertToSelf();
      token.reset();
    }
    return false;
  }
  std::wcout << L"Good - extracted token information" << std::endl;
  RevertToSelf();
  token.reset();
  std::wcout << L"Good - Creating CSid object from token information" << std::endl;

  // The names are looked up under the process's own identity; the SID lives in `buffer`.
  account = CSid(buffer.user.User.Sid, std::wstring());
  std::wcout << L"Created CSid object with name " << account.GetQualifiedName() << std::endl;
  return true;
}
