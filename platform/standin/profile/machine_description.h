// What a machine is made of: the stand-in's C++ description of a Windows machine. Profiles
// (JSON) and the host mirror are read into it; tests write it directly.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/standin/core/text.h"
#include "platform/standin/win32api.h"

namespace standin {

// A profile or description that cannot make a machine; `key()` names where the fault lies. Both
// are quoted as excerpts, so that a hostile input is never repeated whole.
class ProfileError : public std::runtime_error {
 public:
  ProfileError(const std::string& key, const std::string& message)
      : std::runtime_error(Excerpt(key, 96) + ": " + Excerpt(message, 240)),
        key_(Excerpt(key, 96)) {}
  const std::string& key() const { return key_; }

 private:
  std::string key_;
};

struct UserDescription {
  std::wstring name;
  std::optional<DWORD> rid;
};

// A group and its member references, in listing order.
struct GroupDescription {
  std::wstring name;
  std::vector<std::wstring> members;
  std::optional<DWORD> rid = std::nullopt;  // a local group's RID; the next free one when not given
};

struct DomainDescription {
  std::wstring name;
  std::optional<std::wstring> sid;
  // What NetGetDCName returns, such as "\\DC01"; none means the domain is offline.
  std::optional<std::wstring> controller;
  std::vector<UserDescription> users;
  std::vector<GroupDescription> groups;
};

// A platform call made to fail with `error` after `skip` successful calls, `times` times
// (every call after `skip` when unset).
struct FaultDescription {
  std::string call;
  DWORD error = 0;
  unsigned skip = 0;
  std::optional<unsigned> times;
};

// A drive letter mapped onto a host directory.
struct VolumeDescription {
  wchar_t letter = L'C';  // upper case
  std::filesystem::path directory;
  std::wstring file_system = L"NTFS";
};

// A registry value of a profile: SDDL stored as its self-relative bytes, or raw bytes.
struct RegistryValueDescription {
  std::wstring name;
  std::optional<DWORD> type;  // REG_BINARY when not given
  std::optional<std::wstring> sddl;
  std::vector<BYTE> bytes;
};

// A registry key by its path ("HKLM\Software\Example"), with its descriptor and values.
struct RegistryKeyDescription {
  std::wstring path;
  std::optional<std::wstring> sddl;  // inherited from the parent key when not given
  std::vector<RegistryValueDescription> values;
};

struct MachineDescription {
  std::wstring computer = L"WORKSTATION";
  std::optional<std::wstring> machine_sid;
  DWORD version_major = 10;
  DWORD version_minor = 0;
  // A reference: name, DOMAIN\name or S-1-... .
  std::wstring user = L"Administrator";
  bool elevated = true;
  std::vector<UserDescription> users;
  // Groups given replace the members of the built-in alias of that name, or create a local group.
  std::vector<GroupDescription> groups;
  // SID string to the account name that lookups report for it.
  std::vector<std::pair<std::wstring, std::wstring>> names;
  std::vector<DomainDescription> domains;
  // The domain of `domains` the computer belongs to; none when not given.
  std::optional<std::wstring> domain;
  std::vector<FaultDescription> faults;
  // Extra privileges by account reference (privilege names), for tokens of those accounts.
  std::vector<std::pair<std::wstring, std::vector<std::wstring>>> privileges;
  // Message texts by code; nullopt removes a code's text.
  std::vector<std::pair<DWORD, std::optional<std::wstring>>> messages;
  // The folder that relative host paths of the description are taken from.
  std::filesystem::path base_directory;
  // Drives; Z: is the host's root unless given here.
  std::vector<VolumeDescription> volumes;
  // Descriptors of files and directories: Windows path and SDDL, kept for the run.
  std::vector<std::pair<std::wstring, std::wstring>> security;
  // Registry keys, kept for the run.
  std::vector<RegistryKeyDescription> registry;
  // The database that holds the registry across runs; empty: in memory for the run.
  std::filesystem::path registry_database;
  // The host itself: file descriptors live with the files, and file operations are the host's.
  bool host_mirror = false;
  // On the host: the gids the kernel gives the process. Its token then holds these groups (by
  // the host's SID scheme) instead of the computer's groups whose member lists name the user.
  std::optional<std::vector<std::uint32_t>> token_gids;
};

}  // namespace standin
