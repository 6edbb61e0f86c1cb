// Tokens: the identity a process or thread acts as, its user and its groups with their
// attributes, and who such a token is for the checks of the platform.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "platform/standin/accounts/account_database.h"
#include "platform/standin/core/sid_value.h"
#include "platform/standin/profile/machine_description.h"

namespace standin {

struct TokenData {
  SidValue user;
  std::vector<std::pair<SidValue, DWORD>> groups;  // SID and SE_GROUP_* attributes
  TOKEN_TYPE type = TokenPrimary;
  SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
  bool elevated = true;
};

// The process token of the machine `description` describes: its user, Everyone, the user's
// domain groups, every local group that lists the user or one of those, INTERACTIVE and
// Authenticated Users; on the host, the groups of `token_gids` instead of the computer's groups
// that list the user. A filtered token holds Administrators for deny only. Throws
// ProfileError when the user is no user account.
std::shared_ptr<const TokenData> BuildProcessToken(const MachineDescription& description,
                                                   const AccountDatabase& db);

// True when the token holds `sid` for allow entries (its user or an enabled group) or, with
// `for_deny`, also as a deny-only group.
bool TokenHasSid(const TokenData& token, const BYTE* sid, bool for_deny);

// True when the token holds `sid` as an enabled group with `attribute` (any, for 0).
bool TokenHoldsEnabled(const TokenData& token, const SidValue& sid, DWORD attribute);

}  // namespace standin
