#include "platform/standin/core/text.h"

#include <cstdint>
#include <algorithm>
#include <cwctype>

namespace standin {

namespace {

constexpr char32_t kReplacement = 0xFFFD;
// Where the bytes that are no part of valid UTF-8 go: U+DC80 for 0x80 to U+DCFF for 0xFF.
constexpr char32_t kEscapeBase = 0xDC00;
constexpr char32_t kFirstEscape = 0xDC80;
constexpr char32_t kLastEscape = 0xDCFF;

void AppendUtf8(std::string& out, char32_t c) {
  if (c >= kFirstEscape && c <= kLastEscape) {
    out += static_cast<char>(c - kEscapeBase);
    return;
  }
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
    c = kReplacement;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void AppendWide(std::wstring& out, char32_t c) {
  if constexpr (sizeof(wchar_t) == 2) {
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<wchar_t>(0xD800 + (c >> 10));
      out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
      return;
    }
  }
  out += static_cast<wchar_t>(c);
}

}  // namespace

std::wstring Utf8ToWide(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    size_t extra = 0;
    char32_t c = 0;
    char32_t min = 0;
    if (b < 0x80) {
      c = b;
    } else if ((b & 0xE0) == 0xC0) {
      extra = 1, c = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2, c = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      extra = 3, c = b & 0x07, min = 0x10000;
    } else {
      AppendWide(out, kEscapeBase + b);
      ++i;
      continue;
    }
    size_t j = 1;
    for (; j <= extra; ++j) {
      if (i + j >= text.size() || (static_cast<unsigned char>(text[i + j]) & 0xC0) != 0x80)
        break;
      c = (c << 6) | (static_cast<unsigned char>(text[i + j]) & 0x3F);
    }
    if (j <= extra || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      // Only the first byte is escaped; the reading starts again at the next one.
      AppendWide(out, kEscapeBase + b);
      ++i;
      continue;
    }
    AppendWide(out, c);
    i += extra + 1;
  }
  return out;
}

namespace {

// The length of the ASCII run that `text` starts with: those characters are their own bytes.
size_t AsciiPrefix(std::wstring_view text) {
  size_t n = 0;
  while (n < text.size() && static_cast<char32_t>(text[n]) < 0x80)
    ++n;
  return n;
}

}  // namespace

std::string WideToUtf8(std::wstring_view text) {
  const size_t ascii = AsciiPrefix(text);
  std::string out(ascii, '\0');
  for (size_t i = 0; i < ascii; ++i)
    out[i] = static_cast<char>(text[i]);
  if (ascii == text.size())
    return out;
  out.reserve(text.size());
  for (size_t i = ascii; i < text.size(); ++i) {
    char32_t c = static_cast<char32_t>(text[i]);
    if constexpr (sizeof(wchar_t) == 2) {
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
        const char32_t low = static_cast<char32_t>(text[i + 1]);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
          ++i;
        }
      }
    }
    AppendUtf8(out, c);
  }
  return out;
}

std::optional<std::string> HostBytes(std::wstring_view text) {
  if (text.find(L'\0') != std::wstring_view::npos)
    return std::nullopt;
  std::string bytes = WideToUtf8(text);
  // ASCII reads back as itself.
  if (AsciiPrefix(text) == text.size())
    return bytes;
  if (Utf8ToWide(bytes) != text)
    return std::nullopt;
  return bytes;
}

bool NamesEqual(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::towupper(static_cast<wint_t>(a[i])) != std::towupper(static_cast<wint_t>(b[i])))
      return false;
  }
  return true;
}

std::wstring UpperCase(std::wstring_view text) {
  std::wstring out(text);
  for (auto& c : out)
    c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
  return out;
}

namespace {

// Windows-1252's bytes 0x80 to 0x9F; 0 where the code page leaves a byte undefined, which
// then stands for the control character of the same value.
constexpr char16_t kAnsiHigh[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

}  // namespace

std::string WideToAnsi(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (const wchar_t c : text) {
    const auto code = static_cast<std::uint32_t>(c);
    char byte = '?';
    if (code < 0x80 || (code >= 0xA0 && code <= 0xFF)) {
      byte = static_cast<char>(code);
    } else {
      for (unsigned i = 0; i < 32; ++i) {
        if (kAnsiHigh[i] ? kAnsiHigh[i] == code : code == 0x80 + i) {
          byte = static_cast<char>(0x80 + i);
          break;
        }
      }
    }
    out += byte;
  }
  return out;
}

std::wstring AnsiToWide(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80 && byte < 0xA0 && kAnsiHigh[byte - 0x80])
      out += static_cast<wchar_t>(kAnsiHigh[byte - 0x80]);
    else
      out += static_cast<wchar_t>(byte);
  }
  return out;
}

bool HasControlCharacter(std::wstring_view text) {
  for (const wchar_t c : text) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F))
      return true;
  }
  return false;
}

std::string Excerpt(std::string_view text, size_t limit) {
  std::string out;
  size_t i = 0;
  while (i < text.size() && out.size() < limit) {
    const auto b = static_cast<unsigned char>(text[i]);
    // U+0080 to U+009F arrive as C2 80 to C2 9F.
    const bool c1 = b == 0xC2 && i + 1 < text.size() &&
                    static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (b < 0x20 || b == 0x7F || c1) {
      const unsigned code = c1 ? static_cast<unsigned char>(text[i + 1]) : b;
      const char digits[] = "0123456789abcdef";
      out += "\\u00";
      out += digits[code >> 4];
      out += digits[code & 0xF];
      i += c1 ? 2 : 1;
      continue;
    }
    // A whole UTF-8 sequence at a time, so that the cut never splits a character.
    size_t length = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : 4;
    length = std::min(length, text.size() - i);
    out.append(text.substr(i, length));
    i += length;
  }
  if (i < text.size())
    out += "...";
  return out;
}

}  // namespace standin
