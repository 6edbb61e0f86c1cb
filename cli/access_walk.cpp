#include "cli/access_walk.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "cli/ace_layout.h"
#include "security/sized_read.h"

namespace {

// The owner may always read and change the DACL, unless an OWNER RIGHTS entry says otherwise.
constexpr ACCESS_MASK kOwnerImplicit = READ_CONTROL | WRITE_DAC;
// No entry gives ACCESS_SYSTEM_SECURITY (a privilege does) or MAXIMUM_ALLOWED (a request).
constexpr ACCESS_MASK kNeverGranted = ACCESS_SYSTEM_SECURITY | MAXIMUM_ALLOWED;
constexpr ACCESS_MASK kGenericRights = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;
// Authz compares rights as written: its generic rights stand for themselves.
constexpr GENERIC_MAPPING kUnmapped = {GENERIC_READ, GENERIC_WRITE, GENERIC_EXECUTE, GENERIC_ALL};

std::vector<BYTE> SidBytes(PSID sid) {
  if (!sid || !IsValidSid(sid))
    return {};
  const auto* bytes = static_cast<const BYTE*>(sid);
  return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid));
}

DWORD PrivilegeLuid(const wchar_t* name) {
  LUID luid{};
  return LookupPrivilegeValueW(nullptr, name, &luid) ? luid.LowPart : 0;
}

// OWNER RIGHTS, S-1-3-4: its entries speak for the owner in place of the implicit rights.
PSID OwnerRights() {
  static SID sid = {
      SID_REVISION, 1, SECURITY_CREATOR_SID_AUTHORITY, {SECURITY_CREATOR_OWNER_RIGHTS_RID}};
  return &sid;
}

// EqualSid(known, sid), where `known` (a valid SID) is `size` bytes long, and `sid` holds a
// SID's fixed part and the sub-authorities it counts. SIDs whose counts of sub-authorities differ
// are never equal, so the count settles most comparisons before the call.
bool SameSid(const void* known, size_t size, PSID sid) {
  const auto* bytes = static_cast<const BYTE*>(sid);
  if (size != 8u + 4u * bytes[1])
    return false;
  // The last sub-authority (a RID) tells apart most SIDs of one length.
  return std::memcmp(static_cast<const BYTE*>(known) + size - 4, bytes + size - 4, 4) == 0 &&
         EqualSid(const_cast<void*>(known), sid);
}

bool IsOwnerRights(PSID sid) {
  return SameSid(OwnerRights(), 12, sid);
}

// How the check weighs an entry: it allows, it denies, it is conditional, or it takes no part.
enum class Weight { kAllow, kDeny, kConditional, kNone };

Weight WeightOf(const ACE_HEADER* ace) {
  switch (ace->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
      return Weight::kAllow;
    case ACCESS_DENIED_ACE_TYPE:
      return Weight::kDeny;
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
      // Without an object type it denies the object itself.
      return (AceObjectFlags(ace) & ACE_OBJECT_TYPE_PRESENT) ? Weight::kNone : Weight::kDeny;
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
      return Weight::kConditional;
    default:
      return Weight::kNone;  // other types never grant
  }
}

// A DACL entry, and its SID (null where it has none the walk can read).
struct Entry {
  const ACE_HEADER* ace;
  PSID sid;
};

// The entries of `dacl` in order, each with its SID.
std::vector<Entry> Entries(PACL dacl) {
  std::vector<Entry> entries;
  entries.reserve(std::min<DWORD>(dacl->AceCount, 64));
  for (DWORD i = 0;; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace) || !ace)
      break;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    entries.push_back({header, AceSid(header)});
  }
  return entries;
}

}  // namespace

