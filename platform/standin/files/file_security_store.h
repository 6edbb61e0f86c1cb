// The descriptors of files and directories. On a profile machine: the profile's `security`
// entries and what the caller stored, in memory for the run; a volume root without an entry has
// the descriptor Windows gives a new NTFS volume, and a file without an entry inherits from its
// nearest ancestor that has one, as the platform's inheritance would have given it.
// On the host mirror: what the kernel enforces, or the self-relative bytes in the extended
// attribute "user.vortiss.sd" while they are fresh (see host_descriptors.h).
// On an ntfs-3g mount, on any machine: the volume's own descriptors (see ntfs_volume.h).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/standin/accounts/account_database.h"
#include "platform/standin/core/owned_descriptor.h"
#include "platform/standin/files/host_descriptors.h"
#include "platform/standin/files/volumes.h"

namespace standin {

inline constexpr char kDescriptorAttribute[] = "user.vortiss.sd";

// The generic rights of files and directories.
inline const GENERIC_MAPPING kFileGenericMapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE,
                                                    FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};

class FileSecurityStore {
 public:
  // Reads the profile's `security` entries; throws ProfileError naming the entry at fault.
  FileSecurityStore(const MachineDescription& description,
                    const AccountDatabase& accounts,
                    const VolumeTable& volumes,
                    SidValue process_user);

  // The descriptor of an existing file or directory; `located`, when given, is the statx that
  // found it just now, taken instead of asking again. Errors: ERROR_INVALID_SECURITY_DESCR when
  // stored bytes are damaged, the host's (HostError).
  DWORD Read(const WindowsPath& path,
             const HostLocation& where,
             OwnedDescriptor& sd,
             const struct statx* located = nullptr) const;

  // Stores a whole descriptor for an existing file or directory; on the host mirror `scope`
  // says how far it reaches the mode and ACL. Errors: the host's (HostError):
  // ERROR_EA_TABLE_FULL when it does not fit, ERROR_NOT_SUPPORTED on a special file,
  // ERROR_ACCESS_DENIED, ERROR_INVALID_OWNER.
  DWORD Write(const WindowsPath& path,
              const HostLocation& where,
              const OwnedDescriptor& sd,
              PosixWrite scope = PosixWrite::kWhole);

  // Whether the entry holds a descriptor of its own: on an NTFS volume always; on the host
  // mirror a fresh stored one (not one derived from its mode and ACL).
  bool HoldsStored(const HostLocation& where) const;

  // Forgets what was stored for `path` and everything below it.
  void Forget(const WindowsPath& path);

  // The descriptor of a file system without security: everyone, and a null DACL.
  static OwnedDescriptor Unsecured();

 private:
  // On the host mirror: the descriptor kept in the entry's attribute, if any. Errors:
  // ERROR_INVALID_SECURITY_DESCR when its bytes are damaged.
  DWORD ReadStored(const HostLocation& where, std::optional<OwnedDescriptor>& stored) const;
  // A profile machine's owner and group of a file no entry covers: its POSIX owner and group.
  DWORD OwnerAndGroup(const HostLocation& where, SidValue& owner, SidValue& group) const;
  SidValue OwnerOf(uid_t uid) const;
  SidValue GroupOf(gid_t gid) const;

  const AccountDatabase& accounts_;
  const bool host_mirror_;
  const SidValue process_user_;
  mutable std::mutex mutex_;
  std::map<std::wstring, OwnedDescriptor> entries_;  // by WindowsPath::key()
  OwnedDescriptor default_root_;                     // of a root without an entry
  std::unique_ptr<HostWalk> walk_;                   // on the host mirror: the mounts met
};

}  // namespace standin
