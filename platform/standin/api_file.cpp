// Kernel file services: volume information, the platform version, file creation and deletion,
// directories, attributes and directory enumeration.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/standin/ace_list.h"
#include "platform/standin/api_support.h"
#include "platform/standin/file_system.h"
#include "platform/standin/owned_descriptor.h"
#include "platform/standin/text.h"

using namespace standin;

namespace {

// A directory listing taken when the enumeration began.
struct FindListing : HandleObject {
  std::vector<WIN32_FIND_DATAW> entries;
  size_t next = 0;
};

// The platform's code for a host call that failed with `error`.
DWORD HostError(int error) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case EROFS:
      return ERROR_WRITE_PROTECT;
    case ENOSPC:
      return ERROR_DISK_FULL;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    default:
      return ERROR_ACCESS_DENIED;
  }
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

// Writes the parts of `sd` (from a caller's SECURITY_ATTRIBUTES) that a new object keeps: its
// own DACL entries, followed by what it inherits unless the DACL is protected.
void StoreNewDescriptor(FileSystem& files,
                        const WindowsPath& path,
                        const HostLocation& where,
                        const SECURITY_ATTRIBUTES* security) {
  if (!security || !security->lpSecurityDescriptor || !files.ChecksDescriptors(path))
    return;
  DescriptorParts given;
  if (ReadDescriptor(security->lpSecurityDescriptor, given) != ERROR_SUCCESS || !given.dacl)
    return;
  std::vector<BYTE> current;
  DescriptorParts current_parts;
  if (files.store().Read(path, where, current) != ERROR_SUCCESS ||
      ReadSelfRelative(current.data(), current.size(), current_parts) != ERROR_SUCCESS)
    return;
  OwnedDescriptor d = OwnedDescriptor::From(current_parts);
  AceList dacl = AceList::Decode(given.dacl);
  if (!(given.control & SE_DACL_PROTECTED) && current_parts.dacl) {
    std::vector<AceEntry> inherited;
    for (const auto& e : AceList::Decode(current_parts.dacl).entries) {
      if (e.flags & INHERITED_ACE)
        inherited.push_back(e);
    }
    dacl = MergeInherited(dacl, inherited);
  }
  if (auto bytes = dacl.Encode()) {
    d.dacl = std::move(*bytes);
    d.control = static_cast<SECURITY_DESCRIPTOR_CONTROL>(
        (d.control & ~SE_DACL_PROTECTED) | (given.control & SE_DACL_PROTECTED) | SE_DACL_PRESENT);
    files.store().Write(path, where, d.SelfRelative());
  }
}

}  // namespace

