// Text helpers of the stand-in: UTF-8 and wide conversion, and the platform's case-insensitive
// comparison of names.
#pragma once

#include <string>
#include <string_view>

namespace standin {

// UTF-8 to wide text; invalid sequences become U+FFFD.
std::wstring Utf8ToWide(std::string_view text);
// Wide text to UTF-8; code points outside Unicode become U+FFFD.
std::string WideToUtf8(std::wstring_view text);
// Wide text in the system's ANSI code page (Windows-1252); what it cannot spell becomes '?'.
std::string WideToAnsi(std::wstring_view text);
// Windows-1252 text to wide.
std::wstring AnsiToWide(std::string_view text);
// Account, domain and group names compare without regard to case, as on Windows.
bool NamesEqual(std::wstring_view a, std::wstring_view b);
std::wstring UpperCase(std::wstring_view text);

}  // namespace standin
