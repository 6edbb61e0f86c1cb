#include "cli/privileges.h"

#include <cstddef>

PrivilegeScope::PrivilegeScope(std::initializer_list<const wchar_t*> names) {
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                        token_.receive()))
    return;
  std::vector<BYTE> wanted(offsetof(TOKEN_PRIVILEGES, Privileges) +
                           names.size() * sizeof(LUID_AND_ATTRIBUTES));
  auto* state = reinterpret_cast<TOKEN_PRIVILEGES*>(wanted.data());
  auto* entries = reinterpret_cast<LUID_AND_ATTRIBUTES*>(wanted.data() +
                                                         offsetof(TOKEN_PRIVILEGES, Privileges));
  DWORD count = 0;
  for (const wchar_t* name : names) {
    LUID luid;
    if (LookupPrivilegeValueW(nullptr, name, &luid))
      entries[count++] = {luid, SE_PRIVILEGE_ENABLED};
  }
  state->PrivilegeCount = count;
  // The earlier state has at most one entry per privilege asked for.
  previous_.resize(wanted.size());
  DWORD length = 0;
  if (count == 0 ||
      !AdjustTokenPrivileges(token_.get(), FALSE, state, static_cast<DWORD>(previous_.size()),
                             reinterpret_cast<TOKEN_PRIVILEGES*>(previous_.data()), &length))
    previous_.clear();
}

PrivilegeScope::~PrivilegeScope() {
  if (!token_ || previous_.empty())
    return;
  auto* previous = reinterpret_cast<TOKEN_PRIVILEGES*>(previous_.data());
  if (previous->PrivilegeCount > 0)
    AdjustTokenPrivileges(token_.get(), FALSE, previous, 0, nullptr, nullptr);
}
