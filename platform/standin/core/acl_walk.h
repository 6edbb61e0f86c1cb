// The walk of the ACL calls to an entry, as the platform makes it: from the first entry, each
// entry before the one sought whole inside the ACL's size. So that a thread walking or
// appending in order pays for one step a call, not for every entry before the one it wants,
// each thread remembers where its last ACL call left a list (the entry it reached and the one
// before it) and walks on from there while that still describes the list: the same ACL, no
// platform write to any ACL or descriptor since, the same size and count, and both entries
// still of their type and size. Anything else walks from the start.
//
// What this cannot see: between two calls, a caller's own write of the size of an entry before
// those two that leaves their type and size, the ACL's size and its count as they were. The
// second call then walks on as if the entries before had kept their sizes.
#pragma once

#include <cstddef>

#include "platform/standin/win32api.h"

namespace standin {

// Where a walk arrived: the offset of the entry sought (of the first free byte when it sought
// the entry after the last), and that of the entry before it, 0 when there is none or when the
// walk went on from a remembered entry without passing it (then nothing is remembered of it).
struct AclPlace {
  size_t offset = 0;
  size_t previous = 0;
};

// Walks `acl` to entry `index`, at most its count; an offset of 0 when an entry before it
// leaves the ACL. Only the ACL's size and the sizes of the entries before `index` are read.
AclPlace WalkToEntry(const BYTE* acl, size_t index);

// The platform wrote bytes where an ACL may lie: a caller's buffer, or a buffer it allocated.
// No thread walks on from what it remembers.
void ForgetAclWalks();

// This thread changed `acl` through an ACL call: every thread forgets its walks, and this one
// remembers the list as it now stands, with entry `index` at `offset` and the one before it at
// `previous` (0 for either when the edit does not know it).
void RememberEditedAcl(const BYTE* acl, size_t index, size_t offset, size_t previous);

}  // namespace standin
