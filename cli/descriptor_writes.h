// How an edit reaches the object: a file's or key's owner and DACL written by name, as the
// platform's tools write them, or a value's whole descriptor stored as REG_BINARY.
#pragma once

#include "cli/target.h"
#include "platform/win32.h"

// Writes the owner of a file or key by name, with the privileges the platform's tools enable to
// take ownership and to give it to another.
DWORD WriteOwner(const Target& target, PSID owner);

// Writes the DACL of a file or key by name (`acl` null: a null DACL); the platform adds what the
// parent passes on unless it is protected.
DWORD WriteDacl(const Target& target, PACL acl, bool protect);

// Writes a whole descriptor, of either form, into the target value as REG_BINARY.
DWORD WriteValue(const Target& target, PSECURITY_DESCRIPTOR descriptor);

// A descriptor of its own for a value: `owner` and `group` (either may be null), `acl` as the
// DACL (null: a null DACL), the DACL's inheritance bits of `control`, protected or not.
class ValueDescriptor {
 public:
  DWORD Build(PSID owner, PSID group, PACL acl, SECURITY_DESCRIPTOR_CONTROL control, bool protect);
  PSECURITY_DESCRIPTOR get() { return &descriptor_; }

 private:
  SECURITY_DESCRIPTOR descriptor_ = {};
};
