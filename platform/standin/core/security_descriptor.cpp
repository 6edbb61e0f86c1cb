#include "platform/standin/core/security_descriptor.h"

#include <cstring>

#include "platform/standin/core/acl.h"
#include "platform/standin/core/layout.h"
#include "platform/standin/core/sid_value.h"

namespace standin {

namespace {

// The bytes available at `offset` of a buffer of `length` bytes, or 0 when the offset is below
// the header, unaligned, or at or past the end.
size_t AvailableAt(DWORD offset, size_t length, size_t minimum) {
  if (offset < sizeof(SECURITY_DESCRIPTOR_RELATIVE) || offset % 4 != 0)
    return 0;
  if (length == kUnknownLength)
    return kUnknownLength - offset;
  if (offset >= length || length - offset < minimum)
    return 0;
  return length - offset;
}

bool ReadSidAt(const BYTE* base, DWORD offset, size_t length, const BYTE*& sid) {
  if (offset == 0) {
    sid = nullptr;
    return true;
  }
  const size_t available = AvailableAt(offset, length, 8);
  if (available == 0 || CheckedSidLength(base + offset, available) == 0)
    return false;
  sid = base + offset;
  return true;
}

bool ReadAclAt(const BYTE* base, DWORD offset, size_t length, const BYTE*& acl) {
  if (offset == 0) {  // a null ACL
    acl = nullptr;
    return true;
  }
  const size_t available = AvailableAt(offset, length, sizeof(ACL));
  if (available == 0 || !AclValid(base + offset, available))
    return false;
  acl = base + offset;
  return true;
}

}  // namespace

size_t SidBytes(const BYTE* sid) {
  return sid ? SidLengthAt(sid) : 0;
}

size_t AclBytes(const BYTE* acl) {
  return acl ? AclView(acl).size() : 0;
}

DWORD CheckHeader(const void* descriptor, bool self_relative, DWORD wrong_form) {
  if (static_cast<const BYTE*>(descriptor)[offsetof(SECURITY_DESCRIPTOR_RELATIVE, Revision)] !=
      SECURITY_DESCRIPTOR_REVISION)
    return ERROR_UNKNOWN_REVISION;
  const bool is_self_relative = DescriptorControl(descriptor) & SE_SELF_RELATIVE;
  return is_self_relative == self_relative ? ERROR_SUCCESS : wrong_form;
}

DWORD ReadSelfRelative(const void* descriptor, size_t length, DescriptorParts& parts) {
  if (!descriptor || length < sizeof(SECURITY_DESCRIPTOR_RELATIVE))
    return ERROR_INVALID_SECURITY_DESCR;
  if (const DWORD error = CheckHeader(descriptor, true, ERROR_BAD_DESCRIPTOR_FORMAT))
    return error;
  const auto* b = static_cast<const BYTE*>(descriptor);
  SECURITY_DESCRIPTOR_RELATIVE header;
  std::memcpy(&header, b, sizeof(header));
  DescriptorParts out;
  out.revision = header.Revision;
  out.sbz1 = header.Sbz1;
  out.control = header.Control & ~SE_SELF_RELATIVE;
  // Each part is parsed on its own, so parts that overlap cannot lead a read astray.
  if (!ReadSidAt(b, header.Owner, length, out.owner) ||
      !ReadSidAt(b, header.Group, length, out.group))
    return ERROR_INVALID_SECURITY_DESCR;
  if (out.sacl_present() && !ReadAclAt(b, header.Sacl, length, out.sacl))
    return ERROR_INVALID_SECURITY_DESCR;
  if (out.dacl_present() && !ReadAclAt(b, header.Dacl, length, out.dacl))
    return ERROR_INVALID_SECURITY_DESCR;
  parts = out;
  return ERROR_SUCCESS;
}

DWORD ReadAbsolute(const void* descriptor, DescriptorParts& parts) {
  if (!descriptor)
    return ERROR_INVALID_SECURITY_DESCR;
  if (const DWORD error = CheckHeader(descriptor, false, ERROR_BAD_DESCRIPTOR_FORMAT))
    return error;
  const auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(descriptor);
  DescriptorParts out;
  out.revision = sd->Revision;
  out.sbz1 = sd->Sbz1;
  out.control = sd->Control;
  out.owner = static_cast<const BYTE*>(sd->Owner);
  out.group = static_cast<const BYTE*>(sd->Group);
  if (out.sacl_present())
    out.sacl = reinterpret_cast<const BYTE*>(sd->Sacl);
  if (out.dacl_present())
    out.dacl = reinterpret_cast<const BYTE*>(sd->Dacl);
  if ((out.owner && !SidHeaderValid(out.owner)) || (out.group && !SidHeaderValid(out.group)))
    return ERROR_INVALID_SECURITY_DESCR;
  // An ACL held by pointer is checked within the size its own header gives.
  for (const BYTE* acl : {out.sacl, out.dacl}) {
    if (acl && !AclValid(acl, AclView(acl).size()))
      return ERROR_INVALID_SECURITY_DESCR;
  }
  parts = out;
  return ERROR_SUCCESS;
}

DWORD ReadDescriptor(const void* descriptor, DescriptorParts& parts) {
  if (!descriptor)
    return ERROR_INVALID_SECURITY_DESCR;
  if (DescriptorControl(descriptor) & SE_SELF_RELATIVE)
    return ReadSelfRelative(descriptor, kUnknownLength, parts);
  return ReadAbsolute(descriptor, parts);
}

size_t PartsLength(const DescriptorParts& parts) {
  size_t length = SidBytes(parts.owner) + SidBytes(parts.group);
  if (parts.sacl_present())
    length += AclBytes(parts.sacl);
  if (parts.dacl_present())
    length += AclBytes(parts.dacl);
  return length;
}

void WriteSelfRelative(const DescriptorParts& parts, void* out) {
  auto* b = static_cast<BYTE*>(out);
  SECURITY_DESCRIPTOR_RELATIVE header{};
  header.Revision = parts.revision;
  header.Sbz1 = parts.sbz1;
  header.Control = parts.control | SE_SELF_RELATIVE;
  DWORD offset = sizeof(header);
  auto place = [&](const BYTE* part, size_t bytes, DWORD& field) {
    if (!part)
      return;
    std::memmove(b + offset, part, bytes);
    field = offset;
    offset += static_cast<DWORD>(bytes);
  };
  if (parts.sacl_present())
    place(parts.sacl, AclBytes(parts.sacl), header.Sacl);
  if (parts.dacl_present())
    place(parts.dacl, AclBytes(parts.dacl), header.Dacl);
  place(parts.owner, SidBytes(parts.owner), header.Owner);
  place(parts.group, SidBytes(parts.group), header.Group);
  std::memcpy(b, &header, sizeof(header));
}

}  // namespace standin
