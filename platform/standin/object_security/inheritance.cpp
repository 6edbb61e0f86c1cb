#include "platform/standin/object_security/inheritance.h"

namespace standin {

namespace {

constexpr BYTE kInheritFlags =
    OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE | INHERIT_ONLY_ACE;
constexpr ACCESS_MASK kGenericRights = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;

const SidValue& CreatorOwner() {
  static const SidValue sid(3, {SECURITY_CREATOR_OWNER_RID});
  return sid;
}

const SidValue& CreatorGroup() {
  static const SidValue sid(3, {SECURITY_CREATOR_GROUP_RID});
  return sid;
}

// `flags` with the inheritance mark the child's entries carry: INHERITED_ACE under automatic
// inheritance, else none.
BYTE Marked(BYTE flags, bool auto_inherit) {
  flags = static_cast<BYTE>(flags & ~INHERITED_ACE);
  return auto_inherit ? static_cast<BYTE>(flags | INHERITED_ACE) : flags;
}

// The copy that applies to the child itself: creator SIDs replaced, generic rights mapped.
AceEntry Effective(const AceEntry& entry,
                   const SidValue& owner,
                   const SidValue& group,
                   const GENERIC_MAPPING& mapping,
                   bool auto_inherit) {
  AceEntry e = entry;
  e.flags = Marked(static_cast<BYTE>(e.flags & ~kInheritFlags), auto_inherit);
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

SidValue SidOf(const std::vector<BYTE>& part) {
  auto sid = SidValue::FromBytes(part.data(), part.size());
  return sid ? *sid : SidValue();
}

}  // namespace

std::vector<AceEntry> InheritedEntries(const AceList& parent,
                                       bool container,
                                       const SidValue& owner,
                                       const SidValue& group,
                                       const GENERIC_MAPPING& mapping,
                                       bool auto_inherit) {
  std::vector<AceEntry> out;
  for (const auto& entry : parent.entries) {
    const bool object_inherit = entry.flags & OBJECT_INHERIT_ACE;
    const bool container_inherit = entry.flags & CONTAINER_INHERIT_ACE;
    const bool no_propagate = entry.flags & NO_PROPAGATE_INHERIT_ACE;
    if (!container) {
      if (object_inherit)
        out.push_back(Effective(entry, owner, group, mapping, auto_inherit));
      continue;
    }
    if (container_inherit) {
      if (no_propagate) {
        out.push_back(Effective(entry, owner, group, mapping, auto_inherit));
        continue;
      }
      // It applies to the directory and passes on to what the directory holds.
      if (NeedsSplit(entry)) {
        out.push_back(Effective(entry, owner, group, mapping, auto_inherit));
        AceEntry passing = entry;
        passing.flags = Marked(static_cast<BYTE>(entry.flags | INHERIT_ONLY_ACE), auto_inherit);
        out.push_back(std::move(passing));
      } else {
        AceEntry e = entry;
        e.flags = Marked(static_cast<BYTE>(entry.flags & ~INHERIT_ONLY_ACE), auto_inherit);
        out.push_back(std::move(e));
      }
    } else if (object_inherit && !no_propagate) {
      // Only for the directory's files: inherit-only on the directory itself.
      AceEntry e = entry;
      e.flags = Marked(static_cast<BYTE>(entry.flags | INHERIT_ONLY_ACE), auto_inherit);
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

AceList DaclEntries(const OwnedDescriptor& sd) {
  return (sd.control & SE_DACL_PRESENT) && !sd.dacl.empty() ? AceList::Decode(sd.dacl.data())
                                                            : AceList();
}

std::optional<std::vector<BYTE>> InheritInto(const OwnedDescriptor& child,
                                             const AceList& parent_dacl,
                                             bool container,
                                             const GENERIC_MAPPING& mapping) {
  const auto inherited = InheritedEntries(parent_dacl, container, SidOf(child.owner),
                                          SidOf(child.group), mapping, true);
  return MergeInherited(DaclEntries(child), inherited).Encode();
}

}  // namespace standin
