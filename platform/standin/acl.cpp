#include "platform/standin/acl.h"

#include <algorithm>
#include <cstring>

#include "platform/standin/sid_value.h"

namespace standin {

namespace {

WORD ReadWord(const BYTE* p) {
  WORD value;
  std::memcpy(&value, p, sizeof(value));
  return value;
}

DWORD ReadDword(const BYTE* p) {
  DWORD value;
  std::memcpy(&value, p, sizeof(value));
  return value;
}

void WriteWord(BYTE* p, WORD value) {
  std::memcpy(p, &value, sizeof(value));
}

bool IsObjectAceType(BYTE type) {
  switch (type) {
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
    case SYSTEM_AUDIT_OBJECT_ACE_TYPE:
    case SYSTEM_ALARM_OBJECT_ACE_TYPE:
    case 0x0B:  // allowed callback object
    case 0x0C:  // denied callback object
    case 0x0F:  // audit callback object
    case 0x10:  // alarm callback object
      return true;
    default:
      return false;
  }
}

// Entry types whose SID follows the header and the mask.
bool IsKnownAceType(BYTE type) {
  switch (type) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_DENIED_ACE_TYPE:
    case SYSTEM_AUDIT_ACE_TYPE:
    case SYSTEM_ALARM_ACE_TYPE:
    case 0x09:  // allowed callback
    case 0x0A:  // denied callback
    case 0x0D:  // audit callback
    case 0x0E:  // alarm callback
    case SYSTEM_MANDATORY_LABEL_ACE_TYPE:
    case 0x12:  // resource attribute
    case 0x13:  // scoped policy
    case 0x14:  // process trust label
      return true;
    default:
      return false;
  }
}

// Where the SID of an entry of `size` bytes starts, or 0 when the type carries none or the
// entry is too small to say.
size_t SidOffset(const BYTE* ace, size_t size) {
  const BYTE type = ace[0];
  if (IsKnownAceType(type))
    return 8;
  if (IsObjectAceType(type)) {
    if (size < 12)
      return 0;
    const DWORD flags = ReadDword(ace + 8);
    return 12 + ((flags & 1) ? 16 : 0) + ((flags & 2) ? 16 : 0);
  }
  return 0;
}

// Checks one entry with `room` bytes left in its ACL; returns its size, or 0 when invalid.
size_t CheckedAceSize(const BYTE* ace, size_t room) {
  if (room < sizeof(ACE_HEADER))
    return 0;
  const size_t size = ReadWord(ace + 2);
  if (size < sizeof(ACE_HEADER) || size % 4 != 0 || size > room)
    return 0;
  const BYTE type = ace[0];
  if (IsKnownAceType(type) || IsObjectAceType(type)) {
    const size_t sid = SidOffset(ace, size);
    // A larger size is padding; the SID must lie inside the entry.
    if (sid == 0 || sid > size || CheckedSidLength(ace + sid, size - sid) == 0)
      return 0;
  }
  return size;
}

// Offset of the first free byte after the ACL's entries; the ACL must be valid.
size_t FirstFreeOffset(const BYTE* acl) {
  size_t offset = sizeof(ACL);
  const WORD count = ReadWord(acl + 4);
  for (WORD i = 0; i < count; ++i)
    offset += ReadWord(acl + offset + 2);
  return offset;
}

bool AclRevisionValid(DWORD revision) {
  return revision >= MIN_ACL_REVISION && revision <= MAX_ACL_REVISION;
}

}  // namespace

bool AclValid(const void* acl, size_t available) {
  if (!acl || available < sizeof(ACL))
    return false;
  const auto* b = static_cast<const BYTE*>(acl);
  const size_t size = ReadWord(b + 2);
  if (!AclRevisionValid(b[0]) || size < sizeof(ACL) || size % 4 != 0 || size > available)
    return false;
  const WORD count = ReadWord(b + 4);
  size_t offset = sizeof(ACL);
  for (WORD i = 0; i < count; ++i) {
    const size_t entry = CheckedAceSize(b + offset, size - offset);
    if (entry == 0)
      return false;
    offset += entry;
  }
  return true;
}

