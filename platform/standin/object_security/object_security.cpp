#include "platform/standin/object_security/object_security.h"

namespace standin {

namespace {

constexpr SECURITY_DESCRIPTOR_CONTROL kDaclState =
    SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED | SE_DACL_DEFAULTED;

const SidValue& Administrators() {
  static const SidValue sid(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
  return sid;
}

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

void SetProtected(OwnedDescriptor& sd, bool on) {
  sd.control = static_cast<SECURITY_DESCRIPTOR_CONTROL>(on ? sd.control | SE_DACL_PROTECTED
                                                           : sd.control & ~SE_DACL_PROTECTED);
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

SidValue DefaultOwner(const TokenData& token) {
  return TokenHoldsEnabled(token, Administrators(), 0) ? Administrators() : token.user;
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
                          const AceList& parent_dacl,
                          bool container,
                          const SidValue& default_owner,
                          const SidValue& default_group,
                          const AceList& default_dacl,
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

  const auto inherited =
      InheritedEntries(parent_dacl, container, SidOf(out.owner), SidOf(out.group), mapping);
  AceList dacl;
  DaclSource from = DaclSource::kGiven;
  out.control = SE_DACL_PRESENT;
  if (given && (given->control & SE_DACL_PRESENT)) {
    if (NullDacl(*given)) {
      sd = std::move(out);  // a null DACL, as given
      if (source)
        *source = from;
      return ERROR_SUCCESS;
    }
    const bool protect = given->control & SE_DACL_PROTECTED;
    dacl = MergeInherited(AceList::Decode(given->dacl.data()),
                          protect ? std::vector<AceEntry>() : inherited);
    if (protect)
      out.control |= SE_DACL_PROTECTED;
    else if (!inherited.empty())
      out.control |= SE_DACL_AUTO_INHERITED;
  } else if (!inherited.empty()) {
    dacl.entries = inherited;
    out.control |= SE_DACL_AUTO_INHERITED;
    from = DaclSource::kInherited;
  } else {
    dacl = default_dacl;
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
                   SECURITY_INFORMATION information) {
  sd.Assign(given, information & kDescriptorParts);
  if (information & DACL_SECURITY_INFORMATION) {
    sd.control |= SE_DACL_PRESENT;
    SetProtected(sd, DaclProtectedAfter(given.control & SE_DACL_PROTECTED, information));
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
  OwnedDescriptor own = sd;
  own.dacl = given.dacl;
  auto dacl =
      InheritInto(own, protect || !parent_dacl ? AceList() : *parent_dacl, container, mapping);
  if (!dacl)
    return ERROR_INVALID_ACL;
  sd.dacl = std::move(*dacl);
  return ERROR_SUCCESS;
}

}  // namespace standin
