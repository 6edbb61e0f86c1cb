// The two-letter SID aliases of the security descriptor definition language (SDDL).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/standin/core/sid_value.h"

namespace standin {

// The domains that relative aliases ("LA", "LG") are taken from.
struct AliasDomains {
  SidValue machine;  // the domain of the computer's local accounts
};

// The SID an alias such as "BA" or "WD" stands for on this machine; nullopt for no alias.
std::optional<SidValue> SidForAlias(std::wstring_view alias, const AliasDomains& domains);
// The alias of a SID, or an empty string when it has none.
std::wstring AliasForSid(const SidValue& sid, const AliasDomains& domains);

}  // namespace standin
