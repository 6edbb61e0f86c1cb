// The platform's access check on a descriptor that has been read and validated: who the token
// is, and which rights the DACL's entries give it, in order.
#pragma once

#include "platform/standin/core/security_descriptor.h"
#include "platform/standin/identity/token.h"

namespace standin {

// Evaluates `desired` (generic rights already mapped; MAXIMUM_ALLOWED allowed) against `sd`.
// Returns ERROR_SUCCESS with the rights granted, ERROR_ACCESS_DENIED with `granted` 0, or
// ERROR_PRIVILEGE_NOT_HELD for ACCESS_SYSTEM_SECURITY, which no token here holds the privilege
// for. `mapping` gives the rights a null DACL grants for MAXIMUM_ALLOWED.
DWORD EvaluateAccess(const DescriptorParts& sd,
                     const TokenData& token,
                     ACCESS_MASK desired,
                     const GENERIC_MAPPING& mapping,
                     ACCESS_MASK& granted);

}  // namespace standin
