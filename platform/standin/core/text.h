// Text helpers of the stand-in: UTF-8 and wide conversion, and the platform's case-insensitive
// comparison of names.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace standin {

// UTF-8 to wide text. A byte that is no part of valid UTF-8 becomes U+DC80..U+DCFF (0x80..0xFF),
// as Python's surrogateescape makes it, so that host names that are not UTF-8 lose nothing.
std::wstring Utf8ToWide(std::string_view text);
// Wide text to UTF-8; U+DC80..U+DCFF become their bytes again, and any other code point that
// UTF-8 cannot hold becomes U+FFFD.
std::string WideToUtf8(std::wstring_view text);
// Wide text in the system's ANSI code page (Windows-1252); what it cannot spell becomes '?'.
std::string WideToAnsi(std::wstring_view text);
// Windows-1252 text to wide.
std::wstring AnsiToWide(std::string_view text);
// The host bytes that `text` stands for: the bytes Utf8ToWide reads back as exactly `text`.
// nullopt for text that no bytes give (a NUL, a lone surrogate, escaped bytes that would read
// back as a character), so that a wide name never reaches another name's entry.
std::optional<std::string> HostBytes(std::wstring_view text);
// Account, domain and group names compare without regard to case, as on Windows.
bool NamesEqual(std::wstring_view a, std::wstring_view b);
std::wstring UpperCase(std::wstring_view text);

// True when `text` holds a control character (U+0000 to U+001F, U+007F to U+009F), which no
// account, key or file name of the platform holds.
bool HasControlCharacter(std::wstring_view text);
// UTF-8 text as a message may quote it: control characters as \u escapes, and cut after about
// `limit` bytes with "..." so that a refusal never repeats a whole hostile input.
std::string Excerpt(std::string_view text, size_t limit = 80);

}  // namespace standin
