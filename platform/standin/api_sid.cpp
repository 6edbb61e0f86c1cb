// Security identifiers: allocation, copies, comparison and the string form.
#include <cstring>

#include "platform/standin/api_support.h"
#include "platform/standin/sid_aliases.h"

using namespace standin;

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
  auto call = EnterCall("AllocateAndInitializeSid");
  if (call.fault)
    return FailWith(*call.fault);
  if (!authority || !sid)
    return FailWith(ERROR_INVALID_PARAMETER);
  if (count > 8)
    return FailWith(ERROR_INVALID_SID);
  auto* out = static_cast<BYTE*>(call.machine->Allocate(BufferKind::kSid, SidLengthFor(count)));
  if (!out)
    return FailWith(ERROR_NOT_ENOUGH_MEMORY);
  out[0] = SID_REVISION;
  out[1] = count;
  std::memcpy(out + 2, authority->Value, 6);
  const DWORD subs[8] = {sub0, sub1, sub2, sub3, sub4, sub5, sub6, sub7};
  std::memcpy(out + 8, subs, 4u * count);
  *sid = out;
  return TRUE;
}

PVOID WINAPI FreeSid(PSID sid) {
  auto call = EnterCall("FreeSid");
  if (call.fault) {
    SetLastError(*call.fault);
    return sid;
  }
  if (!sid)
    return nullptr;
  // Only SIDs that AllocateAndInitializeSid made may be freed here.
  if (!call.machine->Release(BufferKind::kSid, sid)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return sid;
  }
  return nullptr;
}

DWORD WINAPI GetLengthSid(PSID sid) {
  if (!sid)
    return 0;
  return static_cast<DWORD>(SidLengthFor(static_cast<const BYTE*>(sid)[1]));
}

BOOL WINAPI CopySid(DWORD length, PSID destination, PSID source) {
  auto call = EnterCall("CopySid");
  if (call.fault)
    return FailWith(*call.fault);
  if (!destination || !source)
    return FailWith(ERROR_INVALID_PARAMETER);
  if (!SidHeaderValid(source))
    return FailWith(ERROR_INVALID_SID);
  const size_t needed = SidLengthFor(static_cast<const BYTE*>(source)[1]);
  if (length < needed)
    return FailWith(ERROR_INSUFFICIENT_BUFFER);
  std::memmove(destination, source, needed);
  return TRUE;
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
  const auto* a = static_cast<const BYTE*>(sid1);
  const auto* b = static_cast<const BYTE*>(sid2);
  if (a[1] != b[1])
    return FALSE;
  return std::memcmp(a, b, SidLengthFor(a[1])) == 0 ? TRUE : FALSE;
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
  return reinterpret_cast<PDWORD>(static_cast<BYTE*>(sid) + 8 + 4 * static_cast<size_t>(index));
}

PUCHAR WINAPI GetSidSubAuthorityCount(PSID sid) {
  SetLastError(ERROR_SUCCESS);
  return &static_cast<SID*>(sid)->SubAuthorityCount;
}

BOOL WINAPI ConvertSidToStringSidW(PSID sid, LPWSTR* text) {
  auto call = EnterCall("ConvertSidToStringSidW");
  if (call.fault)
    return FailWith(*call.fault);
  if (!sid || !text)
    return FailWith(ERROR_INVALID_PARAMETER);
  const auto value = SidValue::FromBytes(sid, SidLengthFor(SID_MAX_SUB_AUTHORITIES));
  if (!SidHeaderValid(sid) || !value)
    return FailWith(ERROR_INVALID_SID);
  const std::wstring s = value->ToString();
  wchar_t* out = LocalCopy<wchar_t>(*call.machine, s);
  if (!out)
    return FailWith(ERROR_NOT_ENOUGH_MEMORY);
  *text = out;
  return TRUE;
}

BOOL WINAPI ConvertStringSidToSidW(LPCWSTR text, PSID* sid) {
  auto call = EnterCall("ConvertStringSidToSidW");
  if (call.fault)
    return FailWith(*call.fault);
  if (!text || !sid)
    return FailWith(ERROR_INVALID_PARAMETER);
  auto value = SidValue::Parse(text);
  if (!value)
    value = SidForAlias(text, call.machine->accounts());
  if (!value)
    return FailWith(ERROR_INVALID_SID);
  void* out = call.machine->Allocate(BufferKind::kLocal, value->size());
  if (!out)
    return FailWith(ERROR_NOT_ENOUGH_MEMORY);
  std::memcpy(out, value->data(), value->size());
  *sid = out;
  return TRUE;
}

}  // extern "C"
