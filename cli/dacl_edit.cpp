#include "cli/dacl_edit.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "cli/ace_layout.h"

namespace {

constexpr size_t kSidOffset = offsetof(ACCESS_ALLOWED_ACE, SidStart);

bool SameSid(PSID a, PSID b) {
  return a && b && EqualSid(a, b);
}

PSID Everyone() {
  static SID sid = {SID_REVISION, 1, SECURITY_WORLD_SID_AUTHORITY, {SECURITY_WORLD_RID}};
  return &sid;
}

std::vector<DaclEntry> ReadEntries(PACL dacl) {
  std::vector<DaclEntry> entries;
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

bool HasOwnEntry(const std::vector<DaclEntry>& entries, PSID account) {
  return std::any_of(entries.begin(), entries.end(), [&](const DaclEntry& e) {
    return !e.inherited() && e.plain() && SameSid(e.sid(), account);
  });
}

// The account's explicit entries edited; the new entry in its canonical place.
void EditEntries(std::vector<DaclEntry>& entries, const DaclChange& change) {
  std::erase_if(entries, [&](const DaclEntry& e) {
    if (e.inherited() || !e.plain() || !SameSid(e.sid(), change.account))
      return false;
    return e.type() == ACCESS_ALLOWED_ACE_TYPE || change.edit != DaclEdit::kGrant;
  });
  if (change.edit == DaclEdit::kRevoke)
    return;
  const bool deny = change.edit == DaclEdit::kDeny;
  // After the last explicit denial (a denial), or the last explicit entry (a grant).
  auto at = entries.begin();
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    if (!it->inherited() && (!deny || it->type() == ACCESS_DENIED_ACE_TYPE))
      at = it + 1;
  }
  entries.insert(at, DaclEntry(deny ? ACCESS_DENIED_ACE_TYPE : ACCESS_ALLOWED_ACE_TYPE,
                               change.flags, change.mask, change.account));
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
  return AceMask(header());
}

PSID DaclEntry::sid() const {
  return AceSid(header());
}

Dacl Dacl::Of(PSECURITY_DESCRIPTOR descriptor) {
  Dacl dacl;
  BOOL present = FALSE, defaulted = FALSE;
  PACL acl = nullptr;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!descriptor || !GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) ||
      !present || !acl) {
    dacl.null = true;
  } else {
    dacl.entries = ReadEntries(acl);
  }
  dacl.protect = descriptor && GetSecurityDescriptorControl(descriptor, &control, &revision) &&
                 (control & SE_DACL_PROTECTED);
  return dacl;
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

DaclEditResult EditDacl(const Dacl& current, const DaclChange& change) {
  DaclEditResult result;
  const bool revoke = change.edit == DaclEdit::kRevoke;
  const bool adds = change.edit == DaclEdit::kGrant || change.edit == DaclEdit::kDeny;
  result.nothing_to_revoke =
      revoke && (current.null || !HasOwnEntry(current.entries, change.account));
  Dacl edited = current;
  // A null DACL is no empty one: what it gave everyone is kept as an entry of its own.
  if (edited.null && adds) {
    edited.null = false;
    edited.entries = {
        DaclEntry(ACCESS_ALLOWED_ACE_TYPE, change.flags, change.full_access, Everyone())};
  }
  if (!edited.null && change.edit != DaclEdit::kNone)
    EditEntries(edited.entries, change);

  // A file or key names only its own entries, unless they are to stand alone from now on: then
  // what it inherited is kept as entries of its own.
  const bool protect = change.protect.value_or(current.protect);
  Dacl& written = result.written;
  written.null = edited.null;
  written.protect = protect;
  for (DaclEntry e : edited.entries) {
    if (e.inherited() && !change.whole) {
      if (!protect || current.protect)
        continue;
      e.set_flags(e.flags() & ~INHERITED_ACE);
    }
    written.entries.push_back(std::move(e));
  }
  Dacl held = current;
  if (!change.whole)
    std::erase_if(held.entries, [](const DaclEntry& e) { return e.inherited(); });
  result.changed = !(written == held);
  return result;
}

bool InheritedGrantFor(const std::vector<DaclEntry>& entries, PSID account) {
  return std::any_of(entries.begin(), entries.end(), [&](const DaclEntry& e) {
    return e.inherited() && e.type() == ACCESS_ALLOWED_ACE_TYPE &&
           !(e.flags() & INHERIT_ONLY_ACE) && e.mask() != 0 && SameSid(e.sid(), account);
  });
}
