#include "platform/standin/core/sid_value.h"

#include <cstring>

namespace standin {

bool SidHeaderValid(const void* sid) {
  if (!sid)
    return false;
  const auto* b = static_cast<const BYTE*>(sid);
  return b[offsetof(SID, Revision)] == SID_REVISION &&
         b[kSidCountOffset] <= SID_MAX_SUB_AUTHORITIES;
}

size_t CheckedSidLength(const void* sid, size_t available) {
  if (!sid || available < kSidSubAuthorityOffset || !SidHeaderValid(sid))
    return 0;
  const size_t length = SidLengthAt(sid);
  return length <= available ? length : 0;
}

SidValue::SidValue(std::uint64_t authority, std::initializer_list<DWORD> sub_authorities)
    : bytes_(SidLengthFor(sub_authorities.size())) {
  bytes_[offsetof(SID, Revision)] = SID_REVISION;
  bytes_[kSidCountOffset] = static_cast<BYTE>(sub_authorities.size());
  for (int i = 0; i < 6; ++i)
    bytes_[kSidAuthorityOffset + i] = static_cast<BYTE>(authority >> (8 * (5 - i)));
  size_t offset = kSidSubAuthorityOffset;
  for (DWORD rid : sub_authorities) {
    std::memcpy(&bytes_[offset], &rid, sizeof(rid));
    offset += sizeof(rid);
  }
}

std::optional<SidValue> SidValue::FromBytes(const void* sid, size_t available) {
  const size_t length = CheckedSidLength(sid, available);
  if (length == 0)
    return std::nullopt;
  SidValue value;
  const auto* b = static_cast<const BYTE*>(sid);
  value.bytes_.assign(b, b + length);
  return value;
}

std::optional<SidValue> SidValue::Parse(std::wstring_view text) {
  if (text.size() < 2 || (text[0] != L'S' && text[0] != L's') || text[1] != L'-')
    return std::nullopt;
  std::vector<std::uint64_t> fields;
  size_t i = 2;
  while (true) {
    std::uint64_t value = 0;
    size_t digits = 0;
    const bool hex =
        text.size() > i + 1 && text[i] == L'0' && (text[i + 1] == L'x' || text[i + 1] == L'X');
    if (hex)
      i += 2;
    while (i < text.size() && text[i] != L'-') {
      const wchar_t c = text[i];
      unsigned digit;
      if (c >= L'0' && c <= L'9')
        digit = static_cast<unsigned>(c - L'0');
      else if (hex && c >= L'a' && c <= L'f')
        digit = static_cast<unsigned>(c - L'a' + 10);
      else if (hex && c >= L'A' && c <= L'F')
        digit = static_cast<unsigned>(c - L'A' + 10);
      else
        return std::nullopt;
      value = value * (hex ? 16 : 10) + digit;
      if (value > 0xFFFFFFFFFFFFull)
        return std::nullopt;
      ++digits;
      ++i;
    }
    if (digits == 0)
      return std::nullopt;
    fields.push_back(value);
    if (i == text.size())
      break;
    ++i;  // the separator
  }
  // Revision, authority and at least one sub-authority.
  if (fields.size() < 3 || fields[0] != SID_REVISION || fields.size() - 2 > SID_MAX_SUB_AUTHORITIES)
    return std::nullopt;
  SidValue sid(fields[1], {});
  sid.bytes_.resize(SidLengthFor(fields.size() - 2));
  sid.bytes_[kSidCountOffset] = static_cast<BYTE>(fields.size() - 2);
  for (size_t k = 2; k < fields.size(); ++k) {
    if (fields[k] > 0xFFFFFFFFull)
      return std::nullopt;
    const DWORD rid = static_cast<DWORD>(fields[k]);
    std::memcpy(&sid.bytes_[kSidSubAuthorityOffset + sizeof(rid) * (k - 2)], &rid, sizeof(rid));
  }
  return sid;
}

SidValue SidValue::Child(DWORD rid) const {
  SidValue child = *this;
  child.bytes_.resize(bytes_.size() + sizeof(DWORD));
  std::memcpy(&child.bytes_[bytes_.size()], &rid, sizeof(rid));
  child.bytes_[kSidCountOffset] = static_cast<BYTE>(bytes_[kSidCountOffset] + 1);
  return child;
}

SidValue SidValue::Parent() const {
  SidValue parent = *this;
  if (sub_authority_count() > 0) {
    parent.bytes_.resize(bytes_.size() - sizeof(DWORD));
    parent.bytes_[kSidCountOffset] = static_cast<BYTE>(bytes_[kSidCountOffset] - 1);
  }
  return parent;
}

DWORD SidValue::sub_authority(size_t index) const {
  DWORD rid = 0;
  if (index < sub_authority_count())
    std::memcpy(&rid, &bytes_[kSidSubAuthorityOffset + sizeof(rid) * index], sizeof(rid));
  return rid;
}

std::uint64_t SidValue::authority() const {
  std::uint64_t value = 0;
  for (int i = 0; i < 6 && bytes_.size() >= kSidSubAuthorityOffset; ++i)
    value = (value << 8) | bytes_[kSidAuthorityOffset + i];
  return value;
}

std::wstring SidValue::ToString() const {
  if (bytes_.empty())
    return {};
  std::wstring text = L"S-" + std::to_wstring(bytes_[offsetof(SID, Revision)]) + L"-";
  const std::uint64_t auth = authority();
  if (auth >> 32) {
    wchar_t hex[16];
    std::swprintf(hex, 16, L"0x%012llX", static_cast<unsigned long long>(auth));
    text += hex;
  } else {
    text += std::to_wstring(auth);
  }
  for (size_t i = 0; i < sub_authority_count(); ++i)
    text += L"-" + std::to_wstring(sub_authority(i));
  return text;
}

}  // namespace standin
