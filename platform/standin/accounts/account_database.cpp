#include "platform/standin/accounts/account_database.h"

#include <algorithm>
#include <set>

#include "platform/standin/core/text.h"

namespace standin {

namespace {

constexpr std::uint64_t kWorldAuthority = 1;
constexpr std::uint64_t kCreatorAuthority = 3;
constexpr std::uint64_t kNtAuthority = 5;
constexpr DWORD kFirstAutomaticRid = 1000;

const wchar_t kNtAuthorityName[] = L"NT AUTHORITY";
const wchar_t kBuiltinName[] = L"BUILTIN";

struct WellKnownEntry {
  std::uint64_t authority;
  DWORD rid;
  const wchar_t* name;
  const wchar_t* domain;
};

const WellKnownEntry kWellKnown[] = {
    {kWorldAuthority, 0, L"Everyone", L""},
    {kCreatorAuthority, 0, L"CREATOR OWNER", L""},
    {kCreatorAuthority, 1, L"CREATOR GROUP", L""},
    {kCreatorAuthority, 4, L"OWNER RIGHTS", L""},
    {kNtAuthority, 2, L"NETWORK", kNtAuthorityName},
    {kNtAuthority, 4, L"INTERACTIVE", kNtAuthorityName},
    {kNtAuthority, 6, L"SERVICE", kNtAuthorityName},
    {kNtAuthority, 7, L"ANONYMOUS LOGON", kNtAuthorityName},
    {kNtAuthority, 11, L"Authenticated Users", kNtAuthorityName},
    {kNtAuthority, 13, L"TERMINAL SERVER USER", kNtAuthorityName},
    {kNtAuthority, 18, L"SYSTEM", kNtAuthorityName},
    {kNtAuthority, 19, L"LOCAL SERVICE", kNtAuthorityName},
    {kNtAuthority, 20, L"NETWORK SERVICE", kNtAuthorityName},
};

struct AliasEntry {
  DWORD rid;
  const wchar_t* name;
};

const AliasEntry kBuiltinAliases[] = {
    {DOMAIN_ALIAS_RID_ADMINS, L"Administrators"},
    {DOMAIN_ALIAS_RID_USERS, L"Users"},
    {DOMAIN_ALIAS_RID_GUESTS, L"Guests"},
    {DOMAIN_ALIAS_RID_POWER_USERS, L"Power Users"},
    {DOMAIN_ALIAS_RID_BACKUP_OPS, L"Backup Operators"},
    {DOMAIN_ALIAS_RID_REMOTE_DESKTOP_USERS, L"Remote Desktop Users"},
};

std::string Narrow(std::wstring_view text) {
  return WideToUtf8(text);
}

// Refuses a name the platform cannot hold: an empty one, or one with a backslash or a control
// character. A NUL would end the name early wherever it is handed on as a C string.
void CheckName(const std::string& key, std::wstring_view name, const char* what) {
  if (name.empty() || name.find(L'\\') != std::wstring_view::npos)
    throw ProfileError(key, std::string(what) + " must be non-empty and without a backslash");
  if (HasControlCharacter(name))
    throw ProfileError(key, std::string(what) + " holds a control character");
}

// Splits DOMAIN\name at the first backslash; no backslash gives no domain.
std::pair<std::optional<std::wstring_view>, std::wstring_view> SplitQualified(
    std::wstring_view name) {
  const size_t slash = name.find(L'\\');
  if (slash == std::wstring_view::npos)
    return {std::nullopt, name};
  return {name.substr(0, slash), name.substr(slash + 1)};
}

std::wstring_view StripServerPrefix(std::wstring_view system) {
  while (!system.empty() && system.front() == L'\\')
    system.remove_prefix(1);
  return system;
}

// Hands out RIDs: explicit ones are reserved first, automatic ones fill the gaps from 1000 on.
class RidPool {
 public:
  bool Reserve(DWORD rid) { return used_.insert(rid).second; }
  DWORD Next() {
    while (used_.count(next_))
      ++next_;
    used_.insert(next_);
    return next_;
  }

