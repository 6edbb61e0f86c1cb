// The two-letter SID aliases of the security descriptor definition language (SDDL).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/standin/account_database.h"

namespace standin {

// The SID an alias such as "BA" or "WD" stands for on this machine; nullopt for no alias.
std::optional<SidValue> SidForAlias(std::wstring_view alias, const AccountDatabase& accounts);
// The alias of a SID, or an empty string when it has none.
std::wstring AliasForSid(const SidValue& sid, const AccountDatabase& accounts);

}  // namespace standin
