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
  // Whether a filtered token stands beside this one, as UAC links the two halves of an
  // administrator's logon.
  bool linked = false;
  LUID id{};  // unique to this token object; a copy is a new token with a new id
  LUID logon_session{};
  DWORD session_id = 1;  // the interactive session
};

// A new token id, unique in the process.
LUID NewTokenId();

// The logon session of the machine's interactive logon.
inline constexpr LUID kInteractiveLogonSession = {0x0001a3c5, 0};
// Where an interactive logon came from (the system's logon session).
inline constexpr LUID kSystemLogonSession = {0x3e7, 0};

// A copy of `token` as a new token of `type` and `level`.
std::shared_ptr<TokenData> CopyToken(const TokenData& token,
                                     TOKEN_TYPE type,
                                     SECURITY_IMPERSONATION_LEVEL level);

// The other half of a linked logon: for a filtered token the full one, as an identification
// token; null when the token is linked to none.
std::shared_ptr<TokenData> LinkedTokenOf(const TokenData& token);

// What a token says of itself beyond its user and groups.
SidValue OwnerSidOf(const TokenData& token);
SidValue PrimaryGroupOf(const TokenData& token);
// The logon SID among the groups, or an empty SID.
SidValue LogonSidOf(const TokenData& token);
// S-1-16-...: System for SYSTEM, High with Administrators enabled, else Medium.
SidValue IntegritySidOf(const TokenData& token);
TOKEN_ELEVATION_TYPE ElevationTypeOf(const TokenData& token);
// The owner of what a token creates: Administrators for an elevated administrator, else the
// user.
SidValue DefaultOwnerOf(const TokenData& token);
// GENERIC_ALL for the owner of what the token creates and SYSTEM: the DACL a new object gets
// when none is given and none is inherited.
std::vector<BYTE> DefaultDaclOf(const TokenData& token);

// True when the token holds `sid` as its user or an enabled group: CheckTokenMembership.
bool TokenIsMember(const TokenData& token, const SidValue& sid);

// The process token of the machine `description` describes: its user, Everyone, the user's
// domain groups, every local group that lists the user or one of those, INTERACTIVE and
// Authenticated Users; on the host, the groups of `token_gids` instead of the computer's groups
// that list the user. An elevated token holds Administrators as a group that may own objects,
// a filtered one for deny only. Privileges: SeChangeNotifyPrivilege enabled; for an elevated
// administrator backup, restore, take-ownership and security, disabled; and those the
// description gives the user or a group the token holds, disabled. Throws ProfileError when
// the user is no user account, or for a privilege entry that names no account or privilege.
std::shared_ptr<const TokenData> BuildProcessToken(const MachineDescription& description,
                                                   const AccountDatabase& db);

// How an account's token is made: the process's interactive logon, or the context Authz builds
// from a SID (no INTERACTIVE, no logon SID, Administrators enabled, groups from the accounts;
// for a group's SID, only the local groups that list it).
enum class LogonKind { kInteractive, kContextFromSid };

// The token of a logon of account `user` (an index into `db`'s accounts) on the machine
// `description` describes, its groups expanded as BuildProcessToken says.
std::shared_ptr<const TokenData> BuildLogonToken(const MachineDescription& description,
                                                 const AccountDatabase& db,
                                                 size_t user,
                                                 LogonKind kind);

// True when the token holds `sid` for allow entries (its user or an enabled group) or, with
// `for_deny`, also as a deny-only group.
bool TokenHasSid(const TokenData& token, const BYTE* sid, bool for_deny);

// True when the token holds the privilege `luid` enabled.
bool TokenPrivilegeEnabled(const TokenData& token, DWORD luid);

// True when the token holds `sid` as an enabled group with `attribute` (any, for 0).
bool TokenHoldsEnabled(const TokenData& token, const SidValue& sid, DWORD attribute);

}  // namespace standin
