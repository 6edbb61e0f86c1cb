#include "platform/standin/files/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/standin/core/text.h"
#include "platform/standin/files/host_errors.h"
#include "platform/standin/files/ntfs_volume.h"
#include "platform/standin/object_security/access_check.h"
#include "platform/standin/object_security/object_security.h"

namespace standin {

namespace {

constexpr ACCESS_MASK kReadAccess = FILE_READ_DATA | FILE_EXECUTE;
constexpr ACCESS_MASK kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA;

// Whether two opens of one file can stand together, as the platform's share modes say.
bool Compatible(ACCESS_MASK access, DWORD share, ACCESS_MASK held_access, DWORD held_share) {
  auto refused = [](ACCESS_MASK a, DWORD s) {
    return ((a & kReadAccess) && !(s & FILE_SHARE_READ)) ||
           ((a & kWriteAccess) && !(s & FILE_SHARE_WRITE)) ||
           ((a & DELETE) && !(s & FILE_SHARE_DELETE));
  };
  return !refused(access, held_share) && !refused(held_access, share);
}

bool TakesPartInSharing(ACCESS_MASK access) {
  return access & (kReadAccess | kWriteAccess | DELETE);
}

// 100-nanosecond intervals since 1601, as FILETIME counts them.
FILETIME ToFileTime(const timespec& t) {
  constexpr std::uint64_t kEpochDifference = 11644473600ull;
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(t.tv_sec) + kEpochDifference) * 10000000ull +
      static_cast<std::uint64_t>(t.tv_nsec) / 100;
  return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

DWORD AttributesOf(const struct stat& st) {
  DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (!(st.st_mode & 0222))
    attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

WIN32_FIND_DATAW FindData(const std::wstring& name, const struct stat& st) {
  WIN32_FIND_DATAW data{};
  data.dwFileAttributes = AttributesOf(st);
  data.ftCreationTime = ToFileTime(st.st_ctim);
  data.ftLastAccessTime = ToFileTime(st.st_atim);
  data.ftLastWriteTime = ToFileTime(st.st_mtim);
  if (!S_ISDIR(st.st_mode)) {
    const auto size = static_cast<std::uint64_t>(st.st_size);
    data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(size);
  }
  const size_t n = std::min<size_t>(name.size(), MAX_PATH - 1);
  std::copy_n(name.begin(), n, data.cFileName);
  return data;
}

// Removes `host` from its directory when it still names the file open as `fd`: a name that
// another process took over in the meantime is left alone.
bool RemoveOwnName(int fd, const std::filesystem::path& host) {
  struct stat held, named;
  if (::fstat(fd, &held) != 0 || ::lstat(host.c_str(), &named) != 0)
    return false;
  if (held.st_dev != named.st_dev || held.st_ino != named.st_ino)
    return false;
  return ::unlink(host.c_str()) == 0;
}

SidValue SidOf(const std::vector<BYTE>& part) {
  auto sid = SidValue::FromBytes(part.data(), part.size());
  return sid ? *sid : SidValue();
}

}  // namespace

FileSystem::FileSystem(const MachineDescription& description,
                       const AccountDatabase& accounts,
                       const SidValue& process_user)
    : host_mirror_(description.host_mirror),
      volumes_(description),
      store_(description, accounts, volumes_, process_user) {
  std::error_code ec;
  const auto cwd = std::filesystem::current_path(ec);
  if (auto form = ec ? std::nullopt : volumes_.WindowsFormOf(cwd))
    current_directory_ = *form;
  else
    current_directory_ = std::wstring(1, volumes_.volumes().front().letter) + L":\\";
}

std::wstring FileSystem::current_directory() const {
  std::lock_guard lock(mutex_);
  return current_directory_;
}

DWORD FileSystem::Parse(std::wstring_view path, bool wildcards, WindowsPath& out) const {
  // A full path needs no copy of the current directory.
  return volumes_.Parse(path, VolumeTable::IsFullPath(path) ? std::wstring() : current_directory(),
                        wildcards, out);
}

std::wstring FileSystem::temp_directory() const {
  std::error_code ec;
  const auto host = std::filesystem::temp_directory_path(ec);
  const auto form = ec ? std::nullopt : volumes_.WindowsFormOf(host);
  std::wstring path = form ? *form : current_directory();
  if (path.empty() || path.back() != L'\\')
    path += L'\\';
  return path;
}

void FileSystem::set_current_directory(std::wstring directory) {
  std::lock_guard lock(mutex_);
  current_directory_ = std::move(directory);
}

DWORD FileSystem::Resolve(std::wstring_view path,
                          bool wildcards,
                          WindowsPath& windows,
                          HostLocation& where) const {
  if (const DWORD error = Parse(path, wildcards, windows))
    return error;
  return Locate(windows, where);
}

DWORD FileSystem::ResolveExisting(std::wstring_view path,
                                  WindowsPath& windows,
                                  HostLocation& where,
                                  struct statx* found) const {
  if (const DWORD error = Parse(path, false, windows))
    return error;
  if (const DWORD error = Locate(windows, where, found))
    return error;
  return where.exists ? ERROR_SUCCESS : static_cast<DWORD>(ERROR_FILE_NOT_FOUND);
}

DWORD FileSystem::CheckAccess(const WindowsPath& path,
                              const HostLocation& where,
                              const TokenData& token,
                              ACCESS_MASK desired) const {
  OwnedDescriptor sd;
  if (const DWORD error = store_.Read(path, where, sd))
    return error;
  ACCESS_MASK granted = 0;
  return EvaluateAccess(sd.Parts(), token, desired, kFileGenericMapping, granted);
}

DWORD FileSystem::CheckOpen(const WindowsPath& path,
                            const HostLocation& where,
                            const TokenData& token,
                            ACCESS_MASK desired) const {
  const DWORD error = CheckAccess(path, where, token, desired);
  if (error != ERROR_ACCESS_DENIED || !(desired & FILE_READ_ATTRIBUTES) || path.is_root())
    return error;
  // Listing a directory shows its entries' attributes: the right to list it grants reading them.
  const WindowsPath parent = path.parent();
  const HostLocation parent_where{where.host.parent_path(), true, true};
  if (CheckAccess(parent, parent_where, token, FILE_LIST_DIRECTORY) != ERROR_SUCCESS)
    return error;
  const ACCESS_MASK rest = desired & ~FILE_READ_ATTRIBUTES;
  return rest ? CheckAccess(path, where, token, rest) : static_cast<DWORD>(ERROR_SUCCESS);
}

DWORD FileSystem::CheckDelete(const WindowsPath& path,
                              const HostLocation& where,
                              const TokenData& token) const {
  const DWORD own = CheckAccess(path, where, token, DELETE);
  if (own != ERROR_ACCESS_DENIED || path.is_root())
    return own;
  const WindowsPath parent = path.parent();
  HostLocation parent_where{where.host.parent_path(), true, true};
  const DWORD child = CheckAccess(parent, parent_where, token, FILE_DELETE_CHILD);
  return child == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

DWORD FileSystem::CheckCreate(const WindowsPath& path,
                              const TokenData& token,
                              bool directory) const {
  if (path.is_root())
    return ERROR_ACCESS_DENIED;
  const WindowsPath parent = path.parent();
  HostLocation parent_where;
  if (const DWORD error = Locate(parent, parent_where))
    return error;
  return CheckAccess(parent, parent_where, token,
                     directory ? FILE_ADD_SUBDIRECTORY : FILE_ADD_FILE);
}

void FileSystem::SecureNewObject(const TokenData& token,
                                 const WindowsPath& path,
                                 const HostLocation& where,
                                 const OwnedDescriptor* security) {
  if (!path.volume->keeps_security())
    return;
  store_.Forget(path);
  // ntfs-3g gave the object its descriptor as it made it.
  if (OnNtfsVolume(where.host))
    return;
  // On the host only a directory that holds a descriptor of its own passes anything on, since
  // mode bits are no entries to inherit.
  OwnedDescriptor parent;
  bool has_parent = false;
  if (!path.is_root()) {
    const HostLocation parent_where{where.host.parent_path(), true, true};
    has_parent = (!host_mirror_ || store_.HoldsStored(parent_where)) &&
                 store_.Read(path.parent(), parent_where, parent) == ERROR_SUCCESS;
  }
  if (!host_mirror_) {
    // A profile machine keeps what the platform computes for the new object, its owner and
    // group the token's. Only the DACL of a caller's descriptor is taken.
    OwnedDescriptor dacl_only;
    const bool given = security && (security->control & SE_DACL_PRESENT);
    if (given)
      dacl_only = security->Select(DACL_SECURITY_INFORMATION);
    OwnedDescriptor sd;
    if (NewObjectDescriptor(token, given ? &dacl_only : nullptr, has_parent ? &parent : nullptr,
                            where.directory, DefaultOwnerOf(token), PrimaryGroupOf(token),
                            kFileGenericMapping, sd) == ERROR_SUCCESS)
      store_.Write(path, where, sd);
    return;
  }
  if (!has_parent)
    return;
  OwnedDescriptor own;
  if (store_.Read(path, where, own) != ERROR_SUCCESS)
    return;
  OwnedDescriptor sd;
  DaclSource source = DaclSource::kDefault;
  if (NewObjectDescriptor(token, nullptr, &parent, where.directory, SidOf(own.owner),
                          SidOf(own.group), kFileGenericMapping, sd, &source) != ERROR_SUCCESS)
    return;
  // Nothing inherited: the object keeps what its mode bits give.
  if (source == DaclSource::kDefault)
    return;
  store_.Write(path, where, sd, PosixWrite::kNarrowOnly);
}

DWORD FileSystem::VolumeOfRoot(const wchar_t* root, const Volume*& volume) const {
  const std::wstring_view given = root ? std::wstring_view(root) : std::wstring_view(L"\\");
  WindowsPath path;
  if (const DWORD error = Parse(given, false, path))
    return error;
  if (!path.is_root()) {
    // A name below the root: with a separator inside it is a directory that is not a root.
    std::wstring_view rest = given;
    if (rest.size() >= 2 && rest[1] == L':')
      rest.remove_prefix(2);
    while (!rest.empty() && (rest[0] == L'\\' || rest[0] == L'/'))
      rest.remove_prefix(1);
    const bool inner_separator = rest.find_first_of(L"\\/") != std::wstring_view::npos;
    return inner_separator ? ERROR_DIR_NOT_ROOT : ERROR_INVALID_NAME;
  }
  volume = path.volume;
  return ERROR_SUCCESS;
}

DWORD FileSystem::Open(std::wstring_view name,
                       const TokenData& token,
                       const OpenRequest& request,
                       std::shared_ptr<OpenFile>& file,
                       bool& existed) {
  const DWORD disposition = request.disposition;
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING)
    return ERROR_INVALID_PARAMETER;
  WindowsPath path;
  HostLocation where;
  if (const DWORD error = Resolve(name, false, path, where))
    return error;
  if (path.is_root() || (!where.exists && path.trailing_separator))
    return where.exists ? ERROR_ACCESS_DENIED : ERROR_INVALID_NAME;

  ACCESS_MASK access = MapGenericRights(request.access, kFileGenericMapping);
  if (request.delete_on_close)
    access |= DELETE;
  if (!where.exists) {
    if (const DWORD pending = CheckPendingDelete(where.host, access, request.share, disposition))
      return pending;
  }

  if (where.exists) {
    if (disposition == CREATE_NEW)
      return ERROR_FILE_EXISTS;
    if (where.directory && (!request.backup_semantics || disposition == CREATE_ALWAYS ||
                            disposition == TRUNCATE_EXISTING))
      return ERROR_ACCESS_DENIED;
  } else if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
    return ERROR_FILE_NOT_FOUND;
  }
  const bool truncate =
      where.exists && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING);
  if (truncate)
    access |= FILE_WRITE_DATA;

