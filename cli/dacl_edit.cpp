#include "cli/dacl_edit.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace {

constexpr size_t kSidOffset = offsetof(ACCESS_ALLOWED_ACE, SidStart);

// Where an entry's SID starts, by its type: 0 for a type that carries none.
size_t SidOffset(const std::vector<BYTE>& ace) {
  switch (reinterpret_cast<const ACE_HEADER*>(ace.data())->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_DENIED_ACE_TYPE:
    case SYSTEM_AUDIT_ACE_TYPE:
    case SYSTEM_ALARM_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_ACE_TYPE:
    case SYSTEM_MANDATORY_LABEL_ACE_TYPE:
      return kSidOffset;
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE: {
      if (ace.size() < offsetof(ACCESS_ALLOWED_OBJECT_ACE, ObjectType))
        return 0;
      DWORD flags;
      std::memcpy(&flags, ace.data() + offsetof(ACCESS_ALLOWED_OBJECT_ACE, Flags), sizeof(flags));
      return offsetof(ACCESS_ALLOWED_OBJECT_ACE, ObjectType) +
             ((flags & ACE_OBJECT_TYPE_PRESENT) ? sizeof(GUID) : 0) +
             ((flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) ? sizeof(GUID) : 0);
    }
    default:
      return 0;
  }
}

bool SameSid(PSID a, PSID b) {
  return a && b && EqualSid(a, b);
}

}  // namespace

DaclEntry::DaclEntry(BYTE type, BYTE flags, ACCESS_MASK mask, PSID sid)
    : bytes_(kSidOffset + GetLengthSid(sid)) {
  auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(bytes_.data());
  ace->Header.AceType = type;
  ace->Header.AceFlags = flags;
  ace->Header.AceSize = static_cast<WORD>(bytes_.size());
  ace->Mask = mask;
  CopySid(GetLengthSid(sid), &ace->SidStart, sid);
}

ACCESS_MASK DaclEntry::mask() const {
  ACCESS_MASK mask;
  std::memcpy(&mask, bytes_.data() + offsetof(ACCESS_ALLOWED_ACE, Mask), sizeof(mask));
  return mask;
}

PSID DaclEntry::sid() const {
  const size_t offset = SidOffset(bytes_);
  if (offset == 0 || bytes_.size() <= offset)
    return nullptr;
  return const_cast<BYTE*>(bytes_.data() + offset);
}

std::vector<DaclEntry> ReadEntries(PACL dacl) {
  std::vector<DaclEntry> entries;
  if (!dacl)
    return entries;
  for (DWORD i = 0;; ++i) {
    LPVOID ace = nullptr;
    if (!GetAce(dacl, i, &ace) || !ace)
      break;
    const auto* bytes = static_cast<const BYTE*>(ace);
    entries.emplace_back(
        std::vector<BYTE>(bytes, bytes + static_cast<const ACE_HEADER*>(ace)->AceSize));
  }
  return entries;
}

DWORD BuildAcl(const std::vector<DaclEntry>& entries, std::vector<BYTE>& acl) {
  size_t size = sizeof(ACL);
  for (const DaclEntry& e : entries)
    size += e.bytes().size();
  // An ACL's size is 16 bits; InitializeAcl refuses what does not fit.
  acl.assign(std::max<size_t>(size, sizeof(ACL)), 0);
  auto* list = reinterpret_cast<PACL>(acl.data());
  if (!InitializeAcl(list, static_cast<DWORD>(std::min<size_t>(size, MAXDWORD)), ACL_REVISION))
    return GetLastError();
  for (const DaclEntry& e : entries) {
    if (!AddAce(list, ACL_REVISION, MAXDWORD, const_cast<BYTE*>(e.bytes().data()),
                static_cast<DWORD>(e.bytes().size())))
      return GetLastError();
  }
  return ERROR_SUCCESS;
}

void EditEntries(std::vector<DaclEntry>& entries,
                 DaclEdit edit,
                 PSID account,
                 ACCESS_MASK mask,
                 BYTE flags) {
  std::erase_if(entries, [&](const DaclEntry& e) {
    if (e.inherited() || !e.plain() || !SameSid(e.sid(), account))
      return false;
    return e.type() == ACCESS_ALLOWED_ACE_TYPE || edit != DaclEdit::kGrant;
  });
  if (edit == DaclEdit::kRevoke)
    return;
  const bool deny = edit == DaclEdit::kDeny;
  // After the last explicit denial (a denial), or the last explicit entry (a grant).
  auto at = entries.begin();
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    if (!it->inherited() && (!deny || it->type() == ACCESS_DENIED_ACE_TYPE))
      at = it + 1;
  }
  entries.insert(
      at, DaclEntry(deny ? ACCESS_DENIED_ACE_TYPE : ACCESS_ALLOWED_ACE_TYPE, flags, mask, account));
}

bool InheritedGrantFor(const std::vector<DaclEntry>& entries, PSID account) {
  return std::any_of(entries.begin(), entries.end(), [&](const DaclEntry& e) {
    return e.inherited() && e.type() == ACCESS_ALLOWED_ACE_TYPE &&
           !(e.flags() & INHERIT_ONLY_ACE) && e.mask() != 0 && SameSid(e.sid(), account);
  });
}
