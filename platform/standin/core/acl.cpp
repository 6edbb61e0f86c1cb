#include "platform/standin/core/acl.h"

#include <algorithm>

#include "platform/standin/core/acl_walk.h"

namespace standin {

namespace {

constexpr size_t kPlainSidOffset = offsetof(ACCESS_ALLOWED_ACE, SidStart);
constexpr size_t kObjectGuidsOffset = offsetof(ACCESS_ALLOWED_OBJECT_ACE, ObjectType);
constexpr WORD kMaxAceCount = 0xFFFF;

// Where the SID of an entry of `size` bytes starts, or 0 when the type carries none or the
// entry is too small to say.
size_t SidOffset(const BYTE* ace, size_t size) {
  const BYTE type = ace[offsetof(ACE_HEADER, AceType)];
  if (IsPlainAceType(type))
    return kPlainSidOffset;
  if (IsObjectAceType(type)) {
    if (size < kObjectGuidsOffset)
      return 0;
    const DWORD flags = ReadAt<DWORD>(ace, offsetof(ACCESS_ALLOWED_OBJECT_ACE, Flags));
    return kObjectGuidsOffset + ((flags & ACE_OBJECT_TYPE_PRESENT) ? sizeof(GUID) : 0) +
           ((flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) ? sizeof(GUID) : 0);
  }
  return 0;
}

// Checks one entry with `room` bytes left in its ACL; returns its size, or 0 when invalid.
size_t CheckedAceSize(const BYTE* ace, size_t room) {
  if (room < sizeof(ACE_HEADER))
    return 0;
  const size_t size = ReadAt<WORD>(ace, offsetof(ACE_HEADER, AceSize));
  if (size < sizeof(ACE_HEADER) || size % 4 != 0 || size > room)
    return 0;
  const BYTE type = ace[offsetof(ACE_HEADER, AceType)];
  if (IsPlainAceType(type) || IsObjectAceType(type)) {
    const size_t sid = SidOffset(ace, size);
    // A larger size is padding; the SID must lie inside the entry.
    if (sid == 0 || sid > size || CheckedSidLength(ace + sid, size - sid) == 0)
      return 0;
  }
  return size;
}

bool AclRevisionValid(DWORD revision) {
  return revision >= MIN_ACL_REVISION && revision <= MAX_ACL_REVISION;
}

void SetCount(BYTE* acl, WORD count) {
  WriteAt<WORD>(acl, offsetof(ACL, AceCount), count);
}

// An entry of a later revision raises the ACL's to it; the header keeps the low byte.
void RaiseRevision(BYTE* acl, DWORD revision) {
  if (revision > acl[offsetof(ACL, AclRevision)])
    acl[offsetof(ACL, AclRevision)] = static_cast<BYTE>(revision);
}

}  // namespace

bool IsPlainAceType(BYTE type) {
  switch (type) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_DENIED_ACE_TYPE:
    case SYSTEM_AUDIT_ACE_TYPE:
    case SYSTEM_ALARM_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_ACE_TYPE:
    case SYSTEM_AUDIT_CALLBACK_ACE_TYPE:
    case SYSTEM_ALARM_CALLBACK_ACE_TYPE:
    case SYSTEM_MANDATORY_LABEL_ACE_TYPE:
    case SYSTEM_RESOURCE_ATTRIBUTE_ACE_TYPE:
    case SYSTEM_SCOPED_POLICY_ID_ACE_TYPE:
    case SYSTEM_PROCESS_TRUST_LABEL_ACE_TYPE:
      return true;
    default:
      return false;
  }
}

bool IsObjectAceType(BYTE type) {
  switch (type) {
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
    case SYSTEM_AUDIT_OBJECT_ACE_TYPE:
    case SYSTEM_ALARM_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
    case SYSTEM_AUDIT_CALLBACK_OBJECT_ACE_TYPE:
    case SYSTEM_ALARM_CALLBACK_OBJECT_ACE_TYPE:
      return true;
    default:
      return false;
  }
}