  if (ChecksDescriptors(path)) {
    DWORD error = ERROR_SUCCESS;
    if (!where.exists) {
      error = CheckCreate(path, token, false);
    } else {
      error = CheckOpen(path, where, token, access & ~DELETE & ~MAXIMUM_ALLOWED);
      if (error == ERROR_SUCCESS && (access & DELETE))
        error = CheckDelete(path, where, token);
    }
    if (error != ERROR_SUCCESS)
      return error;
  }
  if (where.exists) {
    if (const DWORD error = CheckSharing(where.host, access, request.share))
      return error;
  }

  int flags = O_CLOEXEC;
  const bool reads = access & (FILE_READ_DATA | FILE_EXECUTE);
  const bool writes = access & (FILE_WRITE_DATA | FILE_APPEND_DATA);
  if (where.directory)
    flags |= O_RDONLY | O_DIRECTORY;
  else if (!where.exists || truncate || writes)
    flags |= reads ? O_RDWR : O_WRONLY;
  else if (reads)
    flags |= O_RDONLY;
  else
    flags |= O_PATH;
  if (!where.exists)
    flags |= O_CREAT | O_EXCL;
  if (truncate)
    flags |= O_TRUNC;
  const int fd = ::open(where.host.c_str(), flags, 0666);
  if (fd < 0)
    return HostError(errno);

