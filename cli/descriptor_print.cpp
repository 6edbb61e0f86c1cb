#include "cli/descriptor_print.h"

#include <iostream>

#include "cli/dacl_edit.h"
#include "cli/report.h"
#include "security/scoped_platform.h"

namespace {

// The account of a SID as Dump names it.
std::wstring NameOf(PSID sid) {
  return CSid(sid, std::wstring()).GetQualifiedName();
}

// What Dump's manner of line says of an entry type the model does not hold.
std::wstring EntryText(BYTE type) {
  switch (type) {
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
      return L"Object access granted to: ";
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
      return L"Object access denied to: ";
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
      return L"Conditional access granted to: ";
    case ACCESS_DENIED_CALLBACK_ACE_TYPE:
      return L"Conditional access denied to: ";
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
      return L"Conditional object access granted to: ";
    case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
      return L"Conditional object access denied to: ";
    default:
      return L"Entry of type " + std::to_wstring(type) + L" for: ";
  }
}

// A line, in Dump's manner, for each entry the model does not hold.
void PrintOtherEntries(PSECURITY_DESCRIPTOR descriptor) {
  for (const DaclEntry& entry : Dacl::Of(descriptor).entries) {
    if (entry.plain())
      continue;
    std::wcout << L"\t\t" << EntryText(entry.type())
               << (entry.sid() ? NameOf(entry.sid()) : std::wstring(L"(no account)")) << std::endl;
  }
}

}  // namespace

DWORD ToSddl(PSECURITY_DESCRIPTOR descriptor, std::wstring& sddl) {
  vortiss::ScopedLocal<wchar_t> text;
  if (!descriptor)
    return ERROR_INVALID_SECURITY_DESCR;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor, SDDL_REVISION_1,
          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
          text.receive(), nullptr))
    return ::GetLastError();
  sddl = text.get();
  return ERROR_SUCCESS;
}

int PrintDescriptor(CSD& sd,
                    PSECURITY_DESCRIPTOR descriptor,
                    const Target& target,
                    bool sddl_only) {
  std::wstring sddl;
  const DWORD converted = ToSddl(descriptor, sddl);
  if (sddl_only) {
    if (converted != ERROR_SUCCESS)
      return Fail(L"cannot convert the descriptor of " + target.Describe() + L" to SDDL",
                  converted);
    std::wcout << sddl << std::endl;
    return kDone;
  }
  sd.Dump();
  PrintOtherEntries(descriptor);
  if (converted != ERROR_SUCCESS) {
    // What the platform cannot write as SDDL is still shown above.
    SayError(L"the descriptor of " + target.Describe() + L" has no SDDL form here", converted);
    return kDone;
  }
  std::wcout << L"sddl: " << sddl << std::endl;
  return kDone;
}
