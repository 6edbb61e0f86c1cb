// The keys a machine starts with: the default hives every machine has, and the keys of a
// profile's `registry` entry. Both are read and checked whole before anything is written, so
// that a refused profile touches no store.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/standin/core/owned_descriptor.h"
#include "platform/standin/core/sid_aliases.h"
#include "platform/standin/identity/token.h"
#include "platform/standin/profile/machine_description.h"
#include "platform/standin/registry/registry_backend.h"

namespace standin {

// A default key by its canonical path; a key without an owner inherits from its parent.
using DefaultKeys = std::vector<std::pair<std::wstring, OwnedDescriptor>>;

// A key of a profile, with the descriptor and values it gives.
struct ProfileKey {
  std::string where;  // the profile key that names it
  std::wstring root;
  std::vector<std::wstring> components;
  std::optional<OwnedDescriptor> sd;
  std::vector<RegistryValue> values;
};

// The default hives, for a process that runs as `user`. Throws ProfileError.
DefaultKeys ReadDefaultKeys(const AliasDomains& aliases, const SidValue& user);
// The keys of `description`, parents before their subkeys. Throws ProfileError naming the entry.
std::vector<ProfileKey> ReadProfileKeys(const MachineDescription& description,
                                        const AliasDomains& aliases);

// Writes the default keys that are missing.
DWORD WriteDefaultKeys(RegistryTransaction& tx, const TokenData& token, const DefaultKeys& keys);
// Writes a profile's key, with the keys on its way that are missing.
DWORD WriteProfileKey(RegistryTransaction& tx, const TokenData& token, const ProfileKey& key);

}  // namespace standin
