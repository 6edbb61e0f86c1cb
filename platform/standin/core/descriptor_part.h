// The read of one part of a descriptor that each Get call makes, inline so that a call for one
// part compiles to the reads of that part alone.
#pragma once

#include <cstddef>

#include "platform/standin/core/acl.h"
#include "platform/standin/core/layout.h"
#include "platform/standin/core/security_descriptor.h"
#include "platform/standin/core/sid_value.h"
#include "platform/standin/win32api.h"

namespace standin {

// A part's own header: a SID of revision 1 with at most 15 sub-authorities, or an ACL of
// revision 2 to 4 whose size holds its header and is a multiple of 4.
inline bool PartHeaderValid(const BYTE* part, bool is_acl) {
  if (!is_acl)
    return SidHeaderValid(part);
  const AclView acl(part);
  return acl.revision() >= MIN_ACL_REVISION && acl.revision() <= MAX_ACL_REVISION &&
         acl.size() >= sizeof(ACL) && acl.size() % 4 == 0;
}

// Reads one part of a descriptor of either form, as the Get calls do: the header, then only
// `part`, checked as far as its own header goes (a SID's revision and count; an ACL's revision
// and size). An ACL's entries are checked where they are walked. The other parts of `parts` are
// left unset. Errors as ReadDescriptor's.
[[gnu::always_inline]] inline DWORD ReadDescriptorPart(const void* descriptor,
                                                       DescriptorPart part,
                                                       DescriptorParts& parts) {
  if (!descriptor)
    return ERROR_INVALID_SECURITY_DESCR;
  const auto* b = static_cast<const BYTE*>(descriptor);
  // Either form is read as it stands, so only the revision is checked here.
  if (b[offsetof(SECURITY_DESCRIPTOR_RELATIVE, Revision)] != SECURITY_DESCRIPTOR_REVISION)
    return ERROR_UNKNOWN_REVISION;
  const SECURITY_DESCRIPTOR_CONTROL control = DescriptorControl(descriptor);
  const bool self_relative = control & SE_SELF_RELATIVE;
  DescriptorParts out;
  out.revision = SECURITY_DESCRIPTOR_REVISION;
  out.sbz1 = b[offsetof(SECURITY_DESCRIPTOR_RELATIVE, Sbz1)];
  out.control = control & ~SE_SELF_RELATIVE;
  const bool is_acl = part == DescriptorPart::kSacl || part == DescriptorPart::kDacl;
  if ((part == DescriptorPart::kSacl && !out.sacl_present()) ||
      (part == DescriptorPart::kDacl && !out.dacl_present())) {
    parts = out;
    return ERROR_SUCCESS;
  }
  // Where the part stands in either form, and where it goes in `parts`.
  size_t relative_field = offsetof(SECURITY_DESCRIPTOR_RELATIVE, Owner);
  size_t absolute_field = offsetof(SECURITY_DESCRIPTOR, Owner);
  const BYTE** slot = &out.owner;
  switch (part) {
    case DescriptorPart::kOwner:
      break;
    case DescriptorPart::kGroup:
      relative_field = offsetof(SECURITY_DESCRIPTOR_RELATIVE, Group);
      absolute_field = offsetof(SECURITY_DESCRIPTOR, Group);
      slot = &out.group;
      break;
    case DescriptorPart::kSacl:
      relative_field = offsetof(SECURITY_DESCRIPTOR_RELATIVE, Sacl);
      absolute_field = offsetof(SECURITY_DESCRIPTOR, Sacl);
      slot = &out.sacl;
      break;
    case DescriptorPart::kDacl:
      relative_field = offsetof(SECURITY_DESCRIPTOR_RELATIVE, Dacl);
      absolute_field = offsetof(SECURITY_DESCRIPTOR, Dacl);
      slot = &out.dacl;
      break;
  }
  const BYTE* at = nullptr;
  if (self_relative) {
    const DWORD offset = ReadAt<DWORD>(b, relative_field);
    if (offset != 0) {
      if (offset < sizeof(SECURITY_DESCRIPTOR_RELATIVE) || offset % 4 != 0)
        return ERROR_INVALID_SECURITY_DESCR;
      at = b + offset;
    }
  } else {
    at = ReadAt<const BYTE*>(b, absolute_field);
  }
  if (at && !PartHeaderValid(at, is_acl))
    return ERROR_INVALID_SECURITY_DESCR;
  *slot = at;
  parts = out;
  return ERROR_SUCCESS;
}

}  // namespace standin
