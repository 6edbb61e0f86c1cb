#include "platform/standin/registry.h"

#include <algorithm>
#include <cstdint>

#include "platform/standin/access_check.h"
#include "platform/standin/ace_list.h"
#include "platform/standin/acl.h"
#include "platform/standin/api_support.h"
#include "platform/standin/sddl.h"
#include "platform/standin/text.h"

namespace standin {

namespace {

struct RootName {
  HKEY handle;
  const wchar_t* path;         // canonical
  const wchar_t* short_name;   // profile form
  const wchar_t* object_name;  // named-security form; null when it has none
};

const RootName kRoots[] = {
    {HKEY_CLASSES_ROOT, L"HKEY_CLASSES_ROOT", L"HKCR", L"CLASSES_ROOT"},
    {HKEY_CURRENT_USER, L"HKEY_CURRENT_USER", L"HKCU", L"CURRENT_USER"},
    {HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE", L"HKLM", L"MACHINE"},
    {HKEY_USERS, L"HKEY_USERS", L"HKU", L"USERS"},
    {HKEY_CURRENT_CONFIG, L"HKEY_CURRENT_CONFIG", L"HKCC", nullptr},
};

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

constexpr ACCESS_MASK kWow64Bits = 0x0100 | 0x0200;  // KEY_WOW64_64KEY, KEY_WOW64_32KEY

const SidValue& Administrators() {
  static const SidValue sid(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
  return sid;
}

const SidValue& LocalSystem() {
  static const SidValue sid(5, {SECURITY_LOCAL_SYSTEM_RID});
  return sid;
}

std::wstring ParentOf(const std::wstring& path) {
  const size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring LastComponent(const std::wstring& path) {
  const size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// The components of a subkey path. A trailing "\" is allowed; a leading one, or an empty
// component inside, is not.
DWORD SplitSubkey(std::wstring_view subkey, std::vector<std::wstring>& components) {
  components.clear();
  if (subkey.empty())
    return ERROR_SUCCESS;
  if (subkey.front() == L'\\')
    return ERROR_BAD_PATHNAME;
  if (subkey.back() == L'\\')
    subkey.remove_suffix(1);
  size_t start = 0;
  while (true) {
    const size_t slash = subkey.find(L'\\', start);
    const std::wstring_view part = subkey.substr(start, slash - start);
    if (part.empty())
      return ERROR_BAD_PATHNAME;
    if (part.size() > 255)
      return ERROR_INVALID_PARAMETER;
    components.emplace_back(part);
    if (slash == std::wstring_view::npos)
      break;
    start = slash + 1;
  }
  return ERROR_SUCCESS;
}

std::wstring Child(const std::wstring& parent, const std::wstring& component) {
  return parent + L"\\" + UpperCase(component);
}

// A key's descriptor as stored; bytes that do not form a valid descriptor are a damaged hive.
DWORD ReadKey(RegistryTransaction& tx, const std::wstring& path, OwnedDescriptor& sd) {
  const auto key = tx.Key(path);
  if (!key)
    return ERROR_FILE_NOT_FOUND;
  DescriptorParts parts;
  if (ReadSelfRelative(key->sd.data(), key->sd.size(), parts) != ERROR_SUCCESS)
    return ERROR_BADDB;
  sd = OwnedDescriptor::From(parts);
  return ERROR_SUCCESS;
}

void WriteKey(RegistryTransaction& tx,
              const std::wstring& path,
              const std::wstring& name,
              const OwnedDescriptor& sd) {
  tx.PutKey(path, ParentOf(path), {name, sd.SelfRelative()});
}

DWORD Evaluate(const OwnedDescriptor& sd,
               const TokenData& token,
               ACCESS_MASK desired,
               ACCESS_MASK& granted) {
  desired = MapGenericRights(desired & ~kWow64Bits, kKeyGenericMapping);
  return EvaluateAccess(sd.Parts(), token, desired, kKeyGenericMapping, granted);
}

bool HoldsEnabled(const TokenData& token, const SidValue& sid, DWORD attribute) {
  return std::any_of(token.groups.begin(), token.groups.end(), [&](const auto& group) {
    return group.first == sid && (group.second & SE_GROUP_ENABLED) &&
           (attribute == 0 || (group.second & attribute));
  });
}

// The owners a token may give an object: its user, an enabled group marked as an owner, and
// Administrators when the token holds it enabled (elevated).
bool MayOwn(const TokenData& token, const std::vector<BYTE>& owner) {
  const auto sid = SidValue::FromBytes(owner.data(), owner.size());
  if (!sid)
    return false;
  return *sid == token.user || HoldsEnabled(token, *sid, SE_GROUP_OWNER) ||
         (*sid == Administrators() && HoldsEnabled(token, *sid, 0));
}

// The owner of what a token creates: Administrators for an elevated administrator, else the user.
SidValue DefaultOwner(const TokenData& token) {
  return HoldsEnabled(token, Administrators(), 0) ? Administrators() : token.user;
}

std::vector<BYTE> Bytes(const SidValue& sid) {
  return std::vector<BYTE>(sid.data(), sid.data() + sid.size());
}

SidValue SidOf(const std::vector<BYTE>& bytes) {
  auto sid = SidValue::FromBytes(bytes.data(), bytes.size());
  return sid ? *sid : SidValue();
}

AceList DaclEntries(const OwnedDescriptor& sd) {
  return (sd.control & SE_DACL_PRESENT) && !sd.dacl.empty() ? AceList::Decode(sd.dacl.data())
                                                            : AceList();
}

std::vector<AceEntry> InheritedFrom(const OwnedDescriptor& parent, const OwnedDescriptor& child) {
  return InheritedEntries(DaclEntries(parent), true, SidOf(child.owner), SidOf(child.group),
                          kKeyGenericMapping);
}

// The descriptor of a new key under `parent`: the owner and DACL that `given` names, else
// the token's defaults; entries inherited from the parent unless the given DACL is protected;
// the token's default DACL when nothing is inherited or given.
DWORD NewKeyDescriptor(const TokenData& token,
                       const OwnedDescriptor& parent,
                       const OwnedDescriptor* given,
                       OwnedDescriptor& sd) {
  sd = OwnedDescriptor();
  if (given && !given->owner.empty()) {
    if (!MayOwn(token, given->owner))
      return ERROR_INVALID_OWNER;
    sd.owner = given->owner;
  } else {
    sd.owner = Bytes(DefaultOwner(token));
  }
  sd.group = given && !given->group.empty() ? given->group : Bytes(token.user);

  const auto inherited = InheritedFrom(parent, sd);
  AceList dacl;
  SECURITY_DESCRIPTOR_CONTROL control = SE_DACL_PRESENT;
  if (given && (given->control & SE_DACL_PRESENT)) {
    if (given->dacl.empty()) {
      sd.control = SE_DACL_PRESENT;  // a null DACL, as given
      return ERROR_SUCCESS;
    }
    const bool protect = given->control & SE_DACL_PROTECTED;
    dacl = protect ? AceList::Decode(given->dacl.data())
                   : MergeInherited(AceList::Decode(given->dacl.data()), inherited);
    if (protect)
      control |= SE_DACL_PROTECTED;
    else if (!inherited.empty())
      control |= SE_DACL_AUTO_INHERITED;
  } else if (!inherited.empty()) {
    dacl.entries = inherited;
    control |= SE_DACL_AUTO_INHERITED;
  } else {
    for (const SidValue* sid : {&token.user, &LocalSystem()}) {
      AceEntry entry;
      entry.mask = KEY_ALL_ACCESS;
      entry.sid = *sid;
      dacl.entries.push_back(entry);
    }
  }
  const auto bytes = dacl.Encode();
  if (!bytes)
    return ERROR_INVALID_ACL;
  sd.dacl = *bytes;
  sd.control = control;
  return ERROR_SUCCESS;
}

// Recomputes the inherited entries of every subkey of `path` below a DACL that changed; a
// protected subkey keeps its DACL, and so does what lies below it.
DWORD Propagate(RegistryTransaction& tx, const std::wstring& path, const OwnedDescriptor& parent) {
  for (const auto& child_path : tx.Subkeys(path)) {
    OwnedDescriptor child;
    if (const DWORD read = ReadKey(tx, child_path, child); read != ERROR_SUCCESS)
      return read;
    if (child.control & SE_DACL_PROTECTED)
      continue;
    const auto list = MergeInherited(DaclEntries(child), InheritedFrom(parent, child)).Encode();
    if (!list)
      return ERROR_INVALID_ACL;
    child.dacl = *list;
    child.control |= SE_DACL_PRESENT | SE_DACL_AUTO_INHERITED;
    WriteKey(tx, child_path, tx.Key(child_path)->name, child);
    if (const DWORD below = Propagate(tx, child_path, child); below != ERROR_SUCCESS)
      return below;
  }
  return ERROR_SUCCESS;
}

// Parses "HKLM\Software\Example" into its canonical root and components.
bool ParseProfilePath(const std::wstring& text,
                      std::wstring& root,
                      std::vector<std::wstring>& components) {
  const size_t slash = text.find(L'\\');
  const std::wstring first = UpperCase(text.substr(0, slash));
  for (const auto& r : kRoots) {
    if (first == r.short_name || first == r.path)
      root = r.path;
  }
  if (root.empty())
    return false;
  if (slash == std::wstring::npos) {
    components.clear();
    return true;
  }
  return SplitSubkey(std::wstring_view(text).substr(slash + 1), components) == ERROR_SUCCESS;
}

std::wstring Replace(std::wstring text, std::wstring_view from, const std::wstring& to) {
  for (size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::string ProfileKey(const RegistryKeyDescription& key) {
  return "registry." + WideToUtf8(key.path);
}

}  // namespace

Registry::Registry(const MachineDescription& description,
                   const AccountDatabase& accounts,
                   const TokenData& process_token)
    : accounts_(accounts) {
  // Everything is parsed first, so that a refused profile touches no database.
  std::vector<std::pair<std::wstring, OwnedDescriptor>> defaults;
  for (const auto& key : kDefaultKeys) {
    OwnedDescriptor sd;
    if (key.sddl) {
      std::vector<BYTE> bytes;
      const std::wstring text = Replace(key.sddl, L"%U", process_token.user.ToString());
      DescriptorParts parts;
      if (ParseSddl(text, accounts_, bytes) != ERROR_SUCCESS ||
          ReadSelfRelative(bytes.data(), bytes.size(), parts) != ERROR_SUCCESS)
        throw ProfileError("registry", "the default hives cannot be built");
      sd = OwnedDescriptor::From(parts);
    }
    defaults.emplace_back(key.path, key.sddl ? sd : OwnedDescriptor());
  }

  struct ProfileKeyEntry {
    std::string where;
    std::wstring root;
    std::vector<std::wstring> components;
    std::optional<OwnedDescriptor> sd;
    std::vector<RegistryValue> values;
  };
  std::vector<ProfileKeyEntry> entries;
  for (const auto& key : description.registry) {
    const std::string where = ProfileKey(key);
    ProfileKeyEntry entry;
    entry.where = where;
    if (!ParseProfilePath(key.path, entry.root, entry.components))
      throw ProfileError(where, "a key path starts with HKLM, HKCU, HKCR, HKU or HKCC");
    auto parse = [&](const std::wstring& sddl, const std::string& at) {
      std::vector<BYTE> bytes;
      if (ParseSddl(sddl, accounts_, bytes) != ERROR_SUCCESS)
        throw ProfileError(at, "malformed SDDL");
      return bytes;
    };
    if (key.sddl) {
      const auto bytes = parse(*key.sddl, where + ".sddl");
      DescriptorParts parts;
      ReadSelfRelative(bytes.data(), bytes.size(), parts);
      entry.sd = OwnedDescriptor::From(parts);
    }
    for (const auto& v : key.values) {
      RegistryValue value{v.name, v.type.value_or(REG_BINARY), v.bytes};
      if (v.sddl)
        value.data = parse(*v.sddl, where + ".values." + WideToUtf8(v.name) + ".sddl");
      entry.values.push_back(std::move(value));
    }
    entries.push_back(std::move(entry));
  }
  // Parents before their subkeys, whatever the order of the profile.
  std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    return a.components.size() < b.components.size();
  });

  if (!description.registry_database.empty()) {
    backend_ = MakeSqliteRegistry(description.registry_database);
    host_defaults_ = std::move(defaults);
    return;  // the database is opened and seeded on first use
  }
  backend_ = MakeMemoryRegistry();
  const auto token = std::make_shared<TokenData>(process_token);
  const DWORD seeded = Seed(*token, defaults);
  if (seeded != ERROR_SUCCESS)
    throw ProfileError("registry", "the default hives cannot be built");
  for (const auto& entry : entries) {
    const DWORD built = backend_->Run(true, [&](RegistryTransaction& tx) -> DWORD {
      std::wstring path = entry.root;
      OwnedDescriptor parent;
      if (const DWORD read = ReadKey(tx, path, parent); read != ERROR_SUCCESS)
        return read;
      for (size_t i = 0; i < entry.components.size(); ++i) {
        const std::wstring child = Child(path, entry.components[i]);
        const bool last = i + 1 == entry.components.size();
        OwnedDescriptor sd;
        if (last && entry.sd) {
          sd = *entry.sd;
        } else if (ReadKey(tx, child, sd) != ERROR_SUCCESS) {
          if (const DWORD made = NewKeyDescriptor(*token, parent, nullptr, sd);
              made != ERROR_SUCCESS)
            return made;
        }
        if (!tx.Key(child) || (last && entry.sd))
          WriteKey(tx, child, entry.components[i], sd);
        path = child;
        parent = sd;
      }
      if (entry.components.empty() && entry.sd)
        WriteKey(tx, path, path, *entry.sd);
      for (const auto& value : entry.values)
        tx.PutValue(path, value);
      return ERROR_SUCCESS;
    });
    if (built != ERROR_SUCCESS)
      throw ProfileError(entry.where, "the key cannot be made");
  }
}

Registry::~Registry() = default;

DWORD Registry::Seed(const TokenData& token,
                     const std::vector<std::pair<std::wstring, OwnedDescriptor>>& defaults) {
  return backend_->Run(true, [&](RegistryTransaction& tx) -> DWORD {
    for (const auto& [path, given] : defaults) {
      const std::wstring canonical = UpperCase(path);
      if (tx.Key(canonical))
        continue;
      OwnedDescriptor sd = given;
      if (given.owner.empty()) {
        OwnedDescriptor parent;
        if (const DWORD read = ReadKey(tx, ParentOf(canonical), parent); read != ERROR_SUCCESS)
          return read;
        if (const DWORD made = NewKeyDescriptor(token, parent, nullptr, sd); made != ERROR_SUCCESS)
          return made;
      }
      WriteKey(tx, canonical, LastComponent(path), sd);
    }
    return ERROR_SUCCESS;
  });
}

DWORD Registry::Ready(const TokenData& token) {
  std::lock_guard lock(seed_mutex_);
  if (host_defaults_.empty())
    return ERROR_SUCCESS;
  const DWORD seeded = Seed(token, host_defaults_);
  if (seeded == ERROR_SUCCESS)
    host_defaults_.clear();
  return seeded;
}

std::optional<std::wstring> Registry::RootPath(HKEY root) {
  for (const auto& r : kRoots) {
    if (r.handle == root)
      return std::wstring(r.path);
  }
  return std::nullopt;
}

std::optional<HKEY> Registry::RootOfObjectName(std::wstring_view name, std::wstring_view& rest) {
  const size_t slash = name.find(L'\\');
  if (slash == std::wstring_view::npos)
    return std::nullopt;
  for (const auto& r : kRoots) {
    if (r.object_name && NamesEqual(name.substr(0, slash), r.object_name)) {
      rest = name.substr(slash + 1);
      return r.handle;
    }
  }
  return std::nullopt;
}

DWORD Registry::RootAccess(const TokenData& token, const std::wstring& root, ACCESS_MASK& granted) {
  granted = 0;
  if (const DWORD ready = Ready(token); ready != ERROR_SUCCESS)
    return ready;
  return backend_->Run(false, [&](RegistryTransaction& tx) -> DWORD {
    OwnedDescriptor sd;
    if (const DWORD read = ReadKey(tx, root, sd); read != ERROR_SUCCESS)
      return read;
    return Evaluate(sd, token, MAXIMUM_ALLOWED, granted);
  });
}

DWORD Registry::Open(const TokenData& token,
                     const std::wstring& base,
                     std::wstring_view subkey,
                     ACCESS_MASK desired,
                     RegistryKeyHandle& opened) {
  std::vector<std::wstring> components;
  if (const DWORD split = SplitSubkey(subkey, components); split != ERROR_SUCCESS)
    return split;
  if (const DWORD ready = Ready(token); ready != ERROR_SUCCESS)
    return ready;
  return backend_->Run(false, [&](RegistryTransaction& tx) -> DWORD {
    if (!tx.Key(base))
      return ERROR_KEY_DELETED;
    std::wstring path = base;
    for (const auto& c : components)
      path = Child(path, c);
    OwnedDescriptor sd;
    if (const DWORD read = ReadKey(tx, path, sd); read != ERROR_SUCCESS)
      return read;
    ACCESS_MASK granted = 0;
    if (const DWORD checked = Evaluate(sd, token, desired, granted); checked != ERROR_SUCCESS)
      return checked;
    opened.path = path;
    opened.granted = granted;
    return ERROR_SUCCESS;
  });
}

DWORD Registry::Create(const TokenData& token,
                       const std::wstring& base,
                       ACCESS_MASK base_granted,
                       std::wstring_view subkey,
                       ACCESS_MASK desired,
                       const OwnedDescriptor* security,
                       RegistryKeyHandle& opened,
                       DWORD& disposition) {
  std::vector<std::wstring> components;
  if (const DWORD split = SplitSubkey(subkey, components); split != ERROR_SUCCESS)
    return split;
  if (const DWORD ready = Ready(token); ready != ERROR_SUCCESS)
    return ready;
  return backend_->Run(true, [&](RegistryTransaction& tx) -> DWORD {
    OwnedDescriptor parent;
    if (ReadKey(tx, base, parent) == ERROR_FILE_NOT_FOUND)
      return ERROR_KEY_DELETED;
    std::wstring path = base;
    size_t existing = 0;
    for (; existing < components.size(); ++existing) {
      const std::wstring child = Child(path, components[existing]);
      if (!tx.Key(child))
        break;
      path = child;
    }
    OwnedDescriptor sd;
    if (const DWORD read = ReadKey(tx, path, sd); read != ERROR_SUCCESS)
      return read;
    ACCESS_MASK granted = 0;
    if (existing == components.size()) {
      if (const DWORD checked = Evaluate(sd, token, desired, granted); checked != ERROR_SUCCESS)
        return checked;
      opened.path = path;
      opened.granted = granted;
      disposition = REG_OPENED_EXISTING_KEY;
      return ERROR_SUCCESS;
    }
    // Creating below the deepest existing key needs the right to create subkeys there.
    ACCESS_MASK may_create = base_granted;
    if (path != base && Evaluate(sd, token, KEY_CREATE_SUB_KEY, may_create) != ERROR_SUCCESS)
      may_create = 0;
    if (!(may_create & KEY_CREATE_SUB_KEY))
      return ERROR_ACCESS_DENIED;
    parent = sd;
    for (size_t i = existing; i < components.size(); ++i) {
      const bool last = i + 1 == components.size();
      OwnedDescriptor created;
      if (const DWORD made = NewKeyDescriptor(token, parent, last ? security : nullptr, created);
          made != ERROR_SUCCESS)
        return made;
      path = Child(path, components[i]);
      WriteKey(tx, path, components[i], created);
      parent = created;
    }
    // The creator gets the access it asked for, whatever the new descriptor grants.
    granted = MapGenericRights(desired & ~kWow64Bits, kKeyGenericMapping);
    if (granted & MAXIMUM_ALLOWED)
      granted = (granted & ~MAXIMUM_ALLOWED) | KEY_ALL_ACCESS;
    opened.path = path;
    opened.granted = granted;
    disposition = REG_CREATED_NEW_KEY;
    return ERROR_SUCCESS;
  });
}

DWORD Registry::DeleteKey(const std::wstring& path) {
  return backend_->Run(true, [&](RegistryTransaction& tx) -> DWORD {
    if (!tx.Key(path))
      return ERROR_KEY_DELETED;
    if (ParentOf(path).empty() || !tx.Subkeys(path).empty())
      return ERROR_ACCESS_DENIED;
    tx.RemoveKey(path);
    return ERROR_SUCCESS;
  });
}

DWORD Registry::GetSecurity(const std::wstring& path,
                            SECURITY_INFORMATION information,
                            std::vector<BYTE>& out) {
  return backend_->Run(false, [&](RegistryTransaction& tx) -> DWORD {
    OwnedDescriptor sd;
    if (const DWORD read = ReadKey(tx, path, sd); read != ERROR_SUCCESS)
      return read == ERROR_FILE_NOT_FOUND ? ERROR_KEY_DELETED : read;
    out = sd.Select(information).SelfRelative();
    return ERROR_SUCCESS;
  });
}

DWORD Registry::SetSecurity(const TokenData& token,
                            const std::wstring& path,
                            SECURITY_INFORMATION information,
                            const OwnedDescriptor& given) {
  if ((information & OWNER_SECURITY_INFORMATION) && !MayOwn(token, given.owner))
    return ERROR_INVALID_OWNER;
  return backend_->Run(true, [&](RegistryTransaction& tx) -> DWORD {
    OwnedDescriptor sd;
    if (const DWORD read = ReadKey(tx, path, sd); read != ERROR_SUCCESS)
      return read == ERROR_FILE_NOT_FOUND ? ERROR_KEY_DELETED : read;
    sd.Assign(given, information & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                    DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION));
    WriteKey(tx, path, tx.Key(path)->name, sd);
    return ERROR_SUCCESS;
  });
}

DWORD Registry::SetSecurityWithInheritance(const TokenData& token,
                                           const std::wstring& path,
                                           SECURITY_INFORMATION information,
                                           const OwnedDescriptor& given) {
  if ((information & OWNER_SECURITY_INFORMATION) && !MayOwn(token, given.owner))
    return ERROR_INVALID_OWNER;
  return backend_->Run(true, [&](RegistryTransaction& tx) -> DWORD {
    OwnedDescriptor sd;
    if (const DWORD read = ReadKey(tx, path, sd); read != ERROR_SUCCESS)
      return read;
    sd.Assign(given, information & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                    SACL_SECURITY_INFORMATION));
    if (!(information & DACL_SECURITY_INFORMATION)) {
      WriteKey(tx, path, tx.Key(path)->name, sd);
      return ERROR_SUCCESS;
    }
    bool protect = sd.control & SE_DACL_PROTECTED;
    if (information & PROTECTED_DACL_SECURITY_INFORMATION)
      protect = true;
    else if (information & UNPROTECTED_DACL_SECURITY_INFORMATION)
      protect = false;
    const bool null_dacl = (given.control & SE_DACL_PRESENT) && given.dacl.empty();
    sd.control &= ~(SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED | SE_DACL_DEFAULTED);
    // Set by name, the DACL takes part in automatic inheritance whether protected or not.
    sd.control |= SE_DACL_PRESENT | SE_DACL_AUTO_INHERITED | (protect ? SE_DACL_PROTECTED : 0);
    if (null_dacl) {
      sd.dacl.clear();
    } else {
      std::vector<AceEntry> inherited;
      const std::wstring parent_path = ParentOf(path);
      if (!protect && !parent_path.empty()) {
        OwnedDescriptor parent;
        if (const DWORD read = ReadKey(tx, parent_path, parent); read != ERROR_SUCCESS)
          return read;
        inherited = InheritedFrom(parent, sd);
      }
      const auto list = MergeInherited(DaclEntries(given), inherited).Encode();
      if (!list)
        return ERROR_INVALID_ACL;
      sd.dacl = *list;
    }
    WriteKey(tx, path, tx.Key(path)->name, sd);
    return Propagate(tx, path, sd);
  });
}

DWORD Registry::QueryValue(const std::wstring& path, std::wstring_view name, RegistryValue& out) {
  return backend_->Run(false, [&](RegistryTransaction& tx) -> DWORD {
    if (!tx.Key(path))
      return ERROR_KEY_DELETED;
    auto value = tx.Value(path, std::wstring(name));
    if (!value)
      return ERROR_FILE_NOT_FOUND;
    out = std::move(*value);
    return ERROR_SUCCESS;
  });
}

DWORD Registry::SetValue(const std::wstring& path, const RegistryValue& value) {
  return backend_->Run(true, [&](RegistryTransaction& tx) -> DWORD {
    if (!tx.Key(path))
      return ERROR_KEY_DELETED;
    tx.PutValue(path, value);
    return ERROR_SUCCESS;
  });
}

DWORD Registry::DeleteValue(const std::wstring& path, std::wstring_view name) {
  return backend_->Run(true, [&](RegistryTransaction& tx) -> DWORD {
    if (!tx.Key(path))
      return ERROR_KEY_DELETED;
    return tx.RemoveValue(path, std::wstring(name)) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  });
}

}  // namespace standin
