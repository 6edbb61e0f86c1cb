#include "platform/standin/identity/privileges.h"

#include <algorithm>

#include "platform/standin/core/text.h"

namespace standin {

namespace {

// The well-known privileges by LUID, from SE_MIN_WELL_KNOWN_PRIVILEGE on (wdm.h); the names are
// winnt.h's SE_*_NAME texts.
const wchar_t* const kPrivilegeNames[] = {
    L"SeCreateTokenPrivilege",
    L"SeAssignPrimaryTokenPrivilege",
    L"SeLockMemoryPrivilege",
    L"SeIncreaseQuotaPrivilege",
    L"SeMachineAccountPrivilege",
    L"SeTcbPrivilege",
    L"SeSecurityPrivilege",
    L"SeTakeOwnershipPrivilege",
    L"SeLoadDriverPrivilege",
    L"SeSystemProfilePrivilege",
    L"SeSystemtimePrivilege",
    L"SeProfileSingleProcessPrivilege",
    L"SeIncreaseBasePriorityPrivilege",
    L"SeCreatePagefilePrivilege",
    L"SeCreatePermanentPrivilege",
    L"SeBackupPrivilege",
    L"SeRestorePrivilege",
    L"SeShutdownPrivilege",
    L"SeDebugPrivilege",
    L"SeAuditPrivilege",
    L"SeSystemEnvironmentPrivilege",
    L"SeChangeNotifyPrivilege",
    L"SeRemoteShutdownPrivilege",
    L"SeUndockPrivilege",
    L"SeSyncAgentPrivilege",
    L"SeEnableDelegationPrivilege",
    L"SeManageVolumePrivilege",
    L"SeImpersonatePrivilege",
    L"SeCreateGlobalPrivilege",
    L"SeTrustedCredManAccessPrivilege",
    L"SeRelabelPrivilege",
    L"SeIncreaseWorkingSetPrivilege",
    L"SeTimeZonePrivilege",
    L"SeCreateSymbolicLinkPrivilege",
};
static_assert(std::size(kPrivilegeNames) ==
              SE_MAX_WELL_KNOWN_PRIVILEGE - SE_MIN_WELL_KNOWN_PRIVILEGE + 1);

LUID_AND_ATTRIBUTES Entry(DWORD luid, DWORD attributes) {
  return {{luid, 0}, attributes};
}

}  // namespace

std::optional<DWORD> PrivilegeValue(std::wstring_view name) {
  for (size_t i = 0; i < std::size(kPrivilegeNames); ++i) {
    if (NamesEqual(name, kPrivilegeNames[i]))
      return static_cast<DWORD>(SE_MIN_WELL_KNOWN_PRIVILEGE + i);
  }
  return std::nullopt;
}

const wchar_t* PrivilegeName(LUID luid) {
  if (luid.HighPart != 0 || luid.LowPart < SE_MIN_WELL_KNOWN_PRIVILEGE ||
      luid.LowPart > SE_MAX_WELL_KNOWN_PRIVILEGE)
    return nullptr;
  return kPrivilegeNames[luid.LowPart - SE_MIN_WELL_KNOWN_PRIVILEGE];
}

HeldPrivileges::HeldPrivileges(const HeldPrivileges& other) : entries_(other.List()) {}

HeldPrivileges& HeldPrivileges::operator=(const HeldPrivileges& other) {
  if (this != &other) {
    auto entries = other.List();
    std::lock_guard lock(mutex_);
    entries_ = std::move(entries);
  }
  return *this;
}

void HeldPrivileges::Add(DWORD luid, DWORD attributes) {
  std::lock_guard lock(mutex_);
  for (const auto& e : entries_) {
    if (e.Luid.LowPart == luid)
      return;
  }
  entries_.push_back(Entry(luid, attributes));
}

bool HeldPrivileges::Holds(DWORD luid) const {
  std::lock_guard lock(mutex_);
  return std::any_of(entries_.begin(), entries_.end(),
                     [&](const auto& e) { return e.Luid.LowPart == luid; });
}

bool HeldPrivileges::Enabled(DWORD luid) const {
  std::lock_guard lock(mutex_);
  return std::any_of(entries_.begin(), entries_.end(), [&](const auto& e) {
    return e.Luid.LowPart == luid && (e.Attributes & SE_PRIVILEGE_ENABLED);
  });
}

std::vector<LUID_AND_ATTRIBUTES> HeldPrivileges::List() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

std::vector<LUID_AND_ATTRIBUTES> HeldPrivileges::WouldChange(
    bool disable_all,
    const std::vector<LUID_AND_ATTRIBUTES>& changes) const {
  HeldPrivileges copy(*this);
  std::vector<LUID_AND_ATTRIBUTES> previous;
  copy.Adjust(disable_all, changes, previous);
  return previous;
}

DWORD HeldPrivileges::Adjust(bool disable_all,
                             const std::vector<LUID_AND_ATTRIBUTES>& changes,
                             std::vector<LUID_AND_ATTRIBUTES>& previous) {
  std::lock_guard lock(mutex_);
  previous.clear();
  // Only the enabled bit changes; a privilege whose state stays as it is is not reported.
  auto set = [&](LUID_AND_ATTRIBUTES& held, bool enable) {
    const bool enabled = held.Attributes & SE_PRIVILEGE_ENABLED;
    if (enabled == enable)
      return;
    previous.push_back(held);
    held.Attributes = enable ? held.Attributes | SE_PRIVILEGE_ENABLED
                             : held.Attributes & ~static_cast<DWORD>(SE_PRIVILEGE_ENABLED);
  };
  if (disable_all) {
    for (auto& held : entries_)
      set(held, false);
    return ERROR_SUCCESS;
  }
  DWORD result = ERROR_SUCCESS;
  for (const auto& change : changes) {
    const auto held = std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) {
      return e.Luid.LowPart == change.Luid.LowPart && e.Luid.HighPart == change.Luid.HighPart;
    });
    if (held == entries_.end()) {
      result = ERROR_NOT_ALL_ASSIGNED;
      continue;
    }
    if (change.Attributes & SE_PRIVILEGE_REMOVED) {
      previous.push_back(*held);
      entries_.erase(held);
      continue;
    }
    set(*held, change.Attributes & SE_PRIVILEGE_ENABLED);
  }
  return result;
}

}  // namespace standin
