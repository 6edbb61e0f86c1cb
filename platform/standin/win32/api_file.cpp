// Kernel file services: volume information, the platform version, file creation and deletion,
// directories, attributes and directory enumeration.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwchar>

#include "platform/standin/core/text.h"
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

// CreateFileW's work, for it and CreateFileA.
DWORD OpenOrCreate(Machine& machine,
                   LPCWSTR name,
                   DWORD access,
                   DWORD share_mode,
                   LPSECURITY_ATTRIBUTES security,
                   DWORD disposition,
                   DWORD flags_and_attributes,
                   HANDLE& handle) {
  if (!name)
    return ERROR_PATH_NOT_FOUND;
  const auto given = GivenSecurity(security);
  OpenRequest request;
  // CreateFileW always asks for SYNCHRONIZE and FILE_READ_ATTRIBUTES besides what it is given.
  request.access = access | SYNCHRONIZE | FILE_READ_ATTRIBUTES;
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
}

// The temporary directory in a caller's buffer of `length` characters: the length written, or
// when it does not fit (the buffer left alone) the length it needs with its terminator.
template <typename Char>
DWORD CopyTempPath(const std::basic_string<Char>& path, DWORD length, Char* buffer) {
  if (!buffer || length <= path.size())
    return static_cast<DWORD>(path.size() + 1);
  std::copy(path.begin(), path.end(), buffer);
  buffer[path.size()] = 0;
  return static_cast<DWORD>(path.size());
}

// GetTempFileNameW's work: "PATH\PREuuuu.tmp" with the first three characters of `prefix` and
// `unique` (its low 16 bits) in hexadecimal. Unique 0 picks a number whose file does not exist
// yet and creates the file; any other number only makes the name.
DWORD TempFileName(Machine& machine,
                   std::wstring_view path,
                   const wchar_t* prefix,
                   UINT unique,
                   std::wstring& name,
                   UINT& used) {
  constexpr size_t kRoomForName = 15;  // separator, prefix, four digits, ".tmp", terminator
  if (path.size() > MAX_PATH - kRoomForName)
    return ERROR_BUFFER_OVERFLOW;
  std::wstring stem(path);
  if (stem.empty() || (stem.back() != L'\\' && stem.back() != L'/'))
    stem += L'\\';
  for (int i = 0; prefix && i < 3 && prefix[i]; ++i)
    stem += prefix[i];
  auto name_of = [&](UINT number) {
    wchar_t digits[8];
    std::swprintf(digits, 8, L"%X", number);
    return stem + digits + L".tmp";
  };
  unique &= 0xffff;
  if (unique) {
    name = name_of(unique);
    used = unique;
    return ERROR_SUCCESS;
  }
  static std::atomic<UINT> counter{static_cast<UINT>(::getpid())};
  auto files = machine.files();
  for (UINT tries = 0; tries < 0xffff; ++tries) {
    UINT next = (counter.fetch_add(1) + 1) & 0xffff;
    if (!next)
      next = 1;
    const std::wstring candidate = name_of(next);
    OpenRequest request;
    request.access = GENERIC_WRITE | SYNCHRONIZE | FILE_READ_ATTRIBUTES;
    request.disposition = CREATE_NEW;
    std::shared_ptr<OpenFile> file;
    bool existed = false;
    const DWORD error = files->Open(candidate, *EffectiveToken(machine), request, file, existed);
    if (error == ERROR_SUCCESS) {
      FileHandle close_now(file, files);
      name = candidate;
      used = next;
      return ERROR_SUCCESS;
    }
    if (error != ERROR_FILE_EXISTS && error != ERROR_SHARING_VIOLATION)
      return error;
  }
  return ERROR_FILE_EXISTS;
}

// The result of GetTempFileName: the name in the caller's buffer (MAX_PATH characters), the
// number used, or 0 with the last error.
template <typename Char, typename Convert>
UINT TempFileNameCall(const char* call_name,
                      bool given,
                      const std::wstring& path,
                      const wchar_t* prefix,
                      UINT unique,
                      Char* out,
                      Convert convert) {
  auto call = EnterCall(call_name);
  DWORD error = call.fault ? *call.fault : ERROR_SUCCESS;
  std::wstring name;
  UINT used = 0;
  if (!error)
    error = !given || !out ? static_cast<DWORD>(ERROR_INVALID_PARAMETER)
                           : TempFileName(*call.machine, path, prefix, unique, name, used);
  if (error) {
    SetLastError(error);
    return 0;
  }
  const auto text = convert(name);
  std::copy(text.begin(), text.end(), out);
  out[text.size()] = 0;
  return used;
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
                          HANDLE) {
  return HandleCall("CreateFileW", [&](Machine& machine, HANDLE& handle) -> DWORD {
    return OpenOrCreate(machine, name, access, share_mode, security, disposition,
                        flags_and_attributes, handle);
  });
}

HANDLE WINAPI CreateFileA(LPCSTR name,
                          DWORD access,
                          DWORD share_mode,
                          LPSECURITY_ATTRIBUTES security,  // as CreateFileW takes it
                          DWORD disposition,
                          DWORD flags_and_attributes,
                          HANDLE) {
  return HandleCall("CreateFileA", [&](Machine& machine, HANDLE& handle) -> DWORD {
    const std::wstring wide = name ? AnsiToWide(name) : std::wstring();
    return OpenOrCreate(machine, name ? wide.c_str() : nullptr, access, share_mode, security,
                        disposition, flags_and_attributes, handle);
  });
}

BOOL WINAPI DeleteFileW(LPCWSTR name) {
  return BoolCall("DeleteFileW", [&](Machine& machine) -> DWORD {
    if (!name)
      return ERROR_PATH_NOT_FOUND;
    return machine.files()->DeleteFile(name, *EffectiveToken(machine));
  });
}

BOOL WINAPI DeleteFileA(LPCSTR name) {
  return BoolCall("DeleteFileA", [&](Machine& machine) -> DWORD {
    if (!name)
      return ERROR_PATH_NOT_FOUND;
    return machine.files()->DeleteFile(AnsiToWide(name), *EffectiveToken(machine));
  });
}

DWORD WINAPI GetTempPathW(DWORD length, LPWSTR buffer) {
  auto call = EnterCall("GetTempPathW");
  if (call.fault) {
    SetLastError(*call.fault);
    return 0;
  }
  return CopyTempPath(call.machine->files()->temp_directory(), length, buffer);
}

DWORD WINAPI GetTempPathA(DWORD length, LPSTR buffer) {
  auto call = EnterCall("GetTempPathA");
  if (call.fault) {
    SetLastError(*call.fault);
    return 0;
  }
  return CopyTempPath(WideToAnsi(call.machine->files()->temp_directory()), length, buffer);
}

UINT WINAPI GetTempFileNameW(LPCWSTR path, LPCWSTR prefix, UINT unique, LPWSTR name) {
  return TempFileNameCall("GetTempFileNameW", path != nullptr, path ? path : L"", prefix, unique,
                          name, [](const std::wstring& w) { return w; });
}

UINT WINAPI GetTempFileNameA(LPCSTR path, LPCSTR prefix, UINT unique, LPSTR name) {
  const std::wstring wide_prefix = prefix ? AnsiToWide(prefix) : std::wstring();
  return TempFileNameCall("GetTempFileNameA", path != nullptr, path ? AnsiToWide(path) : L"",
                          prefix ? wide_prefix.c_str() : nullptr, unique, name,
                          [](const std::wstring& w) { return WideToAnsi(w); });
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
