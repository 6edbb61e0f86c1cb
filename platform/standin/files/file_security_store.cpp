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
#include "platform/standin/files/ntfs_volume.h"
#include "platform/standin/object_security/inheritance.h"

namespace standin {

namespace {

// What Windows gives the root of a new NTFS volume (owner Administrators): full control for
// Administrators and SYSTEM, modify for Authenticated Users and read for Users, each as an
// entry for the root and an inherit-only one for what it holds.
constexpr wchar_t kDefaultRootSddl[] =
    L"O:BAG:SYD:AI(A;;FA;;;BA)(A;OICIIO;GA;;;BA)(A;;FA;;;SY)(A;OICIIO;GA;;;SY)"
    L"(A;;0x1301bf;;;AU)(A;OICIIO;SDGXGWGR;;;AU)(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)";

// How Samba names POSIX ids that have no account: S-1-22-1-uid and S-1-22-2-gid.
constexpr std::uint64_t kUnixAuthority = 22;

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
      process_user_(std::move(process_user)),
      walk_(description.host_mirror ? std::make_unique<HostWalk>() : nullptr) {
  {
    std::vector<BYTE> bytes;
    DescriptorParts parts;
    if (ParseSddl(kDefaultRootSddl, accounts.alias_domains(), bytes) != ERROR_SUCCESS ||
        ReadSelfRelative(bytes.data(), bytes.size(), parts) != ERROR_SUCCESS)
      throw ProfileError("volumes", "the default descriptor of a volume root cannot be built");
    default_root_ = OwnedDescriptor::From(parts);
  }
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

DWORD FileSecurityStore::OwnerAndGroup(const HostLocation& where,
                                       SidValue& owner,
                                       SidValue& group) const {
  struct stat st;
  if (::stat(where.host.c_str(), &st) != 0)
    return ERROR_FILE_NOT_FOUND;
  owner = OwnerOf(st.st_uid);
  group = GroupOf(st.st_gid);
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
  if (OnNtfsVolume(where.host))
    return true;
  return host_mirror_ && ::getxattr(where.host.c_str(), kDescriptorAttribute, nullptr, 0) > 0 &&
         HoldsFreshDescriptor(where.host);
}

DWORD FileSecurityStore::Read(const WindowsPath& path,
                              const HostLocation& where,
                              OwnedDescriptor& sd,
                              const struct statx* located) const {
  if (!path.volume->keeps_security()) {
    sd = Unsecured();
    return ERROR_SUCCESS;
  }
  // The limits of the object's mount, read once for both questions below.
  std::optional<MountLimits> mount;
  if (located && walk_)
    mount = walk_->LimitsOf(where.host, *located);
  // An NTFS volume holds its own descriptors, on any machine; only FUSE serves one. On a
  // read-only mount the kernel refuses every write, and the descriptor says so.
  if ((!mount || mount->fuse) && OnNtfsVolume(where.host)) {
    if (const DWORD error = ReadNtfsDescriptor(where.host, sd))
      return error;
    if (!mount)
      mount = ReadMountLimits(where.host);
    if (mount && mount->read_only)
      sd = WithoutWriting(sd);
    return ERROR_SUCCESS;
  }
  if (host_mirror_) {
    // One listing of the attributes' names spares asking for those the object lacks.
    const PosixReadHints hints{located, ListHeldAttributes(where.host), walk_.get(), mount};
    std::optional<OwnedDescriptor> stored;
    if (hints.held.MayHoldDescriptor()) {
      if (const DWORD error = ReadStored(where, stored))
        return error;
    }
    return ReadHostDescriptor(where.host, stored ? &*stored : nullptr, accounts_.machine_sid(), sd,
                              hints);
  }

  std::lock_guard lock(mutex_);
  if (const auto it = entries_.find(path.key()); it != entries_.end()) {
    sd = it->second;
    return ERROR_SUCCESS;
  }
  if (path.is_root()) {
    sd = default_root_;
    return ERROR_SUCCESS;
  }
  // The nearest ancestor with a descriptor (at last the root) passes its inheritable entries
  // down level by level, marked inherited when its DACL is auto-inherited.
  std::vector<std::wstring> below;
  WindowsPath ancestor = path;
  const OwnedDescriptor* found = &default_root_;
  while (!ancestor.is_root()) {
    below.push_back(ancestor.components.back());
    ancestor = ancestor.parent();
    if (const auto it = entries_.find(ancestor.key()); it != entries_.end()) {
      found = &it->second;
      break;
    }
  }
  SidValue owner, group;
  if (const DWORD error = OwnerAndGroup(where, owner, group); error != ERROR_SUCCESS)
    return error;
  const bool auto_inherit = found->control & SE_DACL_AUTO_INHERITED;
  AceList dacl = DaclEntries(*found);
  for (size_t level = below.size(); level-- > 0 && !dacl.entries.empty();) {
    const bool container = level > 0 || where.directory;
    dacl.entries =
        InheritedEntries(dacl, container, owner, group, kFileGenericMapping, auto_inherit);
  }
  if (dacl.entries.empty()) {
    // Nothing to inherit: full control for the owner and SYSTEM, as a token's default DACL.
    const SidValue system(5, {SECURITY_LOCAL_SYSTEM_RID});
    dacl.entries.push_back({ACCESS_ALLOWED_ACE_TYPE, 0, FILE_ALL_ACCESS, owner, {}});
    dacl.entries.push_back({ACCESS_ALLOWED_ACE_TYPE, 0, FILE_ALL_ACCESS, system, {}});
    sd = Build(owner, group, 0, dacl);
    return ERROR_SUCCESS;
  }
  sd = Build(owner, group, auto_inherit ? SE_DACL_AUTO_INHERITED : 0, dacl);
  return ERROR_SUCCESS;
}

DWORD FileSecurityStore::Write(const WindowsPath& path,
                               const HostLocation& where,
                               const OwnedDescriptor& sd,
                               PosixWrite scope) {
  if (!path.volume->keeps_security())
    return ERROR_NO_SECURITY_ON_OBJECT;
  if (OnNtfsVolume(where.host))
    return WriteNtfsDescriptor(where.host, sd);
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
