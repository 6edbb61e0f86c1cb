#include "platform/standin/files/posix_state.h"

#include <acl/libacl.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <type_traits>
#include <vector>

#include "platform/standin/files/host_errors.h"

namespace standin {

namespace {

struct AclRelease {
  void operator()(void* acl) const { acl_free(acl); }
};
using ScopedAcl = std::unique_ptr<std::remove_pointer_t<acl_t>, AclRelease>;

bool HasCapability(unsigned capability) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capget, &header, data) != 0)
    return false;
  const unsigned word = capability / 32;
  return word < _LINUX_CAPABILITY_U32S_3 && (data[word].effective & (1u << (capability % 32)));
}

unsigned PermsOf(acl_entry_t entry) {
  acl_permset_t set = nullptr;
  if (acl_get_permset(entry, &set) != 0)
    return 0;
  unsigned perms = 0;
  if (acl_get_perm(set, ACL_READ) == 1)
    perms |= 4;
  if (acl_get_perm(set, ACL_WRITE) == 1)
    perms |= 2;
  if (acl_get_perm(set, ACL_EXECUTE) == 1)
    perms |= 1;
  return perms;
}

// The named entries and mask of the access ACL; false when it cannot be read.
bool ReadAcl(const std::filesystem::path& path,
             const HeldAttributes& held,
             PosixPermissions& permissions) {
  if (!held.MayHoldAcl())
    return true;
  // Without the attribute there is no ACL beyond the mode, which `permissions` holds already;
  // libacl would stat the file again to say the same.
  if (::getxattr(path.c_str(), "system.posix_acl_access", nullptr, 0) < 0 &&
      (errno == ENODATA || errno == ENOTSUP || errno == ENOSYS))
    return true;
  ScopedAcl acl(acl_get_file(path.c_str(), ACL_TYPE_ACCESS));
  if (!acl)
    return errno == ENOTSUP || errno == ENOSYS;  // no ACLs here: the mode says it all
  acl_entry_t entry = nullptr;
  for (int which = ACL_FIRST_ENTRY; acl_get_entry(acl.get(), which, &entry) == 1;
       which = ACL_NEXT_ENTRY) {
    acl_tag_t tag = ACL_UNDEFINED_TAG;
    if (acl_get_tag_type(entry, &tag) != 0)
      return false;
    const unsigned perms = PermsOf(entry);
    if (tag == ACL_MASK) {
      permissions.mask = perms;
    } else if (tag == ACL_USER || tag == ACL_GROUP) {
      void* qualifier = acl_get_qualifier(entry);
      if (!qualifier)
        return false;
      const std::uint32_t id = *static_cast<const std::uint32_t*>(qualifier);
      acl_free(qualifier);
      (tag == ACL_USER ? permissions.users : permissions.groups).emplace_back(id, perms);
    } else if (tag == ACL_USER_OBJ) {
      permissions.owner = perms;
    } else if (tag == ACL_GROUP_OBJ) {
      permissions.group = perms;
    } else if (tag == ACL_OTHER) {
      permissions.other = perms;
    }
  }
  std::sort(permissions.users.begin(), permissions.users.end());
  std::sort(permissions.groups.begin(), permissions.groups.end());
  return true;
}

bool AddEntry(acl_t& acl, acl_tag_t tag, const std::uint32_t* qualifier, unsigned perms) {
  acl_entry_t entry = nullptr;
  acl_permset_t set = nullptr;
  if (acl_create_entry(&acl, &entry) != 0 || acl_set_tag_type(entry, tag) != 0 ||
      (qualifier && acl_set_qualifier(entry, qualifier) != 0) ||
      acl_get_permset(entry, &set) != 0 || acl_clear_perms(set) != 0)
    return false;
  if (((perms & 4) && acl_add_perm(set, ACL_READ) != 0) ||
      ((perms & 2) && acl_add_perm(set, ACL_WRITE) != 0) ||
      ((perms & 1) && acl_add_perm(set, ACL_EXECUTE) != 0))
    return false;
  return acl_set_permset(entry, set) == 0;
}

}  // namespace

DWORD ReadPosixState(const std::filesystem::path& path,
                     PosixState& state,
                     const PosixReadHints& hints) {
  struct statx sx {};
  if (hints.located)
    sx = *hints.located;
  else if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_MNT_ID, &sx) != 0)
    return HostError(errno);
  PosixState out;
  out.uid = sx.stx_uid;
  out.gid = sx.stx_gid;
  out.directory = S_ISDIR(sx.stx_mode);
  out.sticky = sx.stx_mode & S_ISVTX;
  out.permissions.owner = (sx.stx_mode >> 6) & 7;
  out.permissions.group = (sx.stx_mode >> 3) & 7;
  out.permissions.other = sx.stx_mode & 7;
  if (!ReadAcl(path, hints.held, out.permissions))
    return HostError(errno);
  if (!out.permissions.extended()) {
    out.permissions.mask.reset();
  } else if (!out.permissions.mask) {
    // An ACL with named entries always has a mask; its group bits stand in otherwise.
    out.permissions.mask = (sx.stx_mode >> 3) & 7;
  }
  out.limits.immutable =
      (sx.stx_attributes_mask & STATX_ATTR_IMMUTABLE) && (sx.stx_attributes & STATX_ATTR_IMMUTABLE);
  out.limits.append_only =
      (sx.stx_attributes_mask & STATX_ATTR_APPEND) && (sx.stx_attributes & STATX_ATTR_APPEND);
  const auto mount = hints.mount  ? hints.mount
                     : hints.walk ? hints.walk->LimitsOf(path, sx)
                                  : ReadMountLimits(path);
  if (mount) {
    out.limits.read_only = mount->read_only;
    out.limits.no_creation = mount->no_creation;
  }
  state = std::move(out);
  return ERROR_SUCCESS;
}

