// The descriptors of files and directories. On a profile machine: the profile's `security`
// entries and what the caller stored, in memory for the run; a file without an entry inherits
// from its nearest ancestor that has one, as the platform's inheritance would have given it.
// On the host mirror: the self-relative bytes in the extended attribute "user.vortiss.sd".
// Anywhere else the descriptor is derived from the POSIX owner, group and mode bits.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/standin/account_database.h"
#include "platform/standin/volumes.h"

namespace standin {

inline constexpr char kDescriptorAttribute[] = "user.vortiss.sd";

class FileSecurityStore {
 public:
  // Reads the profile's `security` entries; throws ProfileError naming the entry at fault.
  FileSecurityStore(const MachineDescription& description,
                    const AccountDatabase& accounts,
                    const VolumeTable& volumes,
                    SidValue process_user);

  // The self-relative descriptor of an existing file or directory. Errors:
  // ERROR_INVALID_SECURITY_DESCR when stored bytes are damaged.
  DWORD Read(const WindowsPath& path, const HostLocation& where, std::vector<BYTE>& sd) const;

  // Stores a whole self-relative descriptor for an existing file or directory. Errors:
  // ERROR_ACCESS_DENIED, ERROR_NOT_SUPPORTED from the host.
  DWORD Write(const WindowsPath& path, const HostLocation& where, const std::vector<BYTE>& sd);

  // On the host mirror: whether the entry holds a descriptor of its own (not one derived from
  // its mode bits).
  bool HoldsStored(const HostLocation& where) const;

  // Forgets what was stored for `path` and everything below it.
  void Forget(const WindowsPath& path);

  // The descriptor of a file system without security: everyone, and a null DACL.
  static std::vector<BYTE> Unsecured();

 private:
  DWORD Derive(const HostLocation& where, std::vector<BYTE>& sd) const;
  SidValue OwnerOf(uid_t uid) const;
  SidValue GroupOf(gid_t gid) const;

  const AccountDatabase& accounts_;
  const bool host_mirror_;
  const SidValue process_user_;
  mutable std::mutex mutex_;
  std::map<std::wstring, std::vector<BYTE>> entries_;  // by WindowsPath::key()
};

}  // namespace standin
