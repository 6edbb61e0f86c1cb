// Drive letters mapped onto host directories, and Windows paths read the way the platform reads
// them: drive roots, "\" for the root of the current drive, paths relative to the current
// directory, "/" as a separator too.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/standin/profile/machine_description.h"

namespace standin {

struct Volume {
  wchar_t letter = L'C';
  std::filesystem::path directory;
  std::wstring file_system;

  // FAT and exFAT keep no descriptors.
  bool keeps_security() const { return file_system.find(L"FAT") == std::wstring::npos; }
};

// A full Windows path on a volume: "C:\" and the components below it.
struct WindowsPath {
  const Volume* volume = nullptr;
  std::vector<std::wstring> components;
  // The first component holding a character names cannot hold, or npos.
  size_t invalid_component = std::wstring::npos;
  bool trailing_separator = false;

  bool is_root() const { return components.empty(); }
  // "C:\Data\x"; the root is "C:\".
  std::wstring text() const;
  // The text upper-cased, for comparing paths as the platform does.
  std::wstring key() const;
  WindowsPath parent() const;
  WindowsPath child(const std::wstring& name) const;
};

class VolumeTable {
 public:
  // The description's volumes, and Z: as the host's root unless the description maps it.
  explicit VolumeTable(const MachineDescription& description);

  const Volume* Find(wchar_t letter) const;
  const std::vector<Volume>& volumes() const { return volumes_; }

  // Reads `path` against `current_directory` (a full path such as "Z:\home"). Errors:
  // ERROR_PATH_NOT_FOUND (an empty path, an unknown drive), ERROR_BAD_NETPATH (a UNC path),
  // ERROR_INVALID_NAME (a drive that is not a letter). Wildcards are allowed in the last
  // component only when `wildcards` is set; any other bad character is recorded in
  // `invalid_component` for the walk to report where the platform would. A "\\?\" path is
  // taken as it is written: no name trimmed, "." and ".." no directories, "/" no separator.
  DWORD Parse(std::wstring_view path,
              std::wstring_view current_directory,
              bool wildcards,
              WindowsPath& out) const;
  // Whether Parse reads `path` without the current directory: a drive, a colon and a separator.
  static bool IsFullPath(std::wstring_view path) {
    return path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
  }

  // The Windows form of a host path: on the volume whose directory holds it (the deepest).
  std::optional<std::wstring> WindowsFormOf(const std::filesystem::path& host) const;

 private:
  // The rest of a "\\?\" path, which the platform hands to the file system as it is.
  DWORD ParseVerbatim(std::wstring_view text, bool wildcards, WindowsPath& out) const;

  std::vector<Volume> volumes_;
};

// Where a Windows path lies on the host, its components matched without regard to case.
struct HostLocation {
  std::filesystem::path host;
  bool exists = false;
  bool directory = false;
};

// Walks `path` on the host. Errors: ERROR_PATH_NOT_FOUND (the volume's directory or a
// directory on the way is missing, or is a file), ERROR_INVALID_NAME (a bad name met on the
// way). A missing last component is no error: `exists` is false. `found`, when given, receives
// the statx (links followed) that found an existing object, else a zero stx_mask.
DWORD Locate(const WindowsPath& path, HostLocation& out, struct statx* found = nullptr);

// The name the platform gives the host file system under `directory`: "FAT32", "exFAT",
// "NTFS" for the others.
std::wstring HostFileSystemName(const std::filesystem::path& directory);

// True when `name` matches the wildcard `pattern` (* and ?), without regard to case.
bool WildcardMatch(std::wstring_view pattern, std::wstring_view name);

}  // namespace standin
