// Security identifiers: allocation, copies, comparison and the string form.
#include <cstring>

#include "platform/standin/core/sid_aliases.h"
#include "platform/standin/core/text.h"
#include "platform/standin/core/well_known_sids.h"
#include "platform/standin/win32/api_support.h"

using namespace standin;

namespace {

// Hands `sid` out in a buffer of `kind` that the caller frees.
DWORD HandOutSid(Machine& machine, const SidValue& sid, BufferKind kind, PSID* out) {
  void* buffer = machine.Allocate(kind, sid.size());
  if (!buffer)
    return ERROR_NOT_ENOUGH_MEMORY;
  std::memcpy(buffer, sid.data(), sid.size());
  *out = buffer;
  return ERROR_SUCCESS;
}

// A caller's SID read within the largest size a SID takes; nullopt when it is none.
std::optional<SidValue> CallerSid(PSID sid) {
  return SidValue::FromBytes(sid, SidLengthFor(SID_MAX_SUB_AUTHORITIES));
}

// A SID string as ConvertStringSidToSid reads it: "S-1-..." or an alias, in any case.
DWORD StringSidToSid(Machine& machine, std::wstring_view text, PSID* sid) {
  auto value = SidValue::Parse(text);
  if (!value)
    value = SidForAlias(UpperCase(text), machine.accounts().alias_domains());
  if (!value)
    return ERROR_INVALID_SID;
  return HandOutSid(machine, *value, BufferKind::kLocal, sid);
}

}  // namespace

extern "C" {

BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority,
                                     BYTE count,
                                     DWORD sub0,
                                     DWORD sub1,
                                     DWORD sub2,
                                     DWORD sub3,
                                     DWORD sub4,
                                     DWORD sub5,
                                     DWORD sub6,
                                     DWORD sub7,
                                     PSID* sid) {
  return BoolCall("AllocateAndInitializeSid", [&](Machine& machine) -> DWORD {
    if (!authority || !sid)
      return ERROR_INVALID_PARAMETER;
    if (count > 8)
      return ERROR_INVALID_SID;
    std::uint64_t value = 0;
    for (BYTE b : authority->Value)
      value = (value << 8) | b;
    SidValue built(value, {});
    const DWORD rids[8] = {sub0, sub1, sub2, sub3, sub4, sub5, sub6, sub7};
    for (BYTE i = 0; i < count; ++i)
      built = built.Child(rids[i]);
    return HandOutSid(machine, built, BufferKind::kSid, sid);
  });
}

PVOID WINAPI FreeSid(PSID sid) {
  // Only SIDs that AllocateAndInitializeSid made may be freed here.
  return ReleaseCall("FreeSid", BufferKind::kSid, sid, ERROR_INVALID_PARAMETER);
}

DWORD WINAPI GetLengthSid(PSID sid) {
  if (!sid)
    return 0;
  return static_cast<DWORD>(SidLengthAt(sid));
}

