#include "cli/rights.h"

#include <cctype>
#include <cstring>

namespace {

struct SddlRight {
  const char* letters;
  std::uint32_t mask;
};

// SDDL's access-right strings, as ConvertStringSecurityDescriptorToSecurityDescriptor reads them.
constexpr SddlRight kSddlRights[] = {
    {"GA", 0x10000000}, {"GX", 0x20000000}, {"GW", 0x40000000}, {"GR", 0x80000000},
    {"SD", 0x00010000}, {"RC", 0x00020000}, {"WD", 0x00040000}, {"WO", 0x00080000},
    {"CC", 0x00000001}, {"DC", 0x00000002}, {"LC", 0x00000004}, {"SW", 0x00000008},
    {"RP", 0x00000010}, {"WP", 0x00000020}, {"DT", 0x00000040}, {"LO", 0x00000080},
    {"CR", 0x00000100}, {"FA", 0x001F01FF}, {"FR", 0x00120089}, {"FW", 0x00120116},
    {"FX", 0x001200A0}, {"KA", 0x000F003F}, {"KR", 0x00020019}, {"KW", 0x00020006},
    {"KX", 0x00020019},
};

std::optional<std::uint32_t> ParseNumber(const std::string& text) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const unsigned base = hex ? 16 : 10;
  std::uint64_t value = 0;
  for (size_t i = hex ? 2 : 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    unsigned digit;
    if (std::isdigit(c))
      digit = c - '0';
    else if (hex && std::isxdigit(c))
      digit = static_cast<unsigned>(std::tolower(c) - 'a' + 10);
    else
      return std::nullopt;
    value = value * base + digit;
    if (value > 0xFFFFFFFFu)
      return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

std::optional<std::uint32_t> ParseLetters(const std::string& text) {
  if (text.size() % 2 != 0)
    return std::nullopt;
  std::uint32_t mask = 0;
  for (size_t i = 0; i < text.size(); i += 2) {
    const SddlRight* found = nullptr;
    for (const SddlRight& right : kSddlRights) {
      if (text.compare(i, 2, right.letters) == 0)
        found = &right;
    }
    if (!found)
      return std::nullopt;
    mask |= found->mask;
  }
  return mask;
}

}  // namespace

std::optional<std::uint32_t> ParseRights(const std::string& text) {
  if (text.empty())
    return std::nullopt;
  if (std::isdigit(static_cast<unsigned char>(text[0])))
    return ParseNumber(text);
  return ParseLetters(text);
}
