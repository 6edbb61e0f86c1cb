#include "platform/standin/identity/token.h"

#include <algorithm>
#include <cstring>

#include "platform/standin/core/text.h"
#include "platform/standin/profile/host_ids.h"

namespace standin {

namespace {

constexpr DWORD kEnabledGroup = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;

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
      if (!description.elevated && accounts[index].sid == SidValue(5, {SECURITY_BUILTIN_DOMAIN_RID,
                                                                       DOMAIN_ALIAS_RID_ADMINS}))
        attributes = SE_GROUP_USE_FOR_DENY_ONLY;
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
  // Every local group that lists the user or one of the groups above; on the host, the
  // computer's own groups are those the kernel gives the process instead.
  for (size_t i = 0; i < accounts.size(); ++i) {
    const auto& a = accounts[i];
    if (a.use != SidTypeAlias || (description.token_gids && a.home == AccountHome::kLocal))
      continue;
    for (size_t m : a.members) {
      if (std::find(logon.begin(), logon.end(), m) != logon.end()) {
        hold(i);
        break;
      }
    }
  }
  if (description.token_gids) {
    for (const std::uint32_t gid : *description.token_gids) {
      const SidValue sid = HostGroupSid(db.machine_sid(), gid);
      if (const size_t index = find_sid(sid); index < accounts.size())
        hold(index);
      else
        token->groups.emplace_back(sid, kEnabledGroup);
    }
  }
  hold(interactive);
  hold(authenticated);
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

bool TokenHoldsEnabled(const TokenData& token, const SidValue& sid, DWORD attribute) {
  return std::any_of(token.groups.begin(), token.groups.end(), [&](const auto& group) {
    return group.first == sid && (group.second & SE_GROUP_ENABLED) &&
           (attribute == 0 || (group.second & attribute));
  });
}

}  // namespace standin
