// Modelled on Samba's libcli/security/access_check.c, with the platform's rules where Samba
// differs: a null DACL grants, a deny takes only bits not yet granted, deny-only groups match
// deny entries only, and OWNER RIGHTS entries are evaluated in order for the owner.
#include "platform/standin/access_check.h"

#include <cstring>

#include "platform/standin/acl.h"

namespace standin {

namespace {

constexpr ACCESS_MASK kOwnerImplicit = READ_CONTROL | WRITE_DAC;

// An entry's generic rights stand for the rights the mapping gives them. No entry gives
// ACCESS_SYSTEM_SECURITY (a privilege does) or MAXIMUM_ALLOWED (a request, not a right).
ACCESS_MASK MappedMask(ACCESS_MASK mask, const GENERIC_MAPPING& mapping) {
  ACCESS_MASK out = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL |
                             ACCESS_SYSTEM_SECURITY | MAXIMUM_ALLOWED);
  if (mask & GENERIC_READ)
    out |= mapping.GenericRead;
  if (mask & GENERIC_WRITE)
    out |= mapping.GenericWrite;
  if (mask & GENERIC_EXECUTE)
    out |= mapping.GenericExecute;
  if (mask & GENERIC_ALL)
    out |= mapping.GenericAll;
  return out;
}

bool SameSid(const BYTE* sid, const SidValue& value) {
  const size_t size = SidLengthFor(sid[1]);
  return value.size() == size && std::memcmp(sid, value.data(), size) == 0;
}

const SidValue& OwnerRights() {
  static const SidValue sid(3, {SECURITY_CREATOR_OWNER_RIGHTS_RID});
  return sid;
}

// An entry as the check sees it: allow, deny, or neither.
enum class EntryKind { kAllow, kDeny, kOther };

struct CheckedEntry {
  EntryKind kind = EntryKind::kOther;
  BYTE flags = 0;
  ACCESS_MASK mask = 0;
  const BYTE* sid = nullptr;
};

CheckedEntry ReadEntry(const BYTE* ace) {
  CheckedEntry e;
  e.flags = ace[1];
  std::memcpy(&e.mask, ace + 4, sizeof(e.mask));
  switch (ace[0]) {
    case ACCESS_ALLOWED_ACE_TYPE:
      e.kind = EntryKind::kAllow;
      break;
    case ACCESS_DENIED_ACE_TYPE:
      e.kind = EntryKind::kDeny;
      break;
    case ACCESS_DENIED_OBJECT_ACE_TYPE: {
      // Without an object type it denies the object itself.
      DWORD object_flags;
      std::memcpy(&object_flags, ace + 8, sizeof(object_flags));
      if (!(object_flags & 1))
        e.kind = EntryKind::kDeny;
      break;
    }
    default:
      break;  // other types never grant
  }
  if (e.kind != EntryKind::kOther)
    e.sid = AceSid(ace);
  if (!e.sid)
    e.kind = EntryKind::kOther;
  return e;
}

template <typename Visit>
void ForEachEntry(const BYTE* acl, Visit visit) {
  WORD count;
  std::memcpy(&count, acl + 4, sizeof(count));
  size_t offset = sizeof(ACL);
  for (WORD i = 0; i < count; ++i) {
    const BYTE* ace = acl + offset;
    WORD size;
    std::memcpy(&size, ace + 2, sizeof(size));
    visit(ReadEntry(ace));
    offset += size;
  }
}

}  // namespace

bool TokenHasSid(const TokenData& token, const BYTE* sid, bool for_deny) {
  if (!sid)
    return false;
  if (SameSid(sid, token.user))
    return true;
  for (const auto& [group, attributes] : token.groups) {
    if (!SameSid(sid, group))
      continue;
    if (attributes & SE_GROUP_USE_FOR_DENY_ONLY) {
      if (for_deny)
        return true;
    } else if (attributes & SE_GROUP_ENABLED) {
      return true;
    }
  }
  return false;
}

DWORD EvaluateAccess(const DescriptorParts& sd,
                     const TokenData& token,
                     ACCESS_MASK desired,
                     const GENERIC_MAPPING& mapping,
                     ACCESS_MASK& granted) {
  const bool maximum = desired & MAXIMUM_ALLOWED;
  const ACCESS_MASK wanted = desired & ~MAXIMUM_ALLOWED;
  granted = 0;
  if (wanted & ACCESS_SYSTEM_SECURITY)
    return ERROR_PRIVILEGE_NOT_HELD;

  // No DACL, or a null one: everyone gets everything.
  if (!sd.dacl) {
    granted = wanted | (maximum ? mapping.GenericAll : 0);
    return ERROR_SUCCESS;
  }

  const bool owner = sd.owner && TokenHasSid(token, sd.owner, false);
  bool owner_rights_entry = false;
  ForEachEntry(sd.dacl, [&](const CheckedEntry& e) {
    if (e.kind != EntryKind::kOther && !(e.flags & INHERIT_ONLY_ACE) &&
        SameSid(e.sid, OwnerRights()))
      owner_rights_entry = true;
  });

  // The owner may always read and change the DACL, unless OWNER RIGHTS says otherwise.
  ACCESS_MASK allowed = (owner && !owner_rights_entry) ? kOwnerImplicit : 0;
  ACCESS_MASK denied = 0;
  ForEachEntry(sd.dacl, [&](const CheckedEntry& e) {
    if (e.kind == EntryKind::kOther || (e.flags & INHERIT_ONLY_ACE))
      return;
    const bool deny = e.kind == EntryKind::kDeny;
    const bool applies = SameSid(e.sid, OwnerRights()) ? owner : TokenHasSid(token, e.sid, deny);
    if (!applies)
      return;
    // A deny takes only what no earlier entry granted, and an allow only what none denied.
    const ACCESS_MASK mask = MappedMask(e.mask, mapping);
    if (deny)
      denied |= mask & ~allowed;
    else
      allowed |= mask & ~denied;
  });

  if ((wanted & ~allowed) != 0 || (maximum && wanted == 0 && allowed == 0))
    return ERROR_ACCESS_DENIED;
  granted = maximum ? (allowed | wanted) : wanted;
  return ERROR_SUCCESS;
}

}  // namespace standin
