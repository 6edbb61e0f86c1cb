#include "platform/standin/files/file_security_store.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

#include "platform/standin/core/ace_list.h"
#include "platform/standin/core/sddl_conversion.h"
#include "platform/standin/core/text.h"
#include "platform/standin/files/host_descriptors.h"
#include "platform/standin/files/host_errors.h"
#include "platform/standin/object_security/inheritance.h"

namespace standin {

namespace {

// How Samba names POSIX ids that have no account: S-1-22-1-uid and S-1-22-2-gid.
constexpr std::uint64_t kUnixAuthority = 22;

// Rights that one triple of mode bits gives.
ACCESS_MASK RightsOf(mode_t bits, bool directory) {
  ACCESS_MASK mask = 0;
  if (bits & 4)
    mask |= FILE_GENERIC_READ;
  if (bits & 2)
    mask |= FILE_GENERIC_WRITE | (directory ? FILE_DELETE_CHILD : 0);
  if (bits & 1)
    mask |= FILE_GENERIC_EXECUTE;
  return mask;
}

// How often a reader starts again when the stored bytes change size between its two calls.
constexpr int kStoredReadTries = 64;

// The stored bytes of `path`, whole; none when it holds no descriptor of its own. A writer may
// replace them between the size query and the read: the reader then asks again.
DWORD ReadStoredBytes(const char* path, std::vector<BYTE>& bytes) {
  for (int attempt = 0; attempt < kStoredReadTries; ++attempt) {
    bytes.clear();
    const ssize_t size = ::getxattr(path, kDescriptorAttribute, nullptr, 0);
    if (size <= 0)
      return ERROR_SUCCESS;  // none stored, or none that this caller may read
    bytes.resize(static_cast<size_t>(size));
    const ssize_t read = ::getxattr(path, kDescriptorAttribute, bytes.data(), bytes.size());
    if (read >= 0) {
      bytes.resize(static_cast<size_t>(read));
      return ERROR_SUCCESS;
    }
    if (errno == ENODATA) {
      bytes.clear();
      return ERROR_SUCCESS;
    }
    if (errno != ERANGE)
      return HostError(errno, HostCall::kAttribute);
  }
  return ERROR_SHARING_VIOLATION;
}

OwnedDescriptor Build(const SidValue& owner,
                      const SidValue& group,
                      SECURITY_DESCRIPTOR_CONTROL control,
                      const AceList& dacl) {
  OwnedDescriptor d;
  d.control = control | SE_DACL_PRESENT;
  d.owner.assign(owner.data(), owner.data() + owner.size());
  d.group.assign(group.data(), group.data() + group.size());
  auto bytes = dacl.Encode();
  d.dacl = bytes ? std::move(*bytes) : AceList{}.Encode().value();
  return d;
}

}  // namespace

FileSecurityStore::FileSecurityStore(const MachineDescription& description,
                                     const AccountDatabase& accounts,
                                     const VolumeTable& volumes,
                                     SidValue process_user)
    : accounts_(accounts),
      host_mirror_(description.host_mirror),
      process_user_(std::move(process_user)) {
  for (const auto& [path, sddl] : description.security) {
    const std::string key = "security." + WideToUtf8(path);
    std::vector<BYTE> bytes;
    DescriptorParts parts;
    if (ParseSddl(sddl, accounts.alias_domains(), bytes) != ERROR_SUCCESS ||
        ReadSelfRelative(bytes.data(), bytes.size(), parts) != ERROR_SUCCESS)
      throw ProfileError(key, "malformed SDDL '" + WideToUtf8(sddl) + "'");
    // Names are checked on any drive; a drive the machine lacks names nothing.
    const wchar_t reserved[] = L"<>\"|?*";
    if (path.size() < 3)
      throw ProfileError(key, "not a valid Windows path");
    const std::wstring_view below = std::wstring_view(path).substr(2);
    if (below.substr(1).find_first_of(L":") != std::wstring_view::npos ||
        below.find_first_of(reserved) != std::wstring_view::npos)
      throw ProfileError(key, "not a valid Windows path");
    WindowsPath parsed;
    if (volumes.Parse(path, L"", false, parsed) != ERROR_SUCCESS)
      continue;
    entries_[parsed.key()] = OwnedDescriptor::From(parts);
  }
}

OwnedDescriptor FileSecurityStore::Unsecured() {
  OwnedDescriptor d;
  const SidValue everyone(1, {SECURITY_WORLD_RID});
  d.control = SE_DACL_PRESENT;
  d.owner.assign(everyone.data(), everyone.data() + everyone.size());
  d.group = d.owner;
  return d;
}

SidValue FileSecurityStore::OwnerOf(uid_t uid) const {
  // On a profile machine the process's own files belong to its user.
  if (uid == ::geteuid())
    return process_user_;
  return SidValue(kUnixAuthority, {1, static_cast<DWORD>(uid)});
}

SidValue FileSecurityStore::GroupOf(gid_t gid) const {
  return SidValue(kUnixAuthority, {2, static_cast<DWORD>(gid)});
}

DWORD FileSecurityStore::Derive(const HostLocation& where, OwnedDescriptor& sd) const {
  struct stat st;
  if (::stat(where.host.c_str(), &st) != 0)
    return ERROR_FILE_NOT_FOUND;
  const bool directory = S_ISDIR(st.st_mode);
  const BYTE flags = directory ? (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) : 0;
  const SidValue owner = OwnerOf(st.st_uid);
  const SidValue group = GroupOf(st.st_gid);
  AceList dacl;
  auto add = [&](const SidValue& sid, mode_t bits) {
    const ACCESS_MASK mask = RightsOf(bits & 7, directory);
    if (mask)
      dacl.entries.push_back({ACCESS_ALLOWED_ACE_TYPE, flags, mask, sid, {}});
  };
  add(owner, st.st_mode >> 6);
  add(group, st.st_mode >> 3);
  add(SidValue(1, {SECURITY_WORLD_RID}), st.st_mode);
  sd = Build(owner, group, 0, dacl);
  return ERROR_SUCCESS;
}

DWORD FileSecurityStore::ReadStored(const HostLocation& where,
                                    std::optional<OwnedDescriptor>& stored) const {
  std::vector<BYTE> bytes;
  if (const DWORD error = ReadStoredBytes(where.host.c_str(), bytes))
    return error;
  if (bytes.empty())
    return ERROR_SUCCESS;
  DescriptorParts parts;
  // Stored bytes come from outside: checked within their own length before any use.
  if (ReadSelfRelative(bytes.data(), bytes.size(), parts) != ERROR_SUCCESS)
    return ERROR_INVALID_SECURITY_DESCR;
  stored = OwnedDescriptor::From(parts);
  return ERROR_SUCCESS;
}

bool FileSecurityStore::HoldsStored(const HostLocation& where) const {
  return host_mirror_ && ::getxattr(where.host.c_str(), kDescriptorAttribute, nullptr, 0) > 0 &&
         HoldsFreshDescriptor(where.host);
}

DWORD FileSecurityStore::Read(const WindowsPath& path,
                              const HostLocation& where,
                              OwnedDescriptor& sd) const {
  if (!path.volume->keeps_security()) {
    sd = Unsecured();
    return ERROR_SUCCESS;
  }
  if (host_mirror_) {
    std::optional<OwnedDescriptor> stored;
    if (const DWORD error = ReadStored(where, stored))
      return error;
    return ReadHostDescriptor(where.host, stored ? &*stored : nullptr, accounts_.machine_sid(), sd);
  }

  std::lock_guard lock(mutex_);
  if (const auto it = entries_.find(path.key()); it != entries_.end()) {
    sd = it->second;
    return ERROR_SUCCESS;
  }
  // The nearest ancestor with a descriptor passes its inheritable entries down level by level.
  std::vector<std::wstring> below;
  WindowsPath ancestor = path;
  const OwnedDescriptor* found = nullptr;
  while (!ancestor.is_root()) {
    below.push_back(ancestor.components.back());
    ancestor = ancestor.parent();
    if (const auto it = entries_.find(ancestor.key()); it != entries_.end()) {
      found = &it->second;
      break;
    }
  }
  OwnedDescriptor own;
  if (const DWORD error = Derive(where, own); error != ERROR_SUCCESS)
    return error;
  if (!found || !(found->control & SE_DACL_PRESENT) || found->dacl.empty()) {
    sd = std::move(own);
    return ERROR_SUCCESS;
  }
  const auto owner = SidValue::FromBytes(own.owner.data(), own.owner.size());
  const auto group = SidValue::FromBytes(own.group.data(), own.group.size());
  AceList dacl = DaclEntries(*found);
  for (size_t level = below.size(); level-- > 0;) {
    const bool container = level > 0 || where.directory;
    dacl.entries = InheritedEntries(dacl, container, *owner, *group, kFileGenericMapping);
  }
  sd = Build(*owner, *group, SE_DACL_AUTO_INHERITED, dacl);
  return ERROR_SUCCESS;
}

DWORD FileSecurityStore::Write(const WindowsPath& path,
                               const HostLocation& where,
                               const OwnedDescriptor& sd,
                               PosixWrite scope) {
  if (!path.volume->keeps_security())
    return ERROR_NO_SECURITY_ON_OBJECT;
  if (host_mirror_) {
    // Damaged stored bytes are written over.
    std::optional<OwnedDescriptor> stored;
    if (ReadStored(where, stored) != ERROR_SUCCESS)
      stored.reset();
    return WriteHostDescriptor(where.host, stored ? &*stored : nullptr, sd, scope,
                               accounts_.machine_sid());
  }
  std::lock_guard lock(mutex_);
  entries_[path.key()] = sd;
  return ERROR_SUCCESS;
}

void FileSecurityStore::Forget(const WindowsPath& path) {
  if (host_mirror_)
    return;  // the attribute goes with the file
  std::lock_guard lock(mutex_);
  const std::wstring key = path.key();
  const std::wstring prefix = path.is_root() ? key : key + L"\\";
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->first == key || it->first.compare(0, prefix.size(), prefix) == 0)
      it = entries_.erase(it);
    else
      ++it;
  }
}

}  // namespace standin
