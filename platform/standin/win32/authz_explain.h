// The stand-in's own addition for hosts that explain an access decision: the access check's
// walk for an Authz client context or a token, from the same rules that decide the check.
#pragma once

#include "platform/standin/object_security/access_check.h"

namespace standin {

// Explains `desired` against `descriptor` for the Authz client context or token behind
// `token_or_context`. `mapping` maps generic rights as AccessCheck does; null compares them as
// written, as AuthzAccessCheck does. Errors: ERROR_INVALID_HANDLE, ERROR_INVALID_SECURITY_DESCR.
DWORD ExplainAccess(HANDLE token_or_context,
                    PSECURITY_DESCRIPTOR descriptor,
                    ACCESS_MASK desired,
                    const GENERIC_MAPPING* mapping,
                    AccessExplanation& explanation);

}  // namespace standin
