// Access control lists and their entries in the platform's binary layout: the checks the
// platform applies to ACLs that come from outside, and the edits of the ACL calls. Every
// function works on bytes and returns a Win32 error code (ERROR_SUCCESS when it succeeds).
#pragma once

#include <cstddef>

#include "platform/standin/win32api.h"

namespace standin {

// The largest ACL size the platform records: 16 bits, kept a multiple of 4.
inline constexpr DWORD kMaxAclSize = 65532;

// True when the bytes at `acl` hold a valid ACL that lies within `available` bytes: revision
// 2 to 4, a size of at least 8 that is a multiple of 4, and every entry inside that size with
// a size that is a multiple of 4 and large enough for its SID. Never reads past `available`
// nor past the ACL's own size.
bool AclValid(const void* acl, size_t available);

// The SID an entry carries, or nullptr for entry types that carry none. `ace` must be an entry
// that AclValid accepted.
const BYTE* AceSid(const void* ace);

// InitializeAcl: a header of `length` bytes (rounded down to a multiple of 4).
DWORD CreateAcl(void* acl, DWORD length, DWORD revision);

// Appends an entry of `type` for `sid` after the ACL's last entry.
DWORD AddKnownAce(void* acl, DWORD revision, BYTE type, DWORD flags, DWORD mask, const void* sid);

// AddAce: inserts the entries of `entries` (`length` bytes) before entry `start_index`.
DWORD InsertAces(void* acl, DWORD revision, DWORD start_index, const void* entries, DWORD length);

// GetAce: the entry at `index`.
DWORD FindAce(void* acl, DWORD index, void** ace);

}  // namespace standin