  file = std::make_shared<OpenFile>();
  file->path = path;
  file->host = where.host;
  file->access = access;
  file->share = request.share;
  file->delete_on_close = request.delete_on_close;
  file->fd = fd;
  // A file to be deleted on close gets no descriptor of its own: it is about to go.
  if (!where.exists && !request.delete_on_close)
    SecureNewObject(token, path, {where.host, true, false}, request.security);
  {
    std::lock_guard lock(mutex_);
    std::erase_if(open_, [](const std::weak_ptr<OpenFile>& w) { return w.expired(); });
    open_.push_back(file);
  }
  // The name goes now, while this handle holds the file, so that no step after the open ever
  // removes a file by name: by then the name may be another process's file.
  if (request.delete_on_close && !where.directory && RemoveOwnName(fd, where.host)) {
    store_.Forget(path);
    std::lock_guard lock(mutex_);
    file->name_removed = true;
  }
  existed = where.exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS);
  return ERROR_SUCCESS;
}

void FileSystem::Closed(const OpenFile& file) {
  std::lock_guard lock(mutex_);
  std::erase_if(open_, [&](const std::weak_ptr<OpenFile>& w) {
    const auto f = w.lock();
    return !f || f.get() == &file;
  });
}

DWORD FileSystem::CheckSharing(const std::filesystem::path& host,
                               ACCESS_MASK access,
                               DWORD share) const {
  if (!TakesPartInSharing(access))
    return ERROR_SUCCESS;
  std::lock_guard lock(mutex_);
  for (const auto& weak : open_) {
    const auto held = weak.lock();
    // A file whose name is gone shares nothing with a new file of that name.
    if (!held || held->host != host || held->name_removed || !TakesPartInSharing(held->access))
      continue;
    if (!Compatible(access, share, held->access, held->share))
      return ERROR_SHARING_VIOLATION;
  }
  return ERROR_SUCCESS;
}

