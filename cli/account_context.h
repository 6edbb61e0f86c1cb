// Another account as the access checks see it: an Authz client context made from its SID, the
// subject the access walk reads from it, and whether it reaches an object through the
// directories above it.
#pragma once

#include <optional>
#include <string>

#include "cli/access_walk.h"
#include "cli/target.h"
#include "platform/win32.h"
#include "security/scoped_platform.h"

class AccountContext {
 public:
  // Resolves `account` (a name, DOMAIN\name or S-1-...) and makes its context; on failure
  // `error` holds the platform's code and the object holds nothing.
  explicit AccountContext(const std::wstring& account);

  bool valid() const { return subject_.has_value(); }
  DWORD error() const { return error_; }
  // The account's qualified name as the lookup reports it.
  const std::wstring& name() const { return name_; }
  const AccessSubject& subject() const { return *subject_; }

  // Whether the account passes through directories it may not traverse (the platform's
  // SeChangeNotifyPrivilege, held enabled); without it every directory above an object must
  // grant FILE_TRAVERSE.
  bool bypasses_traverse() const { return bypasses_traverse_; }

  // AuthzAccessCheck of `desired` on `descriptor`: ERROR_SUCCESS, ERROR_ACCESS_DENIED or the
  // code of the failure; `granted` receives the granted rights.
  DWORD Check(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK desired, ACCESS_MASK& granted) const;

 private:
  static void FreeManager(AUTHZ_RESOURCE_MANAGER_HANDLE manager) {
    AuthzFreeResourceManager(manager);
  }
  static void FreeContext(AUTHZ_CLIENT_CONTEXT_HANDLE context) { AuthzFreeContext(context); }

  // The context is freed before the manager it was made under.
  vortiss::ScopedPlatform<AUTHZ_RESOURCE_MANAGER_HANDLE, FreeManager> manager_;
  vortiss::ScopedPlatform<AUTHZ_CLIENT_CONTEXT_HANDLE, FreeContext> context_;
  std::optional<AccessSubject> subject_;
  DWORD error_ = ERROR_SUCCESS;
  std::wstring name_;
  bool bypasses_traverse_ = false;
};

// Whether the account may reach `target`: true when it bypasses traverse checking, or every
// directory above it grants it FILE_TRAVERSE. `error` receives the code of a directory whose
// descriptor cannot be read, or of a check that failed.
bool Reachable(const AccountContext& context, const Target& target, DWORD& error);
