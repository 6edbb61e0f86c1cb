// The platform's well-known SID types (WELL_KNOWN_SID_TYPE): the SID each type stands for, some
// of them relative to a domain, and the account domain an account SID belongs to.
#pragma once

#include <optional>

#include "platform/standin/core/sid_value.h"

namespace standin {

// The SID of `type`; for a type relative to a domain, `domain`'s SID with the type's RID.
// Errors: ERROR_INVALID_PARAMETER for a type the table lacks, or for a domain-relative type
// without a domain that has room for one more sub-authority.
DWORD WellKnownSid(int type, const SidValue* domain, SidValue& out);

// True when `sid` is the SID of `type`; a domain-relative type matches its RID under any
// account domain (S-1-5-21-x-y-z).
bool IsWellKnownSidOfType(const SidValue& sid, int type);

// The account domain of an account SID: S-1-5-21-x-y-z of S-1-5-21-x-y-z[-...]; nullopt for
// SIDs of no account domain.
std::optional<SidValue> AccountDomainOf(const SidValue& sid);

// EqualDomainSid: whether the two SIDs' domains are the same. Errors: ERROR_NON_DOMAIN_SID
// when either has no domain (an account domain, or BUILTIN for both).
DWORD CompareDomains(const SidValue& a, const SidValue& b, bool& equal);

// EqualPrefixSid: same authority and count, and all sub-authorities equal but the last.
bool SamePrefix(const SidValue& a, const SidValue& b);

}  // namespace standin
