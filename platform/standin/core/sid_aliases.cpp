#include "platform/standin/core/sid_aliases.h"

#include "platform/standin/win32api.h"

namespace standin {

namespace {

struct Alias {
  const wchar_t* alias;
  std::uint64_t authority;
  std::initializer_list<DWORD> rids;
};

// Aliases of fixed SIDs; those relative to the machine's own domain follow in code.
const Alias kAliases[] = {
    {L"WD", 1, {0}},       {L"CO", 3, {0}},       {L"CG", 3, {1}},       {L"OW", 3, {4}},
    {L"NU", 5, {2}},       {L"IU", 5, {4}},       {L"SU", 5, {6}},       {L"AN", 5, {7}},
    {L"PS", 5, {10}},      {L"AU", 5, {11}},      {L"RC", 5, {12}},      {L"SY", 5, {18}},
    {L"LS", 5, {19}},      {L"NS", 5, {20}},      {L"BA", 5, {32, 544}}, {L"BU", 5, {32, 545}},
    {L"BG", 5, {32, 546}}, {L"PU", 5, {32, 547}}, {L"AO", 5, {32, 548}}, {L"SO", 5, {32, 549}},
    {L"PO", 5, {32, 550}}, {L"BO", 5, {32, 551}}, {L"RE", 5, {32, 552}}, {L"RU", 5, {32, 554}},
    {L"RD", 5, {32, 555}}, {L"NO", 5, {32, 556}},
};

}  // namespace

std::optional<SidValue> SidForAlias(std::wstring_view alias, const AliasDomains& domains) {
  if (alias.size() != 2)
    return std::nullopt;
  for (const auto& a : kAliases) {
    if (alias == a.alias)
      return SidValue(a.authority, a.rids);
  }
  if (alias == L"LA")
    return domains.machine.Child(DOMAIN_USER_RID_ADMIN);
  if (alias == L"LG")
    return domains.machine.Child(DOMAIN_USER_RID_GUEST);
  return std::nullopt;
}

std::wstring AliasForSid(const SidValue& sid, const AliasDomains& domains) {
  for (const auto& a : kAliases) {
    if (sid == SidValue(a.authority, a.rids))
      return a.alias;
  }
  if (sid == domains.machine.Child(DOMAIN_USER_RID_ADMIN))
    return L"LA";
  if (sid == domains.machine.Child(DOMAIN_USER_RID_GUEST))
    return L"LG";
  return {};
}

}  // namespace standin