BOOL WINAPI CopySid(DWORD length, PSID destination, PSID source) {
  return BoolCall("CopySid", [&](Machine&) -> DWORD {
    if (!destination || !source)
      return ERROR_INVALID_PARAMETER;
    if (!SidHeaderValid(source))
      return ERROR_INVALID_SID;
    const size_t needed = SidLengthAt(source);
    if (length < needed)
      return ERROR_INSUFFICIENT_BUFFER;
    std::memmove(destination, source, needed);
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI EqualSid(PSID sid1, PSID sid2) {
  auto call = EnterCall("EqualSid");
  if (call.fault)
    return FailWith(*call.fault);
  // The platform reports success in the last error whatever the answer, also for invalid SIDs.
  SetLastError(ERROR_SUCCESS);
  if (!SidHeaderValid(sid1) || !SidHeaderValid(sid2))
    return FALSE;
  // SIDs of different lengths differ; only equal lengths are compared byte by byte.
  const size_t length = SidLengthAt(sid1);
  return length == SidLengthAt(sid2) && std::memcmp(sid1, sid2, length) == 0 ? TRUE : FALSE;
}

BOOL WINAPI IsValidSid(PSID sid) {
  auto call = EnterCall("IsValidSid");
  if (call.fault)
    return FailWith(*call.fault);
  return SidHeaderValid(sid) ? TRUE : FALSE;
}

PSID_IDENTIFIER_AUTHORITY WINAPI GetSidIdentifierAuthority(PSID sid) {
  SetLastError(ERROR_SUCCESS);
  return &static_cast<SID*>(sid)->IdentifierAuthority;
}

PDWORD WINAPI GetSidSubAuthority(PSID sid, DWORD index) {
  SetLastError(ERROR_SUCCESS);
  return reinterpret_cast<PDWORD>(static_cast<BYTE*>(sid) + kSidSubAuthorityOffset +
                                  sizeof(DWORD) * static_cast<size_t>(index));
}

PUCHAR WINAPI GetSidSubAuthorityCount(PSID sid) {
  SetLastError(ERROR_SUCCESS);
  return &static_cast<SID*>(sid)->SubAuthorityCount;
}

BOOL WINAPI ConvertSidToStringSidW(PSID sid, LPWSTR* text) {
  return BoolCall("ConvertSidToStringSidW", [&](Machine& machine) -> DWORD {
    if (!sid || !text)
      return ERROR_INVALID_PARAMETER;
    const auto value = SidValue::FromBytes(sid, SidLengthFor(SID_MAX_SUB_AUTHORITIES));
    if (!SidHeaderValid(sid) || !value)
      return ERROR_INVALID_SID;
    wchar_t* out = LocalCopy<wchar_t>(machine, value->ToString());
    if (!out)
      return ERROR_NOT_ENOUGH_MEMORY;
    *text = out;
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI ConvertStringSidToSidW(LPCWSTR text, PSID* sid) {
  return BoolCall("ConvertStringSidToSidW", [&](Machine& machine) -> DWORD {
    if (!text || !sid)
      return ERROR_INVALID_PARAMETER;
    return StringSidToSid(machine, text, sid);
  });
}

DWORD WINAPI GetSidLengthRequired(UCHAR count) {
  return static_cast<DWORD>(SidLengthFor(count));
}

BOOL WINAPI InitializeSid(PSID sid, PSID_IDENTIFIER_AUTHORITY authority, BYTE count) {
  return BoolCall("InitializeSid", [&](Machine&) -> DWORD {
    if (!sid || !authority || count > SID_MAX_SUB_AUTHORITIES)
      return ERROR_INVALID_PARAMETER;
    // The sub-authorities are the caller's to fill.
    auto* b = static_cast<BYTE*>(sid);
    b[offsetof(SID, Revision)] = SID_REVISION;
    b[kSidCountOffset] = count;
    std::memcpy(b + kSidAuthorityOffset, authority->Value, sizeof(authority->Value));
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI EqualPrefixSid(PSID sid1, PSID sid2) {
  // An ntdll answer: the last error is left alone.
  const auto a = CallerSid(sid1);
  const auto b = CallerSid(sid2);
  return a && b && SamePrefix(*a, *b) ? TRUE : FALSE;
}

BOOL WINAPI EqualDomainSid(PSID sid1, PSID sid2, BOOL* equal) {
  return BoolCall("EqualDomainSid", [&](Machine&) -> DWORD {
    const auto a = CallerSid(sid1);
    const auto b = CallerSid(sid2);
    if (!a || !b)
      return ERROR_INVALID_SID;
    if (!equal)
      return ERROR_INVALID_PARAMETER;
    bool same = false;
    if (const DWORD error = CompareDomains(*a, *b, same))
      return error;
    *equal = same ? TRUE : FALSE;
    SetLastError(ERROR_SUCCESS);
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI CreateWellKnownSid(WELL_KNOWN_SID_TYPE type, PSID domain, PSID sid, DWORD* size) {
  return BoolCall("CreateWellKnownSid", [&](Machine&) -> DWORD {
    std::optional<SidValue> domain_sid;
    if (domain && !(domain_sid = CallerSid(domain)))
      return ERROR_INVALID_PARAMETER;
    if (!size)
      return ERROR_INVALID_PARAMETER;
    SidValue made;
    if (const DWORD error = WellKnownSid(type, domain_sid ? &*domain_sid : nullptr, made))
      return error;
    if (*size < made.size()) {
      *size = static_cast<DWORD>(made.size());
      return ERROR_INSUFFICIENT_BUFFER;
    }
    if (!sid)
      return ERROR_INVALID_PARAMETER;
    std::memcpy(sid, made.data(), made.size());
    *size = static_cast<DWORD>(made.size());
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI IsWellKnownSid(PSID sid, WELL_KNOWN_SID_TYPE type) {
  const auto value = CallerSid(sid);
  return value && IsWellKnownSidOfType(*value, type) ? TRUE : FALSE;
}

BOOL WINAPI ConvertSidToStringSidA(PSID sid, LPSTR* text) {
  return BoolCall("ConvertSidToStringSidA", [&](Machine& machine) -> DWORD {
    if (!sid || !text)
      return ERROR_INVALID_PARAMETER;
    const auto value = CallerSid(sid);
    if (!value)
      return ERROR_INVALID_SID;
    char* out = LocalCopy<char>(machine, WideToAnsi(value->ToString()));
    if (!out)
      return ERROR_NOT_ENOUGH_MEMORY;
    *text = out;
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI ConvertStringSidToSidA(LPCSTR text, PSID* sid) {
  return BoolCall("ConvertStringSidToSidA", [&](Machine& machine) -> DWORD {
    if (!text || !sid)
      return ERROR_INVALID_PARAMETER;
    return StringSidToSid(machine, AnsiToWide(text), sid);
  });
}

}  // extern "C"