extern "C" {

BOOL WINAPI GetVolumeInformationW(LPCWSTR root,
                                  LPWSTR volume_name,
                                  DWORD volume_name_size,
                                  LPDWORD serial_number,
                                  LPDWORD max_component_length,
                                  LPDWORD file_system_flags,
                                  LPWSTR file_system_name,
                                  DWORD file_system_name_size) {
  auto call = EnterCall("GetVolumeInformationW");
  if (call.fault)
    return FailWith(*call.fault);
  auto& files = *call.machine->files();
  const std::wstring_view given = root ? std::wstring_view(root) : std::wstring_view(L"\\");
  WindowsPath path;
  if (const DWORD error = files.volumes().Parse(given, files.current_directory(), false, path))
    return FailWith(error);
  if (!path.is_root()) {
    // A name below the root: with a separator inside it is a directory that is not a root.
    std::wstring_view rest = given;
    if (rest.size() >= 2 && rest[1] == L':')
      rest.remove_prefix(2);
    while (!rest.empty() && (rest[0] == L'\\' || rest[0] == L'/'))
      rest.remove_prefix(1);
    const bool inner_separator = rest.find_first_of(L"\\/") != std::wstring_view::npos;
    return FailWith(inner_separator ? ERROR_DIR_NOT_ROOT : ERROR_INVALID_NAME);
  }
  const Volume& volume = *path.volume;
  struct stat st;
  if (::stat(volume.directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return FailWith(ERROR_NOT_READY);
  const std::wstring label;
  if (volume_name && volume_name_size < label.size() + 1)
    return FailWith(ERROR_BAD_LENGTH);
  if (file_system_name && file_system_name_size < volume.file_system.size() + 1)
    return FailWith(ERROR_BAD_LENGTH);
  if (volume_name)
    std::wcscpy(volume_name, label.c_str());
  if (file_system_name)
    std::wcscpy(file_system_name, volume.file_system.c_str());
  if (serial_number)
    *serial_number = static_cast<DWORD>(st.st_dev * 2654435761u) ^ volume.letter;
  if (max_component_length)
    *max_component_length = 255;
  if (file_system_flags) {
    *file_system_flags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
    if (volume.keeps_security())
      *file_system_flags |= FILE_CASE_SENSITIVE_SEARCH | FILE_PERSISTENT_ACLS;
  }
  return TRUE;
}

BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW info) {
  auto call = EnterCall("GetVersionExW");
  if (call.fault)
    return FailWith(*call.fault);
  if (!info)
    return FailWith(ERROR_INVALID_PARAMETER);
  // The platform refuses any size but its record's with ERROR_INSUFFICIENT_BUFFER.
  if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW))
    return FailWith(ERROR_INSUFFICIENT_BUFFER);
  const auto& d = call.machine->description();
  info->dwMajorVersion = d.version_major;
  info->dwMinorVersion = d.version_minor;
  info->dwBuildNumber = d.version_major >= 10 ? 19045 : 0;
  info->dwPlatformId = VER_PLATFORM_WIN32_NT;
  std::fill(std::begin(info->szCSDVersion), std::end(info->szCSDVersion), L'\0');
  return TRUE;
}

HANDLE WINAPI CreateFileW(LPCWSTR name,
                          DWORD access,
                          DWORD share_mode,
                          LPSECURITY_ATTRIBUTES security,
                          DWORD disposition,
                          DWORD flags_and_attributes,
                          HANDLE template_file) {
  (void)template_file;
  auto call = EnterCall("CreateFileW");
  auto fail = [](DWORD error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  };
  if (call.fault)
    return fail(*call.fault);
  if (!name)
    return fail(ERROR_PATH_NOT_FOUND);
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING)
    return fail(ERROR_INVALID_PARAMETER);
  auto files = call.machine->files();
  WindowsPath path;
  HostLocation where;
  if (const DWORD error = files->Resolve(name, false, path, where))
    return fail(error);
  if (path.is_root() || (!where.exists && path.trailing_separator))
    return fail(where.exists ? ERROR_ACCESS_DENIED : ERROR_INVALID_NAME);

  access = MapGenericRights(access, kFileGenericMapping);
  const bool delete_on_close = flags_and_attributes & FILE_FLAG_DELETE_ON_CLOSE;
  if (delete_on_close)
    access |= DELETE;
  const auto token = EffectiveToken(*call.machine);
  const bool checked = files->ChecksDescriptors(path);

  if (where.exists) {
    if (disposition == CREATE_NEW)
      return fail(ERROR_FILE_EXISTS);
    if (where.directory && (!(flags_and_attributes & FILE_FLAG_BACKUP_SEMANTICS) ||
                            disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING))
      return fail(ERROR_ACCESS_DENIED);
  } else if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
    return fail(ERROR_FILE_NOT_FOUND);
  }
  const bool truncate =
      where.exists && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING);
  if (truncate)
    access |= FILE_WRITE_DATA;

  if (checked) {
    DWORD error = ERROR_SUCCESS;
    if (!where.exists) {
      error = files->CheckCreate(path, *token, false);
    } else {
      error = files->CheckAccess(path, where, *token, access & ~DELETE & ~MAXIMUM_ALLOWED);
      if (error == ERROR_SUCCESS && (access & DELETE))
        error = files->CheckDelete(path, where, *token);
    }
    if (error != ERROR_SUCCESS)
      return fail(error);
  }
  if (where.exists) {
    if (const DWORD error = files->CheckSharing(where.host, access, share_mode))
      return fail(error);
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
    return fail(HostError(errno));

  auto file = std::make_shared<OpenFile>();
  file->path = path;
  file->host = where.host;
  file->access = access;
  file->share = share_mode;
  file->delete_on_close = delete_on_close;
  file->fd = fd;
  if (!where.exists) {
    files->store().Forget(path);  // a new file starts from its directory's inheritance
    HostLocation created{where.host, true, false};
    files->InheritOnHost(path, created);
    StoreNewDescriptor(*files, path, created, security);
  }
  files->Register(file);
  HANDLE handle = call.machine->AddHandle(std::make_shared<FileHandle>(file, files));
  const bool existed = where.exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS);
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