const BYTE* AceView::sid() const {
  const size_t offset = SidOffset(ace_, size());
  return offset ? ace_ + offset : nullptr;
}

AclBuilder::AclBuilder(BYTE revision) : bytes_(sizeof(ACL), 0) {
  bytes_[offsetof(ACL, AclRevision)] = revision;
}

void AclBuilder::Append(BYTE type, BYTE flags, ACCESS_MASK mask, const SidValue& sid) {
  const size_t at = bytes_.size();
  bytes_.resize(at + kPlainSidOffset + sid.size());
  WriteAce(bytes_.data() + at, type, flags, mask, sid.data());
  ++count_;
}

void AclBuilder::AppendObject(BYTE type,
                              BYTE flags,
                              ACCESS_MASK mask,
                              const GUID* object,
                              const GUID* inherited,
                              const SidValue& sid) {
  const size_t size = kObjectGuidsOffset + (object ? sizeof(GUID) : 0) +
                      (inherited ? sizeof(GUID) : 0) + sid.size();
  const size_t at = bytes_.size();
  bytes_.resize(at + size);
  BYTE* ace = bytes_.data() + at;
  ace[offsetof(ACE_HEADER, AceType)] = type;
  ace[offsetof(ACE_HEADER, AceFlags)] = flags;
  WriteAt<WORD>(ace, offsetof(ACE_HEADER, AceSize), static_cast<WORD>(size));
  WriteAt<ACCESS_MASK>(ace, offsetof(ACCESS_ALLOWED_OBJECT_ACE, Mask), mask);
  WriteAt<DWORD>(
      ace, offsetof(ACCESS_ALLOWED_OBJECT_ACE, Flags),
      (object ? ACE_OBJECT_TYPE_PRESENT : 0) | (inherited ? ACE_INHERITED_OBJECT_TYPE_PRESENT : 0));
  size_t offset = kObjectGuidsOffset;
  for (const GUID* guid : {object, inherited}) {
    if (guid) {
      std::memcpy(ace + offset, guid, sizeof(GUID));
      offset += sizeof(GUID);
    }
  }
  std::memcpy(ace + offset, sid.data(), sid.size());
  ++count_;
}

void AclBuilder::RaiseRevision(BYTE revision) {
  standin::RaiseRevision(bytes_.data(), revision);
}

void AclBuilder::AppendCopy(const BYTE* ace, size_t size, BYTE flags) {
  const size_t at = bytes_.size();
  bytes_.insert(bytes_.end(), ace, ace + size);
  bytes_[at + offsetof(ACE_HEADER, AceFlags)] = flags;
  ++count_;
}

std::optional<std::vector<BYTE>> AclBuilder::Finish() && {
  if (bytes_.size() + unused_room_ > kMaxAclSize || count_ > kMaxAceCount)
    return std::nullopt;
  bytes_.resize(bytes_.size() + unused_room_, 0);
  WriteAt<WORD>(bytes_.data(), offsetof(ACL, AclSize), static_cast<WORD>(bytes_.size()));
  SetCount(bytes_.data(), static_cast<WORD>(count_));
  return std::move(bytes_);
}

size_t WriteAce(BYTE* at, BYTE type, BYTE flags, ACCESS_MASK mask, const BYTE* sid) {
  const size_t sid_length = SidLengthAt(sid);
  const size_t size = kPlainSidOffset + sid_length;
  at[offsetof(ACE_HEADER, AceType)] = type;
  at[offsetof(ACE_HEADER, AceFlags)] = flags;
  WriteAt<WORD>(at, offsetof(ACE_HEADER, AceSize), static_cast<WORD>(size));
  WriteAt<ACCESS_MASK>(at, offsetof(ACCESS_ALLOWED_ACE, Mask), mask);
  std::memmove(at + kPlainSidOffset, sid, sid_length);
  return size;
}