DWORD WritePosixPermissions(const std::filesystem::path& path,
                            const PosixState& current,
                            const PosixPermissions& wanted) {
  if (!wanted.extended() && !current.permissions.extended()) {
    const mode_t mode = (wanted.owner << 6) | (wanted.group << 3) | wanted.other;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
      return HostError(errno);
    // The set-id and sticky bits stay as they are.
    if (::chmod(path.c_str(), (st.st_mode & 07000) | mode) != 0)
      return HostError(errno);
    return ERROR_SUCCESS;
  }
  ScopedAcl acl(acl_init(static_cast<int>(5 + wanted.users.size() + wanted.groups.size())));
  if (!acl)
    return ERROR_NOT_ENOUGH_MEMORY;
  acl_t raw = acl.release();
  bool built = AddEntry(raw, ACL_USER_OBJ, nullptr, wanted.owner) &&
               AddEntry(raw, ACL_GROUP_OBJ, nullptr, wanted.group) &&
               AddEntry(raw, ACL_OTHER, nullptr, wanted.other);
  for (const auto& [uid, perms] : wanted.users)
    built = built && AddEntry(raw, ACL_USER, &uid, perms);
  for (const auto& [gid, perms] : wanted.groups)
    built = built && AddEntry(raw, ACL_GROUP, &gid, perms);
  if (wanted.extended())
    built = built && AddEntry(raw, ACL_MASK, nullptr, wanted.mask.value_or(wanted.group));
  acl.reset(raw);
  if (!built || acl_valid(acl.get()) != 0)
    return ERROR_INVALID_ACL;
  if (acl_set_file(path.c_str(), ACL_TYPE_ACCESS, acl.get()) != 0)
    return HostError(errno);
  return ERROR_SUCCESS;
}

DWORD ChangePosixOwner(const std::filesystem::path& path,
                       std::optional<std::uint32_t> uid,
                       std::optional<std::uint32_t> gid) {
  if (!uid && !gid)
    return ERROR_SUCCESS;
  if (::chown(path.c_str(), uid ? *uid : static_cast<uid_t>(-1),
              gid ? *gid : static_cast<gid_t>(-1)) == 0)
    return ERROR_SUCCESS;
  if (errno == EPERM)
    return uid ? ERROR_INVALID_OWNER : ERROR_INVALID_PRIMARY_GROUP;
  return HostError(errno);
}

bool MayChangePermissions(const PosixState& state) {
  return ::geteuid() == state.uid || HasCapability(CAP_FOWNER);
}

bool MayChangeOwner() {
  return HasCapability(CAP_CHOWN);
}

PosixCaller ProcessCaller() {
  PosixCaller caller;
  caller.uid = ::geteuid();
  caller.gids.push_back(::getegid());
  const int count = ::getgroups(0, nullptr);
  if (count > 0) {
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int got = ::getgroups(count, groups.data());
    for (int i = 0; i < got; ++i)
      caller.gids.push_back(groups[static_cast<size_t>(i)]);
  }
  return caller;
}

std::string Fingerprint(const PosixState& state) {
  const PosixPermissions& p = state.permissions;
  std::string text = "posix 1 uid " + std::to_string(state.uid) + " gid " +
                     std::to_string(state.gid) + " sticky " + (state.sticky ? "1" : "0") +
                     " owner " + std::to_string(p.owner) + " group " + std::to_string(p.group) +
                     " other " + std::to_string(p.other);
  if (p.mask)
    text += " mask " + std::to_string(*p.mask);
  for (const auto& [uid, perms] : p.users)
    text += " user " + std::to_string(uid) + ":" + std::to_string(perms);
  for (const auto& [gid, perms] : p.groups)
    text += " group " + std::to_string(gid) + ":" + std::to_string(perms);
  return text;
}

std::optional<std::string> ReadFingerprint(const std::filesystem::path& path) {
  // The attribute may change size between the two calls when another editor writes it.
  for (int attempt = 0; attempt < 4; ++attempt) {
    const ssize_t size = ::getxattr(path.c_str(), kPosixAttribute, nullptr, 0);
    if (size < 0)
      return std::nullopt;
    std::vector<char> buffer(static_cast<size_t>(size));
    const ssize_t read = ::getxattr(path.c_str(), kPosixAttribute, buffer.data(), buffer.size());
    if (read >= 0)
      return std::string(buffer.data(), static_cast<size_t>(read));
    if (errno != ERANGE)
      return std::nullopt;
  }
  return std::nullopt;
}

DWORD WriteAttribute(const std::filesystem::path& path,
                     const char* name,
                     const std::string& value) {
  if (::setxattr(path.c_str(), name, value.data(), value.size(), 0) == 0)
    return ERROR_SUCCESS;
  const int error = errno;
  // The host keeps user attributes off devices, FIFOs and sockets.
  struct stat st;
  const bool special =
      ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
  return HostError(error, special ? HostCall::kSpecialFileAttribute : HostCall::kAttribute);
}

}  // namespace standin
