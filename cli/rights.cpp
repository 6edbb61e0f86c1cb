#include "cli/rights.h"

#include <cctype>

#include "platform/sddl_rights.h"

namespace {

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
    const sddl::Right* right = sddl::FindRight(text.data() + i);
    if (!right)
      return std::nullopt;
    mask |= right->mask;
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
