#include "platform/standin/registry/registry.h"

#include <algorithm>

#include "platform/standin/core/text.h"
#include "platform/standin/object_security/access_check.h"
#include "platform/standin/object_security/object_security.h"
#include "platform/standin/registry/key_paths.h"
#include "platform/standin/registry/registry_profile.h"

namespace standin {

namespace {

constexpr ACCESS_MASK kWow64Bits = KEY_WOW64_64KEY | KEY_WOW64_32KEY;

// A key's descriptor; a key that is gone reads as ERROR_FILE_NOT_FOUND.
DWORD ReadKey(RegistryTransaction& tx, const std::wstring& path, OwnedDescriptor& sd) {
  RegistryKeyRecord key;
  if (const DWORD read = tx.Key(path, key); read != ERROR_SUCCESS)
    return read;
  sd = std::move(key.sd);
  return ERROR_SUCCESS;
}

// Replaces the descriptor of a key that exists, keeping its name.
DWORD RewriteKey(RegistryTransaction& tx, const std::wstring& path, const OwnedDescriptor& sd) {
  RegistryKeyRecord key;
  if (const DWORD read = tx.Key(path, key); read != ERROR_SUCCESS)
    return read;
  key.sd = sd;
  tx.PutKey(path, ParentPath(path), key);
  return ERROR_SUCCESS;
}

DWORD Evaluate(const OwnedDescriptor& sd,
               const TokenData& token,
               ACCESS_MASK desired,
               ACCESS_MASK& granted) {
  desired = MapGenericRights(desired & ~kWow64Bits, kKeyGenericMapping);
  return EvaluateAccess(sd.Parts(), token, desired, kKeyGenericMapping, granted);
}

// Opens a key that exists with `desired`, as its descriptor grants it to `token`.
DWORD OpenExisting(RegistryTransaction& tx,
                   const TokenData& token,
                   const std::wstring& path,
                   ACCESS_MASK desired,
                   OpenedKey& opened) {
  OwnedDescriptor sd;
  if (const DWORD read = ReadKey(tx, path, sd); read != ERROR_SUCCESS)
    return read;
  ACCESS_MASK granted = 0;
  if (const DWORD checked = Evaluate(sd, token, desired, granted); checked != ERROR_SUCCESS)
    return checked;
  opened = {path, granted};
  return ERROR_SUCCESS;
}

// The subkeys of a key as an inheritance tree, in one transaction.
class KeyTree {
 public:
  explicit KeyTree(RegistryTransaction& tx) : tx_(tx) {}
  std::vector<std::wstring> Children(const std::wstring& path) { return tx_.Subkeys(path); }
  bool IsContainer(const std::wstring&) const { return true; }
  DWORD Read(const std::wstring& path, OwnedDescriptor& sd) { return ReadKey(tx_, path, sd); }
  DWORD Write(const std::wstring& path, const OwnedDescriptor& sd) {
    return RewriteKey(tx_, path, sd);
  }
  // A damaged key undoes the whole change.
  bool StopOnError() const { return true; }

