// SDDL conversions of security descriptors, both ways.
#include <cstring>

#include "platform/standin/api_support.h"
#include "platform/standin/sddl.h"

using namespace standin;

extern "C" {

BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text,
                                                                 DWORD revision,
                                                                 PSECURITY_DESCRIPTOR* descriptor,
                                                                 PULONG length) {
  auto call = EnterCall("ConvertStringSecurityDescriptorToSecurityDescriptorW");
  if (call.fault)
    return FailWith(*call.fault);
  if (!text || !descriptor)
    return FailWith(ERROR_INVALID_PARAMETER);
  if (revision != SDDL_REVISION_1)
    return FailWith(ERROR_UNKNOWN_REVISION);
  std::vector<BYTE> bytes;
  if (const DWORD status = ParseSddl(text, call.machine->accounts(), bytes))
    return FailWith(status);
  void* out = call.machine->Allocate(BufferKind::kLocal, bytes.size());
  if (!out)
    return FailWith(ERROR_NOT_ENOUGH_MEMORY);
  std::memcpy(out, bytes.data(), bytes.size());
  *descriptor = out;
  if (length)
    *length = static_cast<ULONG>(bytes.size());
  return TRUE;
}

BOOL WINAPI ConvertSecurityDescriptorToStringSecurityDescriptorW(PSECURITY_DESCRIPTOR descriptor,
                                                                 DWORD revision,
                                                                 SECURITY_INFORMATION information,
                                                                 LPWSTR* text,
                                                                 PULONG length) {
  auto call = EnterCall("ConvertSecurityDescriptorToStringSecurityDescriptorW");
  if (call.fault)
    return FailWith(*call.fault);
  if (!descriptor || !text)
    return FailWith(ERROR_INVALID_PARAMETER);
  if (revision != SDDL_REVISION_1)
    return FailWith(ERROR_UNKNOWN_REVISION);
  DescriptorParts parts;
  if (const DWORD status = ReadDescriptor(descriptor, parts))
    return FailWith(status);
  std::wstring sddl;
  if (const DWORD status = WriteSddl(parts, information, call.machine->accounts(), sddl))
    return FailWith(status);
  wchar_t* out = LocalCopy<wchar_t>(*call.machine, sddl);
  if (!out)
    return FailWith(ERROR_NOT_ENOUGH_MEMORY);
  *text = out;
  if (length)
    *length = static_cast<ULONG>(sddl.size() + 1);
  return TRUE;
}

}  // extern "C"
