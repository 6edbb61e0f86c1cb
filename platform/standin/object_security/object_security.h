// The rules of object security that files and registry keys share: the rights each part of a
// descriptor needs, who may be an object's owner, whether a DACL is protected after a write,
// the descriptor a new object gets, and a descriptor written by handle or by name.
#pragma once

#include "platform/standin/core/owned_descriptor.h"
#include "platform/standin/identity/token.h"
#include "platform/standin/object_security/inheritance.h"

namespace standin {

// The owner, group, DACL and SACL of a descriptor.
inline constexpr SECURITY_INFORMATION kDescriptorParts =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
    SACL_SECURITY_INFORMATION;

// The rights that reading (or, with `write`, writing) the parts `information` names needs.
ACCESS_MASK RightsFor(SECURITY_INFORMATION information, bool write);

// Whether `token` may make `owner` an object's owner: its user, or a group it holds enabled as
// an owner (SE_GROUP_OWNER); any owner with SeRestorePrivilege enabled.
bool MayOwn(const TokenData& token, const SidValue& owner);

// Whether a DACL is protected after a write: PROTECTED_ or UNPROTECTED_DACL_SECURITY_INFORMATION
// decide; without either, `unchanged`.
bool DaclProtectedAfter(bool unchanged, SECURITY_INFORMATION information);

// Where a new object's DACL came from.
enum class DaclSource { kGiven, kInherited, kDefault };

// The descriptor a new object gets, as the platform computes it when the object is created
// (CreatePrivateObjectSecurityEx): the owner and group `given` names (an owner the token may
// set, else ERROR_INVALID_OWNER), else the defaults. Its DACL, with `parent` the descriptor of
// its container (null for none), under automatic inheritance when the parent's DACL is
// auto-inherited:
// - the DACL `given` names (a null one as it is): protected, it stands alone; else, under
//   automatic inheritance, its own entries followed by what the parent passes on, and without,
//   as given;
// - else what the parent passes on to this kind of object;
// - else the token's default DACL.
// Generic rights are mapped in every entry that applies to the object. SE_DACL_AUTO_INHERITED
// and INHERITED_ACE mark only what automatic inheritance gave.
DWORD NewObjectDescriptor(const TokenData& token,
                          const OwnedDescriptor* given,
                          const OwnedDescriptor* parent,
                          bool container,
                          const SidValue& default_owner,
                          const SidValue& default_group,
                          const GENERIC_MAPPING& mapping,
                          OwnedDescriptor& sd,
                          DaclSource* source = nullptr);

// Writes the parts `information` names from `given` onto `sd`, as a call that takes a handle
// (SetFileSecurity, RegSetKeySecurity) writes them: a DACL given as absent is a null one;
// generic rights are mapped in the entries that apply to the object; the auto-inherit requests
// (SE_DACL_AUTO_INHERIT_REQ, SE_SACL_AUTO_INHERIT_REQ) are consumed, and SE_*_AUTO_INHERITED
// is kept only when the request carried them; protection is the given one unless
// `information` says otherwise.
void ApplyByHandle(OwnedDescriptor& sd,
                   const OwnedDescriptor& given,
                   SECURITY_INFORMATION information,
                   const GENERIC_MAPPING& mapping);

// Writes the parts `information` names from `given` onto `sd`, as SetNamedSecurityInfo writes
// them: the DACL keeps the object's protection unless `information` says otherwise, takes part
// in automatic inheritance, has generic rights mapped in the entries that apply to the object,
// and when not protected is followed by what `parent_dacl` passes on (none for a root).
// Errors: ERROR_INVALID_ACL when the DACL passes the largest ACL.
DWORD ApplyByName(OwnedDescriptor& sd,
                  const OwnedDescriptor& given,
                  SECURITY_INFORMATION information,
                  const AceList* parent_dacl,
                  bool container,
                  const GENERIC_MAPPING& mapping);

}  // namespace standin
