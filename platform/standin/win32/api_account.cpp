// Account lookups by SID and by name, on the local computer or a domain controller.
#include <cstring>

#include "platform/standin/core/text.h"
#include "platform/standin/win32/api_support.h"

using namespace standin;

namespace {

// Names of this length and more are refused, as the platform refuses them.
constexpr size_t kMaxAccountName = 256;

template <typename Char>
void CopyText(const std::basic_string<Char>& text, Char* out) {
  std::memcpy(out, text.c_str(), (text.size() + 1) * sizeof(Char));
}

// Hands out what a lookup found in two-call fashion: with a short buffer, ERROR_INSUFFICIENT_BUFFER
// and every size the next call needs (terminators included); else the lengths without them.
// `first` is the name's text or the SID's bytes, `first_room` its room in characters or bytes;
// `name` and `domain_name` are the found names in the caller's kind of text.
template <typename Char>
DWORD HandOut(const LookupResult& found,
              const std::basic_string<Char>& name,
              const std::basic_string<Char>& domain_name,
              void* first,
              LPDWORD first_room,
              bool sid_first,
              Char* domain,
              LPDWORD domain_chars,
              PSID_NAME_USE use) {
  const DWORD need_first = static_cast<DWORD>(sid_first ? found.sid.size() : name.size() + 1);
  const DWORD need_domain = static_cast<DWORD>(domain_name.size() + 1);
  if (*first_room < need_first || *domain_chars < need_domain) {
    *first_room = need_first;
    *domain_chars = need_domain;
    return ERROR_INSUFFICIENT_BUFFER;
  }
  if (!first || !domain)
    return ERROR_INVALID_PARAMETER;
  if (sid_first)
    std::memcpy(first, found.sid.data(), found.sid.size());
  else
    CopyText(name, static_cast<Char*>(first));
  CopyText(domain_name, domain);
  *first_room = sid_first ? need_first : need_first - 1;
  *domain_chars = need_domain - 1;
  *use = found.use;
  return ERROR_SUCCESS;
}

// What both forms of LookupAccountSid do before handing out: the arguments, then the lookup.
DWORD LookupBySid(Machine& machine,
                  const wchar_t* system,
                  PSID sid,
                  bool outputs,
                  LookupResult& found) {
  if (!sid || !outputs)
    return ERROR_INVALID_PARAMETER;
  const auto value = SidValue::FromBytes(sid, SidLengthFor(SID_MAX_SUB_AUTHORITIES));
  if (!value)
    return ERROR_INVALID_SID;
  return machine.accounts().LookupSid(system, *value, found);
}

// What both forms of LookupAccountName do before handing out.
DWORD LookupByName(Machine& machine,
                   const wchar_t* system,
                   const wchar_t* account,
                   bool outputs,
                   LookupResult& found) {
  if (!account || !outputs)
    return ERROR_INVALID_PARAMETER;
  const std::wstring_view name(account);
  if (name.empty() || name.size() >= kMaxAccountName)
    return ERROR_NONE_MAPPED;
  return machine.accounts().LookupName(system, name, found);
}

// An ANSI system name as the lookups take it: null stays null.
struct WideSystem {
  explicit WideSystem(LPCSTR system) : given(system != nullptr) {
    if (system)
      text = AnsiToWide(system);
  }
  const wchar_t* get() const { return given ? text.c_str() : nullptr; }
  bool given;
  std::wstring text;
};

}  // namespace

extern "C" {

BOOL WINAPI LookupAccountSidW(LPCWSTR system,
                              PSID sid,
                              LPWSTR name,
                              LPDWORD name_chars,
                              LPWSTR domain,
                              LPDWORD domain_chars,
                              PSID_NAME_USE use) {
  return BoolCall("LookupAccountSidW", [&](Machine& machine) -> DWORD {
    LookupResult found;
    if (const DWORD error =
            LookupBySid(machine, system, sid, name_chars && domain_chars && use, found))
      return error;
    return HandOut(found, found.name, found.domain, name, name_chars, false, domain, domain_chars,
                   use);
  });
}

BOOL WINAPI LookupAccountNameW(LPCWSTR system,
                               LPCWSTR account,
                               PSID sid,
                               LPDWORD sid_bytes,
                               LPWSTR domain,
                               LPDWORD domain_chars,
                               PSID_NAME_USE use) {
  return BoolCall("LookupAccountNameW", [&](Machine& machine) -> DWORD {
    LookupResult found;
    if (const DWORD error =
            LookupByName(machine, system, account, sid_bytes && domain_chars && use, found))
      return error;
    return HandOut(found, found.name, found.domain, sid, sid_bytes, true, domain, domain_chars,
                   use);
  });
}

BOOL WINAPI LookupAccountSidA(LPCSTR system,
                              PSID sid,
                              LPSTR name,
                              LPDWORD name_chars,
                              LPSTR domain,
                              LPDWORD domain_chars,
                              PSID_NAME_USE use) {
  return BoolCall("LookupAccountSidA", [&](Machine& machine) -> DWORD {
    LookupResult found;
    const WideSystem wide_system(system);
    if (const DWORD error =
            LookupBySid(machine, wide_system.get(), sid, name_chars && domain_chars && use, found))
      return error;
    return HandOut(found, WideToAnsi(found.name), WideToAnsi(found.domain), name, name_chars, false,
                   domain, domain_chars, use);
  });
}

BOOL WINAPI LookupAccountNameA(LPCSTR system,
                               LPCSTR account,
                               PSID sid,
                               LPDWORD sid_bytes,
                               LPSTR domain,
                               LPDWORD domain_chars,
                               PSID_NAME_USE use) {
  return BoolCall("LookupAccountNameA", [&](Machine& machine) -> DWORD {
    LookupResult found;
    const WideSystem wide_system(system);
    const std::wstring name = account ? AnsiToWide(account) : std::wstring();
    if (const DWORD error =
            LookupByName(machine, wide_system.get(), account ? name.c_str() : nullptr,
                         sid_bytes && domain_chars && use, found))
      return error;
    return HandOut(found, std::string(), WideToAnsi(found.domain), sid, sid_bytes, true, domain,
                   domain_chars, use);
  });
}

}  // extern "C"
