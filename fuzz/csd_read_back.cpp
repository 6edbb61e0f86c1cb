// CSD read back from arbitrary bytes, as CEmbeddedRegistrySD reads a registry value: the bytes
// are stored as alice's REG_BINARY value and loaded. Bytes that RtlValidRelativeSecurityDescriptor
// refuses leave the object invalid; a descriptor it accepts loads, its model builds and stores,
// and the stored descriptor loads back to the same model.
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "security/cregistrysd.h"
#include "security/scoped_platform.h"

namespace {

using vortiss::ScopedLocal;

constexpr wchar_t kKey[] = L"Software\\App";
constexpr SECURITY_INFORMATION kModelParts =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

void Store(const wchar_t* name, const uint8_t* data, size_t size) {
  HKEY key = nullptr;
  FUZZ_CHECK(RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS);
  const LSTATUS status = RegSetValueExW(key, name, 0, REG_BINARY, data, static_cast<DWORD>(size));
  RegCloseKey(key);
  FUZZ_CHECK(status == ERROR_SUCCESS);
}

std::wstring Sddl(void* sd) {
  FUZZ_CHECK(sd != nullptr);
  ScopedLocal<wchar_t> text;
  FUZZ_CHECK(ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, kModelParts,
                                                                  text.receive(), nullptr));
  return text.get();
}

// Allow and deny entries of the DACL in `sd`: the entries the model keeps.
size_t ModelEntries(PSECURITY_DESCRIPTOR sd) {
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  FUZZ_CHECK(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
  if (!present || !dacl)
    return 0;
  size_t n = 0;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    LPVOID ace = nullptr;
    FUZZ_CHECK(GetAce(dacl, i, &ace));
    const BYTE type = static_cast<ACE_HEADER*>(ace)->AceType;
    n += type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_DENIED_ACE_TYPE;
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::InstallMachine();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0x100000)
    return 0;
  fuzz::BalanceCheck balance;
  std::vector<BYTE> bytes(data, data + size);
  const bool valid = RtlValidRelativeSecurityDescriptor(bytes.empty() ? nullptr : bytes.data(),
                                                        static_cast<ULONG>(size), 0);
  Store(L"Sd", data, size);

  CEmbeddedRegistrySD loaded(HKEY_CURRENT_USER, kKey, L"Sd");
  if (!valid) {
    FUZZ_CHECK(loaded.IsValid() == 0);
    FUZZ_CHECK(loaded.GetLastError() == ERROR_INVALID_SECURITY_DESCR);
    return 0;
  }
  FUZZ_CHECK(loaded.IsValid() == 1);
  FUZZ_CHECK(loaded.GetLastError() == 0);
  // The descriptor as loaded may hold entries that SDDL cannot write; it must still be valid.
  FUZZ_CHECK(IsValidSecurityDescriptor(loaded.GetCurrentAbsoluteSD()));
  std::wostringstream dump;
  std::wstreambuf* const out = std::wcout.rdbuf(dump.rdbuf());
  loaded.Dump();
  std::wcout.rdbuf(out);

  // The model builds: every entry it holds came from one ACL, so they fit in one again.
  const std::wstring built = Sddl(loaded.GetAbsoluteSD());
  FUZZ_CHECK(ModelEntries(loaded.GetAbsoluteSD()) == ModelEntries(bytes.data()));
  FUZZ_CHECK(loaded.SecureObject(false) == 0);

  CEmbeddedRegistrySD stored(HKEY_CURRENT_USER, kKey, L"Sd");
  FUZZ_CHECK(stored.IsValid() == 1);
  FUZZ_CHECK(stored.GetLastError() == 0);
  FUZZ_CHECK(Sddl(stored.GetCurrentAbsoluteSD()) == built);
  FUZZ_CHECK(Sddl(stored.GetAbsoluteSD()) == built);
  return 0;
}
