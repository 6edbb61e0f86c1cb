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
