// Kernel file services: volume information, the platform version, file creation and deletion,
// directories, attributes and directory enumeration.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/standin/win32/api_support.h"
#include "platform/standin/win32/handles.h"

using namespace standin;

namespace {

// The descriptor of a caller's SECURITY_ATTRIBUTES; none when it gives none or one that does
// not read as a descriptor.
std::optional<OwnedDescriptor> GivenSecurity(const SECURITY_ATTRIBUTES* security) {
  OwnedDescriptor sd;
  if (!security || ReadCallerDescriptor(security->lpSecurityDescriptor, sd) != ERROR_SUCCESS)
    return std::nullopt;
  return sd;
}

}  // namespace

namespace standin {

FileHandle::FileHandle(std::shared_ptr<OpenFile> f, std::weak_ptr<FileSystem> fs)
    : file(std::move(f)), files(std::move(fs)) {}

FileHandle::~FileHandle() {
  if (auto fs = files.lock())
    fs->Closed(*file);
  if (file->fd >= 0)
    ::close(file->fd);
}

}  // namespace standin

extern "C" {

BOOL WINAPI GetVolumeInformationW(LPCWSTR root,
                                  LPWSTR volume_name,
                                  DWORD volume_name_size,
                                  LPDWORD serial_number,
                                  LPDWORD max_component_length,
                                  LPDWORD file_system_flags,
                                  LPWSTR file_system_name,
                                  DWORD file_system_name_size) {
  return BoolCall("GetVolumeInformationW", [&](Machine& machine) -> DWORD {
    const Volume* volume = nullptr;
    if (const DWORD error = machine.files()->VolumeOfRoot(root, volume))
      return error;
    struct stat st;
    if (::stat(volume->directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      return ERROR_NOT_READY;
    const std::wstring label;
    if ((volume_name && volume_name_size < label.size() + 1) ||
        (file_system_name && file_system_name_size < volume->file_system.size() + 1))
      return ERROR_BAD_LENGTH;
    if (volume_name)
      std::wcscpy(volume_name, label.c_str());
    if (file_system_name)
      std::wcscpy(file_system_name, volume->file_system.c_str());
    if (serial_number)
      *serial_number = static_cast<DWORD>(st.st_dev * 2654435761u) ^ volume->letter;
    if (max_component_length)
      *max_component_length = 255;
    if (file_system_flags) {
      *file_system_flags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
      if (volume->keeps_security())
        *file_system_flags |= FILE_CASE_SENSITIVE_SEARCH | FILE_PERSISTENT_ACLS;
    }
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW info) {
  return BoolCall("GetVersionExW", [&](Machine& machine) -> DWORD {
    if (!info)
      return ERROR_INVALID_PARAMETER;
    // The platform refuses any size but its record's with ERROR_INSUFFICIENT_BUFFER.
    if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW))
      return ERROR_INSUFFICIENT_BUFFER;
    const auto& d = machine.description();
    info->dwMajorVersion = d.version_major;
    info->dwMinorVersion = d.version_minor;
    info->dwBuildNumber = d.version_major >= 10 ? 19045 : 0;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    std::fill(std::begin(info->szCSDVersion), std::end(info->szCSDVersion), L'\0');
    return ERROR_SUCCESS;
  });
}

HANDLE WINAPI CreateFileW(LPCWSTR name,
                          DWORD access,
                          DWORD share_mode,
                          LPSECURITY_ATTRIBUTES security,
                          DWORD disposition,
                          DWORD flags_and_attributes,
                          HANDLE template_file) {
  (void)template_file;
  return HandleCall("CreateFileW", [&](Machine& machine, HANDLE& handle) -> DWORD {
    if (!name)
      return ERROR_PATH_NOT_FOUND;
    const auto given = GivenSecurity(security);
    OpenRequest request;
    request.access = access;
    request.share = share_mode;
    request.disposition = disposition;
    request.delete_on_close = flags_and_attributes & FILE_FLAG_DELETE_ON_CLOSE;
    request.backup_semantics = flags_and_attributes & FILE_FLAG_BACKUP_SEMANTICS;
    request.security = given ? &*given : nullptr;
    auto files = machine.files();
    std::shared_ptr<OpenFile> file;
    bool existed = false;
    if (const DWORD error = files->Open(name, *EffectiveToken(machine), request, file, existed))
      return error;
    handle = machine.AddHandle(std::make_shared<FileHandle>(file, files));
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI DeleteFileW(LPCWSTR name) {
  return BoolCall("DeleteFileW", [&](Machine& machine) -> DWORD {
    if (!name)
      return ERROR_PATH_NOT_FOUND;
    return machine.files()->DeleteFile(name, *EffectiveToken(machine));
  });
}

BOOL WINAPI CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES security) {
  return BoolCall("CreateDirectoryW", [&](Machine& machine) -> DWORD {
    if (!name)
      return ERROR_PATH_NOT_FOUND;
    const auto given = GivenSecurity(security);
    return machine.files()->CreateDirectory(name, *EffectiveToken(machine),
                                            given ? &*given : nullptr);
  });
}

BOOL WINAPI RemoveDirectoryW(LPCWSTR name) {
  return BoolCall("RemoveDirectoryW", [&](Machine& machine) -> DWORD {
    if (!name)
      return ERROR_PATH_NOT_FOUND;
    return machine.files()->RemoveDirectory(name, *EffectiveToken(machine));
  });
}

DWORD WINAPI GetFileAttributesW(LPCWSTR name) {
  auto call = EnterCall("GetFileAttributesW");
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  const DWORD error = call.fault ? *call.fault
                      : name     ? call.machine->files()->Attributes(name, attributes)
                                 : static_cast<DWORD>(ERROR_PATH_NOT_FOUND);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return INVALID_FILE_ATTRIBUTES;
  }
  return attributes;
}

HANDLE WINAPI FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
  return HandleCall("FindFirstFileW", [&](Machine& machine, HANDLE& handle) -> DWORD {
    if (!pattern || !data)
      return ERROR_INVALID_PARAMETER;
    auto find = std::make_shared<FindListing>();
    if (const DWORD error = machine.files()->List(pattern, *EffectiveToken(machine), find->entries))
      return error;
    *data = find->entries[0];
    find->next = 1;
    handle = machine.AddHandle(std::move(find));
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data) {
  return BoolCall("FindNextFileW", [&](Machine& machine) -> DWORD {
    auto handle = std::dynamic_pointer_cast<FindListing>(machine.FindHandle(find));
    if (!handle)
      return ERROR_INVALID_HANDLE;
    if (!data)
      return ERROR_INVALID_PARAMETER;
    if (handle->next >= handle->entries.size())
      return ERROR_NO_MORE_FILES;
    *data = handle->entries[handle->next++];
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI FindClose(HANDLE find) {
  return BoolCall("FindClose", [&](Machine& machine) -> DWORD {
    if (!std::dynamic_pointer_cast<FindListing>(machine.FindHandle(find)) ||
        !machine.RemoveHandle(find))
      return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
  });
}

}  // extern "C"
