// Self-relative descriptors from arbitrary bytes: RtlValidRelativeSecurityDescriptor must agree
// with the stand-in's reader, and a descriptor it accepts must go through MakeAbsoluteSD and
// back through MakeSelfRelativeSD to the same parts.
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/standin/core/security_descriptor.h"

namespace {

BYTE* DataOrNull(std::vector<BYTE>& v) {
  return v.empty() ? nullptr : v.data();
}

bool SameSid(const BYTE* a, const BYTE* b) {
  if (!a || !b)
    return a == b;
  return standin::SidBytes(a) == standin::SidBytes(b) &&
         std::memcmp(a, b, standin::SidBytes(a)) == 0;
}

bool SameAcl(const BYTE* a, const BYTE* b) {
  if (!a || !b)
    return a == b;
  return standin::AclBytes(a) == standin::AclBytes(b) &&
         std::memcmp(a, b, standin::AclBytes(a)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::InstallMachine();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xFFFFFFFFu)
    return 0;
  fuzz::BalanceCheck balance;
  // A copy of exactly the input's size, so that any read past it is caught.
  std::vector<BYTE> bytes(data, data + size);
  const ULONG length = static_cast<ULONG>(size);

  standin::DescriptorParts parts;
  const bool valid = RtlValidRelativeSecurityDescriptor(DataOrNull(bytes), length, 0);
  FUZZ_CHECK(valid == (standin::ReadSelfRelative(DataOrNull(bytes), size, parts) == ERROR_SUCCESS));
  const bool complete = RtlValidRelativeSecurityDescriptor(
      DataOrNull(bytes), length, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION);
  FUZZ_CHECK(complete == (valid && parts.owner && parts.group));
  if (!valid)
    return 0;

  // Accepted within its length, it reads the same without one.
  FUZZ_CHECK(IsValidSecurityDescriptor(bytes.data()));
  FUZZ_CHECK(GetSecurityDescriptorLength(bytes.data()) ==
             sizeof(SECURITY_DESCRIPTOR_RELATIVE) + standin::PartsLength(parts));

  DWORD absolute_length = 0, dacl_length = 0, sacl_length = 0, owner_length = 0, group_length = 0;
  SetLastError(0);
  FUZZ_CHECK(!MakeAbsoluteSD(bytes.data(), nullptr, &absolute_length, nullptr, &dacl_length,
                             nullptr, &sacl_length, nullptr, &owner_length, nullptr,
                             &group_length));
  FUZZ_CHECK(GetLastError() == ERROR_INSUFFICIENT_BUFFER);
  FUZZ_CHECK(absolute_length == sizeof(SECURITY_DESCRIPTOR));
  FUZZ_CHECK(owner_length == standin::SidBytes(parts.owner));
  FUZZ_CHECK(group_length == standin::SidBytes(parts.group));
  FUZZ_CHECK(dacl_length == standin::AclBytes(parts.dacl));
  FUZZ_CHECK(sacl_length == standin::AclBytes(parts.sacl));

  std::vector<BYTE> absolute(absolute_length), dacl(dacl_length), sacl(sacl_length),
      owner(owner_length), group(group_length);
  FUZZ_CHECK(MakeAbsoluteSD(bytes.data(), absolute.data(), &absolute_length,
                            reinterpret_cast<PACL>(DataOrNull(dacl)), &dacl_length,
                            reinterpret_cast<PACL>(DataOrNull(sacl)), &sacl_length,
                            DataOrNull(owner), &owner_length, DataOrNull(group), &group_length));
  FUZZ_CHECK(IsValidSecurityDescriptor(absolute.data()));

  DWORD relative_length = 0;
  SetLastError(0);
  FUZZ_CHECK(!MakeSelfRelativeSD(absolute.data(), nullptr, &relative_length));
  FUZZ_CHECK(GetLastError() == ERROR_INSUFFICIENT_BUFFER);
  FUZZ_CHECK(relative_length == GetSecurityDescriptorLength(bytes.data()));
  std::vector<BYTE> relative(relative_length);
  FUZZ_CHECK(MakeSelfRelativeSD(absolute.data(), relative.data(), &relative_length));

  standin::DescriptorParts again;
  FUZZ_CHECK(RtlValidRelativeSecurityDescriptor(relative.data(), relative_length, 0));
  FUZZ_CHECK(standin::ReadSelfRelative(relative.data(), relative.size(), again) == ERROR_SUCCESS);
  FUZZ_CHECK(again.revision == parts.revision);
  FUZZ_CHECK(again.control == parts.control);
  FUZZ_CHECK(SameSid(again.owner, parts.owner));
  FUZZ_CHECK(SameSid(again.group, parts.group));
  FUZZ_CHECK(SameAcl(again.dacl, parts.dacl));
  FUZZ_CHECK(SameAcl(again.sacl, parts.sacl));
  return 0;
}
