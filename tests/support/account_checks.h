// Checks shared by the tests of accounts and identity: the thread's impersonation and SIDs in
// their string form.
#pragma once

#include <string>

#include "platform/win32.h"

// True when the calling thread has no impersonation in force: opening its token fails with
// ERROR_NO_TOKEN.
inline bool ThreadHasNoToken() {
  HANDLE token = nullptr;
  SetLastError(0xdeadbeef);
  if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
    CloseHandle(token);
    return false;
  }
  return GetLastError() == ERROR_NO_TOKEN;
}

// "S-1-..." for a SID, or "(invalid SID)".
inline std::wstring SidString(PSID sid) {
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text))
    return L"(invalid SID)";
  std::wstring result(text);
  LocalFree(text);
  return result;
}

// A SID parsed from its string form, released with LocalFree.
class SidFromString {
 public:
  explicit SidFromString(const wchar_t* text) {
    if (!ConvertStringSidToSidW(text, &sid_))
      sid_ = nullptr;
  }
  ~SidFromString() {
    if (sid_)
      LocalFree(sid_);
  }
  SidFromString(const SidFromString&) = delete;
  SidFromString& operator=(const SidFromString&) = delete;

  PSID get() const { return sid_; }
  // Gives the SID back to the platform now.
  void reset() {
    if (sid_)
      LocalFree(sid_);
    sid_ = nullptr;
  }

 private:
  PSID sid_ = nullptr;
};
