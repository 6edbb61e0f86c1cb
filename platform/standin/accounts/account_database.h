// The accounts of a machine and of the domains it knows: well-known SIDs, BUILTIN aliases,
// local users and groups, domain users and global groups, with the platform's lookup rules.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/standin/core/sid_aliases.h"
#include "platform/standin/core/sid_value.h"
#include "platform/standin/profile/machine_description.h"

namespace standin {

// Where an account lives; lookups see an account only from where it is visible.
enum class AccountHome { kWellKnown, kBuiltin, kLocal, kDomain };

struct Account {
  SidValue sid;
  std::wstring name;    // the name lookups report (translated where the machine says so)
  std::wstring domain;  // the referenced domain lookups report
  SID_NAME_USE use = SidTypeUser;
  AccountHome home = AccountHome::kLocal;
  int domain_index = -1;        // for kDomain: index into domains()
  std::vector<size_t> members;  // groups: member accounts in listing order
  std::wstring english_name;    // the name before translation
};

struct DomainInfo {
  std::wstring name;
  SidValue sid;
  std::optional<std::wstring> controller;
};

// What an account lookup reports: the SID, the name and its domain, and the kind of account.
struct LookupResult {
  SidValue sid;
  std::wstring name;
  std::wstring domain;
  SID_NAME_USE use = SidTypeUser;
};

// Where a lookup runs: the local computer, or the controller of domain `domain_index`.
struct LookupSite {
  int domain_index = -1;
  bool is_local() const { return domain_index < 0; }
};

class AccountDatabase {
 public:
  // Builds the accounts of `description`; throws ProfileError naming the key at fault.
  explicit AccountDatabase(const MachineDescription& description);

  const std::wstring& computer() const { return computer_; }
  const SidValue& machine_sid() const { return machine_sid_; }
  // The domains SDDL's relative aliases are taken from on this machine.
  AliasDomains alias_domains() const { return {machine_sid_, member_domain_sid_}; }
  const std::vector<Account>& accounts() const { return accounts_; }
  const std::vector<DomainInfo>& domains() const { return domains_; }

  // The site a system name denotes (null or empty: the local computer); nullopt when unknown.
  std::optional<LookupSite> SiteFor(const wchar_t* system) const;

  // Account lookups as seen from `site`; domains themselves resolve with SidTypeDomain.
  std::optional<size_t> FindBySid(const SidValue& sid, LookupSite site) const;
  std::optional<size_t> FindByName(std::wstring_view name, LookupSite site) const;
  // A domain's own SID and name, seen from `site`.
  struct DomainName {
    SidValue sid;
    std::wstring name;
  };
  std::optional<DomainName> FindDomainBySid(const SidValue& sid, LookupSite site) const;
  std::optional<DomainName> FindDomainByName(std::wstring_view name, LookupSite site) const;

  // LookupAccountSidW and LookupAccountNameW as run on `system` (null or empty: the local
  // computer): an account, else a domain. Errors: RPC_S_SERVER_UNAVAILABLE for an unknown
  // system, ERROR_NONE_MAPPED.
  DWORD LookupSid(const wchar_t* system, const SidValue& sid, LookupResult& found) const;
  DWORD LookupName(const wchar_t* system, std::wstring_view name, LookupResult& found) const;

  // A local group (BUILTIN alias first, then the computer's own groups) by its bare name.
  std::optional<size_t> FindLocalGroup(std::wstring_view name) const;
  // A domain's index by name; nullopt when unknown.
  std::optional<int> FindDomain(std::wstring_view name) const;
  // A global group of a domain by its bare name.
  std::optional<size_t> FindDomainGroup(int domain_index, std::wstring_view name) const;

  // Resolves a profile reference (name, DOMAIN\name, S-1-...) regardless of reachability.
  std::optional<size_t> ResolveReference(std::wstring_view reference) const;

  std::wstring QualifiedName(const Account& account) const;
  // Whether lookups from `site` can see the account.
  bool Visible(const Account& account, LookupSite site) const;

 private:
  // Accounts whose name or English name is `name` (ignoring case), in the order they were made.
  std::vector<size_t> Named(std::wstring_view name) const;
  // Accounts with this SID, in the order they were made.
  const std::vector<size_t>* WithSid(const SidValue& sid) const;

  size_t Add(Account account);
  void AddWellKnown();
  void AddLocalUsers(const MachineDescription& description);
  void AddLocalGroups(const MachineDescription& description);
  void AddDomains(const MachineDescription& description);
  void ResolveMembers(const MachineDescription& description);
  void ApplyNames(const MachineDescription& description);

  std::wstring computer_;
  SidValue machine_sid_;
  // The domain the computer belongs to; empty when it belongs to none.
  SidValue member_domain_sid_;
  std::vector<Account> accounts_;
  std::vector<DomainInfo> domains_;
  // Indexes over accounts_, so that lookups cost the same whatever the number of accounts.
  std::unordered_map<std::wstring, std::vector<size_t>> by_name_;  // upper-cased names
  std::unordered_map<std::string, std::vector<size_t>> by_sid_;    // SID bytes
};

// S-1-5-21-a-b-c derived from a name, stable across runs.
SidValue DerivedDomainSid(std::wstring_view name, DWORD salt);

}  // namespace standin
