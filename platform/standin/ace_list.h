// An ACL as a list of entries, for the services that build and inherit ACLs: decoded from a
// validated ACL, encoded back in the platform's layout, and the platform's inheritance rules.
#pragma once

#include <optional>
#include <vector>

#include "platform/standin/sid_value.h"
#include "platform/standin/win32api.h"

namespace standin {

struct AceEntry {
  BYTE type = ACCESS_ALLOWED_ACE_TYPE;
  BYTE flags = 0;
  ACCESS_MASK mask = 0;
  SidValue sid;  // empty for entry types this list does not read
  // The entry's bytes as read, kept for types other than allowed, denied and audit.
  std::vector<BYTE> raw;
};

struct AceList {
  BYTE revision = ACL_REVISION;
  std::vector<AceEntry> entries;

  // Reads an ACL that AclValid accepted.
  static AceList Decode(const BYTE* acl);
  // The ACL's bytes; nullopt when it would exceed the largest ACL.
  std::optional<std::vector<BYTE>> Encode() const;
};

inline const GENERIC_MAPPING kFileGenericMapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE,
                                                    FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};

// The entries a new child receives from its parent's ACL, as the platform computes them when
// the child is created or when inheritance is propagated: object-inherit entries reach files,
// container-inherit entries reach directories (object-inherit ones too, as inherit-only, for
// the directory's own files), no-propagate stops after one level. CREATOR OWNER and CREATOR
// GROUP become the child's owner and group, generic rights are mapped, and an entry that still
// passes on is split into an effective one and an inherit-only one. Every entry is marked
// INHERITED_ACE.
std::vector<AceEntry> InheritedEntries(const AceList& parent,
                                       bool container,
                                       const SidValue& owner,
                                       const SidValue& group,
                                       const GENERIC_MAPPING& mapping);

// `child`'s own entries (those not marked inherited) followed by `inherited`.
AceList MergeInherited(const AceList& child, const std::vector<AceEntry>& inherited);

// Generic rights in `mask` replaced by what `mapping` gives them.
ACCESS_MASK MapGenericRights(ACCESS_MASK mask, const GENERIC_MAPPING& mapping);

}  // namespace standin
