#include "platform/standin/object_security/object_security.h"

namespace standin {

namespace {

constexpr SECURITY_DESCRIPTOR_CONTROL kDaclState =
    SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED | SE_DACL_DEFAULTED;

SidValue SidOf(const std::vector<BYTE>& part) {
  auto sid = SidValue::FromBytes(part.data(), part.size());
  return sid ? *sid : SidValue();
}

std::vector<BYTE> Bytes(const SidValue& sid) {
  return std::vector<BYTE>(sid.data(), sid.data() + sid.size());
}

bool NullDacl(const OwnedDescriptor& sd) {
  return (sd.control & SE_DACL_PRESENT) && sd.dacl.empty();
}

// `acl` with generic rights mapped in every entry that applies to the object; inherit-only
// entries keep theirs for the objects that will inherit them.
AceList MapEffectiveRights(AceList acl, const GENERIC_MAPPING& mapping) {
  for (AceEntry& e : acl.entries) {
    if (e.raw.empty() && !(e.flags & INHERIT_ONLY_ACE))
      e.mask = MapGenericRights(e.mask, mapping);
  }
  return acl;
}

// The ACL bytes `acl` (a present, non-null ACL) with generic rights mapped in its effective
// entries; nullopt when it would pass the largest ACL.
std::optional<std::vector<BYTE>> MappedAcl(const std::vector<BYTE>& acl,
                                           const GENERIC_MAPPING& mapping) {
  return MapEffectiveRights(AceList::Decode(acl.data()), mapping).Encode();
}

// One ACL of a descriptor written by handle: its protection and auto-inheritance as the
// request gives them, the request bit itself consumed, generic rights mapped.
void ApplyAclState(OwnedDescriptor& sd,
                   std::vector<BYTE>& acl,
                   SECURITY_DESCRIPTOR_CONTROL given,
                   SECURITY_DESCRIPTOR_CONTROL present,
                   SECURITY_DESCRIPTOR_CONTROL request,
                   SECURITY_DESCRIPTOR_CONTROL inherited,
                   SECURITY_DESCRIPTOR_CONTROL protection,
                   SECURITY_DESCRIPTOR_CONTROL defaulted,
                   bool protect,
                   const GENERIC_MAPPING& mapping) {
  sd.control &= ~(request | inherited | protection | defaulted);
  sd.control |= present;
  if ((given & request) && (given & inherited))
    sd.control |= inherited;
  if (protect)
    sd.control |= protection;
  if (!acl.empty()) {
    if (auto mapped = MappedAcl(acl, mapping))
      acl = std::move(*mapped);
  }
}

}  // namespace

ACCESS_MASK RightsFor(SECURITY_INFORMATION information, bool write) {
  ACCESS_MASK rights = 0;
  if (information & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION))
    rights |= write ? WRITE_OWNER : READ_CONTROL;
  if (information & DACL_SECURITY_INFORMATION)
    rights |= write ? WRITE_DAC : READ_CONTROL;
  if (information & SACL_SECURITY_INFORMATION)
    rights |= ACCESS_SYSTEM_SECURITY;
  return rights;
}

bool MayOwn(const TokenData& token, const SidValue& owner) {
  if (owner.empty())
    return false;
  return owner == token.user || TokenHoldsEnabled(token, owner, SE_GROUP_OWNER) ||
         TokenPrivilegeEnabled(token, SE_RESTORE_PRIVILEGE);
}

bool DaclProtectedAfter(bool unchanged, SECURITY_INFORMATION information) {
  if (information & PROTECTED_DACL_SECURITY_INFORMATION)
    return true;
  if (information & UNPROTECTED_DACL_SECURITY_INFORMATION)
    return false;
  return unchanged;
}

