// Privileges: the platform's table of privilege names and LUIDs, and the privileges a token
// holds with their attributes, adjusted in place as the platform adjusts them.
#pragma once

#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/standin/win32api.h"

namespace standin {

// The LUID of a privilege's name (ignoring case); nullopt for a name the platform lacks.
std::optional<DWORD> PrivilegeValue(std::wstring_view name);
// The name of a privilege's LUID; nullptr for a LUID that is no privilege.
const wchar_t* PrivilegeName(LUID luid);

// The privileges of one token. Copies are independent, as a duplicated token's are; every
// handle to the same token sees the same privileges.
class HeldPrivileges {
 public:
  HeldPrivileges() = default;
  HeldPrivileges(const HeldPrivileges& other);
  HeldPrivileges& operator=(const HeldPrivileges& other);

  // Adds a privilege (no effect when held already).
  void Add(DWORD luid, DWORD attributes);
  bool Holds(DWORD luid) const;
  bool Enabled(DWORD luid) const;
  // Every privilege held, in the order they were added.
  std::vector<LUID_AND_ATTRIBUTES> List() const;

  // AdjustTokenPrivileges: with `disable_all` every privilege is disabled, else each of
  // `changes` is enabled, disabled or removed as its attributes say. `previous` receives the
  // earlier state of what changed. Returns ERROR_SUCCESS, or ERROR_NOT_ALL_ASSIGNED when a
  // privilege asked for is not held (the others are still changed).
  DWORD Adjust(bool disable_all,
               const std::vector<LUID_AND_ATTRIBUTES>& changes,
               std::vector<LUID_AND_ATTRIBUTES>& previous);
  // What Adjust would report as the earlier state, without changing anything.
  std::vector<LUID_AND_ATTRIBUTES> WouldChange(
      bool disable_all,
      const std::vector<LUID_AND_ATTRIBUTES>& changes) const;

 private:
  mutable std::mutex mutex_;
  std::vector<LUID_AND_ATTRIBUTES> entries_;
};

}  // namespace standin
