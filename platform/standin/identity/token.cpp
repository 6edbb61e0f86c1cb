#include "platform/standin/identity/token.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/standin/core/acl.h"

#include "platform/standin/core/text.h"
#include "platform/standin/profile/host_ids.h"

namespace standin {

namespace {

constexpr DWORD kEnabledGroup = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
// The administrators' privileges, held disabled by an elevated administrator.
constexpr DWORD kAdministratorPrivileges[] = {SE_BACKUP_PRIVILEGE, SE_RESTORE_PRIVILEGE,
                                              SE_TAKE_OWNERSHIP_PRIVILEGE, SE_SECURITY_PRIVILEGE};

// The privileges `description` gives to accounts the token is: its user or an enabled group.
void AddGrantedPrivileges(const MachineDescription& description,
                          const AccountDatabase& db,
                          TokenData& token) {
  for (const auto& [reference, names] : description.privileges) {
    const std::string key = "privileges." + WideToUtf8(reference);
    const auto account = db.ResolveReference(reference);
    if (!account)
      throw ProfileError(key, "no account '" + WideToUtf8(reference) + "'");
    std::vector<DWORD> luids;
    for (size_t i = 0; i < names.size(); ++i) {
      const auto luid = PrivilegeValue(names[i]);
      if (!luid)
        throw ProfileError(key + "[" + std::to_string(i) + "]",
                           "no privilege '" + WideToUtf8(names[i]) + "'");
      luids.push_back(*luid);
    }
    const SidValue& sid = db.accounts()[*account].sid;
    if (sid != token.user && !TokenHoldsEnabled(token, sid, 0))
      continue;
    for (DWORD luid : luids)
      token.privileges.Add(luid, 0);
  }
}

std::atomic<DWORD> g_next_token_id{0x10000};

const SidValue& Administrators() {
  static const SidValue sid(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
  return sid;
}

const SidValue& LocalSystem() {
  static const SidValue sid(5, {SECURITY_LOCAL_SYSTEM_RID});
  return sid;
}

bool SameSid(const BYTE* sid, const SidValue& value) {
  return value.Matches(sid);
}

}  // namespace

std::shared_ptr<const TokenData> BuildProcessToken(const MachineDescription& description,
                                                   const AccountDatabase& db) {
  const auto user = db.ResolveReference(description.user);
  if (!user)
    throw ProfileError("user", "no account '" + WideToUtf8(description.user) + "'");
  const Account& u = db.accounts()[*user];
  if (u.use != SidTypeUser && u.use != SidTypeWellKnownGroup)
    throw ProfileError("user", "'" + WideToUtf8(description.user) + "' is not a user account");
  return BuildLogonToken(description, db, *user, LogonKind::kInteractive);
}

std::shared_ptr<const TokenData> BuildLogonToken(const MachineDescription& description,
                                                 const AccountDatabase& db,
                                                 size_t user,
                                                 LogonKind kind) {
  const auto& accounts = db.accounts();
  const Account& u = accounts[user];
  const bool interactive = kind == LogonKind::kInteractive;
  const bool elevated = interactive ? description.elevated : true;
  // Only the process's own logon holds the groups the kernel gave the process.
  const auto& token_gids = interactive ? description.token_gids : std::nullopt;

  auto token = std::make_shared<TokenData>();
  token->user = u.sid;
  token->elevated = elevated;
  token->id = NewTokenId();
  token->logon_session = kInteractiveLogonSession;
  std::vector<size_t> held;  // accounts whose SIDs the token holds, the user first
  held.push_back(user);
  auto hold = [&](size_t index) {
    if (std::find(held.begin(), held.end(), index) == held.end()) {
      held.push_back(index);
      DWORD attributes = kEnabledGroup;
      if (accounts[index].sid == Administrators())
        attributes = elevated ? kEnabledGroup | SE_GROUP_OWNER
                              : static_cast<DWORD>(SE_GROUP_USE_FOR_DENY_ONLY);
      token->groups.emplace_back(accounts[index].sid, attributes);
    }
  };
  auto find_sid = [&](const SidValue& sid) {
    for (size_t i = 0; i < accounts.size(); ++i) {
      if (accounts[i].sid == sid)
        return i;
    }
    return accounts.size();
  };
  // A context made for a group holds the group and the local groups that list it; only an
  // account that logs on gets the logon's well-known groups.
  const bool logs_on = interactive || u.use == SidTypeUser;
  if (logs_on)
    hold(find_sid(SidValue(1, {SECURITY_WORLD_RID})));
  // The user's global groups.
  for (size_t i = 0; i < accounts.size(); ++i) {
    const auto& a = accounts[i];
    if (a.use == SidTypeGroup &&
        std::find(a.members.begin(), a.members.end(), user) != a.members.end())
      hold(i);
  }
  const size_t interactive_group = find_sid(SidValue(5, {SECURITY_INTERACTIVE_RID}));
  const size_t authenticated = find_sid(SidValue(5, {SECURITY_AUTHENTICATED_USER_RID}));
  std::vector<size_t> logon = held;
  if (interactive)
    logon.push_back(interactive_group);
  if (logs_on)
    logon.push_back(authenticated);
  // Every local group that lists the user or one of the groups above; on the host, the
  // computer's own groups are those the kernel gives the process instead.
  for (size_t i = 0; i < accounts.size(); ++i) {
    const auto& a = accounts[i];
    if (a.use != SidTypeAlias || (token_gids && a.home == AccountHome::kLocal))
      continue;
    for (size_t m : a.members) {
      if (std::find(logon.begin(), logon.end(), m) != logon.end()) {
        hold(i);
        break;
      }
    }
  }
  if (token_gids) {
    for (const std::uint32_t gid : *token_gids) {
      const SidValue sid = HostGroupSid(db.machine_sid(), gid);
      if (const size_t index = find_sid(sid); index < accounts.size())
        hold(index);
      else
        token->groups.emplace_back(sid, kEnabledGroup);
    }
  }
  if (interactive)
    hold(interactive_group);
  if (logs_on)
    hold(authenticated);

  // On the host the kernel checks search permission on every directory of a path, whoever asks:
  // a context made for another account holds no bypass of that check.
  if (interactive || !description.host_mirror)
    token->privileges.Add(SE_CHANGE_NOTIFY_PRIVILEGE,
                          SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT);
  if (TokenHoldsEnabled(*token, Administrators(), 0)) {
    for (DWORD luid : kAdministratorPrivileges)
      token->privileges.Add(luid, 0);
  }
  AddGrantedPrivileges(description, db, *token);
  // A filtered administrator has the full token of the same logon beside it.
  token->linked =
      !elevated && std::any_of(token->groups.begin(), token->groups.end(),
                               [](const auto& group) { return group.first == Administrators(); });
  // The logon's own SID, S-1-5-5-X-Y from the logon session; a context made from a SID has none.
  if (!interactive)
    return token;
  token->groups.emplace_back(
      SidValue(5, {SECURITY_LOGON_IDS_RID, static_cast<DWORD>(token->logon_session.HighPart),
                   token->logon_session.LowPart}),
      kEnabledGroup | SE_GROUP_LOGON_ID);
  return token;
}

LUID NewTokenId() {
  return {g_next_token_id.fetch_add(1, std::memory_order_relaxed), 0};
}

std::shared_ptr<TokenData> CopyToken(const TokenData& token,
                                     TOKEN_TYPE type,
                                     SECURITY_IMPERSONATION_LEVEL level) {
  auto copy = std::make_shared<TokenData>(token);
  copy->type = type;
  copy->level = type == TokenImpersonation ? level : SecurityAnonymous;
  copy->id = NewTokenId();
  return copy;
}

std::shared_ptr<TokenData> LinkedTokenOf(const TokenData& token) {
  if (!token.linked)
    return nullptr;
  auto full = CopyToken(token, TokenImpersonation, SecurityIdentification);
  full->elevated = !token.elevated;
  for (auto& [sid, attributes] : full->groups) {
    if (sid == Administrators())
      attributes = full->elevated ? kEnabledGroup | SE_GROUP_OWNER
                                  : static_cast<DWORD>(SE_GROUP_USE_FOR_DENY_ONLY);
  }
  // The full half holds the administrators' privileges the filtered half lacks.
  if (full->elevated) {
    for (DWORD luid : kAdministratorPrivileges)
      full->privileges.Add(luid, 0);
  }
  return full;
}

SidValue OwnerSidOf(const TokenData& token) {
  return token.user;
}

SidValue PrimaryGroupOf(const TokenData& token) {
  // An account of a domain has the domain's users group (a computer's is "None"); a
  // well-known account is its own group.
  if (token.user.sub_authority_count() >= 2 && token.user.authority() == 5 &&
      token.user.sub_authority(0) == SECURITY_NT_NON_UNIQUE)
    return token.user.Parent().Child(DOMAIN_GROUP_RID_USERS);
  return token.user;
}

SidValue LogonSidOf(const TokenData& token) {
  for (const auto& [sid, attributes] : token.groups) {
    if ((attributes & SE_GROUP_LOGON_ID) == SE_GROUP_LOGON_ID)
      return sid;
  }
  return {};
}

SidValue IntegritySidOf(const TokenData& token) {
  DWORD level = SECURITY_MANDATORY_MEDIUM_RID;
  if (token.user == LocalSystem())
    level = SECURITY_MANDATORY_SYSTEM_RID;
  else if (TokenHoldsEnabled(token, Administrators(), 0))
    level = SECURITY_MANDATORY_HIGH_RID;
  return SidValue(16, {level});
}

TOKEN_ELEVATION_TYPE ElevationTypeOf(const TokenData& token) {
  if (!token.linked)
    return TokenElevationTypeDefault;
  return token.elevated ? TokenElevationTypeFull : TokenElevationTypeLimited;
}

SidValue DefaultOwnerOf(const TokenData& token) {
  return TokenHoldsEnabled(token, Administrators(), 0) ? Administrators() : token.user;
}

std::vector<BYTE> DefaultDaclOf(const TokenData& token) {
  AclBuilder acl;
  const SidValue owner = DefaultOwnerOf(token);
  acl.Append(ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, owner);
  if (!(owner == LocalSystem()))
    acl.Append(ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, LocalSystem());
  return *std::move(acl).Finish();
}

bool TokenIsMember(const TokenData& token, const SidValue& sid) {
  return token.user == sid || TokenHoldsEnabled(token, sid, 0);
}

bool TokenHasSid(const TokenData& token, const BYTE* sid, bool for_deny) {
  if (!sid)
    return false;
  if (SameSid(sid, token.user))
    return true;
  for (const auto& [group, attributes] : token.groups) {
    if (!SameSid(sid, group))
      continue;
    if (attributes & SE_GROUP_USE_FOR_DENY_ONLY) {
      if (for_deny)
        return true;
    } else if (attributes & SE_GROUP_ENABLED) {
      return true;
    }
  }
  return false;
}

bool TokenPrivilegeEnabled(const TokenData& token, DWORD luid) {
  return token.privileges.Enabled(luid);
}

bool TokenHoldsEnabled(const TokenData& token, const SidValue& sid, DWORD attribute) {
  return std::any_of(token.groups.begin(), token.groups.end(), [&](const auto& group) {
    return group.first == sid && (group.second & SE_GROUP_ENABLED) &&
           (attribute == 0 || (group.second & attribute));
  });
}

}  // namespace standin