BOOL WINAPI DeleteFileW(LPCWSTR name) {
  auto call = EnterCall("DeleteFileW");
  if (call.fault)
    return FailWith(*call.fault);
  if (!name)
    return FailWith(ERROR_PATH_NOT_FOUND);
  auto files = call.machine->files();
  WindowsPath path;
  HostLocation where;
  if (const DWORD error = files->Resolve(name, false, path, where))
    return FailWith(error);
  if (!where.exists)
    return FailWith(path.trailing_separator ? ERROR_INVALID_NAME : ERROR_FILE_NOT_FOUND);
  if (where.directory)
    return FailWith(ERROR_ACCESS_DENIED);
  struct stat st;
  if (::stat(where.host.c_str(), &st) == 0 && !(st.st_mode & 0222))
    return FailWith(ERROR_ACCESS_DENIED);  // the read-only attribute
  if (files->ChecksDescriptors(path)) {
    if (const DWORD error = files->CheckDelete(path, where, *EffectiveToken(*call.machine)))
      return FailWith(error);
  }
  if (const DWORD error = files->CheckSharing(where.host, DELETE, 0))
    return FailWith(error);
  if (::unlink(where.host.c_str()) != 0)
    return FailWith(HostError(errno));
  files->store().Forget(path);
  return TRUE;
}

BOOL WINAPI CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES security) {
  auto call = EnterCall("CreateDirectoryW");
  if (call.fault)
    return FailWith(*call.fault);
  if (!name)
    return FailWith(ERROR_PATH_NOT_FOUND);
  auto files = call.machine->files();
  WindowsPath path;
  HostLocation where;
  if (const DWORD error = files->Resolve(name, false, path, where))
    return FailWith(error);
  if (where.exists)
    return FailWith(ERROR_ALREADY_EXISTS);
  if (files->ChecksDescriptors(path)) {
    if (const DWORD error = files->CheckCreate(path, *EffectiveToken(*call.machine), true))
      return FailWith(error);
  }
  if (::mkdir(where.host.c_str(), 0777) != 0)
    return FailWith(errno == EEXIST ? ERROR_ALREADY_EXISTS : HostError(errno));
  files->store().Forget(path);
  files->InheritOnHost(path, {where.host, true, true});
  StoreNewDescriptor(*files, path, {where.host, true, true}, security);
  return TRUE;
}

BOOL WINAPI RemoveDirectoryW(LPCWSTR name) {
  auto call = EnterCall("RemoveDirectoryW");
  if (call.fault)
    return FailWith(*call.fault);
  if (!name)
    return FailWith(ERROR_PATH_NOT_FOUND);
  auto files = call.machine->files();
  WindowsPath path;
  HostLocation where;
  if (const DWORD error = files->Resolve(name, false, path, where))
    return FailWith(error);
  if (!where.exists)
    return FailWith(ERROR_FILE_NOT_FOUND);
  if (!where.directory)
    return FailWith(ERROR_DIRECTORY);
  if (path.is_root())
    return FailWith(ERROR_ACCESS_DENIED);
  if (files->ChecksDescriptors(path)) {
    if (const DWORD error = files->CheckDelete(path, where, *EffectiveToken(*call.machine)))
      return FailWith(error);
  }
  if (::rmdir(where.host.c_str()) != 0)
    return FailWith(errno == EEXIST ? ERROR_DIR_NOT_EMPTY : HostError(errno));
  files->store().Forget(path);
  return TRUE;
}

