// What a walk over host objects may carry from one object to the next without asking the
// kernel again: the limits of each mount met, until the kernel's mount table changes. A mount,
// an unmount or a remount anywhere (a bind mount made read-only included) makes every mount be
// read afresh; a mount is told by its id, never by st_dev, which bind mounts share.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace standin {

// What the kernel refuses on every object of a mount.
struct MountLimits {
  bool read_only = false;    // a read-only mount
  bool no_creation = false;  // a kernel file system (proc, sysfs, ...): nothing is created
  bool fuse = false;         // a FUSE file system, as ntfs-3g serves NTFS volumes
};

// The limits of `path`'s mount, read from the kernel (one statfs); nothing when it fails.
std::optional<MountLimits> ReadMountLimits(const std::filesystem::path& path);

// Neither copied nor moved (its mutex sees to that): it owns the open mount table.
class HostWalk {
 public:
  HostWalk();
  ~HostWalk();

  // The limits of the mount that `located` (a statx of `path`) lies on: as read before while the
  // mount table has not changed since, else read now. Nothing when they cannot be read.
  std::optional<MountLimits> LimitsOf(const std::filesystem::path& path,
                                      const struct statx& located);

 private:
  // Whether the mount table may have changed since it was last asked: the kernel marks
  // /proc/self/mountinfo when it does. Called with `mutex_` held.
  bool MountsChanged();

  std::mutex mutex_;
  int mountinfo_ = -1;  // -1: no way to learn of changes, so nothing is kept
  std::uint64_t generation_ = 0;
  std::unordered_map<std::uint64_t, MountLimits> mounts_;  // by mount id
};

// Which of the attributes the host mirror reads an object holds, from one listing of its
// names. `known` false: the names could not be listed, so each attribute must be asked for.
struct HeldAttributes {
  bool known = false;
  bool descriptor = false;  // the stored descriptor
  bool acl = false;         // the POSIX access ACL

  bool MayHoldDescriptor() const { return !known || descriptor; }
  bool MayHoldAcl() const { return !known || acl; }
};
HeldAttributes ListHeldAttributes(const std::filesystem::path& path);

}  // namespace standin
