// Security identifiers: allocation, copies, comparison and the string form.
#include <cstring>

#include "platform/standin/core/sid_aliases.h"
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
    auto value = SidValue::Parse(text);
    if (!value)
      value = SidForAlias(text, machine.accounts().alias_domains());
    if (!value)
      return ERROR_INVALID_SID;
    return HandOutSid(machine, *value, BufferKind::kLocal, sid);
  });
}

}  // extern "C"
