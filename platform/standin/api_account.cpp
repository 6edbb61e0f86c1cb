// Account lookups by SID and by name, on the local computer or a domain controller.
#include <cstring>

#include "platform/standin/api_support.h"

using namespace standin;

namespace {

// Names of this length and more are refused, as the platform refuses them.
constexpr size_t kMaxAccountName = 256;

struct Found {
  SidValue sid;
  std::wstring name;
  std::wstring domain;
  SID_NAME_USE use;
};

void CopyText(const std::wstring& text, wchar_t* out) {
  std::memcpy(out, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

}  // namespace

extern "C" {

BOOL WINAPI LookupAccountSidW(LPCWSTR system,
                              PSID sid,
                              LPWSTR name,
                              LPDWORD name_chars,
                              LPWSTR domain,
                              LPDWORD domain_chars,
                              PSID_NAME_USE use) {
  auto call = EnterCall("LookupAccountSidW");
  if (call.fault)
    return FailWith(*call.fault);
  if (!sid || !name_chars || !domain_chars || !use)
    return FailWith(ERROR_INVALID_PARAMETER);
  const auto value = SidValue::FromBytes(sid, SidLengthFor(SID_MAX_SUB_AUTHORITIES));
  if (!value)
    return FailWith(ERROR_INVALID_SID);
  const auto& db = call.machine->accounts();
  const auto site = db.SiteFor(system);
  if (!site)
    return FailWith(RPC_S_SERVER_UNAVAILABLE);

  Found found;
  if (const auto index = db.FindBySid(*value, *site)) {
    const Account& a = db.accounts()[*index];
    found = {a.sid, a.name, a.domain, a.use};
  } else if (const auto d = db.FindDomainBySid(*value, *site)) {
    found = {d->sid, d->name, d->name, SidTypeDomain};
  } else {
    return FailWith(ERROR_NONE_MAPPED);
  }

  const DWORD need_name = static_cast<DWORD>(found.name.size() + 1);
  const DWORD need_domain = static_cast<DWORD>(found.domain.size() + 1);
  if (*name_chars < need_name || *domain_chars < need_domain) {
    *name_chars = need_name;
    *domain_chars = need_domain;
    return FailWith(ERROR_INSUFFICIENT_BUFFER);
  }
  if (!name || !domain)
    return FailWith(ERROR_INVALID_PARAMETER);
  CopyText(found.name, name);
  CopyText(found.domain, domain);
  *name_chars = need_name - 1;
  *domain_chars = need_domain - 1;
  *use = found.use;
  return TRUE;
}

BOOL WINAPI LookupAccountNameW(LPCWSTR system,
                               LPCWSTR account,
                               PSID sid,
                               LPDWORD sid_bytes,
                               LPWSTR domain,
                               LPDWORD domain_chars,
                               PSID_NAME_USE use) {
  auto call = EnterCall("LookupAccountNameW");
  if (call.fault)
    return FailWith(*call.fault);
  if (!account || !sid_bytes || !domain_chars || !use)
    return FailWith(ERROR_INVALID_PARAMETER);
  const std::wstring_view name(account);
  if (name.empty() || name.size() >= kMaxAccountName)
    return FailWith(ERROR_NONE_MAPPED);
  const auto& db = call.machine->accounts();
  const auto site = db.SiteFor(system);
  if (!site)
    return FailWith(RPC_S_SERVER_UNAVAILABLE);

  Found found;
  if (const auto index = db.FindByName(name, *site)) {
    const Account& a = db.accounts()[*index];
    found = {a.sid, a.name, a.domain, a.use};
  } else if (const auto d = db.FindDomainByName(name, *site)) {
    found = {d->sid, d->name, d->name, SidTypeDomain};
  } else {
    return FailWith(ERROR_NONE_MAPPED);
  }

  const DWORD need_sid = static_cast<DWORD>(found.sid.size());
  const DWORD need_domain = static_cast<DWORD>(found.domain.size() + 1);
  if (*sid_bytes < need_sid || *domain_chars < need_domain) {
    *sid_bytes = need_sid;
    *domain_chars = need_domain;
    return FailWith(ERROR_INSUFFICIENT_BUFFER);
  }
  if (!sid || !domain)
    return FailWith(ERROR_INVALID_PARAMETER);
  std::memcpy(sid, found.sid.data(), found.sid.size());
  CopyText(found.domain, domain);
  *sid_bytes = need_sid;
  *domain_chars = need_domain - 1;
  *use = found.use;
  return TRUE;
}

}  // extern "C"
