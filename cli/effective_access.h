// What an account may do to an object, and why: Authz client contexts for any account, the
// access check on a file's or key's descriptor, and the lines that explain a decision.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"

// An Authz client context for one account, with the resource manager it was made under.
class AccountContext {
 public:
  // Resolves `account` (a name, DOMAIN\name or S-1-...) and makes its context; on failure
  // `error` holds the platform's code and the object holds nothing.
  explicit AccountContext(const std::wstring& account);
  ~AccountContext();
  AccountContext(const AccountContext&) = delete;
  AccountContext& operator=(const AccountContext&) = delete;

  bool valid() const { return context_ != nullptr; }
  DWORD error() const { return error_; }
  AUTHZ_CLIENT_CONTEXT_HANDLE get() const { return context_; }
  // The account's qualified name as the lookup reports it.
  const std::wstring& name() const { return name_; }

  // Whether the account passes through directories it may not traverse (the platform's
  // SeChangeNotifyPrivilege, held enabled); without it every directory above an object must
  // grant FILE_TRAVERSE.
  bool bypasses_traverse() const { return bypasses_traverse_; }

  // AuthzAccessCheck of `desired` on `descriptor`: ERROR_SUCCESS, ERROR_ACCESS_DENIED or the
  // code of the failure; `granted` receives the granted rights.
  DWORD Check(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK desired, ACCESS_MASK& granted) const;

 private:
  AUTHZ_RESOURCE_MANAGER_HANDLE manager_ = nullptr;
  AUTHZ_CLIENT_CONTEXT_HANDLE context_ = nullptr;
  DWORD error_ = ERROR_SUCCESS;
  std::wstring name_;
  bool bypasses_traverse_ = false;
};

// A descriptor (owner, group and DACL) read by name, released with LocalFree.
struct ObjectDescriptor {
  ObjectDescriptor() = default;
  ~ObjectDescriptor();
  ObjectDescriptor(const ObjectDescriptor&) = delete;
  ObjectDescriptor& operator=(const ObjectDescriptor&) = delete;
  PSECURITY_DESCRIPTOR get() const { return descriptor_; }
  // Reads the descriptor of `name` (a path, or MACHINE\... / CURRENT_USER\... for keys).
  DWORD Read(const std::wstring& name, SE_OBJECT_TYPE type);

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

// Whether the account may reach the object `path` names: true when it bypasses traverse
// checking, or every directory above the object grants it FILE_TRAVERSE. `error` receives the
// code of a directory whose descriptor cannot be read.
bool Reachable(const AccountContext& context, const std::wstring& path, DWORD& error);

// The lines that say why a check decided as it did: the owner's implicit rights, privileges
// used, each DACL entry that applied with the SID it matched through, and the bits missing.
// `token_or_context` is a token handle (with `mapping`) or an Authz context (mapping null).
std::vector<std::wstring> ExplainLines(HANDLE token_or_context,
                                       PSECURITY_DESCRIPTOR descriptor,
                                       ACCESS_MASK desired,
                                       const GENERIC_MAPPING* mapping);

// The mask as the explanation writes it: 0x followed by eight hex digits.
std::wstring MaskText(ACCESS_MASK mask);
