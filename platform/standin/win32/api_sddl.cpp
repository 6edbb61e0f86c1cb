// SDDL conversions of security descriptors, both ways.
#include <cstring>

#include "platform/standin/core/sddl_conversion.h"
#include "platform/standin/win32/api_support.h"

using namespace standin;

namespace {

// What both conversions check first: their input and output given, and SDDL's one revision.
DWORD CheckConversion(bool arguments, DWORD revision) {
  if (!arguments)
    return ERROR_INVALID_PARAMETER;
  return revision == SDDL_REVISION_1 ? ERROR_SUCCESS : static_cast<DWORD>(ERROR_UNKNOWN_REVISION);
}

}  // namespace

extern "C" {

BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text,
                                                                 DWORD revision,
                                                                 PSECURITY_DESCRIPTOR* descriptor,
                                                                 PULONG length) {
  return BoolCall(
      "ConvertStringSecurityDescriptorToSecurityDescriptorW", [&](Machine& machine) -> DWORD {
        if (const DWORD error = CheckConversion(text && descriptor, revision))
          return error;
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
                    DescriptorParts parts;
                    if (const DWORD error = ReadDescriptor(descriptor, parts))
                      return error;
                    std::wstring sddl;
                    if (const DWORD error =
                            WriteSddl(parts, information, machine.accounts().alias_domains(), sddl))
                      return error;
                    wchar_t* out = LocalCopy<wchar_t>(machine, sddl);
                    if (!out)
                      return ERROR_NOT_ENOUGH_MEMORY;
                    *text = out;
                    if (length)
                      *length = static_cast<ULONG>(sddl.size() + 1);
                    return ERROR_SUCCESS;
                  });
}

}  // extern "C"
