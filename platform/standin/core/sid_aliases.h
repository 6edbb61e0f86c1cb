// The two-letter SID aliases of the security descriptor definition language (SDDL).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/standin/core/sid_value.h"

namespace standin {

// The domains that relative aliases are taken from: "LA" and "LG" from the computer's own
// accounts, "DA", "DU", "EA" and the other domain aliases from the domain it belongs to (the
// computer's own accounts when it belongs to none, as CreateWellKnownSid does without a domain).
struct AliasDomains {
  SidValue machine;
  SidValue domain;
};

// The SID an alias such as "BA" or "WD" stands for on this machine; nullopt for none.
std::optional<SidValue> SidForAlias(std::wstring_view alias, const AliasDomains& domains);
// The alias the platform writes for a SID, or an empty string when it has none.
std::wstring AliasForSid(const SidValue& sid, const AliasDomains& domains);

}  // namespace standin
