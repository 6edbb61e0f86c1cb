// The file services of one machine: its volumes, the descriptors of its files, its current
// directory and the files its callers hold open. File operations are real host operations;
// on a profile machine they are first checked against the descriptors, as the platform checks
// them, while on the host mirror the host's own permissions answer.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/standin/files/file_security_store.h"
#include "platform/standin/files/host_lock.h"
#include "platform/standin/files/volumes.h"
#include "platform/standin/identity/token.h"

namespace standin {

// One successful open of a file.
struct OpenFile {
  WindowsPath path;
  std::filesystem::path host;
  ACCESS_MASK access = 0;
  DWORD share = 0;
  bool delete_on_close = false;
  // A file whose name left the host while this handle held it (a delete-on-close open, or a
  // delete beside this handle): the handle holds the file, and an open of the name answers as
  // for a file to be deleted until the handle closes.
  bool name_removed = false;
  int fd = -1;
};

// What a caller of CreateFileW asks for.
struct OpenRequest {
  ACCESS_MASK access = 0;  // generic rights allowed; CreateFileW adds what it always asks for
  DWORD share = 0;
  DWORD disposition = OPEN_EXISTING;
  bool delete_on_close = false;
  bool backup_semantics = false;
  // The descriptor of a new file, from the caller's SECURITY_ATTRIBUTES; null for none.
  const OwnedDescriptor* security = nullptr;
};

class FileSystem : public std::enable_shared_from_this<FileSystem> {
 public:
  // Throws ProfileError for a `security` entry that cannot be read.
  FileSystem(const MachineDescription& description,
             const AccountDatabase& accounts,
             const SidValue& process_user);

  const VolumeTable& volumes() const { return volumes_; }
  FileSecurityStore& store() { return store_; }
  bool host_mirror() const { return host_mirror_; }

  std::wstring current_directory() const;
  // The folder for temporary files, as GetTempPath names it: the host's temporary directory in
  // its Windows form, else the current directory; with a trailing separator.
  std::wstring temp_directory() const;
  void set_current_directory(std::wstring directory);

  // Reads a Windows path and finds it on the host (see VolumeTable::Parse and Locate).
  DWORD Resolve(std::wstring_view path,
                bool wildcards,
                WindowsPath& windows,
                HostLocation& where) const;

  // Resolves a path that must name an existing object: ERROR_FILE_NOT_FOUND when it does not.
  // `found`, when given, receives the statx that found it (see Locate).
  DWORD ResolveExisting(std::wstring_view path,
                        WindowsPath& windows,
                        HostLocation& where,
                        struct statx* found = nullptr) const;

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

  // The volume whose root `root` names (null: the current drive's), as GetVolumeInformationW
  // reads it. Errors: those of the path, ERROR_DIR_NOT_ROOT, ERROR_INVALID_NAME.
  DWORD VolumeOfRoot(const wchar_t* root, const Volume*& volume) const;

  // Opens or creates a file as CreateFileW does; `existed` tells an open of an existing file
  // by CREATE_ALWAYS or OPEN_ALWAYS.
  DWORD Open(std::wstring_view name,
             const TokenData& token,
             const OpenRequest& request,
             std::shared_ptr<OpenFile>& file,
             bool& existed);
  // A handle was closed: forget it. A delete-on-close file went from its directory when it was
  // opened, so closing the last handle deletes it.
  void Closed(const OpenFile& file);

  // The lock that an edit of the descriptor of `name` holds from its load to its store, so that
  // editors in other processes take turns. Only the host mirror shares its descriptors with
  // other processes; elsewhere, and for what holds no descriptor, nothing is locked.
  DWORD LockForEdit(std::wstring_view name, HostLock& lock) const;

  DWORD DeleteFile(std::wstring_view name, const TokenData& token);
  DWORD CreateDirectory(std::wstring_view name,
                        const TokenData& token,
                        const OwnedDescriptor* security);
  DWORD RemoveDirectory(std::wstring_view name, const TokenData& token);
  DWORD Attributes(std::wstring_view name, DWORD& attributes) const;
  // The entries matching the last component of `pattern` (* and ?), "." and ".." first, then
  // by name without regard to case.
  DWORD List(std::wstring_view pattern,
             const TokenData& token,
             std::vector<WIN32_FIND_DATAW>& entries) const;

 private:
  // VolumeTable::Parse against the current directory.
  DWORD Parse(std::wstring_view path, bool wildcards, WindowsPath& out) const;
  // The access check of an open: as CheckAccess, with FILE_READ_ATTRIBUTES granted to a caller
  // who may list the object's directory.
  DWORD CheckOpen(const WindowsPath& path,
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
  // The answer for an open of `host`, which the host no longer has, while a delete-on-close
  // handle holds the file that had that name: as the platform answers for a file that is to be
  // deleted. ERROR_SUCCESS when no handle holds one.
  DWORD CheckPendingDelete(const std::filesystem::path& host,
                           ACCESS_MASK access,
                           DWORD share,
                           DWORD disposition) const;
  // Gives an object just created the descriptor the platform gives it: what `security` names
  // and what its directory passes on.
  void SecureNewObject(const TokenData& token,
                       const WindowsPath& path,
                       const HostLocation& where,
                       const OwnedDescriptor* security);

  const bool host_mirror_;
  VolumeTable volumes_;
  FileSecurityStore store_;
  mutable std::mutex mutex_;
  std::wstring current_directory_;
  std::vector<std::weak_ptr<OpenFile>> open_;
};

}  // namespace standin
