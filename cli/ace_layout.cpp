#include "cli/ace_layout.h"

#include <cstring>

namespace {

bool IsObjectEntry(BYTE type) {
  return type == ACCESS_ALLOWED_OBJECT_ACE_TYPE || type == ACCESS_DENIED_OBJECT_ACE_TYPE ||
         type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE ||
         type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE;
}

}  // namespace

DWORD AceObjectFlags(const ACE_HEADER* ace) {
  if (!IsObjectEntry(ace->AceType) ||
      ace->AceSize < offsetof(ACCESS_ALLOWED_OBJECT_ACE, ObjectType))
    return 0;
  DWORD flags;
  std::memcpy(&flags,
              reinterpret_cast<const BYTE*>(ace) + offsetof(ACCESS_ALLOWED_OBJECT_ACE, Flags),
              sizeof(flags));
  return flags;
}

ACCESS_MASK AceMask(const ACE_HEADER* ace) {
  ACCESS_MASK mask = 0;
  if (ace->AceSize >= offsetof(ACCESS_ALLOWED_ACE, SidStart))
    std::memcpy(&mask, reinterpret_cast<const BYTE*>(ace) + offsetof(ACCESS_ALLOWED_ACE, Mask),
                sizeof(mask));
  return mask;
}

PSID AceSid(const ACE_HEADER* ace) {
  // The types whose SID follows the mask at once.
  constexpr unsigned kSidAfterMask =
      1u << ACCESS_ALLOWED_ACE_TYPE | 1u << ACCESS_DENIED_ACE_TYPE | 1u << SYSTEM_AUDIT_ACE_TYPE |
      1u << SYSTEM_ALARM_ACE_TYPE | 1u << ACCESS_ALLOWED_CALLBACK_ACE_TYPE |
      1u << ACCESS_DENIED_CALLBACK_ACE_TYPE | 1u << SYSTEM_MANDATORY_LABEL_ACE_TYPE;
  size_t offset = 0;
  if (ace->AceType < 32 && (kSidAfterMask >> ace->AceType & 1u)) {
    offset = offsetof(ACCESS_ALLOWED_ACE, SidStart);
  } else if (IsObjectEntry(ace->AceType)) {
    if (ace->AceSize < offsetof(ACCESS_ALLOWED_OBJECT_ACE, ObjectType))
      return nullptr;
    const DWORD flags = AceObjectFlags(ace);
    offset = offsetof(ACCESS_ALLOWED_OBJECT_ACE, ObjectType) +
             ((flags & ACE_OBJECT_TYPE_PRESENT) ? sizeof(GUID) : 0) +
             ((flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) ? sizeof(GUID) : 0);
  } else {
    return nullptr;
  }
  // The SID's fixed part, then its sub-authorities, must lie within the entry.
  constexpr size_t kSidHeader = 8;
  if (offset + kSidHeader > ace->AceSize)
    return nullptr;
  auto* sid = const_cast<BYTE*>(reinterpret_cast<const BYTE*>(ace) + offset);
  if (offset + kSidHeader + 4u * sid[1] > ace->AceSize || !IsValidSid(sid))
    return nullptr;
  return sid;
}
