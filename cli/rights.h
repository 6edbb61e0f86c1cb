// RIGHTS on the command line: an access mask given as a number or in SDDL's letters.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// A decimal number, or hex after "0x", that fits in 32 bits; or one or more two-letter SDDL
// rights written together ("FA", "KR", "GRGW", "RCWD"), their bits combined. Anything else,
// the empty text included, gives nothing.
std::optional<std::uint32_t> ParseRights(const std::string& text);
