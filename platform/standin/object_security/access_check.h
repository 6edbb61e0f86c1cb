// The platform's access check on a descriptor that has been read and validated: who the token
// is, and which rights the DACL's entries give it, in order.
#pragma once

#include <vector>

#include "platform/standin/core/security_descriptor.h"
#include "platform/standin/identity/token.h"

namespace standin {

// Evaluates `desired` (generic rights already mapped; MAXIMUM_ALLOWED allowed) against `sd`.
// Returns ERROR_SUCCESS with the rights granted, ERROR_ACCESS_DENIED with `granted` 0, or
// ERROR_PRIVILEGE_NOT_HELD for ACCESS_SYSTEM_SECURITY without SeSecurityPrivilege enabled. An
// enabled SeTakeOwnershipPrivilege grants WRITE_OWNER whatever the DACL says. `mapping` gives
// the rights a null DACL grants for MAXIMUM_ALLOWED. `used`, when given, receives the LUIDs of
// the privileges that granted something.
DWORD EvaluateAccess(const DescriptorParts& sd,
                     const TokenData& token,
                     ACCESS_MASK desired,
                     const GENERIC_MAPPING& mapping,
                     ACCESS_MASK& granted,
                     std::vector<DWORD>* used = nullptr);

}  // namespace standin