template <typename ReadClass>
std::optional<AccessSubject> AccessSubject::Read(ReadClass read_class, DWORD& error) {
  // The user (TOKEN_USER), the groups (TOKEN_GROUPS) and the privileges (TOKEN_PRIVILEGES).
  std::vector<BYTE> parts[3];
  for (int which = 0; which < 3; ++which) {
    error = vortiss::ReadSized(parts[which], [&](BYTE* data, DWORD size, DWORD* needed) -> DWORD {
      return read_class(which, data, size, needed) ? ERROR_SUCCESS : GetLastError();
    });
    if (error != ERROR_SUCCESS)
      return std::nullopt;
  }
  AccessSubject subject;
  const auto* user = reinterpret_cast<const TOKEN_USER*>(parts[0].data());
  subject.user_ = {SidBytes(user->User.Sid), user->User.Attributes};
  const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(parts[1].data());
  for (DWORD i = 0; i < groups->GroupCount; ++i)
    subject.groups_.push_back({SidBytes(groups->Groups[i].Sid), groups->Groups[i].Attributes});
  const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(parts[2].data());
  const auto* first = reinterpret_cast<const LUID_AND_ATTRIBUTES*>(
      parts[2].data() + offsetof(TOKEN_PRIVILEGES, Privileges));
  subject.privileges_.assign(first, first + privileges->PrivilegeCount);
  return subject;
}

std::optional<AccessSubject> AccessSubject::OfToken(HANDLE token, DWORD& error) {
  return Read(
      [&](int which, BYTE* data, DWORD size, DWORD* needed) {
        const TOKEN_INFORMATION_CLASS classes[] = {TokenUser, TokenGroups, TokenPrivileges};
        return GetTokenInformation(token, classes[which], data, size, needed);
      },
      error);
}

std::optional<AccessSubject> AccessSubject::OfContext(AUTHZ_CLIENT_CONTEXT_HANDLE context,
                                                      DWORD& error) {
  // Each class is laid out as the token information class of the same content.
  return Read(
      [&](int which, BYTE* data, DWORD size, DWORD* needed) {
        const AUTHZ_CONTEXT_INFORMATION_CLASS classes[] = {
            AuthzContextInfoUserSid, AuthzContextInfoGroupsSids, AuthzContextInfoPrivileges};
        return AuthzGetInformationFromContext(context, classes[which], size, needed, data);
      },
      error);
}

bool AccessSubject::Counts(const Held& held, bool for_deny) {
  if (held.attributes & SE_GROUP_USE_FOR_DENY_ONLY)
    return for_deny;
  return true;
}

bool AccessSubject::Holds(PSID sid, bool for_deny) const {
  if (!sid)
    return false;
  if (!user_.sid.empty() && SameSid(user_.sid.data(), user_.sid.size(), sid))
    return Counts(user_, for_deny);
  for (const Held& group : groups_) {
    if (group.sid.empty() || !SameSid(group.sid.data(), group.sid.size(), sid))
      continue;
    if (group.attributes & SE_GROUP_USE_FOR_DENY_ONLY) {
      if (for_deny)
        return true;
    } else if (group.attributes & SE_GROUP_ENABLED) {
      return true;
    }
  }
  return false;
}

bool AccessSubject::ListsGroup(PSID sid) const {
  for (const Held& group : groups_) {
    if (!group.sid.empty() && SameSid(group.sid.data(), group.sid.size(), sid))
      return true;
  }
  return false;
}

bool AccessSubject::PrivilegeEnabled(DWORD luid) const {
  for (const LUID_AND_ATTRIBUTES& p : privileges_) {
    if (p.Luid.LowPart == luid && p.Luid.HighPart == 0)
      return (p.Attributes & SE_PRIVILEGE_ENABLED) != 0;
  }
  return false;
}