DWORD NewObjectDescriptor(const TokenData& token,
                          const OwnedDescriptor* given,
                          const OwnedDescriptor* parent,
                          bool container,
                          const SidValue& default_owner,
                          const SidValue& default_group,
                          const GENERIC_MAPPING& mapping,
                          OwnedDescriptor& sd,
                          DaclSource* source) {
  OwnedDescriptor out;
  if (given && !given->owner.empty()) {
    if (!MayOwn(token, SidOf(given->owner)))
      return ERROR_INVALID_OWNER;
    out.owner = given->owner;
  } else {
    out.owner = Bytes(default_owner);
  }
  out.group = given && !given->group.empty() ? given->group : Bytes(default_group);

  const bool auto_inherit = parent && (parent->control & SE_DACL_AUTO_INHERITED);
  const auto inherited = parent
                             ? InheritedEntries(DaclEntries(*parent), container, SidOf(out.owner),
                                                SidOf(out.group), mapping, auto_inherit)
                             : std::vector<AceEntry>();
  const bool given_dacl = given && (given->control & SE_DACL_PRESENT);
  // A defaulted DACL serves only where nothing is inherited.
  const bool use_given =
      given_dacl && !((given->control & SE_DACL_DEFAULTED) && !inherited.empty());
  AceList dacl;
  DaclSource from = DaclSource::kGiven;
  out.control = SE_DACL_PRESENT;
  if (use_given) {
    if (NullDacl(*given)) {
      sd = std::move(out);  // a null DACL, as given
      if (source)
        *source = from;
      return ERROR_SUCCESS;
    }
    const AceList own = MapEffectiveRights(AceList::Decode(given->dacl.data()), mapping);
    if (given->control & SE_DACL_PROTECTED) {
      dacl = own;
      out.control |= SE_DACL_PROTECTED;
    } else if (auto_inherit) {
      dacl = MergeInherited(own, inherited);
      out.control |= SE_DACL_AUTO_INHERITED;
    } else {
      dacl = own;  // without automatic inheritance the creator's DACL is the whole DACL
    }
  } else if (!inherited.empty()) {
    dacl.entries = inherited;
    if (auto_inherit)
      out.control |= SE_DACL_AUTO_INHERITED;
    from = DaclSource::kInherited;
  } else {
    const std::vector<BYTE> default_dacl = DefaultDaclOf(token);
    dacl = MapEffectiveRights(AceList::Decode(default_dacl.data()), mapping);
    from = DaclSource::kDefault;
  }
  auto bytes = dacl.Encode();
  if (!bytes)
    return ERROR_INVALID_ACL;
  out.dacl = std::move(*bytes);
  sd = std::move(out);
  if (source)
    *source = from;
  return ERROR_SUCCESS;
}

void ApplyByHandle(OwnedDescriptor& sd,
                   const OwnedDescriptor& given,
                   SECURITY_INFORMATION information,
                   const GENERIC_MAPPING& mapping) {
  sd.Assign(given, information & kDescriptorParts);
  if (information & DACL_SECURITY_INFORMATION) {
    const bool protect = DaclProtectedAfter(given.control & SE_DACL_PROTECTED, information);
    ApplyAclState(sd, sd.dacl, given.control, SE_DACL_PRESENT, SE_DACL_AUTO_INHERIT_REQ,
                  SE_DACL_AUTO_INHERITED, SE_DACL_PROTECTED, SE_DACL_DEFAULTED, protect, mapping);
  }
  if (information & SACL_SECURITY_INFORMATION) {
    const bool protect = (information & PROTECTED_SACL_SECURITY_INFORMATION) ||
                         (!(information & UNPROTECTED_SACL_SECURITY_INFORMATION) &&
                          (given.control & SE_SACL_PROTECTED));
    ApplyAclState(sd, sd.sacl, given.control, SE_SACL_PRESENT, SE_SACL_AUTO_INHERIT_REQ,
                  SE_SACL_AUTO_INHERITED, SE_SACL_PROTECTED, SE_SACL_DEFAULTED, protect, mapping);
  }
}

DWORD ApplyByName(OwnedDescriptor& sd,
                  const OwnedDescriptor& given,
                  SECURITY_INFORMATION information,
                  const AceList* parent_dacl,
                  bool container,
                  const GENERIC_MAPPING& mapping) {
  const bool was_protected = sd.control & SE_DACL_PROTECTED;
  sd.Assign(given, information & kDescriptorParts & ~DACL_SECURITY_INFORMATION);
  if (!(information & DACL_SECURITY_INFORMATION))
    return ERROR_SUCCESS;
  const bool protect = DaclProtectedAfter(was_protected, information);
  sd.control &= ~kDaclState;
  // Set by name, the DACL takes part in automatic inheritance whether protected or not.
  sd.control |= SE_DACL_PRESENT | SE_DACL_AUTO_INHERITED | (protect ? SE_DACL_PROTECTED : 0);
  if (given.dacl.empty()) {
    sd.dacl.clear();  // a DACL given as absent is a null one
    return ERROR_SUCCESS;
  }
  auto mapped = MappedAcl(given.dacl, mapping);
  if (!mapped)
    return ERROR_INVALID_ACL;
  OwnedDescriptor own = sd;
  own.dacl = std::move(*mapped);
  auto dacl =
      InheritInto(own, protect || !parent_dacl ? AceList() : *parent_dacl, container, mapping);
  if (!dacl)
    return ERROR_INVALID_ACL;
  sd.dacl = std::move(*dacl);
  return ERROR_SUCCESS;
}

}  // namespace standin
