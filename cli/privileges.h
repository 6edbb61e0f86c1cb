// Privileges the host enables for one step, as the platform's own tools do before they take or
// assign ownership, and gives back as they were.
#pragma once

#include <initializer_list>
#include <vector>

#include "platform/win32.h"
#include "security/scoped_platform.h"

// Enables those of `names` that the process token holds, while it lives; the token is left as
// it was found when it ends. Privileges the token lacks are passed over: the step then fails as
// the platform says.
class PrivilegeScope {
 public:
  explicit PrivilegeScope(std::initializer_list<const wchar_t*> names);
  ~PrivilegeScope();
  PrivilegeScope(const PrivilegeScope&) = delete;
  PrivilegeScope& operator=(const PrivilegeScope&) = delete;

 private:
  vortiss::ScopedHandle token_;
  // The earlier state of what was changed, in the layout AdjustTokenPrivileges writes.
  std::vector<BYTE> previous_;
};
