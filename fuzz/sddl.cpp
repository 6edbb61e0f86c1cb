// SDDL on arbitrary text: a descriptor that ConvertStringSecurityDescriptorToSecurityDescriptorW
// makes is valid, writes back as SDDL, and that text reads back to the same bytes and writes
// the same text again. Only an ACL that keeps unused room (as one built from object entries that
// name no GUID does) reads back tighter.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "security/scoped_platform.h"

namespace {

using vortiss::ScopedLocal;

constexpr SECURITY_INFORMATION kAllParts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                           DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION |
                                           LABEL_SECURITY_INFORMATION;

// The self-relative bytes of `text`; false when the call refuses it.
bool Read(const std::wstring& text, std::vector<BYTE>& bytes) {
  PSECURITY_DESCRIPTOR out = reinterpret_cast<PSECURITY_DESCRIPTOR>(0x5eed);
  ULONG length = 0x5eed;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, &out,
                                                            &length)) {
    FUZZ_CHECK(out == reinterpret_cast<PSECURITY_DESCRIPTOR>(0x5eed));
    return false;
  }
  ScopedLocal<void> sd(out);
  FUZZ_CHECK(RtlValidRelativeSecurityDescriptor(out, length, 0));
  FUZZ_CHECK(GetSecurityDescriptorLength(out) == length);
  const auto* b = static_cast<const BYTE*>(out);
  bytes.assign(b, b + length);
  return true;
}

std::wstring Write(std::vector<BYTE>& bytes) {
  ScopedLocal<wchar_t> text;
  ULONG length = 0;
  FUZZ_CHECK(ConvertSecurityDescriptorToStringSecurityDescriptorW(
      bytes.data(), SDDL_REVISION_1, kAllParts, text.receive(), &length));
  const std::wstring result = text.get();
  FUZZ_CHECK(length == result.size() + 1);
  return result;
}

// True when the DACL or SACL of `bytes` is longer than its entries.
bool KeepsUnusedRoom(std::vector<BYTE>& bytes) {
  for (auto get : {GetSecurityDescriptorDacl, GetSecurityDescriptorSacl}) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    FUZZ_CHECK(get(bytes.data(), &present, &acl, &defaulted));
    if (!present || !acl)
      continue;
    size_t used = sizeof(ACL);
    for (DWORD i = 0; i < acl->AceCount; ++i) {
      void* ace = nullptr;
      FUZZ_CHECK(GetAce(acl, i, &ace));
      used += static_cast<const ACE_HEADER*>(ace)->AceSize;
    }
    if (used != acl->AclSize)
      return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::InstallMachine();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::BalanceCheck balance;
  std::vector<BYTE> bytes;
  if (!Read(fuzz::WideText(data, size), bytes))
    return 0;
  const std::wstring written = Write(bytes);
  std::vector<BYTE> again;
  FUZZ_CHECK(Read(written, again));
  FUZZ_CHECK(again == bytes || KeepsUnusedRoom(bytes));
  FUZZ_CHECK(Write(again) == written);
  return 0;
}