DWORD WINAPI GetFileAttributesW(LPCWSTR name) {
  auto call = EnterCall("GetFileAttributesW");
  if (call.fault) {
    SetLastError(*call.fault);
    return INVALID_FILE_ATTRIBUTES;
  }
  WindowsPath path;
  HostLocation where;
  DWORD error = name ? call.machine->files()->Resolve(name, false, path, where)
                     : static_cast<DWORD>(ERROR_PATH_NOT_FOUND);
  struct stat st;
  if (error == ERROR_SUCCESS && (!where.exists || ::stat(where.host.c_str(), &st) != 0))
    error = ERROR_FILE_NOT_FOUND;
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return INVALID_FILE_ATTRIBUTES;
  }
  return AttributesOf(st);
}

HANDLE WINAPI FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
  auto call = EnterCall("FindFirstFileW");
  auto fail = [](DWORD error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  };
  if (call.fault)
    return fail(*call.fault);
  if (!pattern || !data)
    return fail(ERROR_INVALID_PARAMETER);
  auto files = call.machine->files();
  WindowsPath path;
  if (const DWORD error = files->volumes().Parse(pattern, files->current_directory(), true, path))
    return fail(error);
  // "dir\" names no entry; the pattern is the last component.
  if (path.trailing_separator || path.is_root())
    return fail(ERROR_FILE_NOT_FOUND);
  const std::wstring name_pattern = path.components.back();
  const WindowsPath directory = path.parent();
  HostLocation where;
  if (const DWORD error = Locate(directory, where))
    return fail(error);
  if (!where.exists || !where.directory)
    return fail(ERROR_PATH_NOT_FOUND);
  if (path.invalid_component != std::wstring::npos)
    return fail(ERROR_INVALID_NAME);
  if (files->ChecksDescriptors(directory)) {
    if (const DWORD error = files->CheckAccess(directory, where, *EffectiveToken(*call.machine),
                                               FILE_LIST_DIRECTORY))
      return fail(error);
  }

  auto find = std::make_shared<FindListing>();
  std::vector<std::pair<std::wstring, struct stat>> found;
  DIR* dir = ::opendir(where.host.c_str());
  if (!dir)
    return fail(HostError(errno));
  while (dirent* entry = ::readdir(dir)) {
    const std::string host_name = entry->d_name;
    // The root of a drive has no entries for itself and its parent.
    if ((host_name == "." || host_name == "..") && directory.is_root())
      continue;
    const std::wstring wide = Utf8ToWide(host_name);
    if (!WildcardMatch(name_pattern, wide))
      continue;
    struct stat st;
    if (::stat((where.host / host_name).c_str(), &st) != 0)
      continue;
    found.emplace_back(wide, st);
  }
  ::closedir(dir);
  // "." and ".." first, then in the order of the names without regard to case.
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
    auto rank = [](const std::wstring& n) { return n == L"." ? 0 : n == L".." ? 1 : 2; };
    if (rank(a.first) != rank(b.first))
      return rank(a.first) < rank(b.first);
    return UpperCase(a.first) < UpperCase(b.first);
  });
  if (found.empty())
    return fail(ERROR_FILE_NOT_FOUND);
  for (const auto& [wide, st] : found)
    find->entries.push_back(FindData(wide, st));
  *data = find->entries[0];
  find->next = 1;
  return call.machine->AddHandle(std::move(find));
}

BOOL WINAPI FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data) {
  auto call = EnterCall("FindNextFileW");
  if (call.fault)
    return FailWith(*call.fault);
  auto handle = std::dynamic_pointer_cast<FindListing>(call.machine->FindHandle(find));
  if (!handle)
    return FailWith(ERROR_INVALID_HANDLE);
  if (!data)
    return FailWith(ERROR_INVALID_PARAMETER);
  if (handle->next >= handle->entries.size())
    return FailWith(ERROR_NO_MORE_FILES);
  *data = handle->entries[handle->next++];
  return TRUE;
}

BOOL WINAPI FindClose(HANDLE find) {
  auto call = EnterCall("FindClose");
  if (call.fault)
    return FailWith(*call.fault);
  if (!std::dynamic_pointer_cast<FindListing>(call.machine->FindHandle(find)) ||
      !call.machine->RemoveHandle(find))
    return FailWith(ERROR_INVALID_HANDLE);
  return TRUE;
}

}  // extern "C"
