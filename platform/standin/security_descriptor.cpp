#include "platform/standin/security_descriptor.h"

#include <cstring>

#include "platform/standin/acl.h"
#include "platform/standin/sid_value.h"

namespace standin {

namespace {

template <typename T>
T Read(const BYTE* p) {
  T value;
  std::memcpy(&value, p, sizeof(value));
  return value;
}

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
  return sid ? SidLengthFor(sid[1]) : 0;
}

size_t AclBytes(const BYTE* acl) {
  return acl ? Read<WORD>(acl + 2) : 0;
}

DWORD ReadSelfRelative(const void* descriptor, size_t length, DescriptorParts& parts) {
  if (!descriptor || length < sizeof(SECURITY_DESCRIPTOR_RELATIVE))
    return ERROR_INVALID_SECURITY_DESCR;
  const auto* b = static_cast<const BYTE*>(descriptor);
  SECURITY_DESCRIPTOR_RELATIVE header;
  std::memcpy(&header, b, sizeof(header));
  if (header.Revision != SECURITY_DESCRIPTOR_REVISION)
    return ERROR_UNKNOWN_REVISION;
  if (!(header.Control & SE_SELF_RELATIVE))
    return ERROR_BAD_DESCRIPTOR_FORMAT;
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
  const auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(descriptor);
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION)
    return ERROR_UNKNOWN_REVISION;
  if (sd->Control & SE_SELF_RELATIVE)
    return ERROR_BAD_DESCRIPTOR_FORMAT;
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
    if (acl && !AclValid(acl, Read<WORD>(acl + 2)))
      return ERROR_INVALID_SECURITY_DESCR;
  }
  parts = out;
  return ERROR_SUCCESS;
}

DWORD ReadDescriptor(const void* descriptor, DescriptorParts& parts) {
  if (!descriptor)
    return ERROR_INVALID_SECURITY_DESCR;
  const auto control = Read<SECURITY_DESCRIPTOR_CONTROL>(static_cast<const BYTE*>(descriptor) + 2);
  if (control & SE_SELF_RELATIVE)
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
