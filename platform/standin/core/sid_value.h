// SIDs as values in the platform's binary layout, with the string form S-1-... and the checks
// that the platform applies to SIDs that come from outside.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/standin/win32api.h"

namespace standin {

// Where the fields of a SID lie.
inline constexpr size_t kSidCountOffset = offsetof(SID, SubAuthorityCount);
inline constexpr size_t kSidAuthorityOffset = offsetof(SID, IdentifierAuthority);
inline constexpr size_t kSidSubAuthorityOffset = offsetof(SID, SubAuthority);

// Bytes of a SID with n sub-authorities.
constexpr size_t SidLengthFor(size_t sub_authorities) {
  return kSidSubAuthorityOffset + sizeof(DWORD) * sub_authorities;
}

// Bytes of the SID at `sid`, by the count its header gives.
inline size_t SidLengthAt(const void* sid) {
  return SidLengthFor(static_cast<const BYTE*>(sid)[kSidCountOffset]);
}

// True when the bytes at `sid` hold a SID of revision 1 with at most 15 sub-authorities.
bool SidHeaderValid(const void* sid);

// The length of a valid SID that lies within `available` bytes, or 0 when it is not one.
size_t CheckedSidLength(const void* sid, size_t available);

class SidValue {
 public:
  SidValue() = default;
  SidValue(std::uint64_t authority, std::initializer_list<DWORD> sub_authorities);

  // Copies a SID from memory; nullopt when it is not a valid SID within `available` bytes.
  static std::optional<SidValue> FromBytes(const void* sid, size_t available);
  // Parses "S-1-5-32-544"; SDDL aliases are not accepted here.
  static std::optional<SidValue> Parse(std::wstring_view text);

  // This SID with one more sub-authority.
  SidValue Child(DWORD rid) const;
  // This SID without its last sub-authority (the domain of an account SID).
  SidValue Parent() const;

  const BYTE* data() const { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  size_t sub_authority_count() const { return bytes_.empty() ? 0 : bytes_[kSidCountOffset]; }
  DWORD sub_authority(size_t index) const;
  DWORD last_rid() const { return sub_authority(sub_authority_count() - 1); }
  std::uint64_t authority() const;
  std::wstring ToString() const;

  // True when the valid SID at `sid` is this one. Checks the length and the last four bytes
  // first, where SIDs of one domain differ, as the access check asks it for every entry.
  bool Matches(const void* sid) const {
    const auto* b = static_cast<const BYTE*>(sid);
    const size_t size = SidLengthAt(b);
    return size == bytes_.size() && std::memcmp(b + size - 4, bytes_.data() + size - 4, 4) == 0 &&
           std::memcmp(b, bytes_.data(), size - 4) == 0;
  }

  bool operator==(const SidValue& other) const { return bytes_ == other.bytes_; }
  bool operator<(const SidValue& other) const { return bytes_ < other.bytes_; }

 private:
  std::vector<BYTE> bytes_;
};

}  // namespace standin
