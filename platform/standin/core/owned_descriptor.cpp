#include "platform/standin/core/owned_descriptor.h"

#include <utility>

namespace standin {

namespace {

constexpr SECURITY_DESCRIPTOR_CONTROL kDaclBits = SE_DACL_PRESENT | SE_DACL_DEFAULTED |
                                                  SE_DACL_AUTO_INHERIT_REQ |
                                                  SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED;
constexpr SECURITY_DESCRIPTOR_CONTROL kSaclBits = SE_SACL_PRESENT | SE_SACL_DEFAULTED |
                                                  SE_SACL_AUTO_INHERIT_REQ |
                                                  SE_SACL_AUTO_INHERITED | SE_SACL_PROTECTED;

std::vector<BYTE> Copy(const BYTE* part, size_t bytes) {
  return part ? std::vector<BYTE>(part, part + bytes) : std::vector<BYTE>();
}

const BYTE* Pointer(const std::vector<BYTE>& part) {
  return part.empty() ? nullptr : part.data();
}

// The control bits that belong to the parts `information` names.
SECURITY_DESCRIPTOR_CONTROL ControlBits(SECURITY_INFORMATION information) {
  SECURITY_DESCRIPTOR_CONTROL bits = SE_RM_CONTROL_VALID;
  if (information & OWNER_SECURITY_INFORMATION)
    bits |= SE_OWNER_DEFAULTED;
  if (information & GROUP_SECURITY_INFORMATION)
    bits |= SE_GROUP_DEFAULTED;
  if (information & DACL_SECURITY_INFORMATION)
    bits |= kDaclBits;
  if (information & SACL_SECURITY_INFORMATION)
    bits |= kSaclBits;
  return bits;
}

}  // namespace

OwnedDescriptor OwnedDescriptor::From(const DescriptorParts& parts) {
  OwnedDescriptor d;
  d.control = parts.control & ~SE_SELF_RELATIVE;
  d.owner = Copy(parts.owner, SidBytes(parts.owner));
  d.group = Copy(parts.group, SidBytes(parts.group));
  if (parts.sacl_present())
    d.sacl = Copy(parts.sacl, AclBytes(parts.sacl));
  if (parts.dacl_present())
    d.dacl = Copy(parts.dacl, AclBytes(parts.dacl));
  return d;
}

DescriptorParts OwnedDescriptor::Parts() const {
  DescriptorParts parts;
  parts.control = control;
  parts.owner = Pointer(owner);
  parts.group = Pointer(group);
  parts.sacl = (control & SE_SACL_PRESENT) ? Pointer(sacl) : nullptr;
  parts.dacl = (control & SE_DACL_PRESENT) ? Pointer(dacl) : nullptr;
  return parts;
}

std::vector<BYTE> OwnedDescriptor::SelfRelative() const {
  const DescriptorParts parts = Parts();
  std::vector<BYTE> out(sizeof(SECURITY_DESCRIPTOR_RELATIVE) + PartsLength(parts));
  WriteSelfRelative(parts, out.data());
  return out;
}

namespace {

// The parts of `source` that `information` names, copied from an lvalue and moved from an
// rvalue.
template <typename Source>
OwnedDescriptor Selected(Source&& source, SECURITY_INFORMATION information) {
  OwnedDescriptor d;
  d.control = source.control & ControlBits(information);
  if (information & OWNER_SECURITY_INFORMATION)
    d.owner = std::forward<Source>(source).owner;
  if (information & GROUP_SECURITY_INFORMATION)
    d.group = std::forward<Source>(source).group;
  if (information & DACL_SECURITY_INFORMATION)
    d.dacl = std::forward<Source>(source).dacl;
  if (information & SACL_SECURITY_INFORMATION)
    d.sacl = std::forward<Source>(source).sacl;
  return d;
}

}  // namespace

OwnedDescriptor OwnedDescriptor::Select(SECURITY_INFORMATION information) const& {
  return Selected(*this, information);
}

OwnedDescriptor OwnedDescriptor::Select(SECURITY_INFORMATION information) && {
  return Selected(std::move(*this), information);
}

void OwnedDescriptor::Assign(const OwnedDescriptor& source, SECURITY_INFORMATION information) {
  const SECURITY_DESCRIPTOR_CONTROL bits = ControlBits(information) & ~SE_RM_CONTROL_VALID;
  control = static_cast<SECURITY_DESCRIPTOR_CONTROL>((control & ~bits) | (source.control & bits));
  if (information & OWNER_SECURITY_INFORMATION)
    owner = source.owner;
  if (information & GROUP_SECURITY_INFORMATION)
    group = source.group;
  if (information & DACL_SECURITY_INFORMATION)
    dacl = source.dacl;
  if (information & SACL_SECURITY_INFORMATION)
    sacl = source.sacl;
}

}  // namespace standin
