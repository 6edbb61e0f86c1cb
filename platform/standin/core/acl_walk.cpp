#include "platform/standin/core/acl_walk.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "platform/standin/core/layout.h"

namespace standin {

using namespace acl_walk_detail;

namespace {

// True while `memory` still describes `acl`. Both remembered entries lie inside the ACL's
// size, which has not changed, so the checks read only bytes of the ACL.
bool Describes(const WalkMemory& memory,
               const BYTE* acl,
               std::uint64_t writes,
               std::uint64_t header) {
  return memory.acl == acl && memory.writes == writes && memory.header == header &&
         (!memory.reached.offset ||
          TypeAndSizeAt(acl, memory.reached.offset) == memory.reached.type_and_size) &&
         (!memory.before.offset ||
          TypeAndSizeAt(acl, memory.before.offset) == memory.before.type_and_size);
}

// Any walk: on from a remembered entry at or before `index` while the memory holds, else from
// the first entry.
AclPlace WalkFromMemoryOrStart(const BYTE* acl, size_t index) {
  WalkMemory& memory = t_memory;
  const std::uint64_t writes = g_acl_writes.load(std::memory_order_relaxed);
  const std::uint64_t header = AclHeaderOf(acl);
  const WORD size = ReadAt<WORD>(acl, offsetof(ACL, AclSize));
  const WORD count = ReadAt<WORD>(acl, offsetof(ACL, AceCount));

  // On from the entry the last call reached, or the one before it, when they come no later
  // than `index`; else from the first entry.
  size_t from = 0;
  size_t offset = sizeof(ACL);
  size_t previous = 0;
  if (Describes(memory, acl, writes, header)) {
    if (memory.reached.offset && memory.reached.index <= index) {
      from = memory.reached.index;
      offset = memory.reached.offset;
      previous = memory.before.offset;
    } else if (memory.before.offset && memory.before.index <= index) {
      from = memory.before.index;
      offset = memory.before.offset;
    }
  } else {
    memory = {acl, writes, header, {}, {}};
  }
  size_t before_previous = 0;
  for (size_t i = from; i < index; ++i) {
    if (size - std::min<size_t>(size, offset) < sizeof(ACE_HEADER))
      return {};
    const size_t entry = ReadAt<WORD>(acl, offset + offsetof(ACE_HEADER, AceSize));
    if (entry < sizeof(ACE_HEADER) || entry > size - offset)
      return {};
    before_previous = previous;
    previous = offset;
    offset += entry;
  }

  // Only what this walk passed is remembered: an entry further on may have moved since.
  Mark reached;
  Mark before;
  if (index < count && offset + sizeof(ACE_HEADER) <= size) {
    reached = MarkAt(acl, index, offset);
    before = MarkAt(acl, index - 1, previous);
  } else if (index == count && previous) {
    reached = MarkAt(acl, index - 1, previous);
    before = MarkAt(acl, index - 2, before_previous);
  }
  memory.reached = reached;
  memory.before = before;
  return {offset, previous};
}

}  // namespace

AclPlace WalkToEntry(const BYTE* acl, size_t index) {
  // The common case first, a caller walking in order: the entry the last call reached, or the
  // one after it, while the memory holds; the entry before is then the one it remembers.
  if (const size_t offset = EntryInOrder(acl, index))
    return {offset, t_memory.before.offset};
  // A caller appending: the first free byte, one step past the last entry reached. The memory
  // stays as it was, the last entry and the one before.
  const WalkMemory& memory = t_memory;
  const size_t at = memory.reached.offset;
  if (index != memory.count() || index != memory.reached.index + size_t{1} ||
      !StillHolds(memory, acl, index))
    return WalkFromMemoryOrStart(acl, index);
  const size_t entry = ReadAt<WORD>(acl, at + offsetof(ACE_HEADER, AceSize));
  if (entry < sizeof(ACE_HEADER) || entry > memory.size() - at)
    return {};
  return {at + entry, at};
}

void ForgetAclWalks() {
  g_acl_writes.fetch_add(1, std::memory_order_relaxed);
}

void RememberEditedAcl(const BYTE* acl, size_t index, size_t offset, size_t previous) {
  const std::uint64_t writes = g_acl_writes.fetch_add(1, std::memory_order_relaxed) + 1;
  const WORD count = ReadAt<WORD>(acl, offsetof(ACL, AceCount));
  t_memory = {acl, writes, AclHeaderOf(acl), {}, {}};
  if (offset && index < count) {
    t_memory.reached = MarkAt(acl, index, offset);
    t_memory.before = MarkAt(acl, index - 1, previous);
  }
}

}  // namespace standin
