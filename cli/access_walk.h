// The access check's walk over a descriptor, written over the Win32 API: who asks (the user,
// groups and privileges of a token or an Authz client context) and what each DACL entry gives
// or takes, in order, with the owner's implicit rights and the rights privileges grant. It
// follows the platform's rules and nothing of its own: a test holds its verdict to AccessCheck
// and AuthzAccessCheck.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "platform/win32.h"

// Who asks, as the access check sees them.
class AccessSubject {
 public:
  // Read from a token (TokenUser, TokenGroups, TokenPrivileges), or from an Authz client
  // context (its user, groups and privileges); nothing, with `error`, when it cannot be read.
  static std::optional<AccessSubject> OfToken(HANDLE token, DWORD& error);
  static std::optional<AccessSubject> OfContext(AUTHZ_CLIENT_CONTEXT_HANDLE context, DWORD& error);

  PSID user() const { return const_cast<BYTE*>(user_.sid.data()); }
  // True when the subject holds `sid` for allow entries (the user, or an enabled group) or, with
  // `for_deny`, for deny entries (also a group held for deny only).
  bool Holds(PSID sid, bool for_deny) const;
  // True when `sid` is one of the subject's groups, whatever its attributes say.
  bool ListsGroup(PSID sid) const;
  bool PrivilegeEnabled(DWORD luid) const;

 private:
  struct Held {
    std::vector<BYTE> sid;
    DWORD attributes = 0;  // SE_GROUP_*
  };
  static bool Counts(const Held& held, bool for_deny);
  // The three classes that `read_class(which, data, size, needed)` reads, 0 to 2: the user, the
  // groups and the privileges, each laid out as its token information class.
  template <typename ReadClass>
  static std::optional<AccessSubject> Read(ReadClass read_class, DWORD& error);

  Held user_;
  std::vector<Held> groups_;
  std::vector<LUID_AND_ATTRIBUTES> privileges_;
};

// One DACL entry that applied to the subject, in the order the walk met it.
struct AccessStep {
  DWORD index = 0;  // the entry's place in the DACL, from 0
  bool deny = false;
  std::vector<BYTE> sid;      // the entry's SID
  bool through_user = false;  // matched the user (or, for OWNER RIGHTS, the owner)
  ACCESS_MASK effect = 0;     // the bits it granted or denied that no earlier entry decided
};

// The walk and its verdict.
struct AccessWalk {
  // ERROR_SUCCESS (granted), ERROR_ACCESS_DENIED, or ERROR_PRIVILEGE_NOT_HELD (the audit right
  // asked for without SeSecurityPrivilege enabled): the error the platform's check gives.
  DWORD result = ERROR_ACCESS_DENIED;
  ACCESS_MASK granted = 0;
  bool null_dacl = false;  // no DACL, or a null one: everything asked for is granted
  std::vector<BYTE> owner;
  ACCESS_MASK owner_implicit = 0;                         // READ_CONTROL and WRITE_DAC
  std::vector<std::pair<DWORD, ACCESS_MASK>> privileges;  // LUID, and what it granted
  std::vector<AccessStep> steps;
  ACCESS_MASK allowed = 0;  // all that privileges, the owner and the entries allowed
  ACCESS_MASK missing = 0;  // what was asked for and not allowed
  // An entry that names the subject is conditional (a callback entry): the platform weighs its
  // condition, the walk does not, so only the platform's check may decide.
  std::optional<DWORD> conditional;
};

// Walks `descriptor` for `desired`: as AccessCheck does, with generic rights mapped by
// `mapping`; or, with `mapping` null, as AuthzAccessCheck does, which maps none. Nothing for a
// descriptor without an owner, or generic rights asked of AccessCheck. (AccessCheck also
// refuses a descriptor without a group; the walk weighs one as the check weighs it with a group
// added, as the write check adds one.)
std::optional<AccessWalk> WalkAccess(const AccessSubject& subject,
                                     PSECURITY_DESCRIPTOR descriptor,
                                     ACCESS_MASK desired,
                                     const GENERIC_MAPPING* mapping);
