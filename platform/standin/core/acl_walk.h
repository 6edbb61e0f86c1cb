// The walk of the ACL calls to an entry, as the platform makes it: from the first entry, each
// entry before the one sought whole inside the ACL's size. So that a thread walking or
// appending in order pays for one step a call, not for every entry before the one it wants,
// each thread remembers where its last ACL call left a list (the entry it reached and the one
// before it) and walks on from there while that still describes the list: the same ACL, no
// platform write to any ACL or descriptor since, the same header (revision, size and count),
// and both entries still of their type and size. The first entry needs no memory: it follows
// the header. Anything else walks from the start.
//
// What this cannot see: between two calls, a caller's own write of the size of an entry before
// those two that leaves their type and size, the ACL's size and its count as they were. The
// second call then walks on as if the entries before had kept their sizes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/standin/core/layout.h"
#include "platform/standin/win32api.h"

namespace standin {

// Where a walk arrived: the offset of the entry sought (of the first free byte when it sought
// the entry after the last), and that of the entry before it, 0 when there is none or when the
// walk went on from a remembered entry without passing it (then nothing is remembered of it).
struct AclPlace {
  size_t offset = 0;
  size_t previous = 0;
};

// What a thread remembers of its walks, kept here so that the in-order case below is answered
// where it is asked.
namespace acl_walk_detail {

// Moves on with every platform write to an ACL or a descriptor: a thread's memory of a walk
// holds only while it has not moved.
inline std::atomic<std::uint64_t> g_acl_writes{0};

// An entry a walk reached: its index, its offset (0: none) and its type and size then. The
// flags are left out: callers set an entry's flags in place, and a walk never reads them.
struct Mark {
  WORD index = 0;
  WORD offset = 0;
  DWORD type_and_size = 0;
};

// Where this thread's last ACL call left a list: the entry it reached, and the one before.
// `header` is the ACL's first eight bytes then (its revision, size and count among them).
struct WalkMemory {
  const BYTE* acl = nullptr;
  std::uint64_t writes = 0;
  std::uint64_t header = 0;
  Mark reached;
  Mark before;

  WORD size() const { return ReadAt<WORD>(&header, offsetof(ACL, AclSize)); }
  WORD count() const { return ReadAt<WORD>(&header, offsetof(ACL, AceCount)); }
};

inline thread_local WalkMemory t_memory;

static_assert(sizeof(ACL) == sizeof(std::uint64_t));
inline std::uint64_t AclHeaderOf(const BYTE* acl) {
  return ReadAt<std::uint64_t>(acl, 0);
}

inline bool RevisionValid(const BYTE* acl) {
  const BYTE revision = acl[offsetof(ACL, AclRevision)];
  return revision >= MIN_ACL_REVISION && revision <= MAX_ACL_REVISION;
}

// An entry's header without its flags byte: its type and its size, read at once.
inline DWORD TypeAndSizeAt(const BYTE* acl, size_t offset) {
  constexpr DWORD kFlags = DWORD{0xFF} << (8 * offsetof(ACE_HEADER, AceFlags));
  return ReadAt<DWORD>(acl, offset) & ~kFlags;
}

inline Mark MarkAt(const BYTE* acl, size_t index, size_t offset) {
  if (!offset)
    return {};
  return {static_cast<WORD>(index), static_cast<WORD>(offset), TypeAndSizeAt(acl, offset)};
}

// True while `memory` still describes `acl` and `index` is the entry it reached or the one
// after it: the same ACL, no write since, the same header, and both remembered entries of
// their type and size. Both lie inside the ACL's size, which has not changed, so the checks
// read only bytes of the ACL.
inline bool StillHolds(const WalkMemory& memory, const BYTE* acl, size_t index) {
  return memory.acl == acl && memory.reached.offset && index - memory.reached.index <= 1 &&
         memory.writes == g_acl_writes.load(std::memory_order_relaxed) &&
         memory.header == AclHeaderOf(acl) &&
         TypeAndSizeAt(acl, memory.reached.offset) == memory.reached.type_and_size &&
         (!memory.before.offset ||
          TypeAndSizeAt(acl, memory.before.offset) == memory.before.type_and_size);
}

}  // namespace acl_walk_detail

// The first entry of a valid ACL, reached with no step at all: only the ACL's own header says
// whether there is one. Its offset, remembered as a walk to it would; 0 when there is none.
inline size_t FirstEntry(const BYTE* acl) {
  using namespace acl_walk_detail;
  const std::uint64_t header = AclHeaderOf(acl);
  const WORD count = ReadAt<WORD>(&header, offsetof(ACL, AceCount));
  const WORD size = ReadAt<WORD>(&header, offsetof(ACL, AclSize));
  if (!count || size < sizeof(ACL) + sizeof(ACE_HEADER) || !RevisionValid(acl))
    return 0;
  t_memory = {
      acl, g_acl_writes.load(std::memory_order_relaxed), header, MarkAt(acl, 0, sizeof(ACL)), {}};
  return sizeof(ACL);
}

// The common case of a walk past the first entry, a caller reading entries in order: the
// offset of entry `index` of a valid ACL when it is the entry this thread's last walk reached
// or the one after it, while that memory holds, and the entry's header lies inside the ACL. 0
// when this does not apply; a walk then gives the answer. What it answers is what a walk
// would, memory included.
inline size_t NextEntryInOrder(const BYTE* acl, size_t index) {
  using namespace acl_walk_detail;
  WalkMemory& memory = t_memory;
  if (!StillHolds(memory, acl, index) || !RevisionValid(acl))
    return 0;
  const size_t at = memory.reached.offset;
  if (index == memory.reached.index)
    return at;
  if (index >= memory.count())
    return 0;
  // One step, to an entry whose header lies inside the ACL.
  const size_t entry = ReadAt<WORD>(acl, at + offsetof(ACE_HEADER, AceSize));
  const size_t offset = at + entry;
  if (entry < sizeof(ACE_HEADER) || offset + sizeof(ACE_HEADER) > memory.size())
    return 0;
  memory.before = memory.reached;
  memory.reached = MarkAt(acl, index, offset);
  return offset;
}

// Either of the two above.
inline size_t EntryInOrder(const BYTE* acl, size_t index) {
  return index == 0 ? FirstEntry(acl) : NextEntryInOrder(acl, index);
}

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
