// What the portable tests need to know of the platform under them: whether it is Wine, the
// process's own user, SID and descriptor texts, the library's trace, and scratch directories.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace portable {

// The last error a call must overwrite, as Wine's tests use it.
inline constexpr DWORD kSentinelError = 0xdeadbeef;

inline bool AllBytesAre(const void* data, size_t size, BYTE value) {
  const auto* b = static_cast<const BYTE*>(data);
  for (size_t i = 0; i < size; ++i) {
    if (b[i] != value)
      return false;
  }
  return true;
}

// The bytes of the SID that `text` (S-1-... or an SDDL alias) denotes; empty when refused.
std::vector<BYTE> SidBytes(const wchar_t* text);

// True when the Windows API under the test is Wine's (never on the stand-in).
bool RunningUnderWine();

// The SID's string form ("S-1-5-18"); empty for an invalid SID.
std::wstring SidText(PSID sid);
// The process token's user, as a SID string.
std::wstring ProcessUserSidText();
// The descriptor's owner and DACL as SDDL ("O:...D:..."); empty when it cannot be converted.
std::wstring OwnerAndDaclText(PSECURITY_DESCRIPTOR descriptor);

// Captures what is written to std::wcout and std::wcerr while it lives.
class TraceCapture {
 public:
  TraceCapture();
  ~TraceCapture();
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  std::vector<std::wstring> out_lines() const { return Lines(out_.str()); }
  std::vector<std::wstring> err_lines() const { return Lines(err_.str()); }

 private:
  static std::vector<std::wstring> Lines(const std::wstring& text);
  std::wostringstream out_;
  std::wostringstream err_;
  std::wstreambuf* old_out_;
  std::wstreambuf* old_err_;
};

// A new empty directory under the system's temporary folder, removed with what is in it.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  // The directory's path as the Windows API takes it, without a trailing separator.
  const std::wstring& path() const { return windows_path_; }

 private:
  std::string host_path_;
  std::wstring windows_path_;
};

}  // namespace portable

// Skips the test under Wine, saying which of Wine's differences from Windows is the reason.
#define SKIP_UNDER_WINE(reason)             \
  do {                                      \
    if (::portable::RunningUnderWine())     \
      GTEST_SKIP() << "Wine: " << (reason); \
  } while (false)
