// The access rights that SDDL names with two letters ("FA", "KR", "GW", "RC"), as the platform
// reads them in a descriptor's text; shared by the stand-in's SDDL and the host's RIGHTS, so that
// both read a name the same way.
#pragma once

#include "platform/win32.h"

namespace sddl {

struct Right {
  const wchar_t* name;
  ACCESS_MASK mask;
};

// The directory-service rights (ADS_RIGHTS_ENUM in iads.h) that SDDL names.
inline constexpr ACCESS_MASK kDsCreateChild = 0x00000001;
inline constexpr ACCESS_MASK kDsDeleteChild = 0x00000002;
inline constexpr ACCESS_MASK kActrlDsList = 0x00000004;
inline constexpr ACCESS_MASK kDsSelf = 0x00000008;
inline constexpr ACCESS_MASK kDsReadProperty = 0x00000010;
inline constexpr ACCESS_MASK kDsWriteProperty = 0x00000020;
inline constexpr ACCESS_MASK kDsDeleteTree = 0x00000040;
inline constexpr ACCESS_MASK kDsListObject = 0x00000080;
inline constexpr ACCESS_MASK kDsControlAccess = 0x00000100;

// In the order the platform matches a whole mask against them when it writes one.
inline constexpr Right kRights[] = {
    {L"GA", GENERIC_ALL},
    {L"GR", GENERIC_READ},
    {L"GW", GENERIC_WRITE},
    {L"GX", GENERIC_EXECUTE},
    {L"RC", READ_CONTROL},
    {L"SD", DELETE},
    {L"WD", WRITE_DAC},
    {L"WO", WRITE_OWNER},
    {L"RP", kDsReadProperty},
    {L"WP", kDsWriteProperty},
    {L"CC", kDsCreateChild},
    {L"DC", kDsDeleteChild},
    {L"LC", kActrlDsList},
    {L"SW", kDsSelf},
    {L"LO", kDsListObject},
    {L"DT", kDsDeleteTree},
    {L"CR", kDsControlAccess},
    {L"FA", FILE_ALL_ACCESS},
    {L"FR", FILE_GENERIC_READ},
    {L"FW", FILE_GENERIC_WRITE},
    {L"FX", FILE_GENERIC_EXECUTE},
    {L"KA", KEY_ALL_ACCESS},
    {L"KR", KEY_READ},
    {L"KW", KEY_WRITE},
    {L"KX", KEY_EXECUTE},
};

// The rights of a mandatory label entry (ML), in the order the platform writes them. They are
// read in any entry, and written only in labels, whose masks hold nothing else.
inline constexpr Right kLabelRights[] = {
    {L"NW", SYSTEM_MANDATORY_LABEL_NO_WRITE_UP},
    {L"NR", SYSTEM_MANDATORY_LABEL_NO_READ_UP},
    {L"NX", SYSTEM_MANDATORY_LABEL_NO_EXECUTE_UP},
};

// The right `name` (its first two characters) stands for; nullptr when SDDL has no such name.
template <typename Char>
const Right* FindRight(const Char* name) {
  auto named = [&](const Right& right) {
    return static_cast<wchar_t>(name[0]) == right.name[0] &&
           static_cast<wchar_t>(name[1]) == right.name[1];
  };
  for (const Right& right : kRights) {
    if (named(right))
      return &right;
  }
  for (const Right& right : kLabelRights) {
    if (named(right))
      return &right;
  }
  return nullptr;
}

// The name of a single bit outside labels, or nullptr when SDDL has none for it.
inline const wchar_t* SingleBitName(ACCESS_MASK bit) {
  for (const Right& right : kRights) {
    if (right.mask == bit)
      return right.name;
  }
  return nullptr;
}

}  // namespace sddl