bool AclValid(const void* acl, size_t available) {
  if (!acl || available < sizeof(ACL))
    return false;
  const AclView view(acl);
  const size_t size = view.size();
  if (!AclRevisionValid(view.revision()) || size < sizeof(ACL) || size % 4 != 0 || size > available)
    return false;
  const auto* b = view.data();
  size_t offset = sizeof(ACL);
  for (WORD i = 0; i < view.count(); ++i) {
    const size_t entry = CheckedAceSize(b + offset, size - offset);
    if (entry == 0)
      return false;
    offset += entry;
  }
  return true;
}

DWORD CreateAcl(void* acl, DWORD length, DWORD revision) {
  if (!acl)
    return ERROR_INVALID_PARAMETER;
  if (length < sizeof(ACL))
    return ERROR_INSUFFICIENT_BUFFER;
  if (!AclRevisionValid(revision) || length > 0xFFFF)
    return ERROR_INVALID_PARAMETER;
  auto* b = static_cast<BYTE*>(acl);
  std::memset(b, 0, sizeof(ACL));
  b[offsetof(ACL, AclRevision)] = static_cast<BYTE>(revision);
  WriteAt<WORD>(b, offsetof(ACL, AclSize), static_cast<WORD>(length & ~3u));
  ForgetAclWalks();
  return ERROR_SUCCESS;
}

DWORD AddKnownAce(void* acl, DWORD revision, BYTE type, DWORD flags, DWORD mask, const void* sid) {
  if (!acl)
    return ERROR_INVALID_PARAMETER;
  if (!SidHeaderValid(sid))
    return ERROR_INVALID_SID;
  auto* b = static_cast<BYTE*>(acl);
  const AclView view(b);
  if (view.revision() > MAX_ACL_REVISION || revision > MAX_ACL_REVISION)
    return ERROR_REVISION_MISMATCH;
  DWORD allowed = VALID_INHERIT_FLAGS;
  if (type == SYSTEM_AUDIT_ACE_TYPE || type == SYSTEM_ALARM_ACE_TYPE)
    allowed |= SUCCESSFUL_ACCESS_ACE_FLAG | FAILED_ACCESS_ACE_FLAG;
  if (flags & ~allowed)
    return ERROR_INVALID_PARAMETER;
  const size_t size = view.size();
  // One walk to the first free byte, as the platform makes it; IsValidAcl checks more.
  const WORD count = view.count();
  const AclPlace end = WalkToEntry(b, count);
  const size_t free = end.offset;
  if (free == 0)
    return ERROR_INVALID_ACL;
  const auto* sid_bytes = static_cast<const BYTE*>(sid);
  const size_t entry = kPlainSidOffset + SidLengthAt(sid_bytes);
  if (free + entry > size || count == kMaxAceCount)
    return ERROR_ALLOTTED_SPACE_EXCEEDED;
  WriteAce(b + free, type, static_cast<BYTE>(flags), mask, sid_bytes);
  SetCount(b, static_cast<WORD>(count + 1));
  RaiseRevision(b, revision);
  RememberEditedAcl(b, count, free, end.previous);
  return ERROR_SUCCESS;
}