DWORD FileSystem::CheckPendingDelete(const std::filesystem::path& host,
                                     ACCESS_MASK access,
                                     DWORD share,
                                     DWORD disposition) const {
  std::lock_guard lock(mutex_);
  for (const auto& weak : open_) {
    const auto held = weak.lock();
    if (!held || !held->name_removed || held->host != host)
      continue;
    if (disposition == CREATE_NEW)
      return ERROR_FILE_EXISTS;
    if (TakesPartInSharing(access) && !Compatible(access, share, held->access, held->share))
      return ERROR_SHARING_VIOLATION;
    return ERROR_ACCESS_DENIED;
  }
  return ERROR_SUCCESS;
}

DWORD FileSystem::LockForEdit(std::wstring_view name, HostLock& lock) const {
  WindowsPath path;
  HostLocation where;
  if (Resolve(name, false, path, where) != ERROR_SUCCESS || !where.exists ||
      !path.volume->keeps_security())
    return ERROR_SUCCESS;  // the edit fails on its own, and says why
  // A profile machine keeps its descriptors for the run, but an NTFS volume's are on the disk.
  if (!host_mirror_ && !OnNtfsVolume(where.host))
    return ERROR_SUCCESS;
  struct stat st;
  if (::stat(where.host.c_str(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)))
    return ERROR_SUCCESS;
  return lock.Take(where.host, false);
}

