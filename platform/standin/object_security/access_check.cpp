// Modelled on Samba's libcli/security/access_check.c, with the platform's rules where Samba
// differs: a null DACL grants, a deny takes only bits not yet granted, deny-only groups match
// deny entries only, and OWNER RIGHTS entries are evaluated in order for the owner.
#include "platform/standin/object_security/access_check.h"

#include <cstring>

#include "platform/standin/core/ace_list.h"
#include "platform/standin/core/acl.h"

namespace standin {

namespace {

constexpr ACCESS_MASK kOwnerImplicit = READ_CONTROL | WRITE_DAC;
// No entry gives ACCESS_SYSTEM_SECURITY (a privilege does) or MAXIMUM_ALLOWED (a request, not
// a right).
constexpr ACCESS_MASK kNeverGranted = ACCESS_SYSTEM_SECURITY | MAXIMUM_ALLOWED;

bool SameSid(const BYTE* sid, const SidValue& value) {
  return value.Matches(sid);
}

const SidValue& OwnerRights() {
  static const SidValue sid(3, {SECURITY_CREATOR_OWNER_RIGHTS_RID});
  return sid;
}

// An entry as the check sees it: allow, deny, or neither.
enum class EntryKind { kAllow, kDeny, kOther };

EntryKind KindOf(const AceView& ace) {
  switch (ace.type()) {
    case ACCESS_ALLOWED_ACE_TYPE:
      return EntryKind::kAllow;
    case ACCESS_DENIED_ACE_TYPE:
      return EntryKind::kDeny;
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
      // Without an object type it denies the object itself.
      return (ace.object_flags() & ACE_OBJECT_TYPE_PRESENT) ? EntryKind::kOther : EntryKind::kDeny;
    default:
      return EntryKind::kOther;  // other types never grant
  }
}

// The entries that take part in the check: allow or deny, not inherit-only.
bool Applies(const AceView& ace) {
  return KindOf(ace) != EntryKind::kOther && !(ace.flags() & INHERIT_ONLY_ACE) && ace.sid();
}

}  // namespace

DWORD EvaluateAccess(const DescriptorParts& sd,
                     const TokenData& token,
                     ACCESS_MASK desired,
                     const GENERIC_MAPPING& mapping,
                     ACCESS_MASK& granted,
                     std::vector<DWORD>* used,
                     AccessExplanation* explanation) {
  AccessExplanation unused;
  AccessExplanation& why = explanation ? *explanation : unused;
  why = {};
  const bool maximum = desired & MAXIMUM_ALLOWED;
  const ACCESS_MASK wanted = desired & ~MAXIMUM_ALLOWED;
  granted = 0;
  // Privileges grant first, so that no entry can take back what they granted.
  ACCESS_MASK privileged = 0;
  std::vector<DWORD> privileges;
  if (wanted & ACCESS_SYSTEM_SECURITY) {
    if (!TokenPrivilegeEnabled(token, SE_SECURITY_PRIVILEGE))
      return ERROR_PRIVILEGE_NOT_HELD;
    privileged |= ACCESS_SYSTEM_SECURITY;
    privileges.push_back(SE_SECURITY_PRIVILEGE);
  }
  if (((wanted & WRITE_OWNER) || maximum) &&
      TokenPrivilegeEnabled(token, SE_TAKE_OWNERSHIP_PRIVILEGE)) {
    privileged |= WRITE_OWNER;
    privileges.push_back(SE_TAKE_OWNERSHIP_PRIVILEGE);
  }
  why.privileges = privileges;
  why.privileged = privileged;
  auto grant = [&](ACCESS_MASK rights) {
    granted = rights;
    if (used)
      *used = privileges;
    return ERROR_SUCCESS;
  };

  // No DACL, or a null one: everyone gets everything, even what asks for nothing.
  if (!sd.dacl) {
    why.null_dacl = true;
    why.allowed = wanted | (maximum ? mapping.GenericAll | privileged : 0);
    return grant(wanted | (maximum ? mapping.GenericAll | privileged : 0));
  }
  // Against a DACL, asking for nothing is refused.
  if (desired == 0)
    return ERROR_ACCESS_DENIED;
  const bool explain = explanation != nullptr;

  const AclView dacl(sd.dacl);
  const bool owner = sd.owner && TokenHasSid(token, sd.owner, false);
  bool owner_rights_entry = false;
  for (const AceView ace : dacl) {
    if (Applies(ace) && SameSid(ace.sid(), OwnerRights()))
      owner_rights_entry = true;
  }

  // The owner may always read and change the DACL, unless OWNER RIGHTS says otherwise.
  why.owner_implicit = (owner && !owner_rights_entry) ? kOwnerImplicit & ~privileged : 0;
  ACCESS_MASK allowed = privileged | why.owner_implicit;
  ACCESS_MASK denied = 0;
  size_t index = 0;
  for (const AceView ace : dacl) {
    const size_t position = index++;
    if (!Applies(ace))
      continue;
    const bool deny = KindOf(ace) == EntryKind::kDeny;
    const bool owner_rights = SameSid(ace.sid(), OwnerRights());
    const bool applies = owner_rights ? owner : TokenHasSid(token, ace.sid(), deny);
    if (!applies)
      continue;
    // A deny takes only what no earlier entry granted, and an allow only what none denied.
    const ACCESS_MASK mask = MapGenericRights(ace.mask(), mapping) & ~kNeverGranted;
    const ACCESS_MASK effect = deny ? mask & ~allowed & ~denied : mask & ~denied & ~allowed;
    if (deny)
      denied |= mask & ~allowed;
    else
      allowed |= mask & ~denied;
    if (explain) {
      AccessStep step;
      step.index = position;
      step.deny = deny;
      step.sid = SidValue::FromBytes(ace.sid(), SidLengthAt(ace.sid())).value_or(SidValue());
      step.through_user = owner_rights || SameSid(ace.sid(), token.user);
      step.mask = mask;
      step.effect = effect;
      why.steps.push_back(std::move(step));
    }
  }
  why.allowed = allowed;
  why.missing = wanted & ~allowed;

  if ((wanted & ~allowed) != 0 || (maximum && wanted == 0 && allowed == 0))
    return ERROR_ACCESS_DENIED;
  return grant(maximum ? (allowed | wanted) : wanted);
}

}  // namespace standin
