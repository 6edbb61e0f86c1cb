// Writes a machine profile into FOLDER, then on that machine grants and denies on a registry key
// through the class library and prints the key's SDDL before and after.
// Usage: edit_descriptor FOLDER
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include <security/vortiss_security.h>

namespace {

const char kProfile[] = R"json({
  "computer": "WS01",
  "machine_sid": "S-1-5-21-1-2-3",
  "user": "alice",
  "users": ["alice", {"name": "bob", "rid": 1005}],
  "groups": {"Administrators": ["alice"]},
  "registry": {"HKLM\\Software\\Consumer": {"sddl": "O:BAG:SYD:PAI(A;CI;KA;;;BA)"}}
}
)json";

const wchar_t kKey[] = L"Software\\Consumer";

struct LocalFreeDeleter {
  void operator()(wchar_t* text) const { LocalFree(text); }
};

// The key's descriptor in SDDL, or empty when it cannot be read or converted.
std::wstring KeySddl() {
  CRegistrySD key(HKEY_LOCAL_MACHINE, kKey);
  if (!key.IsValid())
    return {};
  wchar_t* text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
          key.GetCurrentAbsoluteSD(), SDDL_REVISION_1,
          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
          &text, nullptr))
    return {};
  const std::unique_ptr<wchar_t, LocalFreeDeleter> owned(text);
  return owned.get();
}

int Fail(const wchar_t* what, int error) {
  std::wcerr << L"edit_descriptor: " << what << L" failed with error " << error << std::endl;
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::wcerr << L"usage: edit_descriptor FOLDER" << std::endl;
    return 2;
  }
  const std::filesystem::path profile = std::filesystem::path(argv[1]) / "machine.json";
  if (!(std::ofstream(profile) << kProfile))
    return Fail(L"writing the profile", 0);
  // The stand-in reads the profile at the first platform call.
  setenv("VORTISS_MACHINE", profile.c_str(), 1);

  const std::wstring before = KeySddl();
  if (before.empty())
    return Fail(L"reading the key", 0);
  std::wcout << L"before: " << before << std::endl;

  CRegistrySD key(HKEY_LOCAL_MACHINE, kKey);
  if (!key.IsValid())
    return Fail(L"loading the key", key.GetLastError());
  if (int error = key.AllowAccess(L"bob", KEY_READ))
    return Fail(L"AllowAccess", error);
  if (int error = key.DenyAccess(L"Guest", KEY_ALL_ACCESS))
    return Fail(L"DenyAccess", error);
  if (int error = key.SecureObject(false))
    return Fail(L"SecureObject", error);

  const std::wstring after = KeySddl();
  if (after.empty())
    return Fail(L"reading the key back", 0);
  std::wcout << L"after: " << after << std::endl;
  return 0;
}
