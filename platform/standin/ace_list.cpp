#include "platform/standin/ace_list.h"

#include <cstring>

#include "platform/standin/acl.h"

namespace standin {

namespace {

constexpr BYTE kInheritFlags =
    OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE | INHERIT_ONLY_ACE;

WORD ReadWord(const BYTE* p) {
  WORD value;
  std::memcpy(&value, p, sizeof(value));
  return value;
}

bool CarriesSidAfterMask(BYTE type) {
  return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_DENIED_ACE_TYPE ||
         type == SYSTEM_AUDIT_ACE_TYPE || type == SYSTEM_ALARM_ACE_TYPE;
}

const SidValue& CreatorOwner() {
  static const SidValue sid(3, {SECURITY_CREATOR_OWNER_RID});
  return sid;
}

const SidValue& CreatorGroup() {
  static const SidValue sid(3, {SECURITY_CREATOR_GROUP_RID});
  return sid;
}

constexpr ACCESS_MASK kGenericRights = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;

// The copy that applies to the child itself: creator SIDs replaced, generic rights mapped.
AceEntry Effective(const AceEntry& entry,
                   const SidValue& owner,
                   const SidValue& group,
                   const GENERIC_MAPPING& mapping) {
  AceEntry e = entry;
  e.flags = static_cast<BYTE>((e.flags & ~kInheritFlags) | INHERITED_ACE);
  if (e.raw.empty()) {
    if (e.sid == CreatorOwner() && !owner.empty())
      e.sid = owner;
    else if (e.sid == CreatorGroup() && !group.empty())
      e.sid = group;
    e.mask = MapGenericRights(e.mask, mapping);
  }
  return e;
}

bool NeedsSplit(const AceEntry& entry) {
  return entry.raw.empty() && (entry.sid == CreatorOwner() || entry.sid == CreatorGroup() ||
                               (entry.mask & kGenericRights));
}

}  // namespace

ACCESS_MASK MapGenericRights(ACCESS_MASK mask, const GENERIC_MAPPING& mapping) {
  if (mask & GENERIC_READ)
    mask |= mapping.GenericRead;
  if (mask & GENERIC_WRITE)
    mask |= mapping.GenericWrite;
  if (mask & GENERIC_EXECUTE)
    mask |= mapping.GenericExecute;
  if (mask & GENERIC_ALL)
    mask |= mapping.GenericAll;
  return mask & ~kGenericRights;
}

AceList AceList::Decode(const BYTE* acl) {
  AceList list;
  if (!acl)
    return list;
  list.revision = acl[0];
  const WORD count = ReadWord(acl + 4);
  size_t offset = sizeof(ACL);
  for (WORD i = 0; i < count; ++i) {
    const BYTE* ace = acl + offset;
    const WORD size = ReadWord(ace + 2);
    AceEntry entry;
    entry.type = ace[0];
    entry.flags = ace[1];
    if (size >= 8)
      std::memcpy(&entry.mask, ace + 4, sizeof(entry.mask));
    std::optional<SidValue> sid;
    if (CarriesSidAfterMask(entry.type))
      sid = SidValue::FromBytes(ace + 8, size - 8);
    if (sid)
      entry.sid = *sid;
    else
      entry.raw.assign(ace, ace + size);
    list.entries.push_back(std::move(entry));
    offset += size;
  }
  return list;
}

std::optional<std::vector<BYTE>> AceList::Encode() const {
  std::vector<BYTE> out(sizeof(ACL), 0);
  for (const auto& e : entries) {
    const size_t at = out.size();
    if (!e.raw.empty()) {
      out.insert(out.end(), e.raw.begin(), e.raw.end());
      out[at + 1] = e.flags;
      continue;
    }
    const size_t size = 8 + e.sid.size();
    out.resize(at + size);
    out[at] = e.type;
    out[at + 1] = e.flags;
    const WORD word = static_cast<WORD>(size);
    std::memcpy(&out[at + 2], &word, 2);
    std::memcpy(&out[at + 4], &e.mask, 4);
    std::memcpy(&out[at + 8], e.sid.data(), e.sid.size());
  }
  if (out.size() > kMaxAclSize || entries.size() > 0xFFFF)
    return std::nullopt;
  out[0] = revision;
  const WORD size = static_cast<WORD>(out.size());
  const WORD count = static_cast<WORD>(entries.size());
  std::memcpy(&out[2], &size, 2);
  std::memcpy(&out[4], &count, 2);
  return out;
}

std::vector<AceEntry> InheritedEntries(const AceList& parent,
                                       bool container,
                                       const SidValue& owner,
                                       const SidValue& group,
                                       const GENERIC_MAPPING& mapping) {
  std::vector<AceEntry> out;
  for (const auto& entry : parent.entries) {
    const bool object_inherit = entry.flags & OBJECT_INHERIT_ACE;
    const bool container_inherit = entry.flags & CONTAINER_INHERIT_ACE;
    const bool no_propagate = entry.flags & NO_PROPAGATE_INHERIT_ACE;
    if (!container) {
      if (object_inherit)
        out.push_back(Effective(entry, owner, group, mapping));
      continue;
    }
    if (container_inherit) {
      if (no_propagate) {
        out.push_back(Effective(entry, owner, group, mapping));
        continue;
      }
      // It applies to the directory and passes on to what the directory holds.
      if (NeedsSplit(entry)) {
        out.push_back(Effective(entry, owner, group, mapping));
        AceEntry passing = entry;
        passing.flags = static_cast<BYTE>(entry.flags | INHERIT_ONLY_ACE | INHERITED_ACE);
        out.push_back(std::move(passing));
      } else {
        AceEntry e = entry;
        e.flags = static_cast<BYTE>((entry.flags & ~INHERIT_ONLY_ACE) | INHERITED_ACE);
        out.push_back(std::move(e));
      }
    } else if (object_inherit && !no_propagate) {
      // Only for the directory's files: inherit-only on the directory itself.
      AceEntry e = entry;
      e.flags = static_cast<BYTE>(entry.flags | INHERIT_ONLY_ACE | INHERITED_ACE);
      out.push_back(std::move(e));
    }
  }
  return out;
}

AceList MergeInherited(const AceList& child, const std::vector<AceEntry>& inherited) {
  AceList merged;
  merged.revision = child.revision;
  for (const auto& e : child.entries) {
    if (!(e.flags & INHERITED_ACE))
      merged.entries.push_back(e);
  }
  merged.entries.insert(merged.entries.end(), inherited.begin(), inherited.end());
  return merged;
}

}  // namespace standin
