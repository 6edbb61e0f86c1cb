// AccessCheck on arbitrary (descriptor, mask) pairs with alice's impersonation token. The input
// is the desired mask (4 bytes, little-endian), then a self-relative descriptor. A descriptor
// that does not read must fail with ERROR_INVALID_SECURITY_DESCR and grant nothing; one that
// reads must give an answer that agrees with the mask.
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

constexpr GENERIC_MAPPING kFileMapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE,
                                          FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
constexpr ACCESS_MASK kGeneric = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;
// AccessCheck takes no length: the descriptor is followed by zeros as far as an ACL's 16-bit
// size can reach, so that a part that runs past the input reads zeros, not other memory.
constexpr size_t kPadding = 0x10000 + 8;

HANDLE g_token = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::InstallMachine();
  FUZZ_CHECK(ImpersonateSelf(SecurityImpersonation));
  FUZZ_CHECK(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &g_token));
  FUZZ_CHECK(RevertToSelf());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < sizeof(DWORD) + sizeof(SECURITY_DESCRIPTOR_RELATIVE) || size > 0x100000)
    return 0;
  fuzz::BalanceCheck balance;
  DWORD desired;
  std::memcpy(&desired, data, sizeof desired);
  const size_t length = size - sizeof desired;
  std::vector<BYTE> sd(data + sizeof desired, data + size);
  // Without the self-relative bit, the bytes would be taken for an absolute descriptor's
  // pointers.
  sd[3] |= SE_SELF_RELATIVE >> 8;

  // Offsets past the zeros would send the reader anywhere: such a descriptor has no length
  // that a caller could give.
  for (size_t at = 4; at < sizeof(SECURITY_DESCRIPTOR_RELATIVE); at += 4) {
    DWORD offset;
    std::memcpy(&offset, sd.data() + at, sizeof offset);
    if (offset >= length + 8)
      return 0;
  }
  const ULONG padded_length = static_cast<ULONG>(length + kPadding);
  std::vector<BYTE> padded(sd);
  padded.resize(padded_length);

  const DWORD parts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;
  const bool exact =
      RtlValidRelativeSecurityDescriptor(sd.data(), static_cast<ULONG>(length), parts);
  const bool readable = RtlValidRelativeSecurityDescriptor(padded.data(), padded_length, parts);
  // Valid within its length, valid within any longer extent.
  FUZZ_CHECK(!exact || readable);

  BYTE privileges[sizeof(PRIVILEGE_SET)] = {};
  DWORD privileges_length = sizeof privileges;
  DWORD granted = 0x5eed;
  BOOL status = 0x5eed;
  SetLastError(0x5eed);
  const BOOL checked = AccessCheck(
      padded.data(), g_token, desired, const_cast<PGENERIC_MAPPING>(&kFileMapping),
      reinterpret_cast<PPRIVILEGE_SET>(privileges), &privileges_length, &granted, &status);
  const DWORD error = GetLastError();

  if (!readable) {
    FUZZ_CHECK(!checked);
    FUZZ_CHECK(error == ERROR_INVALID_SECURITY_DESCR);
  } else if (desired & kGeneric) {
    FUZZ_CHECK(!checked);
    FUZZ_CHECK(error == ERROR_GENERIC_NOT_MAPPED);
  } else {
    FUZZ_CHECK(checked);
  }
  if (!checked) {
    FUZZ_CHECK(granted == 0x5eed && status == 0x5eed);
    return 0;
  }
  FUZZ_CHECK(status == TRUE || status == FALSE);
  if (!status) {
    FUZZ_CHECK(granted == 0);
    FUZZ_CHECK(error == ERROR_ACCESS_DENIED || error == ERROR_PRIVILEGE_NOT_HELD);
  } else if (desired & MAXIMUM_ALLOWED) {
    FUZZ_CHECK((granted & desired & ~MAXIMUM_ALLOWED) == (desired & ~MAXIMUM_ALLOWED));
    FUZZ_CHECK((granted & (kGeneric | MAXIMUM_ALLOWED | ACCESS_SYSTEM_SECURITY)) == 0);
  } else {
    FUZZ_CHECK(granted == desired);
  }
  return 0;
}
