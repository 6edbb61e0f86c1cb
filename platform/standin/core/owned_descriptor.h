// A security descriptor that owns copies of its parts: read from any validated descriptor,
// edited part by part, and written out in self-relative form.
#pragma once

#include <vector>

#include "platform/standin/core/security_descriptor.h"

namespace standin {

struct OwnedDescriptor {
  SECURITY_DESCRIPTOR_CONTROL control = 0;  // never holds SE_SELF_RELATIVE
  std::vector<BYTE> owner;                  // empty: none
  std::vector<BYTE> group;
  // Empty while the matching SE_*_PRESENT bit is set: a null ACL.
  std::vector<BYTE> sacl;
  std::vector<BYTE> dacl;

  static OwnedDescriptor From(const DescriptorParts& parts);
  DescriptorParts Parts() const;
  std::vector<BYTE> SelfRelative() const;

  // Only the parts `information` names (owner, group, DACL, SACL), with their control bits.
  OwnedDescriptor Select(SECURITY_INFORMATION information) const&;
  OwnedDescriptor Select(SECURITY_INFORMATION information) &&;
  // Replaces the parts `information` names with those of `source`.
  void Assign(const OwnedDescriptor& source, SECURITY_INFORMATION information);

  bool operator==(const OwnedDescriptor&) const = default;
};

}  // namespace standin
