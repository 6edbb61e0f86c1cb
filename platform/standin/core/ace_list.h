// An ACL as a list of entries, for the services that build, edit and inherit ACLs: decoded from
// a validated ACL and encoded back in the platform's layout.
#pragma once

#include <optional>
#include <vector>

#include "platform/standin/core/sid_value.h"
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

  // Reads an ACL that AclValid accepted; null reads as no entries.
  static AceList Decode(const BYTE* acl);
  // The ACL's bytes; nullopt when it would exceed the largest ACL.
  std::optional<std::vector<BYTE>> Encode() const;
};

// Generic rights in `mask` replaced by what `mapping` gives them.
ACCESS_MASK MapGenericRights(ACCESS_MASK mask, const GENERIC_MAPPING& mapping);

}  // namespace standin