const BYTE* AceSid(const void* ace) {
  const auto* b = static_cast<const BYTE*>(ace);
  const size_t offset = SidOffset(b, ReadWord(b + 2));
  return offset ? b + offset : nullptr;
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
  b[0] = static_cast<BYTE>(revision);
  WriteWord(b + 2, static_cast<WORD>(length & ~3u));
  return ERROR_SUCCESS;
}

DWORD AddKnownAce(void* acl, DWORD revision, BYTE type, DWORD flags, DWORD mask, const void* sid) {
  if (!acl)
    return ERROR_INVALID_PARAMETER;
  if (!SidHeaderValid(sid))
    return ERROR_INVALID_SID;
  auto* b = static_cast<BYTE*>(acl);
  if (b[0] > MAX_ACL_REVISION || revision > MAX_ACL_REVISION)
    return ERROR_REVISION_MISMATCH;
  DWORD allowed = VALID_INHERIT_FLAGS;
  if (type == SYSTEM_AUDIT_ACE_TYPE || type == SYSTEM_ALARM_ACE_TYPE)
    allowed |= SUCCESSFUL_ACCESS_ACE_FLAG | FAILED_ACCESS_ACE_FLAG;
  if (flags & ~allowed)
    return ERROR_INVALID_PARAMETER;
  const size_t size = ReadWord(b + 2);
  if (!AclValid(b, size))
    return ERROR_INVALID_ACL;
  const size_t sid_length = SidLengthFor(static_cast<const BYTE*>(sid)[1]);
  const size_t entry = 8 + sid_length;
  const size_t free = FirstFreeOffset(b);
  if (free + entry > size || ReadWord(b + 4) == 0xFFFF)
    return ERROR_ALLOTTED_SPACE_EXCEEDED;
  BYTE* ace = b + free;
  ace[0] = type;
  ace[1] = static_cast<BYTE>(flags);
  WriteWord(ace + 2, static_cast<WORD>(entry));
  std::memcpy(ace + 4, &mask, 4);
  std::memmove(ace + 8, sid, sid_length);
  WriteWord(b + 4, static_cast<WORD>(ReadWord(b + 4) + 1));
  b[0] = static_cast<BYTE>(std::max<DWORD>(b[0], revision));
  return ERROR_SUCCESS;
}

DWORD InsertAces(void* acl, DWORD revision, DWORD start_index, const void* entries, DWORD length) {
  if (!acl || (!entries && length))
    return ERROR_INVALID_PARAMETER;
  auto* b = static_cast<BYTE*>(acl);
  const size_t size = ReadWord(b + 2);
  if (!AclValid(b, size) || !AclRevisionValid(revision))
    return ERROR_INVALID_PARAMETER;
  // The entries to insert come from the caller: each must be whole and well formed.
  const auto* list = static_cast<const BYTE*>(entries);
  size_t added = 0;
  for (size_t offset = 0; offset < length; ++added) {
    const size_t entry = CheckedAceSize(list + offset, length - offset);
    if (entry == 0)
      return ERROR_INVALID_PARAMETER;
    offset += entry;
  }
  const WORD count = ReadWord(b + 4);
  const size_t free = FirstFreeOffset(b);
  if (free + length > size || count + added > 0xFFFF)
    return ERROR_INSUFFICIENT_BUFFER;
  size_t at = sizeof(ACL);
  for (DWORD i = 0; i < start_index && i < count; ++i)
    at += ReadWord(b + at + 2);
  std::memmove(b + at + length, b + at, free - at);
  std::memcpy(b + at, list, length);
  WriteWord(b + 4, static_cast<WORD>(count + added));
  b[0] = static_cast<BYTE>(std::max<DWORD>(b[0], revision));
  return ERROR_SUCCESS;
}

DWORD FindAce(void* acl, DWORD index, void** ace) {
  if (!acl || !ace)
    return ERROR_INVALID_PARAMETER;
  auto* b = static_cast<BYTE*>(acl);
  if (!AclRevisionValid(b[0]) || index >= ReadWord(b + 4) || !AclValid(b, ReadWord(b + 2)))
    return ERROR_INVALID_PARAMETER;
  size_t offset = sizeof(ACL);
  for (DWORD i = 0; i < index; ++i)
    offset += ReadWord(b + offset + 2);
  *ace = b + offset;
  return ERROR_SUCCESS;
}

}  // namespace standin