 private:
  RegistryTransaction& tx_;
};

}  // namespace

DWORD NewKeyDescriptor(const TokenData& token,
                       const OwnedDescriptor& parent,
                       const OwnedDescriptor* given,
                       OwnedDescriptor& sd) {
  return NewObjectDescriptor(token, given, &parent, true, DefaultOwnerOf(token), token.user,
                             kKeyGenericMapping, sd);
}

Registry::Registry(const MachineDescription& description,
                   const AccountDatabase& accounts,
                   const TokenData& process_token)
    : process_token_(process_token) {
  // Everything is read first, so that a refused profile touches no database.
  DefaultKeys defaults = ReadDefaultKeys(accounts.alias_domains(), process_token.user);
  const std::vector<ProfileKey> keys = ReadProfileKeys(description, accounts.alias_domains());

  if (!description.registry_database.empty()) {
    backend_ = MakeSqliteRegistry(description.registry_database);
    host_defaults_ = std::move(defaults);
    return;  // the database is opened on first use, and seeded by the first write
  }
  backend_ = MakeMemoryRegistry();
  const DWORD seeded = backend_->Run(
      true, [&](RegistryTransaction& tx) { return WriteDefaultKeys(tx, process_token, defaults); });
  if (seeded != ERROR_SUCCESS)
    throw ProfileError("registry", "the default hives cannot be built");
  for (const auto& key : keys) {
    const DWORD built = backend_->Run(
        true, [&](RegistryTransaction& tx) { return WriteProfileKey(tx, process_token, key); });
    if (built != ERROR_SUCCESS)
      throw ProfileError(key.where, "the key cannot be made");
  }
}

Registry::~Registry() = default;

DWORD Registry::Transact(bool write, const std::function<DWORD(RegistryTransaction&)>& body) {
  RegistryBackend* store = backend_.get();
  {
    std::lock_guard lock(seed_mutex_);
    if (!host_defaults_.empty()) {
      bool seeded = false;
      const DWORD looked = backend_->Run(false, [&](RegistryTransaction& tx) -> DWORD {
        seeded = std::all_of(host_defaults_.begin(), host_defaults_.end(),
                             [&](const auto& key) { return tx.HasKey(UpperCase(key.first)); });
        return ERROR_SUCCESS;
      });
      if (looked != ERROR_SUCCESS)
        return looked;
      if (!seeded && write) {
        const DWORD written = backend_->Run(true, [&](RegistryTransaction& tx) {
          return WriteDefaultKeys(tx, process_token_, host_defaults_);
        });
        if (written != ERROR_SUCCESS)
          return written;
        seeded = true;
      }
      if (seeded) {
        host_defaults_.clear();
        defaults_.reset();
      } else {
        if (!defaults_) {
          auto defaults = MakeMemoryRegistry();
          const DWORD made = defaults->Run(true, [&](RegistryTransaction& tx) {
            return WriteDefaultKeys(tx, process_token_, host_defaults_);
          });
          if (made != ERROR_SUCCESS)
            return made;
          defaults_ = std::move(defaults);
        }
        store = defaults_.get();
      }
    }
  }
  return store->Run(write, body);
}

DWORD Registry::RootAccess(const TokenData& token, const std::wstring& root, ACCESS_MASK& granted) {
  granted = 0;
  return Transact(false, [&](RegistryTransaction& tx) -> DWORD {
    OwnedDescriptor sd;
    if (const DWORD read = ReadKey(tx, root, sd); read != ERROR_SUCCESS)
      return read;
    return Evaluate(sd, token, MAXIMUM_ALLOWED, granted);
  });
}

template <typename Body>
DWORD Registry::Below(const std::wstring& base, std::wstring_view subkey, bool write, Body body) {
  std::vector<std::wstring> components;
  if (const DWORD split = SplitSubkey(subkey, components); split != ERROR_SUCCESS)
    return split;
  return Transact(write, [&](RegistryTransaction& tx) -> DWORD {
    if (!tx.HasKey(base))
      return ERROR_KEY_DELETED;
    return body(tx, components);
  });
}

DWORD Registry::Open(const TokenData& token,
                     const std::wstring& base,
                     std::wstring_view subkey,
                     ACCESS_MASK desired,
                     OpenedKey& opened) {
  return Below(base, subkey, false,
               [&](RegistryTransaction& tx, const std::vector<std::wstring>& components) {
                 std::wstring path = base;
                 for (const auto& c : components)
                   AppendChild(path, c);
                 return OpenExisting(tx, token, path, desired, opened);
               });
}

DWORD Registry::Create(const TokenData& token,
                       const std::wstring& base,
                       std::wstring_view subkey,
                       ACCESS_MASK desired,
                       const OwnedDescriptor* security,
                       OpenedKey& opened,
                       DWORD& disposition) {
  return Below(base, subkey, true,
               [&](RegistryTransaction& tx, const std::vector<std::wstring>& components) {
                 std::wstring path = base;
                 size_t existing = 0;
                 for (; existing < components.size(); ++existing) {
                   const size_t parent_length = path.size();
                   AppendChild(path, components[existing]);
                   if (!tx.HasKey(path)) {
                     path.resize(parent_length);
                     break;
                   }
                 }
                 if (existing == components.size()) {
                   disposition = REG_OPENED_EXISTING_KEY;
                   return OpenExisting(tx, token, path, desired, opened);
                 }
                 OwnedDescriptor sd;
                 if (const DWORD read = ReadKey(tx, path, sd); read != ERROR_SUCCESS)
                   return read;
                 // Creating below the deepest existing key needs the right to create subkeys there,
                 // by that key's descriptor: the access of the handle it was reached through does
                 // not count.
                 ACCESS_MASK may_create = 0;
                 if (Evaluate(sd, token, KEY_CREATE_SUB_KEY, may_create) != ERROR_SUCCESS ||
                     !(may_create & KEY_CREATE_SUB_KEY))
                   return static_cast<DWORD>(ERROR_ACCESS_DENIED);
                 OwnedDescriptor parent = sd;
                 for (size_t i = existing; i < components.size(); ++i) {
                   const bool last = i + 1 == components.size();
                   OwnedDescriptor created;
                   if (const DWORD made =
                           NewKeyDescriptor(token, parent, last ? security : nullptr, created);
                       made != ERROR_SUCCESS)
                     return made;
                   AppendChild(path, components[i]);
                   tx.PutKey(path, ParentPath(path), {components[i], created});
                   parent = std::move(created);
                 }
                 // The creator gets the access it asked for, whatever the new descriptor grants.
                 ACCESS_MASK granted = MapGenericRights(desired & ~kWow64Bits, kKeyGenericMapping);
                 if (granted & MAXIMUM_ALLOWED)
                   granted = (granted & ~MAXIMUM_ALLOWED) | KEY_ALL_ACCESS;
                 opened = {path, granted};
                 disposition = REG_CREATED_NEW_KEY;
                 return static_cast<DWORD>(ERROR_SUCCESS);
               });
}

DWORD Registry::DeleteKey(const std::wstring& path) {
  return Transact(true, [&](RegistryTransaction& tx) -> DWORD {
    if (!tx.HasKey(path))
      return ERROR_KEY_DELETED;
    if (ParentPath(path).empty() || !tx.Subkeys(path).empty())
      return ERROR_ACCESS_DENIED;
    tx.RemoveKey(path);
    return ERROR_SUCCESS;
  });
}

DWORD Registry::GetSecurity(const std::wstring& path,
                            SECURITY_INFORMATION information,
                            OwnedDescriptor& out) {
  return Transact(false, [&](RegistryTransaction& tx) -> DWORD {
    OwnedDescriptor sd;
    if (const DWORD read = ReadKey(tx, path, sd); read != ERROR_SUCCESS)
      return read == ERROR_FILE_NOT_FOUND ? ERROR_KEY_DELETED : read;
    out = sd.Select(information);
    return ERROR_SUCCESS;
  });
}

DWORD Registry::SetSecurity(const TokenData& token,
                            const std::wstring& path,
                            SECURITY_INFORMATION information,
                            const OwnedDescriptor& given) {
  return Set(token, path, information, given, false);
}

DWORD Registry::SetSecurityWithInheritance(const TokenData& token,
                                           const std::wstring& path,
                                           SECURITY_INFORMATION information,
                                           const OwnedDescriptor& given) {
  return Set(token, path, information, given, true);
}

DWORD Registry::Set(const TokenData& token,
                    const std::wstring& path,
                    SECURITY_INFORMATION information,
                    const OwnedDescriptor& given,
                    bool by_name) {
  if ((information & OWNER_SECURITY_INFORMATION) &&
      !MayOwn(token,
              SidValue::FromBytes(given.owner.data(), given.owner.size()).value_or(SidValue())))
    return ERROR_INVALID_OWNER;
  return Transact(true, [&](RegistryTransaction& tx) -> DWORD {
    OwnedDescriptor sd;
    if (const DWORD read = ReadKey(tx, path, sd); read != ERROR_SUCCESS)
      return read == ERROR_FILE_NOT_FOUND && !by_name ? ERROR_KEY_DELETED : read;
    if (!by_name) {
      ApplyByHandle(sd, given, information, kKeyGenericMapping);
      return RewriteKey(tx, path, sd);
    }
    AceList parent_dacl;
    const std::wstring parent_path = ParentPath(path);
    if (!parent_path.empty() && (information & DACL_SECURITY_INFORMATION)) {
      OwnedDescriptor parent;
      if (const DWORD read = ReadKey(tx, parent_path, parent); read != ERROR_SUCCESS)
        return read;
      parent_dacl = DaclEntries(parent);
    }
    if (const DWORD applied =
            ApplyByName(sd, given, information, parent_path.empty() ? nullptr : &parent_dacl, true,
                        kKeyGenericMapping);
        applied != ERROR_SUCCESS)
      return applied;
    if (const DWORD written = RewriteKey(tx, path, sd); written != ERROR_SUCCESS)
      return written;
    if (!(information & DACL_SECURITY_INFORMATION))
      return ERROR_SUCCESS;
    KeyTree tree(tx);
    return PropagateInheritance(tree, path, DaclEntries(sd), kKeyGenericMapping);
  });
}

DWORD Registry::Subkeys(const std::wstring& path, std::vector<std::wstring>& names) {
  return backend_->Run(false, [&](RegistryTransaction& tx) -> DWORD {
    if (!tx.HasKey(path))
      return ERROR_KEY_DELETED;
    names.clear();
    // Each name as it was written, not as the canonical path spells it.
    for (const std::wstring& child : tx.Subkeys(path)) {
      RegistryKeyRecord record;
      if (tx.Key(child, record) == ERROR_SUCCESS && !record.name.empty())
        names.push_back(record.name);
      else
        names.push_back(child.substr(child.rfind(L'\\') + 1));
    }
    return ERROR_SUCCESS;
  });
}

DWORD Registry::QueryValue(const std::wstring& path, std::wstring_view name, RegistryValue& out) {
  return Transact(false, [&](RegistryTransaction& tx) -> DWORD {
    if (!tx.HasKey(path))
      return ERROR_KEY_DELETED;
    auto value = tx.Value(path, std::wstring(name));
    if (!value)
      return ERROR_FILE_NOT_FOUND;
    out = std::move(*value);
    return ERROR_SUCCESS;
  });
}

DWORD Registry::SetValue(const std::wstring& path, const RegistryValue& value) {
  return Transact(true, [&](RegistryTransaction& tx) -> DWORD {
    if (!tx.HasKey(path))
      return ERROR_KEY_DELETED;
    tx.PutValue(path, value);
    return ERROR_SUCCESS;
  });
}

DWORD Registry::DeleteValue(const std::wstring& path, std::wstring_view name) {
  return Transact(true, [&](RegistryTransaction& tx) -> DWORD {
    if (!tx.HasKey(path))
      return ERROR_KEY_DELETED;
    return tx.RemoveValue(path, std::wstring(name)) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  });
}

}  // namespace standin
