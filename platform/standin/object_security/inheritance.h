// Inheritance as the platform computes it: the entries a child receives from its parent's DACL,
// a child's DACL recomputed below its parent, and the walk that carries a changed DACL down to
// every child, for files and registry keys alike.
#pragma once

#include <optional>
#include <vector>

#include "platform/standin/core/ace_list.h"
#include "platform/standin/core/owned_descriptor.h"

namespace standin {

// The entries a new child receives from its parent's ACL, as the platform computes them when
// the child is created or when inheritance is propagated: object-inherit entries reach files,
// container-inherit entries reach directories (object-inherit ones too, as inherit-only, for
// the directory's own files), no-propagate stops after one level. CREATOR OWNER and CREATOR
// GROUP become the child's owner and group, generic rights are mapped, and an entry that still
// passes on is split into an effective one and an inherit-only one. With `auto_inherit` (the
// parent's DACL is auto-inherited) every entry is marked INHERITED_ACE, else none is: the
// parent's own INHERITED_ACE flags pass on to no one.
std::vector<AceEntry> InheritedEntries(const AceList& parent,
                                       bool container,
                                       const SidValue& owner,
                                       const SidValue& group,
                                       const GENERIC_MAPPING& mapping,
                                       bool auto_inherit);

// `child`'s own entries (those not marked inherited) followed by `inherited`.
AceList MergeInherited(const AceList& child, const std::vector<AceEntry>& inherited);

// The entries of a descriptor's DACL; none for an absent or null DACL.
AceList DaclEntries(const OwnedDescriptor& sd);

// `child`'s DACL once it takes what `parent_dacl` passes on, as automatic inheritance computes
// it: its own entries, then the inherited ones, marked inherited. nullopt when that passes the
// largest ACL.
std::optional<std::vector<BYTE>> InheritInto(const OwnedDescriptor& child,
                                             const AceList& parent_dacl,
                                             bool container,
                                             const GENERIC_MAPPING& mapping);

// Makes every object below `parent` take what `parent_dacl` now passes on, depth first. A
// protected child keeps its DACL, and so does what lies below it. `Tree` gives:
//   std::vector<Node> Children(const Node&);
//   bool IsContainer(const Node&);
//   DWORD Read(const Node&, OwnedDescriptor&);
//   DWORD Write(const Node&, const OwnedDescriptor&);
//   bool StopOnError(): whether a child that cannot be read or written ends the walk with its
//   error (a store with transactions) or is passed over, with what lies below it.
template <typename Tree, typename Node>
DWORD PropagateInheritance(Tree& tree,
                           const Node& parent,
                           const AceList& parent_dacl,
                           const GENERIC_MAPPING& mapping) {
  for (const Node& child : tree.Children(parent)) {
    OwnedDescriptor sd;
    DWORD error = tree.Read(child, sd);
    if (error == ERROR_SUCCESS && (sd.control & SE_DACL_PROTECTED))
      continue;
    const bool container = tree.IsContainer(child);
    if (error == ERROR_SUCCESS) {
      if (auto dacl = InheritInto(sd, parent_dacl, container, mapping)) {
        sd.dacl = std::move(*dacl);
        sd.control |= SE_DACL_PRESENT | SE_DACL_AUTO_INHERITED;
        error = tree.Write(child, sd);
      } else {
        error = ERROR_INVALID_ACL;
      }
    }
    if (error == ERROR_SUCCESS && container)
      error = PropagateInheritance(tree, child, DaclEntries(sd), mapping);
    if (error != ERROR_SUCCESS && tree.StopOnError())
      return error;
  }
  return ERROR_SUCCESS;
}

}  // namespace standin