 private:
  std::set<DWORD> used_;
  DWORD next_ = kFirstAutomaticRid;
};

std::uint32_t Fnv1a(std::wstring_view text, std::uint32_t seed) {
  std::uint32_t hash = 2166136261u ^ seed;
  for (wchar_t c : UpperCase(text)) {
    auto v = static_cast<std::uint32_t>(c);
    for (int i = 0; i < 4; ++i) {
      hash ^= (v >> (8 * i)) & 0xFF;
      hash *= 16777619u;
    }
  }
  return hash;
}

Account MakeAccount(SidValue sid,
                    std::wstring name,
                    std::wstring domain,
                    SID_NAME_USE use,
                    AccountHome home,
                    int domain_index = -1) {
  Account account;
  account.sid = std::move(sid);
  account.name = std::move(name);
  account.domain = std::move(domain);
  account.use = use;
  account.home = home;
  account.domain_index = domain_index;
  return account;
}

}  // namespace

SidValue DerivedDomainSid(std::wstring_view name, DWORD salt) {
  auto part = [&](std::uint32_t seed) {
    const std::uint32_t h = Fnv1a(name, seed ^ salt);
    return h < 0x10000000u ? h + 0x10000000u : h;  // keep nine or ten digits, never zero
  };
  return SidValue(kNtAuthority, {SECURITY_NT_NON_UNIQUE, part(0x1111), part(0x2222), part(0x3333)});
}

AccountDatabase::AccountDatabase(const MachineDescription& description)
    : computer_(description.computer) {
  CheckName("computer", computer_, "the computer's name");
  if (description.machine_sid) {
    auto sid = SidValue::Parse(*description.machine_sid);
    if (!sid || sid->sub_authority_count() >= SID_MAX_SUB_AUTHORITIES)
      throw ProfileError("machine_sid", "'" + Narrow(*description.machine_sid) + "' is not a SID");
    machine_sid_ = *sid;
  } else {
    machine_sid_ = DerivedDomainSid(computer_, 0);
  }
  AddWellKnown();
  AddLocalUsers(description);
  AddLocalGroups(description);
  AddDomains(description);
  if (description.domain) {
    const auto index = FindDomain(*description.domain);
    if (!index)
      throw ProfileError("domain",
                         "'" + Narrow(*description.domain) + "' is not one of the domains");
    member_domain_sid_ = domains_[*index].sid;
  }
  ResolveMembers(description);
  ApplyNames(description);
}

size_t AccountDatabase::Add(Account account) {
  if (account.english_name.empty())
    account.english_name = account.name;
  const size_t index = accounts_.size();
  by_name_[UpperCase(account.name)].push_back(index);
  by_sid_[std::string(reinterpret_cast<const char*>(account.sid.data()), account.sid.size())]
      .push_back(index);
  accounts_.push_back(std::move(account));
  return index;
}

std::vector<size_t> AccountDatabase::Named(std::wstring_view name) const {
  const auto it = by_name_.find(UpperCase(name));
  if (it == by_name_.end())
    return {};
  std::vector<size_t> found = it->second;
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  return found;
}

const std::vector<size_t>* AccountDatabase::WithSid(const SidValue& sid) const {
  const auto it = by_sid_.find(std::string(reinterpret_cast<const char*>(sid.data()), sid.size()));
  return it == by_sid_.end() ? nullptr : &it->second;
}

void AccountDatabase::AddWellKnown() {
  for (const auto& e : kWellKnown) {
    Add(MakeAccount(SidValue(e.authority, {e.rid}), e.name, e.domain, SidTypeWellKnownGroup,
                    AccountHome::kWellKnown));
  }
  const SidValue builtin(kNtAuthority, {SECURITY_BUILTIN_DOMAIN_RID});
  for (const auto& a : kBuiltinAliases) {
    Add(MakeAccount(builtin.Child(a.rid), a.name, kBuiltinName, SidTypeAlias,
                    AccountHome::kBuiltin));
  }
}

void AccountDatabase::AddLocalUsers(const MachineDescription& description) {
  RidPool rids;
  rids.Reserve(DOMAIN_USER_RID_ADMIN);
  rids.Reserve(DOMAIN_USER_RID_GUEST);
  for (size_t i = 0; i < description.users.size(); ++i) {
    const auto& u = description.users[i];
    const std::string key = "users[" + std::to_string(i) + "]";
    if (u.rid && !rids.Reserve(*u.rid))
      throw ProfileError(key, "rid " + std::to_string(*u.rid) + " is already in use");
  }
  for (const auto& g : description.groups) {
    if (g.rid && !rids.Reserve(*g.rid))
      throw ProfileError("groups." + Narrow(g.name),
                         "rid " + std::to_string(*g.rid) + " is already in use");
  }
  auto add_user = [&](const std::wstring& name, DWORD rid) {
    Add(MakeAccount(machine_sid_.Child(rid), name, computer_, SidTypeUser, AccountHome::kLocal));
  };
  add_user(L"Administrator", DOMAIN_USER_RID_ADMIN);
  add_user(L"Guest", DOMAIN_USER_RID_GUEST);
  for (size_t i = 0; i < description.users.size(); ++i) {
    const auto& u = description.users[i];
    const std::string key = "users[" + std::to_string(i) + "]";
    CheckName(key, u.name, "a user name");
    for (size_t k : Named(u.name)) {
      if (accounts_[k].home == AccountHome::kLocal && NamesEqual(accounts_[k].name, u.name))
        throw ProfileError(key, "'" + Narrow(u.name) + "' is defined twice");
    }
    add_user(u.name, u.rid ? *u.rid : rids.Next());
  }
  // Local groups take their RIDs from the same pool, after the users.
  for (const auto& g : description.groups) {
    bool builtin = false;
    for (const auto& a : kBuiltinAliases)
      builtin = builtin || NamesEqual(g.name, a.name);
    if (!builtin) {
      Add(MakeAccount(machine_sid_.Child(g.rid ? *g.rid : rids.Next()), g.name, computer_,
                      SidTypeAlias, AccountHome::kLocal));
    }
  }
}

void AccountDatabase::AddLocalGroups(const MachineDescription& description) {
  // Groups were added with the users; check their names and set the default memberships.
  std::set<std::wstring> seen;
  for (const auto& g : description.groups) {
    const std::string key = "groups." + Narrow(g.name);
    CheckName(key, g.name, "a group name");
    if (!seen.insert(UpperCase(g.name)).second)
      throw ProfileError(key, "the group is defined twice");
    size_t users_with_name = 0;
    for (size_t k : Named(g.name)) {
      const auto& a = accounts_[k];
      if (a.home == AccountHome::kLocal && a.use == SidTypeUser && NamesEqual(a.name, g.name))
        ++users_with_name;
    }
    if (users_with_name)
      throw ProfileError(key, "a local user already has the name '" + Narrow(g.name) + "'");
  }
  auto default_members = [&](const wchar_t* group, std::initializer_list<SidValue> members) {
    const auto index = FindLocalGroup(group);
    for (const auto& sid : members) {
      if (const auto* found = WithSid(sid))
        accounts_[*index].members.insert(accounts_[*index].members.end(), found->begin(),
                                         found->end());
    }
  };
  default_members(L"Administrators", {machine_sid_.Child(DOMAIN_USER_RID_ADMIN)});
  default_members(L"Users", {SidValue(kNtAuthority, {SECURITY_INTERACTIVE_RID}),
                             SidValue(kNtAuthority, {SECURITY_AUTHENTICATED_USER_RID})});
  default_members(L"Guests", {machine_sid_.Child(DOMAIN_USER_RID_GUEST)});
}

void AccountDatabase::AddDomains(const MachineDescription& description) {
  for (size_t d = 0; d < description.domains.size(); ++d) {
    const auto& dd = description.domains[d];
    const std::string key = "domains." + Narrow(dd.name);
    CheckName(key, dd.name, "a domain name");
    if (NamesEqual(dd.name, computer_) || NamesEqual(dd.name, kBuiltinName) ||
        NamesEqual(dd.name, kNtAuthorityName) || FindDomain(dd.name))
      throw ProfileError(key, "the domain name is already in use");
    DomainInfo info{dd.name, {}, dd.controller};
    if (dd.sid) {
      auto sid = SidValue::Parse(*dd.sid);
      if (!sid || sid->sub_authority_count() >= SID_MAX_SUB_AUTHORITIES)
        throw ProfileError(key + ".sid", "'" + Narrow(*dd.sid) + "' is not a SID");
      info.sid = *sid;
    } else {
      info.sid = DerivedDomainSid(dd.name, 0x5eed);
    }
    if (info.sid == machine_sid_)
      throw ProfileError(key + ".sid", "the domain SID is the machine's own");
    for (const auto& other : domains_) {
      if (other.sid == info.sid)
        throw ProfileError(key + ".sid", "the domain SID is already in use");
    }
    if (dd.controller && StripServerPrefix(*dd.controller).empty())
      throw ProfileError(key + ".controller", "must name a computer");
    if (dd.controller)
      CheckName(key + ".controller", StripServerPrefix(*dd.controller), "a computer's name");
    domains_.push_back(info);
    const int index = static_cast<int>(domains_.size() - 1);

    RidPool rids;
    rids.Reserve(DOMAIN_GROUP_RID_ADMINS);
    rids.Reserve(DOMAIN_GROUP_RID_USERS);
    for (size_t i = 0; i < dd.users.size(); ++i) {
      if (dd.users[i].rid && !rids.Reserve(*dd.users[i].rid))
        throw ProfileError(key + ".users[" + std::to_string(i) + "]", "rid already in use");
    }
    std::set<std::wstring> names;
    for (size_t i = 0; i < dd.users.size(); ++i) {
      const auto& u = dd.users[i];
      const std::string ukey = key + ".users[" + std::to_string(i) + "]";
      CheckName(ukey, u.name, "a user name");
      if (!names.insert(UpperCase(u.name)).second)
        throw ProfileError(ukey, "'" + Narrow(u.name) + "' is defined twice");
      Add(MakeAccount(info.sid.Child(u.rid ? *u.rid : rids.Next()), u.name, dd.name, SidTypeUser,
                      AccountHome::kDomain, index));
    }
    auto add_group = [&](const std::wstring& name, DWORD rid) {
      return Add(MakeAccount(info.sid.Child(rid), name, dd.name, SidTypeGroup, AccountHome::kDomain,
                             index));
    };
    bool has_admins = false, has_users = false;
    for (const auto& g : dd.groups) {
      const std::string gkey = key + ".groups." + Narrow(g.name);
      CheckName(gkey, g.name, "a group name");
      if (!names.insert(UpperCase(g.name)).second)
        throw ProfileError(gkey, "the name is already in use in the domain");
      DWORD rid;
      if (NamesEqual(g.name, L"Domain Admins"))
        rid = DOMAIN_GROUP_RID_ADMINS, has_admins = true;
      else if (NamesEqual(g.name, L"Domain Users"))
        rid = DOMAIN_GROUP_RID_USERS, has_users = true;
      else
        rid = rids.Next();
      add_group(g.name, rid);
    }
    if (!has_admins)
      add_group(L"Domain Admins", DOMAIN_GROUP_RID_ADMINS);
    if (!has_users) {
      // Every user of a domain is in its Domain Users group.
      const size_t group = add_group(L"Domain Users", DOMAIN_GROUP_RID_USERS);
      for (size_t i = 0; i < accounts_.size(); ++i) {
        if (accounts_[i].home == AccountHome::kDomain && accounts_[i].domain_index == index &&
            accounts_[i].use == SidTypeUser)
          accounts_[group].members.push_back(i);
      }
    }
  }
}

void AccountDatabase::ResolveMembers(const MachineDescription& description) {
  for (const auto& g : description.groups) {
    const size_t group = *FindLocalGroup(g.name);
    accounts_[group].members.clear();
    for (size_t i = 0; i < g.members.size(); ++i) {
      const std::string key = "groups." + Narrow(g.name) + "[" + std::to_string(i) + "]";
      const auto member = ResolveReference(g.members[i]);
      if (!member)
        throw ProfileError(key, "no account '" + Narrow(g.members[i]) + "'");
      const auto use = accounts_[*member].use;
      // The platform's nesting rules: local groups hold users, global groups and well-known
      // groups, never other local groups.
      if (use == SidTypeAlias)
        throw ProfileError(key, "'" + Narrow(g.members[i]) +
                                    "' is a local group, and local groups cannot contain them");
      if (use != SidTypeUser && use != SidTypeGroup && use != SidTypeWellKnownGroup)
        throw ProfileError(key, "'" + Narrow(g.members[i]) + "' cannot be a group member");
      accounts_[group].members.push_back(*member);
    }
  }
  for (size_t d = 0; d < description.domains.size(); ++d) {
    const auto& dd = description.domains[d];
    for (const auto& g : dd.groups) {
      const size_t group = *FindDomainGroup(static_cast<int>(d), g.name);
      for (size_t i = 0; i < g.members.size(); ++i) {
        const std::string key = "domains." + Narrow(dd.name) + ".groups." + Narrow(g.name) + "[" +
                                std::to_string(i) + "]";
        auto [domain, name] = SplitQualified(g.members[i]);
        std::optional<size_t> member;
        if (!domain || NamesEqual(*domain, dd.name)) {
          for (size_t k : Named(name)) {
            if (member)
              break;
            const auto& a = accounts_[k];
            if (a.home == AccountHome::kDomain && a.domain_index == static_cast<int>(d) &&
                a.use == SidTypeUser && NamesEqual(a.name, name))
              member = k;
          }
        }
        if (!member)
          throw ProfileError(key, "'" + Narrow(g.members[i]) + "' is no user of " +
                                      Narrow(dd.name) +
                                      " (global groups hold users of their domain)");
        accounts_[group].members.push_back(*member);
      }
    }
  }
}

void AccountDatabase::ApplyNames(const MachineDescription& description) {
  for (const auto& [sid_text, name] : description.names) {
    const std::string key = "names." + Narrow(sid_text);
    const auto sid = SidValue::Parse(sid_text);
    if (!sid)
      throw ProfileError(key, "not a SID");
    CheckName(key, name, "a name");
    const auto* found = WithSid(*sid);
    if (!found)
      throw ProfileError(key, "no account has this SID");
    // Two accounts of one domain under one name would each answer for the other.
    for (size_t k : *found) {
      for (size_t other : Named(name)) {
        const Account& a = accounts_[other];
        if (!(a.sid == *sid) && NamesEqual(a.name, name) &&
            NamesEqual(a.domain, accounts_[k].domain))
          throw ProfileError(
              key, "'" + Narrow(name) + "' is already the name of " + Narrow(QualifiedName(a)));
      }
    }
    for (size_t k : *found) {
      accounts_[k].name = name;
      by_name_[UpperCase(name)].push_back(k);
    }
  }
}

bool AccountDatabase::Visible(const Account& account, LookupSite site) const {
  switch (account.home) {
    case AccountHome::kWellKnown:
    case AccountHome::kBuiltin:
      return true;
    case AccountHome::kLocal:
      return site.is_local();
    case AccountHome::kDomain:
      return domains_[static_cast<size_t>(account.domain_index)].controller.has_value();
  }
  return false;
}

std::optional<LookupSite> AccountDatabase::SiteFor(const wchar_t* system) const {
  if (!system || !*system)
    return LookupSite{};
  const std::wstring_view name = StripServerPrefix(system);
  if (NamesEqual(name, computer_))
    return LookupSite{};
  for (size_t d = 0; d < domains_.size(); ++d) {
    if (domains_[d].controller && NamesEqual(name, StripServerPrefix(*domains_[d].controller)))
      return LookupSite{static_cast<int>(d)};
  }
  return std::nullopt;
}

std::optional<size_t> AccountDatabase::FindBySid(const SidValue& sid, LookupSite site) const {
  if (const auto* found = WithSid(sid)) {
    for (size_t i : *found) {
      if (Visible(accounts_[i], site))
        return i;
    }
  }
  return std::nullopt;
}

std::optional<size_t> AccountDatabase::FindByName(std::wstring_view name, LookupSite site) const {
  // Plain variables, not a structured binding: clang 14 cannot capture one in a lambda.
  const auto split = SplitQualified(name);
  const std::optional<std::wstring_view>& domain = split.first;
  const std::wstring_view account = split.second;
  if (account.empty())
    return std::nullopt;
  auto matches = [&](const Account& a) {
    if (!Visible(a, site) || !NamesEqual(a.name, account))
      return false;
    return !domain || NamesEqual(a.domain, *domain);
  };
  // Well-known names, then BUILTIN, then the computer's accounts, then the domains.
  const std::vector<size_t> candidates = Named(account);
  for (auto home : {AccountHome::kWellKnown, AccountHome::kBuiltin, AccountHome::kLocal}) {
    for (size_t i : candidates) {
      if (accounts_[i].home == home && matches(accounts_[i]))
        return i;
    }
  }
  for (size_t i : candidates) {
    if (accounts_[i].home == AccountHome::kDomain &&
        accounts_[i].domain_index == site.domain_index && matches(accounts_[i]))
      return i;
  }
  for (size_t i : candidates) {
    if (accounts_[i].home == AccountHome::kDomain && matches(accounts_[i]))
      return i;
  }
  return std::nullopt;
}

std::optional<AccountDatabase::DomainName> AccountDatabase::FindDomainBySid(const SidValue& sid,
                                                                            LookupSite site) const {
  if (sid == SidValue(kNtAuthority, {SECURITY_BUILTIN_DOMAIN_RID}))
    return DomainName{sid, kBuiltinName};
  if (site.is_local() && sid == machine_sid_)
    return DomainName{sid, computer_};
  for (const auto& d : domains_) {
    if (d.sid == sid && d.controller)
      return DomainName{sid, d.name};
  }
  return std::nullopt;
}

std::optional<AccountDatabase::DomainName> AccountDatabase::FindDomainByName(
    std::wstring_view name,
    LookupSite site) const {
  if (NamesEqual(name, kBuiltinName))
    return DomainName{SidValue(kNtAuthority, {SECURITY_BUILTIN_DOMAIN_RID}), kBuiltinName};
  if (site.is_local() && NamesEqual(name, computer_))
    return DomainName{machine_sid_, computer_};
  for (const auto& d : domains_) {
    if (NamesEqual(d.name, name) && d.controller)
      return DomainName{d.sid, d.name};
  }
  return std::nullopt;
}

namespace {

// A lookup as run on `system`: the account `find_account` finds, else the domain `find_domain`
// finds.
template <typename FindAccount, typename FindDomain>
DWORD Lookup(const AccountDatabase& db,
             const wchar_t* system,
             FindAccount find_account,
             FindDomain find_domain,
             LookupResult& found) {
  const auto site = db.SiteFor(system);
  if (!site)
    return RPC_S_SERVER_UNAVAILABLE;
  if (const auto index = find_account(*site)) {
    const Account& a = db.accounts()[*index];
    found = {a.sid, a.name, a.domain, a.use};
  } else if (const auto domain = find_domain(*site)) {
    found = {domain->sid, domain->name, domain->name, SidTypeDomain};
  } else {
    return ERROR_NONE_MAPPED;
  }
  return ERROR_SUCCESS;
}

}  // namespace

DWORD AccountDatabase::LookupSid(const wchar_t* system,
                                 const SidValue& sid,
                                 LookupResult& found) const {
  return Lookup(
      *this, system, [&](LookupSite site) { return FindBySid(sid, site); },
      [&](LookupSite site) { return FindDomainBySid(sid, site); }, found);
}

DWORD AccountDatabase::LookupName(const wchar_t* system,
                                  std::wstring_view name,
                                  LookupResult& found) const {
  return Lookup(
      *this, system, [&](LookupSite site) { return FindByName(name, site); },
      [&](LookupSite site) { return FindDomainByName(name, site); }, found);
}

std::optional<size_t> AccountDatabase::FindLocalGroup(std::wstring_view name) const {
  const std::vector<size_t> candidates = Named(name);
  for (auto home : {AccountHome::kBuiltin, AccountHome::kLocal}) {
    for (size_t i : candidates) {
      const auto& a = accounts_[i];
      // A translated system knows its groups by their translated names only.
      if (a.home == home && a.use == SidTypeAlias && NamesEqual(a.name, name))
        return i;
    }
  }
  return std::nullopt;
}

std::optional<int> AccountDatabase::FindDomain(std::wstring_view name) const {
  for (size_t d = 0; d < domains_.size(); ++d) {
    if (NamesEqual(domains_[d].name, name))
      return static_cast<int>(d);
  }
  return std::nullopt;
}

std::optional<size_t> AccountDatabase::FindDomainGroup(int domain_index,
                                                       std::wstring_view name) const {
  for (size_t i : Named(name)) {
    const auto& a = accounts_[i];
    if (a.home == AccountHome::kDomain && a.domain_index == domain_index && a.use == SidTypeGroup &&
        NamesEqual(a.name, name))
      return i;
  }
  return std::nullopt;
}

std::optional<size_t> AccountDatabase::ResolveReference(std::wstring_view reference) const {
  if (reference.size() > 2 && (reference[0] == L'S' || reference[0] == L's') &&
      reference[1] == L'-') {
    const auto sid = SidValue::Parse(reference);
    if (!sid)
      return std::nullopt;
    const auto* found = WithSid(*sid);
    return found ? std::optional<size_t>(found->front()) : std::nullopt;
  }
  const auto split = SplitQualified(reference);
  const std::optional<std::wstring_view>& domain = split.first;
  const std::wstring_view name = split.second;
  auto name_matches = [&](const Account& a) {
    return NamesEqual(a.english_name, name) || NamesEqual(a.name, name);
  };
  const std::vector<size_t> candidates = Named(name);
  if (domain) {
    for (size_t i : candidates) {
      if (NamesEqual(accounts_[i].domain, *domain) && name_matches(accounts_[i]))
        return i;
    }
    return std::nullopt;
  }
  // A bare name: local users, then local groups, then well-known names.
  auto find = [&](auto&& pred) -> std::optional<size_t> {
    for (size_t i : candidates) {
      if (pred(accounts_[i]) && name_matches(accounts_[i]))
        return i;
    }
    return std::nullopt;
  };
  if (auto i = find(
          [](const Account& a) { return a.home == AccountHome::kLocal && a.use == SidTypeUser; }))
    return i;
  if (auto i = find([](const Account& a) {
        return (a.home == AccountHome::kLocal || a.home == AccountHome::kBuiltin) &&
               a.use == SidTypeAlias;
      }))
    return i;
  return find([](const Account& a) { return a.home == AccountHome::kWellKnown; });
}

std::wstring AccountDatabase::QualifiedName(const Account& account) const {
  return account.domain + L"\\" + account.name;
}

}  // namespace standin
