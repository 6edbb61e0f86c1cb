// The platform's access check on a descriptor that has been read and validated: who the token
// is, and which rights the DACL's entries give it, in order.
#pragma once

#include <vector>

#include "platform/standin/core/security_descriptor.h"
#include "platform/standin/identity/token.h"

namespace standin {

// One DACL entry that applied to the token, in the order the check met it.
struct AccessStep {
  size_t index = 0;  // the entry's position in the DACL, from 0
  bool deny = false;
  SidValue sid;               // the entry's SID
  bool through_user = false;  // matched the token's user (or, for OWNER RIGHTS, its owner)
  ACCESS_MASK mask = 0;       // the entry's rights, generic rights mapped
  ACCESS_MASK effect = 0;     // the bits it granted or denied that no earlier entry decided
};

// Why the check decided as it did: what the owner and privileges gave, the entries that
// applied, and what was still missing of the rights asked for.
struct AccessExplanation {
  bool null_dacl = false;
  ACCESS_MASK owner_implicit = 0;
  std::vector<DWORD> privileges;  // LUIDs of the privileges that granted something
  ACCESS_MASK privileged = 0;     // what they granted
  std::vector<AccessStep> steps;
  ACCESS_MASK allowed = 0;  // everything the entries, owner and privileges allowed
  ACCESS_MASK missing = 0;  // the rights asked for that were not allowed
};

// Evaluates `desired` (generic rights already mapped; MAXIMUM_ALLOWED allowed) against `sd`.
// Returns ERROR_SUCCESS with the rights granted, ERROR_ACCESS_DENIED with `granted` 0, or
// ERROR_PRIVILEGE_NOT_HELD for ACCESS_SYSTEM_SECURITY without SeSecurityPrivilege enabled. An
// enabled SeTakeOwnershipPrivilege grants WRITE_OWNER whatever the DACL says. `mapping` gives
// the rights a null DACL grants for MAXIMUM_ALLOWED. `used`, when given, receives the LUIDs of
// the privileges that granted something; `explanation`, when given, the walk that decided.
DWORD EvaluateAccess(const DescriptorParts& sd,
                     const TokenData& token,
                     ACCESS_MASK desired,
                     const GENERIC_MAPPING& mapping,
                     ACCESS_MASK& granted,
                     std::vector<DWORD>* used = nullptr,
                     AccessExplanation* explanation = nullptr);

}  // namespace standin
