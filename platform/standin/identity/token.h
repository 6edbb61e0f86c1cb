// Tokens: the identity a process or thread acts as, its user and its groups with their
// attributes, and who such a token is for the checks of the platform.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "platform/standin/accounts/account_database.h"
#include "platform/standin/core/sid_value.h"
#include "platform/standin/identity/privileges.h"
#include "platform/standin/profile/machine_description.h"

namespace standin {

struct TokenData {
  SidValue user;
  std::vector<std::pair<SidValue, DWORD>> groups;  // SID and SE_GROUP_* attributes
  TOKEN_TYPE type = TokenPrimary;
  SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
  bool elevated = true;
  // Adjusted in place through any handle to the token.
  mutable HeldPrivileges privileges;
};

// The process token of the machine `description` describes: its user, Everyone, the user's
// domain groups, every local group that lists the user or one of those, INTERACTIVE and
// Authenticated Users. An elevated token holds Administrators as a group that may own objects,
// a filtered one for deny only. Privileges: SeChangeNotifyPrivilege enabled; for an elevated
// administrator backup, restore, take-ownership and security, disabled; and those the
// description gives the user or a group the token holds, disabled. Throws ProfileError when
// the user is no user account, or for a privilege entry that names no account or privilege.
std::shared_ptr<const TokenData> BuildProcessToken(const MachineDescription& description,
                                                   const AccountDatabase& db);

// True when the token holds `sid` for allow entries (its user or an enabled group) or, with
// `for_deny`, also as a deny-only group.
bool TokenHasSid(const TokenData& token, const BYTE* sid, bool for_deny);

// True when the token holds the privilege `luid` enabled.
bool TokenPrivilegeEnabled(const TokenData& token, DWORD luid);

// True when the token holds `sid` as an enabled group with `attribute` (any, for 0).
bool TokenHoldsEnabled(const TokenData& token, const SidValue& sid, DWORD attribute);

}  // namespace standin