DWORD FileSystem::DeleteFile(std::wstring_view name, const TokenData& token) {
  WindowsPath path;
  HostLocation where;
  if (const DWORD error = ResolveExisting(name, path, where)) {
    if (error == ERROR_FILE_NOT_FOUND && path.trailing_separator)
      return ERROR_INVALID_NAME;
    const DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    if (const DWORD pending = error == ERROR_FILE_NOT_FOUND
                                  ? CheckPendingDelete(where.host, DELETE, share_all, OPEN_EXISTING)
                                  : ERROR_SUCCESS)
      return pending;
    return error;
  }
  if (where.directory)
    return ERROR_ACCESS_DENIED;
  struct stat st;
  if (::stat(where.host.c_str(), &st) == 0 && !(st.st_mode & 0222))
    return ERROR_ACCESS_DENIED;  // the read-only attribute
  if (ChecksDescriptors(path)) {
    if (const DWORD error = CheckDelete(path, where, token))
      return error;
  }
  // The platform deletes through an open for DELETE that shares everything: it succeeds beside
  // handles that share deletion.
  if (const DWORD error =
          CheckSharing(where.host, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
    return error;
  if (::unlink(where.host.c_str()) != 0)
    return HostError(errno);
  store_.Forget(path);
  // Handles still open hold a file to be deleted: until they close, the name answers as one.
  std::lock_guard lock(mutex_);
  for (const auto& weak : open_) {
    if (const auto held = weak.lock(); held && held->host == where.host)
      held->name_removed = true;
  }
  return ERROR_SUCCESS;
}

DWORD FileSystem::CreateDirectory(std::wstring_view name,
                                  const TokenData& token,
                                  const OwnedDescriptor* security) {
  WindowsPath path;
  HostLocation where;
  if (const DWORD error = Resolve(name, false, path, where))
    return error;
  if (where.exists)
    return ERROR_ALREADY_EXISTS;
  if (ChecksDescriptors(path)) {
    if (const DWORD error = CheckCreate(path, token, true))
      return error;
  }
  if (::mkdir(where.host.c_str(), 0777) != 0)
    return errno == EEXIST ? ERROR_ALREADY_EXISTS : HostError(errno);
  SecureNewObject(token, path, {where.host, true, true}, security);
  return ERROR_SUCCESS;
}

DWORD FileSystem::RemoveDirectory(std::wstring_view name, const TokenData& token) {
  WindowsPath path;
  HostLocation where;
  if (const DWORD error = ResolveExisting(name, path, where))
    return error;
  if (!where.directory)
    return ERROR_DIRECTORY;
  if (path.is_root())
    return ERROR_ACCESS_DENIED;
  if (ChecksDescriptors(path)) {
    if (const DWORD error = CheckDelete(path, where, token))
      return error;
  }
  if (::rmdir(where.host.c_str()) != 0)
    return errno == EEXIST ? ERROR_DIR_NOT_EMPTY : HostError(errno);
  store_.Forget(path);
  return ERROR_SUCCESS;
}

DWORD FileSystem::Attributes(std::wstring_view name, DWORD& attributes) const {
  WindowsPath path;
  HostLocation where;
  if (const DWORD error = Resolve(name, false, path, where))
    return error;
  struct stat st;
  if (!where.exists || ::stat(where.host.c_str(), &st) != 0)
    return ERROR_FILE_NOT_FOUND;
  attributes = AttributesOf(st);
  return ERROR_SUCCESS;
}

DWORD FileSystem::List(std::wstring_view pattern,
                       const TokenData& token,
                       std::vector<WIN32_FIND_DATAW>& entries) const {
  WindowsPath path;
  if (const DWORD error = Parse(pattern, true, path))
    return error;
  // "dir\" names no entry; the pattern is the last component.
  if (path.trailing_separator || path.is_root())
    return ERROR_FILE_NOT_FOUND;
  const std::wstring name_pattern = path.components.back();
  const WindowsPath directory = path.parent();
  HostLocation where;
  if (const DWORD error = Locate(directory, where))
    return error;
  if (!where.exists || !where.directory)
    return ERROR_PATH_NOT_FOUND;
  if (path.invalid_component != std::wstring::npos)
    return ERROR_INVALID_NAME;
  if (ChecksDescriptors(directory)) {
    if (const DWORD error = CheckAccess(directory, where, token, FILE_LIST_DIRECTORY))
      return error;
  }

  struct Listed {
    std::wstring name;
    struct stat st;
    bool link;
    int rank;          // "." first, ".." next, then every other name
    std::wstring key;  // the name in upper case, its place among the others
  };
  std::vector<Listed> found;
  DIR* dir = ::opendir(where.host.c_str());
  if (!dir)
    return HostError(errno);
  while (dirent* entry = ::readdir(dir)) {
    const std::string host_name = entry->d_name;
    // The root of a drive has no entries for itself and its parent.
    if ((host_name == "." || host_name == "..") && directory.is_root())
      continue;
    // A name with a backslash cannot be spelled on the platform: listed, it would be taken for
    // a path and reach another entry.
    const std::wstring wide = Utf8ToWide(host_name);
    if (wide.find(L'\\') != std::wstring::npos || !WildcardMatch(name_pattern, wide))
      continue;
    // The entry itself, then, for a symbolic link only, what it leads to: for anything else the
    // two are the same. A link is listed as the platform lists one, a reparse point, so that a
    // walk can leave it alone and never loop; one that leads nowhere is not listed.
    const std::filesystem::path host = where.host / host_name;
    struct stat st;
    if (::lstat(host.c_str(), &st) != 0)
      continue;
    const bool is_link = S_ISLNK(st.st_mode);
    if (is_link && ::stat(host.c_str(), &st) != 0)
      continue;
    const int rank = wide == L"." ? 0 : wide == L".." ? 1 : 2;
    found.push_back({wide, st, is_link, rank, UpperCase(wide)});
  }
  ::closedir(dir);
  // Each name's key is made once, not at every comparison.
  std::sort(found.begin(), found.end(), [](const Listed& a, const Listed& b) {
    return a.rank != b.rank ? a.rank < b.rank : a.key < b.key;
  });
  if (found.empty())
    return ERROR_FILE_NOT_FOUND;
  entries.clear();
  entries.reserve(found.size());
  for (const Listed& listed : found) {
    entries.push_back(FindData(listed.name, listed.st));
    if (listed.link)
      entries.back().dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  }
  return ERROR_SUCCESS;
}

}  // namespace standin
