#include "platform/standin/identity/token.h"

#include <algorithm>
#include <cstring>

#include "platform/standin/core/text.h"

namespace standin {

namespace {

constexpr DWORD kEnabledGroup = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
// The administrators' privileges, held disabled by an elevated administrator.
constexpr DWORD kAdministratorPrivileges[] = {SE_BACKUP_PRIVILEGE, SE_RESTORE_PRIVILEGE,
                                              SE_TAKE_OWNERSHIP_PRIVILEGE, SE_SECURITY_PRIVILEGE};

const SidValue& Administrators() {
  static const SidValue sid(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
  return sid;
}

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

bool SameSid(const BYTE* sid, const SidValue& value) {
  const size_t size = SidLengthAt(sid);
  return value.size() == size && std::memcmp(sid, value.data(), size) == 0;
}

}  // namespace

std::shared_ptr<const TokenData> BuildProcessToken(const MachineDescription& description,
                                                   const AccountDatabase& db) {
  const auto user = db.ResolveReference(description.user);
  if (!user)
    throw ProfileError("user", "no account '" + WideToUtf8(description.user) + "'");
  const auto& accounts = db.accounts();
  const Account& u = accounts[*user];
  if (u.use != SidTypeUser && u.use != SidTypeWellKnownGroup)
    throw ProfileError("user", "'" + WideToUtf8(description.user) + "' is not a user account");

  auto token = std::make_shared<TokenData>();
  token->user = u.sid;
  token->elevated = description.elevated;
  std::vector<size_t> held;  // accounts whose SIDs the token holds, the user first
  held.push_back(*user);
  auto hold = [&](size_t index) {
    if (std::find(held.begin(), held.end(), index) == held.end()) {
      held.push_back(index);
      DWORD attributes = kEnabledGroup;
      if (accounts[index].sid == Administrators())
        attributes = description.elevated ? kEnabledGroup | SE_GROUP_OWNER
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
  hold(find_sid(SidValue(1, {SECURITY_WORLD_RID})));
  // The user's global groups.
  for (size_t i = 0; i < accounts.size(); ++i) {
    const auto& a = accounts[i];
    if (a.use == SidTypeGroup &&
        std::find(a.members.begin(), a.members.end(), *user) != a.members.end())
      hold(i);
  }
  const size_t interactive = find_sid(SidValue(5, {SECURITY_INTERACTIVE_RID}));
  const size_t authenticated = find_sid(SidValue(5, {SECURITY_AUTHENTICATED_USER_RID}));
  std::vector<size_t> logon = held;
  logon.push_back(interactive);
  logon.push_back(authenticated);
  // Every local group that lists the user or one of the groups above.
  for (size_t i = 0; i < accounts.size(); ++i) {
    const auto& a = accounts[i];
    if (a.use != SidTypeAlias)
      continue;
    for (size_t m : a.members) {
      if (std::find(logon.begin(), logon.end(), m) != logon.end()) {
        hold(i);
        break;
      }
    }
  }
  hold(interactive);
  hold(authenticated);

  token->privileges.Add(SE_CHANGE_NOTIFY_PRIVILEGE,
                        SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT);
  if (TokenHoldsEnabled(*token, Administrators(), 0)) {
    for (DWORD luid : kAdministratorPrivileges)
      token->privileges.Add(luid, 0);
  }
  AddGrantedPrivileges(description, db, *token);
  return token;
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
