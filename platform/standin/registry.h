// The registry of a machine: keys under the predefined roots, each with its own descriptor,
// and typed values. Opening a key checks the access asked for against the key's descriptor and
// the caller's token; a new key inherits from its parent as the platform computes it. Every
// operation returns a Win32 code and works in one transaction of the backend.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/standin/account_database.h"
#include "platform/standin/machine.h"
#include "platform/standin/owned_descriptor.h"
#include "platform/standin/registry_backend.h"

namespace standin {

inline const GENERIC_MAPPING kKeyGenericMapping = {KEY_READ, KEY_WRITE, KEY_EXECUTE,
                                                   KEY_ALL_ACCESS};

// An open key, as a registry HKEY stands for it.
struct RegistryKeyHandle : HandleObject {
  std::wstring path;  // canonical
  ACCESS_MASK granted = 0;
};

class Registry {
 public:
  // Builds the default hives and the description's `registry` keys (or, for the host, opens
  // the database); throws ProfileError naming the entry at fault.
  Registry(const MachineDescription& description,
           const AccountDatabase& accounts,
           const TokenData& process_token);
  ~Registry();

  // The canonical path of a predefined root handle; nullopt for any other value.
  static std::optional<std::wstring> RootPath(HKEY root);
  // The root of an object name of the named-security calls ("MACHINE\...", "CURRENT_USER\...",
  // "CLASSES_ROOT\...", "USERS\..."); nullopt without one.
  static std::optional<HKEY> RootOfObjectName(std::wstring_view name, std::wstring_view& rest);

  // What a predefined root handle may do: the most the root's descriptor grants.
  DWORD RootAccess(const TokenData& token, const std::wstring& root, ACCESS_MASK& granted);

  // Opens `base`\`subkey` with `desired` (generic rights mapped). Errors: ERROR_FILE_NOT_FOUND,
  // ERROR_ACCESS_DENIED, ERROR_BAD_PATHNAME, ERROR_KEY_DELETED (the base is gone), ERROR_BADDB.
  DWORD Open(const TokenData& token,
             const std::wstring& base,
             std::wstring_view subkey,
             ACCESS_MASK desired,
             RegistryKeyHandle& opened);

  // Opens or creates `base`\`subkey` and every missing key on the way. `base_granted` is the
  // access of the handle that `base` was reached through. `security` may give the new key's
  // descriptor.
  DWORD Create(const TokenData& token,
               const std::wstring& base,
               ACCESS_MASK base_granted,
               std::wstring_view subkey,
               ACCESS_MASK desired,
               const OwnedDescriptor* security,
               RegistryKeyHandle& opened,
               DWORD& disposition);

  // Deletes a key without subkeys (ERROR_ACCESS_DENIED when it has some, or is a root).
  DWORD DeleteKey(const std::wstring& path);

  // The parts of the key's descriptor that `information` selects, self-relative.
  DWORD GetSecurity(const std::wstring& path,
                    SECURITY_INFORMATION information,
                    std::vector<BYTE>& sd);
  // Replaces the parts `information` selects; the owner must be one the token may set
  // (ERROR_INVALID_OWNER). Nothing is propagated to subkeys.
  DWORD SetSecurity(const TokenData& token,
                    const std::wstring& path,
                    SECURITY_INFORMATION information,
                    const OwnedDescriptor& given);
  // As the named-security call sets it: the DACL's own entries, protected or inheriting from
  // the parent, with the inherited entries of every subkey recomputed.
  DWORD SetSecurityWithInheritance(const TokenData& token,
                                   const std::wstring& path,
                                   SECURITY_INFORMATION information,
                                   const OwnedDescriptor& given);

  DWORD QueryValue(const std::wstring& path, std::wstring_view name, RegistryValue& value);
  DWORD SetValue(const std::wstring& path, const RegistryValue& value);
  DWORD DeleteValue(const std::wstring& path, std::wstring_view name);

 private:
  using DefaultKeys = std::vector<std::pair<std::wstring, OwnedDescriptor>>;
  // Writes the default keys that are missing; a key without an owner inherits.
  DWORD Seed(const TokenData& token, const DefaultKeys& defaults);
  // Seeds the database on first use, so that a host run that never reads the registry never
  // creates it.
  DWORD Ready(const TokenData& token);

  const AccountDatabase& accounts_;
  std::unique_ptr<RegistryBackend> backend_;
  std::mutex seed_mutex_;
  DefaultKeys host_defaults_;  // still to seed
};

// The SE_REGISTRY_KEY branch of GetNamedSecurityInfoW and SetNamedSecurityInfoW, for the
// named-security calls to hand registry objects to.
DWORD GetRegistryNamedSecurity(Machine& machine,
                               LPCWSTR name,
                               SECURITY_INFORMATION information,
                               PSID* owner,
                               PSID* group,
                               PACL* dacl,
                               PACL* sacl,
                               PSECURITY_DESCRIPTOR* descriptor);
DWORD SetRegistryNamedSecurity(Machine& machine,
                               LPCWSTR name,
                               SECURITY_INFORMATION information,
                               PSID owner,
                               PSID group,
                               PACL dacl,
                               PACL sacl);

}  // namespace standin
