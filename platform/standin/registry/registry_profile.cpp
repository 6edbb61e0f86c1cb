#include "platform/standin/registry/registry_profile.h"

#include <algorithm>

#include "platform/standin/core/sddl_conversion.h"
#include "platform/standin/core/text.h"
#include "platform/standin/registry/key_paths.h"
#include "platform/standin/registry/registry.h"

namespace standin {

namespace {

// The hives every machine starts with. "%U" stands for the process user's SID; a key without
// SDDL inherits from its parent.
struct DefaultKey {
  const wchar_t* path;
  const wchar_t* sddl;
};

const DefaultKey kDefaultKeys[] = {
    {L"HKEY_LOCAL_MACHINE", L"O:SYG:SYD:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)"},
    {L"HKEY_LOCAL_MACHINE\\SOFTWARE",
     L"O:BAG:SYD:PAI(A;CIIO;KA;;;CO)(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)"},
    {L"HKEY_LOCAL_MACHINE\\SYSTEM",
     L"O:SYG:SYD:PAI(A;CIIO;KA;;;CO)(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)"},
    {L"HKEY_CURRENT_USER", L"O:%UG:%UD:PAI(A;CI;KA;;;%U)(A;CI;KA;;;SY)(A;CI;KA;;;BA)"},
    {L"HKEY_CURRENT_USER\\Software", nullptr},
    {L"HKEY_CLASSES_ROOT",
     L"O:BAG:SYD:PAI(A;CIIO;KA;;;CO)(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)"},
    {L"HKEY_USERS", L"O:SYG:SYD:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)"},
    {L"HKEY_CURRENT_CONFIG", L"O:SYG:SYD:PAI(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)"},
};

std::wstring Replace(std::wstring text, std::wstring_view from, const std::wstring& to) {
  for (size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// SDDL read into a descriptor; nullopt when it is malformed.
std::optional<OwnedDescriptor> Parse(const std::wstring& sddl, const AliasDomains& aliases) {
  std::vector<BYTE> bytes;
  DescriptorParts parts;
  if (ParseSddl(sddl, aliases, bytes) != ERROR_SUCCESS ||
      ReadSelfRelative(bytes.data(), bytes.size(), parts) != ERROR_SUCCESS)
    return std::nullopt;
  return OwnedDescriptor::From(parts);
}

void PutKey(RegistryTransaction& tx,
            const std::wstring& path,
            const std::wstring& name,
            const OwnedDescriptor& sd) {
  tx.PutKey(path, ParentPath(path), {name, sd});
}

}  // namespace

DefaultKeys ReadDefaultKeys(const AliasDomains& aliases, const SidValue& user) {
  DefaultKeys keys;
  for (const auto& key : kDefaultKeys) {
    OwnedDescriptor sd;
    if (key.sddl) {
      auto parsed = Parse(Replace(key.sddl, L"%U", user.ToString()), aliases);
      if (!parsed)
        throw ProfileError("registry", "the default hives cannot be built");
      sd = std::move(*parsed);
    }
    keys.emplace_back(key.path, std::move(sd));
  }
  return keys;
}

std::vector<ProfileKey> ReadProfileKeys(const MachineDescription& description,
                                        const AliasDomains& aliases) {
  std::vector<ProfileKey> keys;
  for (const auto& key : description.registry) {
    ProfileKey entry;
    entry.where = "registry." + WideToUtf8(key.path);
    std::string why;
    if (!ParseKeyPath(key.path, entry.root, entry.components, &why))
      throw ProfileError(entry.where, why);
    if (key.sddl) {
      entry.sd = Parse(*key.sddl, aliases);
      if (!entry.sd)
        throw ProfileError(entry.where + ".sddl", "malformed SDDL");
    }
    for (const auto& v : key.values) {
      if (HasControlCharacter(v.name))
        throw ProfileError(entry.where + ".values." + WideToUtf8(v.name),
                           "a value name holds a control character");
      RegistryValue value{v.name, v.type.value_or(REG_BINARY), v.bytes};
      if (v.sddl) {
        const std::string at = entry.where + ".values." + WideToUtf8(v.name) + ".sddl";
        if (ParseSddl(*v.sddl, aliases, value.data) != ERROR_SUCCESS)
          throw ProfileError(at, "malformed SDDL");
      }
      entry.values.push_back(std::move(value));
    }
    keys.push_back(std::move(entry));
  }
  // Parents before their subkeys, whatever the order of the profile.
  std::stable_sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) {
    return a.components.size() < b.components.size();
  });
  return keys;
}

DWORD WriteDefaultKeys(RegistryTransaction& tx, const TokenData& token, const DefaultKeys& keys) {
  for (const auto& [path, given] : keys) {
    const std::wstring canonical = UpperCase(path);
    if (tx.HasKey(canonical))
      continue;
    OwnedDescriptor sd = given;
    if (given.owner.empty()) {
      RegistryKeyRecord parent;
      if (const DWORD read = tx.Key(ParentPath(canonical), parent); read != ERROR_SUCCESS)
        return read;
      if (const DWORD made = NewKeyDescriptor(token, parent.sd, nullptr, sd); made != ERROR_SUCCESS)
        return made;
    }
    PutKey(tx, canonical, LastComponent(path), sd);
  }
  return ERROR_SUCCESS;
}

DWORD WriteProfileKey(RegistryTransaction& tx, const TokenData& token, const ProfileKey& key) {
  std::wstring path = key.root;
  RegistryKeyRecord parent;
  if (const DWORD read = tx.Key(path, parent); read != ERROR_SUCCESS)
    return read;
  OwnedDescriptor parent_sd = parent.sd;
  for (size_t i = 0; i < key.components.size(); ++i) {
    AppendChild(path, key.components[i]);
    const bool last = i + 1 == key.components.size();
    const bool exists = tx.HasKey(path);
    OwnedDescriptor sd;
    RegistryKeyRecord existing;
    if (last && key.sd) {
      sd = *key.sd;
    } else if (exists && tx.Key(path, existing) == ERROR_SUCCESS) {
      sd = existing.sd;
    } else if (const DWORD made = NewKeyDescriptor(token, parent_sd, nullptr, sd);
               made != ERROR_SUCCESS) {
      return made;
    }
    if (!exists || (last && key.sd))
      PutKey(tx, path, key.components[i], sd);
    parent_sd = std::move(sd);
  }
  if (key.components.empty() && key.sd)
    PutKey(tx, path, path, *key.sd);
  for (const auto& value : key.values)
    tx.PutValue(path, value);
  return ERROR_SUCCESS;
}

}  // namespace standin
