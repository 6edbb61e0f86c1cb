// Security descriptors in the platform's two layouts: absolute (native pointers) and
// self-relative (a 20-byte header with offsets). Reading a descriptor validates every part it
// reaches; the functions return a Win32 error code (ERROR_SUCCESS when they succeed).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/standin/win32api.h"

namespace standin {

// The parts of a descriptor, pointing into the memory that was read.
struct DescriptorParts {
  BYTE revision = SECURITY_DESCRIPTOR_REVISION;
  BYTE sbz1 = 0;
  SECURITY_DESCRIPTOR_CONTROL control = 0;  // never holds SE_SELF_RELATIVE
  const BYTE* owner = nullptr;
  const BYTE* group = nullptr;
  // Null while the matching SE_*_PRESENT bit is set: a null ACL, distinct from an empty one.
  const BYTE* sacl = nullptr;
  const BYTE* dacl = nullptr;

  bool sacl_present() const { return (control & SE_SACL_PRESENT) != 0; }
  bool dacl_present() const { return (control & SE_DACL_PRESENT) != 0; }
};

// The length of a self-relative descriptor the caller did not give.
inline constexpr size_t kUnknownLength = SIZE_MAX;

// The header check every reader of a descriptor makes first: revision 1 (else
// ERROR_UNKNOWN_REVISION), then the form `self_relative` asks for (else `wrong_form`).
DWORD CheckHeader(const void* descriptor, bool self_relative, DWORD wrong_form);

// Reads a self-relative descriptor of `length` bytes, as RtlValidRelativeSecurityDescriptor
// checks it. With kUnknownLength each part is checked within the extent its own header gives
// (a SID's count, an ACL's size), never past it. Errors: ERROR_INVALID_SECURITY_DESCR (too
// short, a bad offset, a bad part), ERROR_UNKNOWN_REVISION, ERROR_BAD_DESCRIPTOR_FORMAT (not
// self-relative).
DWORD ReadSelfRelative(const void* descriptor, size_t length, DescriptorParts& parts);

// Reads an absolute descriptor, checking each part it points to. Errors:
// ERROR_UNKNOWN_REVISION, ERROR_BAD_DESCRIPTOR_FORMAT (self-relative),
// ERROR_INVALID_SECURITY_DESCR (a bad part).
DWORD ReadAbsolute(const void* descriptor, DescriptorParts& parts);

// Reads a descriptor of either form whose length the caller does not give.
DWORD ReadDescriptor(const void* descriptor, DescriptorParts& parts);

// The parts the Get calls read one at a time.
enum class DescriptorPart { kOwner, kGroup, kSacl, kDacl };

// Bytes of a SID or an ACL that reading accepted.
size_t SidBytes(const BYTE* sid);
size_t AclBytes(const BYTE* acl);

// The sum of the parts' sizes; a null ACL counts nothing.
size_t PartsLength(const DescriptorParts& parts);

// Writes `parts` as a self-relative descriptor of 20 + PartsLength(parts) bytes, in the order
// the platform writes: SACL, DACL, owner, group.
void WriteSelfRelative(const DescriptorParts& parts, void* out);

}  // namespace standin
