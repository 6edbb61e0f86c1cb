// SDDL conversions of security descriptors, both ways.
#include <cstring>

#include "platform/standin/core/sddl_conversion.h"
#include "platform/standin/core/text.h"
#include "platform/standin/win32/api_support.h"

using namespace standin;

namespace {

// What both conversions check first: their input and output given, and SDDL's one revision.
DWORD CheckConversion(bool arguments, DWORD revision) {
  if (!arguments)
    return ERROR_INVALID_PARAMETER;
  return revision == SDDL_REVISION_1 ? ERROR_SUCCESS : static_cast<DWORD>(ERROR_UNKNOWN_REVISION);
}

// Reads SDDL into a descriptor handed out with LocalAlloc.
DWORD DescriptorFromSddl(Machine& machine,
                         std::wstring_view text,
                         PSECURITY_DESCRIPTOR* descriptor,
                         PULONG length) {
  std::vector<BYTE> bytes;
  if (const DWORD error = ParseSddl(text, machine.accounts().alias_domains(), bytes))
    return error;
  void* out = machine.Allocate(BufferKind::kLocal, bytes.size());
  if (!out)
    return ERROR_NOT_ENOUGH_MEMORY;
  std::memcpy(out, bytes.data(), bytes.size());
  *descriptor = out;
  if (length)
    *length = static_cast<ULONG>(bytes.size());
  return ERROR_SUCCESS;
}

// Writes a descriptor's SDDL into a text of `Char` handed out with LocalAlloc; `convert` turns
// the wide SDDL into the caller's kind of text.
template <typename Char, typename Convert>
DWORD SddlFromDescriptor(Machine& machine,
                         PSECURITY_DESCRIPTOR descriptor,
                         SECURITY_INFORMATION information,
                         Char** text,
                         PULONG length,
                         Convert convert) {
  DescriptorParts parts;
  if (const DWORD error = ReadDescriptor(descriptor, parts))
    return error;
  std::wstring sddl;
  if (const DWORD error = WriteSddl(parts, information, machine.accounts().alias_domains(), sddl))
    return error;
  const std::basic_string<Char> converted = convert(sddl);
  Char* out = LocalCopy<Char>(machine, converted);
  if (!out)
    return ERROR_NOT_ENOUGH_MEMORY;
  *text = out;
  if (length)
    *length = static_cast<ULONG>(converted.size() + 1);
  return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text,
                                                                 DWORD revision,
                                                                 PSECURITY_DESCRIPTOR* descriptor,
                                                                 PULONG length) {
  return BoolCall("ConvertStringSecurityDescriptorToSecurityDescriptorW",
                  [&](Machine& machine) -> DWORD {
                    if (const DWORD error = CheckConversion(text && descriptor, revision))
                      return error;
                    return DescriptorFromSddl(machine, text, descriptor, length);
                  });
}

BOOL WINAPI ConvertSecurityDescriptorToStringSecurityDescriptorW(PSECURITY_DESCRIPTOR descriptor,
                                                                 DWORD revision,
                                                                 SECURITY_INFORMATION information,
                                                                 LPWSTR* text,
                                                                 PULONG length) {
  return BoolCall("ConvertSecurityDescriptorToStringSecurityDescriptorW",
                  [&](Machine& machine) -> DWORD {
                    if (const DWORD error = CheckConversion(descriptor && text, revision))
                      return error;
                    return SddlFromDescriptor(machine, descriptor, information, text, length,
                                              [](const std::wstring& w) { return w; });
                  });
}

BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR text,
                                                                 DWORD revision,
                                                                 PSECURITY_DESCRIPTOR* descriptor,
                                                                 PULONG length) {
  return BoolCall("ConvertStringSecurityDescriptorToSecurityDescriptorA",
                  [&](Machine& machine) -> DWORD {
                    if (const DWORD error = CheckConversion(text && descriptor, revision))
                      return error;
                    return DescriptorFromSddl(machine, AnsiToWide(text), descriptor, length);
                  });
}

BOOL WINAPI ConvertSecurityDescriptorToStringSecurityDescriptorA(PSECURITY_DESCRIPTOR descriptor,
                                                                 DWORD revision,
                                                                 SECURITY_INFORMATION information,
                                                                 LPSTR* text,
                                                                 PULONG length) {
  return BoolCall("ConvertSecurityDescriptorToStringSecurityDescriptorA",
                  [&](Machine& machine) -> DWORD {
                    if (const DWORD error = CheckConversion(descriptor && text, revision))
                      return error;
                    return SddlFromDescriptor(machine, descriptor, information, text, length,
                                              [](const std::wstring& w) { return WideToAnsi(w); });
                  });
}

}  // extern "C"
