#include "platform/standin/files/host_walk.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <pthread.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <string_view>

#include "platform/standin/files/file_security_store.h"

namespace standin {

namespace {

// The file systems of the kernel's own objects: nothing is created in their directories.
constexpr std::uint32_t kKernelFileSystems[] = {
    PROC_SUPER_MAGIC, SYSFS_MAGIC,   CGROUP_SUPER_MAGIC, CGROUP2_SUPER_MAGIC, DEBUGFS_MAGIC,
    SECURITYFS_MAGIC, TRACEFS_MAGIC, DEVPTS_SUPER_MAGIC, BPF_FS_MAGIC,        PSTOREFS_MAGIC,
    EFIVARFS_MAGIC,   SELINUX_MAGIC, SMACK_MAGIC,        NSFS_MAGIC,          BINFMTFS_MAGIC,
};

constexpr char kAclAttribute[] = "system.posix_acl_access";

// A child of fork shares the parent's open mount table, whose change mark either may take:
// each process keeps its own.
std::atomic<std::uint64_t> g_forks{0};
std::once_flag g_fork_handler;

extern "C" void CountFork() {
  g_forks.fetch_add(1, std::memory_order_relaxed);
}

int OpenMountTable() {
  return ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
}

}  // namespace

std::optional<MountLimits> ReadMountLimits(const std::filesystem::path& path) {
  // One statfs tells both the mount's flags and the file system's type.
  struct statfs fs {};
  if (::statfs(path.c_str(), &fs) != 0)
    return std::nullopt;
  MountLimits limits;
  limits.read_only = fs.f_flags & ST_RDONLY;
  const auto type = static_cast<std::uint32_t>(fs.f_type);
  limits.no_creation = std::find(std::begin(kKernelFileSystems), std::end(kKernelFileSystems),
                                 type) != std::end(kKernelFileSystems);
  limits.fuse = type == FUSE_SUPER_MAGIC;
  return limits;
}

HostWalk::HostWalk() {
  std::call_once(g_fork_handler, [] { ::pthread_atfork(nullptr, nullptr, CountFork); });
  generation_ = g_forks.load(std::memory_order_relaxed);
  mountinfo_ = OpenMountTable();
}

HostWalk::~HostWalk() {
  if (mountinfo_ >= 0)
    ::close(mountinfo_);
}

bool HostWalk::MountsChanged() {
  const std::uint64_t forks = g_forks.load(std::memory_order_relaxed);
  if (forks != generation_) {
    if (mountinfo_ >= 0)
      ::close(mountinfo_);
    mountinfo_ = OpenMountTable();
    generation_ = forks;
    return true;
  }
  if (mountinfo_ < 0)
    return true;
  pollfd table{mountinfo_, POLLPRI, 0};
  const int ready = ::poll(&table, 1, 0);
  // The kernel marks a change with POLLPRI | POLLERR, and asking clears the mark.
  return ready != 0 || (table.revents & (POLLPRI | POLLERR | POLLNVAL)) != 0;
}

std::optional<MountLimits> HostWalk::LimitsOf(const std::filesystem::path& path,
                                              const struct statx& located) {
  if (!(located.stx_mask & STATX_MNT_ID))
    return ReadMountLimits(path);
  std::lock_guard lock(mutex_);
  if (MountsChanged())
    mounts_.clear();
  if (const auto it = mounts_.find(located.stx_mnt_id); it != mounts_.end())
    return it->second;
  const auto limits = ReadMountLimits(path);
  // Kept only while the kernel can tell of a change.
  if (limits && mountinfo_ >= 0)
    mounts_[located.stx_mnt_id] = *limits;
  return limits;
}

HeldAttributes ListHeldAttributes(const std::filesystem::path& path) {
  HeldAttributes held;
  char names[1024];
  const ssize_t size = ::listxattr(path.c_str(), names, sizeof names);
  if (size < 0) {
    // A file system without attributes holds none; any other failure leaves each to be asked.
    held.known = errno == ENOTSUP || errno == ENOSYS;
    return held;
  }
  held.known = true;
  for (ssize_t at = 0; at < size;) {
    const char* start = names + at;
    const std::string_view name(start, ::strnlen(start, static_cast<size_t>(size - at)));
    held.descriptor = held.descriptor || name == kDescriptorAttribute;
    held.acl = held.acl || name == kAclAttribute;
    at += static_cast<ssize_t>(name.size()) + 1;
  }
  return held;
}

}  // namespace standin
