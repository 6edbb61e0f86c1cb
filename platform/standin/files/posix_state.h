// The POSIX side of a host object as the kernel enforces it: owner, group, permission bits and
// access ACL (read and written through libacl), and what the kernel refuses whatever they say:
// read-only mounts, immutable and append-only objects, kernel file systems. Its fingerprint
// tells whether a descriptor stored beside the object still matches it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/standin/files/host_walk.h"
#include "platform/standin/win32api.h"

namespace standin {

// The access ACL in its POSIX classes; permissions are rwx as 4, 2 and 1.
struct PosixPermissions {
  unsigned owner = 0;
  unsigned group = 0;  // the owning group's own entry (not the mask)
  unsigned other = 0;
  std::optional<unsigned> mask;                            // with an extended ACL
  std::vector<std::pair<std::uint32_t, unsigned>> users;   // named users by uid, ascending
  std::vector<std::pair<std::uint32_t, unsigned>> groups;  // named groups by gid, ascending

  bool extended() const { return mask || !users.empty() || !groups.empty(); }
  bool operator==(const PosixPermissions&) const = default;
};

// What the kernel refuses on this object whatever its permissions say.
struct PosixLimits {
  bool read_only = false;    // a read-only mount
  bool immutable = false;    // chattr +i
  bool append_only = false;  // chattr +a
  bool no_creation = false;  // a kernel file system (proc, sysfs, ...): nothing is created

  bool operator==(const PosixLimits&) const = default;
};

struct PosixState {
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  bool directory = false;
  bool sticky = false;
  PosixPermissions permissions;
  PosixLimits limits;

  bool operator==(const PosixState&) const = default;
};

// The extended attribute that holds the fingerprint of the state a stored descriptor was
// written against.
inline constexpr char kPosixAttribute[] = "user.vortiss.posix";

// What a read of an object's state may take instead of asking the kernel again: each told by the
// kernel just before, within the same call.
struct PosixReadHints {
  const struct statx* located = nullptr;  // the object's statx, links followed
  HeldAttributes held;                    // which attributes it holds
  HostWalk* walk = nullptr;               // the limits of the mounts met before
  std::optional<MountLimits> mount;       // the object's mount's limits, when already read
};

// Reads the state of `path` (links followed). Errors: ERROR_FILE_NOT_FOUND,
// ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED.
DWORD ReadPosixState(const std::filesystem::path& path,
                     PosixState& state,
                     const PosixReadHints& hints = {});

// Writes `wanted` as the object's permission bits and access ACL: a plain mode when it names no
// one, else the whole ACL. Errors: ERROR_ACCESS_DENIED (not the owner), ERROR_WRITE_PROTECT,
// ERROR_NOT_SUPPORTED (a file system without ACLs).
DWORD WritePosixPermissions(const std::filesystem::path& path,
                            const PosixState& current,
                            const PosixPermissions& wanted);

// chown: a uid or gid to set, or none to keep. Errors: ERROR_INVALID_OWNER for a refused
// owner, ERROR_INVALID_PRIMARY_GROUP for a refused group, ERROR_WRITE_PROTECT.
DWORD ChangePosixOwner(const std::filesystem::path& path,
                       std::optional<std::uint32_t> uid,
                       std::optional<std::uint32_t> gid);

// Who this process is for the kernel's permission checks: its effective uid, and its effective
// gid with its supplementary groups.
struct PosixCaller {
  std::uint32_t uid = 0;
  std::vector<std::uint32_t> gids;
};
PosixCaller ProcessCaller();

// The kernel's rules for this process: the owner or a holder of CAP_FOWNER may change the
// mode and ACL; a holder of CAP_CHOWN may give the object to another user.
bool MayChangePermissions(const PosixState& state);
bool MayChangeOwner();

// The state a stored descriptor stands on: owner, group, sticky bit and access ACL. Limits are
// left out: they are read afresh each time.
std::string Fingerprint(const PosixState& state);
std::optional<std::string> ReadFingerprint(const std::filesystem::path& path);

// Sets an extended attribute. Errors: ERROR_ACCESS_DENIED, ERROR_NOT_SUPPORTED,
// ERROR_WRITE_PROTECT, ERROR_DISK_FULL.
DWORD WriteAttribute(const std::filesystem::path& path, const char* name, const std::string& value);

}  // namespace standin
