#include "platform/standin/core/sid_aliases.h"

#include "platform/standin/win32api.h"

namespace standin {

namespace {

struct Alias {
  const wchar_t* alias;
  std::uint64_t authority;
  std::initializer_list<DWORD> rids;
};

// Aliases of fixed SIDs, as the platform documents them and wrote them in its recorded answers.
const Alias kAliases[] = {
    {L"WD", 1, {0}},
    {L"CO", 3, {0}},
    {L"CG", 3, {1}},
    {L"OW", 3, {4}},
    {L"NU", 5, {2}},
    {L"IU", 5, {4}},
    {L"SU", 5, {6}},
    {L"AN", 5, {7}},
    {L"ED", 5, {9}},
    {L"PS", 5, {10}},
    {L"AU", 5, {11}},
    {L"RC", 5, {12}},
    {L"SY", 5, {18}},
    {L"LS", 5, {19}},
    {L"NS", 5, {20}},
    {L"WR", 5, {33}},
    {L"UD", 5, {84, 0, 0, 0, 0, 0}},
    {L"BA", 5, {32, 544}},
    {L"BU", 5, {32, 545}},
    {L"BG", 5, {32, 546}},
    {L"PU", 5, {32, 547}},
    {L"AO", 5, {32, 548}},
    {L"SO", 5, {32, 549}},
    {L"PO", 5, {32, 550}},
    {L"BO", 5, {32, 551}},
    {L"RE", 5, {32, 552}},
    {L"RU", 5, {32, 554}},
    {L"RD", 5, {32, 555}},
    {L"NO", 5, {32, 556}},
    {L"MU", 5, {32, 558}},
    {L"LU", 5, {32, 559}},
    {L"IS", 5, {32, 568}},
    {L"CY", 5, {32, 569}},
    {L"ER", 5, {32, 573}},
    {L"CD", 5, {32, 574}},
    {L"RA", 5, {32, 575}},
    {L"ES", 5, {32, 576}},
    {L"MS", 5, {32, 577}},
    {L"HA", 5, {32, 578}},
    {L"AA", 5, {32, 579}},
    {L"RM", 5, {32, 580}},
    {L"AC", 15, {2, 1}},
    {L"LW", 16, {0x1000}},
    {L"ME", 16, {0x2000}},
    {L"MP", 16, {0x2100}},
    {L"HI", 16, {0x3000}},
    {L"SI", 16, {0x4000}},
    {L"AS", 18, {1}},
    {L"SS", 18, {2}},
};

enum class Scope { kMachine, kDomain };

struct RelativeAlias {
  const wchar_t* alias;
  Scope scope;
  DWORD rid;
};

// Aliases of accounts of the computer or of its domain (the forest's root domain for the
// enterprise-wide groups EA, SA, EK and RO, one and the same domain here).
const RelativeAlias kRelativeAliases[] = {
    {L"LA", Scope::kMachine, 500}, {L"LG", Scope::kMachine, 501}, {L"RO", Scope::kDomain, 498},
    {L"DA", Scope::kDomain, 512},  {L"DU", Scope::kDomain, 513},  {L"DG", Scope::kDomain, 514},
    {L"DC", Scope::kDomain, 515},  {L"DD", Scope::kDomain, 516},  {L"CA", Scope::kDomain, 517},
    {L"SA", Scope::kDomain, 518},  {L"EA", Scope::kDomain, 519},  {L"PA", Scope::kDomain, 520},
    {L"CN", Scope::kDomain, 522},  {L"AP", Scope::kDomain, 525},  {L"KA", Scope::kDomain, 526},
    {L"EK", Scope::kDomain, 527},  {L"RS", Scope::kDomain, 553},
};

const SidValue& DomainOf(Scope scope, const AliasDomains& domains) {
  return scope == Scope::kMachine || domains.domain.empty() ? domains.machine : domains.domain;
}

// True when `sid` is the fixed SID of `alias`; compared in place, since SIDs are written often.
bool IsSidOf(const SidValue& sid, const Alias& alias) {
  if (sid.authority() != alias.authority || sid.sub_authority_count() != alias.rids.size())
    return false;
  size_t i = 0;
  for (const DWORD rid : alias.rids) {
    if (sid.sub_authority(i++) != rid)
      return false;
  }
  return true;
}

}  // namespace

std::optional<SidValue> SidForAlias(std::wstring_view alias, const AliasDomains& domains) {
  for (const auto& a : kAliases) {
    if (alias == a.alias)
      return SidValue(a.authority, a.rids);
  }
  for (const auto& a : kRelativeAliases) {
    if (alias == a.alias)
      return DomainOf(a.scope, domains).Child(a.rid);
  }
  return std::nullopt;
}

std::wstring AliasForSid(const SidValue& sid, const AliasDomains& domains) {
  for (const auto& a : kAliases) {
    if (IsSidOf(sid, a))
      return a.alias;
  }
  if (sid.sub_authority_count() > 1) {
    const SidValue parent = sid.Parent();
    for (const auto& a : kRelativeAliases) {
      if (sid.last_rid() == a.rid && parent == DomainOf(a.scope, domains))
        return a.alias;
    }
  }
  return {};
}

}  // namespace standin
