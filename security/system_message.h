// The system's message text for a Win32 or network-management status: FormatMessage from the
// system table in the neutral language (0x0400), its buffer held while the message lives and
// released with LocalFree.
#pragma once

#include <cstddef>
#include <type_traits>

#include "platform/win32.h"
#include "security/scoped_platform.h"

namespace vortiss {

// Char is char (FormatMessageA) or wchar_t (FormatMessageW).
template <typename Char>
class SystemMessage {
  static_assert(std::is_same_v<Char, char> || std::is_same_v<Char, wchar_t>);

 public:
  explicit SystemMessage(DWORD code) {
    constexpr DWORD kFlags =
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
    const DWORD language = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);
    if constexpr (std::is_same_v<Char, char>)
      length_ = FormatMessageA(kFlags, nullptr, code, language,
                               reinterpret_cast<LPSTR>(text_.receive()), 0, nullptr);
    else
      length_ = FormatMessageW(kFlags, nullptr, code, language,
                               reinterpret_cast<LPWSTR>(text_.receive()), 0, nullptr);
  }

  // Whether the system has a text for the code.
  bool found() const { return length_ != 0 && text_; }
  // The whole text, line break included; null when none was found.
  const Char* text() const { return found() ? text_.get() : nullptr; }
  size_t length() const { return found() ? length_ : 0; }

 private:
  ScopedLocal<Char> text_;
  DWORD length_ = 0;
};

}  // namespace vortiss
