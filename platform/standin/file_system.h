// The file services of one machine: its volumes, the descriptors of its files, its current
// directory and the files its callers hold open. File operations are real host operations;
// on a profile machine they are first checked against the descriptors, as the platform checks
// them, while on the host mirror the host's own permissions answer.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/standin/file_security_store.h"
#include "platform/standin/machine.h"
#include "platform/standin/volumes.h"

namespace standin {

class FileSystem;

// One successful CreateFileW.
struct OpenFile {
  WindowsPath path;
  std::filesystem::path host;
  ACCESS_MASK access = 0;
  DWORD share = 0;
  bool delete_on_close = false;
  int fd = -1;
};

struct FileHandle : HandleObject {
  FileHandle(std::shared_ptr<OpenFile> file, std::weak_ptr<FileSystem> files);
  ~FileHandle() override;
  std::shared_ptr<OpenFile> file;
  std::weak_ptr<FileSystem> files;
};

class FileSystem : public std::enable_shared_from_this<FileSystem> {
 public:
  // Throws ProfileError for a `security` entry that cannot be read.
  FileSystem(const MachineDescription& description,
             const AccountDatabase& accounts,
             const SidValue& process_user);

  const VolumeTable& volumes() const { return volumes_; }
  FileSecurityStore& store() { return store_; }
  // On the host mirror, a new entry of a directory that holds a descriptor of its own takes
  // that directory's inheritable entries, as the platform gives them to what is created.
  void InheritOnHost(const WindowsPath& path, const HostLocation& where);
  bool host_mirror() const { return host_mirror_; }

  std::wstring current_directory() const;
  void set_current_directory(std::wstring directory);

  // Reads a Windows path and finds it on the host (see VolumeTable::Parse and Locate).
  DWORD Resolve(std::wstring_view path,
                bool wildcards,
                WindowsPath& windows,
                HostLocation& where) const;

  // True when the machine checks operations on `path` against descriptors.
  bool ChecksDescriptors(const WindowsPath& path) const {
    return !host_mirror_ && path.volume->keeps_security();
  }
  // The access check of `desired` on an existing object: ERROR_SUCCESS, ERROR_ACCESS_DENIED or
  // the error of reading its descriptor.
  DWORD CheckAccess(const WindowsPath& path,
                    const HostLocation& where,
                    const TokenData& token,
                    ACCESS_MASK desired) const;
  // Deleting needs DELETE on the object or FILE_DELETE_CHILD on its directory.
  DWORD CheckDelete(const WindowsPath& path,
                    const HostLocation& where,
                    const TokenData& token) const;
  // Creating in a directory needs FILE_ADD_FILE (FILE_ADD_SUBDIRECTORY for a directory).
  DWORD CheckCreate(const WindowsPath& path, const TokenData& token, bool directory) const;

  // ERROR_SHARING_VIOLATION when an open of `host` with `access` and `share` conflicts with one
  // that is held.
  DWORD CheckSharing(const std::filesystem::path& host, ACCESS_MASK access, DWORD share) const;
  void Register(const std::shared_ptr<OpenFile>& file);
  // A handle was closed: forget it, and delete its file when it was opened for that.
  void Closed(const OpenFile& file);

 private:
  const bool host_mirror_;
  VolumeTable volumes_;
  FileSecurityStore store_;
  mutable std::mutex mutex_;
  std::wstring current_directory_;
  std::vector<std::weak_ptr<OpenFile>> open_;
};

// Sets the machine's current directory (a full Windows path), as tests need it.
void SetMachineCurrentDirectory(std::wstring directory);

}  // namespace standin
