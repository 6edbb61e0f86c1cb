// The registry of a machine: keys under the predefined roots, each with its own descriptor,
// and typed values. Opening a key checks the access asked for against the key's descriptor and
// the caller's token; a new key inherits from its parent as the platform computes it. Every
// operation returns a Win32 code and works in one transaction of the store.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/standin/accounts/account_database.h"
#include "platform/standin/core/owned_descriptor.h"
#include "platform/standin/identity/token.h"
#include "platform/standin/registry/registry_backend.h"

namespace standin {

inline const GENERIC_MAPPING kKeyGenericMapping = {KEY_READ, KEY_WRITE, KEY_EXECUTE,
                                                   KEY_ALL_ACCESS};

// A key opened by a caller: its canonical path and the access granted.
struct OpenedKey {
  std::wstring path;
  ACCESS_MASK granted = 0;
};

// The descriptor of a new key under a key with descriptor `parent`, as NewObjectDescriptor
// computes it: the owner and DACL `given` names, else the token's defaults and what the parent
// passes on; the token's default DACL when nothing is inherited or given.
DWORD NewKeyDescriptor(const TokenData& token,
                       const OwnedDescriptor& parent,
                       const OwnedDescriptor* given,
                       OwnedDescriptor& sd);

class Registry {
 public:
  // Builds the default hives and the description's `registry` keys (or, for the host, opens
  // the database); throws ProfileError naming the entry at fault.
  Registry(const MachineDescription& description,
           const AccountDatabase& accounts,
           const TokenData& process_token);
  ~Registry();

  // What a predefined root handle may do: the most the root's descriptor grants.
  DWORD RootAccess(const TokenData& token, const std::wstring& root, ACCESS_MASK& granted);

  // Opens `base`\`subkey` with `desired` (generic rights mapped). Errors: ERROR_FILE_NOT_FOUND,
  // ERROR_ACCESS_DENIED, ERROR_BAD_PATHNAME, ERROR_KEY_DELETED (the base is gone), ERROR_BADDB.
  DWORD Open(const TokenData& token,
             const std::wstring& base,
             std::wstring_view subkey,
             ACCESS_MASK desired,
             OpenedKey& opened);

  // Opens or creates `base`\`subkey` and every missing key on the way. `security` may give
  // the new key's descriptor.
  DWORD Create(const TokenData& token,
               const std::wstring& base,
               std::wstring_view subkey,
               ACCESS_MASK desired,
               const OwnedDescriptor* security,
               OpenedKey& opened,
               DWORD& disposition);

  // Deletes a key without subkeys (ERROR_ACCESS_DENIED when it has some, or is a root).
  DWORD DeleteKey(const std::wstring& path);

  // The parts of the key's descriptor that `information` selects.
  DWORD GetSecurity(const std::wstring& path,
                    SECURITY_INFORMATION information,
                    OwnedDescriptor& sd);
  // Replaces the parts `information` selects, as RegSetKeySecurity does; the owner must be one
  // the token may set (ERROR_INVALID_OWNER). Nothing is propagated to subkeys.
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

  // The lock that an edit of a key's or value's descriptor holds from its load to its store,
  // so that the host's editors take turns (see RegistryBackend::LockForEdit).
  DWORD LockForEdit(HostLock& lock) { return backend_->LockForEdit(lock); }

  // The names of the direct subkeys of `path`, in the order the store keeps them. Errors:
  // ERROR_KEY_DELETED.
  DWORD Subkeys(const std::wstring& path, std::vector<std::wstring>& names);
  DWORD QueryValue(const std::wstring& path, std::wstring_view name, RegistryValue& value);
  DWORD SetValue(const std::wstring& path, const RegistryValue& value);
  DWORD DeleteValue(const std::wstring& path, std::wstring_view name);

 private:
  // Runs `body(tx, components)` on the components of `subkey` below `base`, in one transaction,
  // once the store is ready and `base` is there (ERROR_KEY_DELETED when it is gone).
  template <typename Body>
  DWORD Below(const std::wstring& base, std::wstring_view subkey, bool write, Body body);
  // SetSecurity, or with `by_name` SetSecurityWithInheritance.
  DWORD Set(const TokenData& token,
            const std::wstring& path,
            SECURITY_INFORMATION information,
            const OwnedDescriptor& given,
            bool by_name);
  // Runs `body` in one transaction of the store: a write seeds the database's default keys
  // first, with its first write; a read before then reads the default keys alone, so that
  // reading never writes and a database that may only be read still is.
  DWORD Transact(bool write, const std::function<DWORD(RegistryTransaction&)>& body);

  const TokenData& process_token_;
  std::unique_ptr<RegistryBackend> backend_;
  std::mutex seed_mutex_;
  std::vector<std::pair<std::wstring, OwnedDescriptor>> host_defaults_;  // still to seed
  std::unique_ptr<RegistryBackend> defaults_;  // the default keys alone, until seeded
};

}  // namespace standin