std::optional<AccessWalk> WalkAccess(const AccessSubject& subject,
                                     PSECURITY_DESCRIPTOR descriptor,
                                     ACCESS_MASK desired,
                                     const GENERIC_MAPPING* mapping) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  if (!descriptor || !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !owner ||
      !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
    return std::nullopt;
  if (mapping && (desired & kGenericRights))
    return std::nullopt;
  const GENERIC_MAPPING& map = mapping ? *mapping : kUnmapped;
  static const DWORD security_privilege = PrivilegeLuid(L"SeSecurityPrivilege");
  static const DWORD take_ownership = PrivilegeLuid(L"SeTakeOwnershipPrivilege");

  AccessWalk walk;
  walk.owner = SidBytes(owner);
  const bool maximum = desired & MAXIMUM_ALLOWED;
  const ACCESS_MASK wanted = desired & ~MAXIMUM_ALLOWED;
  // Privileges grant first, so that no entry can take back what they granted.
  ACCESS_MASK privileged = 0;
  if (wanted & ACCESS_SYSTEM_SECURITY) {
    if (!subject.PrivilegeEnabled(security_privilege)) {
      walk.result = ERROR_PRIVILEGE_NOT_HELD;
      walk.missing = wanted;
      return walk;
    }
    privileged |= ACCESS_SYSTEM_SECURITY;
    walk.privileges.emplace_back(security_privilege, ACCESS_SYSTEM_SECURITY);
  }
  if (((wanted & WRITE_OWNER) || maximum) && subject.PrivilegeEnabled(take_ownership)) {
    privileged |= WRITE_OWNER;
    walk.privileges.emplace_back(take_ownership, WRITE_OWNER);
  }
  auto grant = [&](ACCESS_MASK rights) {
    walk.result = ERROR_SUCCESS;
    walk.granted = rights;
    return walk;
  };

  // No DACL, or a null one: everyone gets everything, even what asks for nothing.
  if (!present || !dacl) {
    walk.null_dacl = true;
    walk.allowed = wanted | (maximum ? map.GenericAll | privileged : 0);
    return grant(walk.allowed);
  }
  // Against a DACL, asking for nothing is refused.
  if (desired == 0)
    return walk;

  const std::vector<Entry> entries = Entries(dacl);
  auto applies = [](const Entry& entry) {
    const Weight weight = WeightOf(entry.ace);
    return (weight == Weight::kAllow || weight == Weight::kDeny) &&
           !(entry.ace->AceFlags & INHERIT_ONLY_ACE) && entry.sid;
  };
  const bool is_owner = subject.Holds(owner, false);
  bool owner_rights_entry = false;
  for (const Entry& entry : entries) {
    if (applies(entry) && IsOwnerRights(entry.sid))
      owner_rights_entry = true;
  }
  walk.owner_implicit = is_owner && !owner_rights_entry ? kOwnerImplicit & ~privileged : 0;
  ACCESS_MASK allowed = privileged | walk.owner_implicit;
  ACCESS_MASK denied = 0;
  for (DWORD i = 0; i < entries.size(); ++i) {
    const ACE_HEADER* ace = entries[i].ace;
    const PSID sid = entries[i].sid;
    if (WeightOf(ace) == Weight::kConditional && !(ace->AceFlags & INHERIT_ONLY_ACE) && sid &&
        subject.Holds(sid, true) && !walk.conditional)
      walk.conditional = i;
    if (!applies(entries[i]))
      continue;
    const bool deny = WeightOf(ace) == Weight::kDeny;
    const bool owner_rights = IsOwnerRights(sid);
    if (owner_rights ? !is_owner : !subject.Holds(sid, deny))
      continue;
    // A deny takes only what no earlier entry granted, and an allow only what none denied.
    ACCESS_MASK mask = AceMask(ace);
    MapGenericMask(&mask, const_cast<GENERIC_MAPPING*>(&map));
    mask &= ~kNeverGranted;
    AccessStep step;
    step.index = i;
    step.deny = deny;
    step.sid = SidBytes(sid);
    step.through_user = owner_rights || EqualSid(sid, subject.user());
    step.effect = mask & ~allowed & ~denied;
    (deny ? denied : allowed) |= step.effect;
    walk.steps.push_back(std::move(step));
  }
  walk.allowed = allowed;
  walk.missing = wanted & ~allowed;
  if (walk.missing != 0 || (maximum && wanted == 0 && allowed == 0))
    return walk;
  return grant(maximum ? (allowed | wanted) : wanted);
}