DWORD InsertAces(void* acl, DWORD revision, DWORD start_index, const void* entries, DWORD length) {
  if (!acl || (!entries && length))
    return ERROR_INVALID_PARAMETER;
  auto* b = static_cast<BYTE*>(acl);
  const AclView view(b);
  const size_t size = view.size();
  const WORD count = view.count();
  // Any entry revision is taken; the ACL's own must be one the platform knows.
  if (!AclRevisionValid(view.revision()))
    return ERROR_INVALID_PARAMETER;
  // To the insertion point, then on to the first free byte.
  const size_t index = std::min<size_t>(start_index, count);
  const AclPlace place = WalkToEntry(b, index);
  const AclPlace end = index == count || place.offset == 0 ? place : WalkToEntry(b, count);
  const size_t free = end.offset;
  if (free == 0)
    return ERROR_INVALID_PARAMETER;
  // The entries to insert come from the caller: each must be whole and well formed.
  const auto* list = static_cast<const BYTE*>(entries);
  size_t added = 0;
  size_t last_added = 0;
  size_t before_last_added = 0;
  for (size_t offset = 0; offset < length; ++added) {
    const size_t entry = CheckedAceSize(list + offset, length - offset);
    if (entry == 0)
      return ERROR_INVALID_PARAMETER;
    before_last_added = last_added;
    last_added = offset;
    offset += entry;
  }
  if (free + length > size || count + added > kMaxAceCount)
    return ERROR_INSUFFICIENT_BUFFER;
  const size_t at = place.offset;
  std::memmove(b + at + length, b + at, free - at);
  std::memcpy(b + at, list, length);
  SetCount(b, static_cast<WORD>(count + added));
  RaiseRevision(b, revision);
  // The last entry inserted, and the one before it.
  if (added == 0)
    RememberEditedAcl(b, 0, 0, 0);
  else
    RememberEditedAcl(b, index + added - 1, at + last_added,
                      added > 1 ? at + before_last_added : place.previous);
  return ERROR_SUCCESS;
}

DWORD FindAce(void* acl, DWORD index, void** ace) {
  if (!acl || !ace)
    return ERROR_INVALID_PARAMETER;
  auto* b = static_cast<BYTE*>(acl);
  const AclView view(b);
  if (!AclRevisionValid(view.revision()) || index >= view.count())
    return ERROR_INVALID_PARAMETER;
  // Only a walk to the entry, as the platform makes it; an entry that leaves the ACL ends it.
  const size_t offset = WalkToEntry(b, index).offset;
  if (offset == 0 || offset + sizeof(ACE_HEADER) > view.size())
    return ERROR_INVALID_PARAMETER;
  *ace = b + offset;
  return ERROR_SUCCESS;
}

DWORD RemoveAce(void* acl, DWORD index) {
  if (!acl)
    return ERROR_INVALID_PARAMETER;
  auto* b = static_cast<BYTE*>(acl);
  const AclView view(b);
  const WORD count = view.count();
  if (!AclRevisionValid(view.revision()) || index >= count)
    return ERROR_INVALID_PARAMETER;
  // To the entry, then on to the first free byte: every entry must lie inside the ACL.
  const AclPlace place = WalkToEntry(b, index);
  const AclPlace end = place.offset ? WalkToEntry(b, count) : AclPlace{};
  if (end.offset == 0)
    return ERROR_INVALID_PARAMETER;
  const size_t at = place.offset;
  const size_t size = AceView(b + at).size();
  std::memmove(b + at, b + at + size, end.offset - at - size);
  SetCount(b, static_cast<WORD>(count - 1));
  // The entry after the removed one now stands at its place; else the one before is the last.
  if (index + 1 < count)
    RememberEditedAcl(b, index, at, place.previous);
  else
    RememberEditedAcl(b, index - 1, place.previous, 0);
  return ERROR_SUCCESS;
}

bool FirstFreeByte(void* acl, void** free) {
  if (!acl || !free)
    return false;
  auto* b = static_cast<BYTE*>(acl);
  const AclView view(b);
  const size_t offset = WalkToEntry(b, view.count()).offset;
  if (offset == 0)
    return false;
  *free = offset < view.size() ? b + offset : nullptr;
  return true;
}

DWORD DescribeAcl(const void* acl, BYTE& revision, AclSizeFacts& size) {
  if (!acl)
    return ERROR_INVALID_PARAMETER;
  const AclView view(acl);
  if (!AclRevisionValid(view.revision()))
    return ERROR_INVALID_PARAMETER;
  const size_t in_use = WalkToEntry(view.data(), view.count()).offset;
  if (in_use == 0)
    return ERROR_INVALID_PARAMETER;
  revision = view.revision();
  size.count = view.count();
  size.in_use = static_cast<DWORD>(in_use);
  size.free = static_cast<DWORD>(view.size() - std::min<size_t>(view.size(), in_use));
  return ERROR_SUCCESS;
}

}  // namespace standin
