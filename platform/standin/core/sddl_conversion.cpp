#include "platform/standin/core/sddl_conversion.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "platform/sddl_rights.h"
#include "platform/standin/core/acl.h"
#include "platform/standin/core/layout.h"

namespace standin {

namespace {

struct Named {
  const wchar_t* name;
  DWORD value;
};

// Entry flags in the order the platform writes them.
const Named kAceFlags[] = {
    {L"OI", OBJECT_INHERIT_ACE},
    {L"CI", CONTAINER_INHERIT_ACE},
    {L"NP", NO_PROPAGATE_INHERIT_ACE},
    {L"IO", INHERIT_ONLY_ACE},
    {L"ID", INHERITED_ACE},
    {L"SA", SUCCESSFUL_ACCESS_ACE_FLAG},
    {L"FA", FAILED_ACCESS_ACE_FLAG},
};

struct AceType {
  const wchar_t* name;
  BYTE type;
  bool object;
  BYTE plain;  // object types: the type an entry that names no GUID becomes
};

// Entry types with an SDDL form here; conditional (callback) and resource entries are refused.
const AceType kAceTypes[] = {
    {L"A", ACCESS_ALLOWED_ACE_TYPE, false, 0},
    {L"D", ACCESS_DENIED_ACE_TYPE, false, 0},
    {L"AU", SYSTEM_AUDIT_ACE_TYPE, false, 0},
    {L"AL", SYSTEM_ALARM_ACE_TYPE, false, 0},
    {L"OA", ACCESS_ALLOWED_OBJECT_ACE_TYPE, true, ACCESS_ALLOWED_ACE_TYPE},
    {L"OD", ACCESS_DENIED_OBJECT_ACE_TYPE, true, ACCESS_DENIED_ACE_TYPE},
    {L"OU", SYSTEM_AUDIT_OBJECT_ACE_TYPE, true, SYSTEM_AUDIT_ACE_TYPE},
    {L"OL", SYSTEM_ALARM_OBJECT_ACE_TYPE, true, SYSTEM_ALARM_ACE_TYPE},
    {L"ML", SYSTEM_MANDATORY_LABEL_ACE_TYPE, false, 0},
};

constexpr std::wstring_view kNoAccessControl = L"NO_ACCESS_CONTROL";
constexpr size_t kGuidTextLength = 36;

// The ACL control flags of D: or S:, in the order the platform writes them.
struct AclFlag {
  const wchar_t* name;
  SECURITY_DESCRIPTOR_CONTROL dacl;
  SECURITY_DESCRIPTOR_CONTROL sacl;
};
const AclFlag kAclFlags[] = {
    {L"P", SE_DACL_PROTECTED, SE_SACL_PROTECTED},
    {L"AR", SE_DACL_AUTO_INHERIT_REQ, SE_SACL_AUTO_INHERIT_REQ},
    {L"AI", SE_DACL_AUTO_INHERITED, SE_SACL_AUTO_INHERITED},
};

// The platform lets blanks stand between tokens; only the space counts as one.
constexpr wchar_t kBlank = L' ';

size_t SkipBlanks(std::wstring_view text, size_t i) {
  while (i < text.size() && text[i] == kBlank)
    ++i;
  return i;
}

wchar_t Upper(wchar_t c) {
  return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - (L'a' - L'A')) : c;
}

bool SameName(std::wstring_view text, const wchar_t* name) {
  const std::wstring_view expected(name);
  if (text.size() != expected.size())
    return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (Upper(text[i]) != expected[i])
      return false;
  }
  return true;
}

int DigitValue(wchar_t c, unsigned base) {
  int digit = -1;
  if (c >= L'0' && c <= L'9')
    digit = c - L'0';
  else if (c >= L'a' && c <= L'f')
    digit = c - L'a' + 10;
  else if (c >= L'A' && c <= L'F')
    digit = c - L'A' + 10;
  return digit >= 0 && static_cast<unsigned>(digit) < base ? digit : -1;
}

bool HexPrefix(std::wstring_view text, size_t i) {
  return i + 1 < text.size() && text[i] == L'0' && (text[i + 1] == L'x' || text[i + 1] == L'X');
}

// Reads digits of `base` at `i` up to the first non-digit, saturating at `cap`; nullopt when
// there is no digit.
std::optional<std::uint64_t> ReadDigits(std::wstring_view text,
                                        size_t& i,
                                        unsigned base,
                                        std::uint64_t cap) {
  const size_t start = i;
  std::uint64_t value = 0;
  for (int digit; i < text.size() && (digit = DigitValue(text[i], base)) >= 0; ++i) {
    value = value > (cap - static_cast<unsigned>(digit)) / base ? cap : value * base + digit;
  }
  if (i == start)
    return std::nullopt;
  return value;
}

// An access mask written as a number at `i`, read as the platform reads it: hexadecimal after
// "0x", octal after a leading 0, else decimal, up to the first character that is no digit of
// its base. A value past 32 bits is capped at 0xffffffff. nullopt when there is no digit.
std::optional<DWORD> ReadMaskNumber(std::wstring_view text, size_t& i) {
  unsigned base = 10;
  if (HexPrefix(text, i)) {
    base = 16;
    i += 2;
  } else if (i + 1 < text.size() && text[i] == L'0') {
    base = 8;
  }
  const auto value = ReadDigits(text, i, base, 0xFFFFFFFFull);
  if (!value)
    return std::nullopt;
  return static_cast<DWORD>(*value);
}

bool IsDigit(wchar_t c) {
  return c >= L'0' && c <= L'9';
}

// A field of two-letter names that `find` knows, such as "OICI" or "GR GW": blanks may open the
// field and stand between names, but not follow the last one. An empty field is 0.
template <typename Find>
std::optional<DWORD> ParseNameList(std::wstring_view text, Find find) {
  DWORD value = 0;
  size_t i = SkipBlanks(text, 0);
  bool first = true;
  while (i < text.size()) {
    if (!first)
      i = SkipBlanks(text, i);
    if (i + 2 > text.size())
      return std::nullopt;
    const std::optional<DWORD> named = find(text.substr(i, 2));
    if (!named)
      return std::nullopt;
    value |= *named;
    i += 2;
    first = false;
  }
  return value;
}

std::optional<DWORD> ParseAceFlags(std::wstring_view text) {
  return ParseNameList(text, [](std::wstring_view name) -> std::optional<DWORD> {
    for (const auto& f : kAceFlags) {
      if (SameName(name, f.name))
        return f.value;
    }
    return std::nullopt;
  });
}

// The rights of an entry: two-letter names and numbers, mixed in any order ("GR0x1f",
// "0xFFFFFGR"), their rights combined. Blanks may open the field and stand between two names,
// but not follow the last token nor touch a number; a minus may open the field before a
// number, and negates it. An empty field is 0.
std::optional<DWORD> ParseRights(std::wstring_view text) {
  DWORD value = 0;
  size_t i = SkipBlanks(text, 0);
  bool first = true;
  bool after_number = false;
  while (i < text.size()) {
    if (!first && text[i] == kBlank) {
      i = SkipBlanks(text, i);
      if (after_number || i == text.size() || IsDigit(text[i]))
        return std::nullopt;
    }
    const bool negative = first && text[i] == L'-';
    if (negative || IsDigit(text[i])) {
      if (negative)
        ++i;
      const auto number = ReadMaskNumber(text, i);
      if (!number)
        return std::nullopt;
      value |= negative ? static_cast<DWORD>(0u - *number) : *number;
      after_number = true;
    } else {
      if (i + 2 > text.size())
        return std::nullopt;
      // The platform reads names in any case.
      const wchar_t upper[] = {Upper(text[i]), Upper(text[i + 1])};
      const sddl::Right* right = sddl::FindRight(upper);
      if (!right)
        return std::nullopt;
      value |= right->mask;
      i += 2;
      after_number = false;
    }
    first = false;
  }
  return value;
}

// A SID written out, "S-1-5-21-...", as SDDL reads it: blanks may precede each number; a number
// is decimal, or hexadecimal after "0x" (and every number is, once the revision was written so).
// Authorities above 48 bits are refused; sub-authorities above 32 bits are capped at 0xffffffff.
std::optional<SidValue> ParseSidString(std::wstring_view text) {
  if (text.size() < 2 || Upper(text[0]) != L'S' || text[1] != L'-')
    return std::nullopt;
  constexpr std::uint64_t kMaxAuthority = 0xFFFFFFFFFFFFull;
  std::vector<std::uint64_t> fields;
  bool all_hex = false;
  size_t i = 2;
  while (true) {
    i = SkipBlanks(text, i);
    const bool hex = all_hex || HexPrefix(text, i);
    if (HexPrefix(text, i))
      i += 2;
    const auto value = ReadDigits(text, i, hex ? 16 : 10, kMaxAuthority + 1);
    if (!value)
      return std::nullopt;
    if (fields.empty())
      all_hex = hex;
    fields.push_back(*value);
    if (i == text.size())
      break;
    if (text[i] != L'-')
      return std::nullopt;
    ++i;
  }
  // Revision, authority and at least one sub-authority.
  if (fields.size() < 3 || fields[0] != SID_REVISION || fields[1] > kMaxAuthority ||
      fields.size() - 2 > SID_MAX_SUB_AUTHORITIES)
    return std::nullopt;
  SidValue sid(fields[1], {});
  for (size_t k = 2; k < fields.size(); ++k)
    sid = sid.Child(static_cast<DWORD>(std::min<std::uint64_t>(fields[k], 0xFFFFFFFFull)));
  return sid;
}

// An owner, group or trustee: a SID written out, or an alias that blanks may follow.
std::optional<SidValue> ParseTrustee(std::wstring_view text, const AliasDomains& domains) {
  text.remove_prefix(SkipBlanks(text, 0));
  if (text.size() >= 2 && Upper(text[0]) == L'S' && text[1] == L'-')
    return ParseSidString(text);
  while (!text.empty() && text.back() == kBlank)
    text.remove_suffix(1);
  if (text.size() != 2)
    return std::nullopt;
  // SDDL reads aliases in any case.
  const wchar_t alias[] = {Upper(text[0]), Upper(text[1])};
  return SidForAlias(std::wstring_view(alias, 2), domains);
}

// "bf967aba-0de6-11d0-a285-00aa003049e2" in either case, nothing around it.
std::optional<GUID> ParseGuid(std::wstring_view text) {
  if (text.size() != kGuidTextLength)
    return std::nullopt;
  std::uint8_t bytes[16];
  size_t at = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != L'-')
        return std::nullopt;
      continue;
    }
    const int high = DigitValue(text[i], 16);
    const int low = i + 1 < text.size() ? DigitValue(text[i + 1], 16) : -1;
    if (high < 0 || low < 0)
      return std::nullopt;
    bytes[at++] = static_cast<std::uint8_t>(high * 16 + low);
    ++i;
  }
  // The text gives Data1, Data2 and Data3 most significant byte first.
  GUID guid;
  guid.Data1 = static_cast<DWORD>(bytes[0]) << 24 | static_cast<DWORD>(bytes[1]) << 16 |
               static_cast<DWORD>(bytes[2]) << 8 | bytes[3];
  guid.Data2 = static_cast<WORD>(bytes[4] << 8 | bytes[5]);
  guid.Data3 = static_cast<WORD>(bytes[6] << 8 | bytes[7]);
  std::memcpy(guid.Data4, bytes + 8, sizeof(guid.Data4));
  return guid;
}

// An object GUID field: absent when empty or blank, else one GUID.
bool ParseGuidField(std::wstring_view text, std::optional<GUID>& guid) {
  if (SkipBlanks(text, 0) == text.size()) {
    guid.reset();
    return true;
  }
  guid = ParseGuid(text);
  return guid.has_value();
}

std::vector<std::wstring_view> Split(std::wstring_view text, wchar_t separator) {
  std::vector<std::wstring_view> fields;
  size_t start = 0;
  while (true) {
    const size_t end = text.find(separator, start);
    fields.push_back(text.substr(start, end == std::wstring_view::npos ? end : end - start));
    if (end == std::wstring_view::npos)
      return fields;
    start = end + 1;
  }
}

// One entry, the text between its parentheses, appended to `acl`.
bool ParseAce(std::wstring_view text, const AliasDomains& domains, AclBuilder& acl) {
  const auto fields = Split(text, L';');
  if (fields.size() != 6)
    return false;
  const std::wstring_view type_name = fields[0].substr(SkipBlanks(fields[0], 0));
  const AceType* type = nullptr;
  for (const auto& t : kAceTypes) {
    if (SameName(type_name, t.name))
      type = &t;
  }
  std::optional<GUID> object, inherited;
  const auto flags = ParseAceFlags(fields[1]);
  const auto mask = ParseRights(fields[2]);
  const auto sid = ParseTrustee(fields[5], domains);
  if (!type || !flags || !mask || !sid || !ParseGuidField(fields[3], object) ||
      !ParseGuidField(fields[4], inherited))
    return false;
  const BYTE ace_flags = static_cast<BYTE>(*flags);
  if (!type->object) {
    // Only object entries carry GUIDs.
    if (object || inherited)
      return false;
    acl.Append(type->type, ace_flags, *mask, *sid);
  } else if (!object && !inherited) {
    // An object entry that names no GUID becomes the plain entry; the platform keeps the room
    // of the object entry's flags unused at the end of the ACL.
    acl.Append(type->plain, ace_flags, *mask, *sid);
    acl.AddUnusedRoom(sizeof(DWORD));
    acl.RaiseRevision(ACL_REVISION_DS);
  } else {
    acl.AppendObject(type->type, ace_flags, *mask, object ? &*object : nullptr,
                     inherited ? &*inherited : nullptr, *sid);
    acl.RaiseRevision(ACL_REVISION_DS);
  }
  return acl.size() <= kMaxAclSize;
}

struct ParsedAcl {
  SECURITY_DESCRIPTOR_CONTROL flags = 0;
  bool null = false;
  std::vector<BYTE> bytes;
};

// The text after "D:" or "S:": control flags, then the entries or NO_ACCESS_CONTROL.
bool ParseAcl(std::wstring_view text, bool dacl, const AliasDomains& domains, ParsedAcl& out) {
  size_t i = 0;
  while ((i = SkipBlanks(text, i)) < text.size() && text[i] != L'(') {
    const std::wstring_view rest = text.substr(i);
    if (rest.starts_with(kNoAccessControl)) {
      out.null = true;
      i += kNoAccessControl.size();
      continue;
    }
    const AclFlag* found = nullptr;
    for (const auto& f : kAclFlags) {
      if (rest.starts_with(f.name))
        found = &f;
    }
    if (!found)
      return false;
    out.flags |= dacl ? found->dacl : found->sacl;
    i += std::wcslen(found->name);
  }
  AclBuilder acl;
  size_t count = 0;
  while ((i = SkipBlanks(text, i)) < text.size()) {
    const size_t close = text.find(L')', i);
    if (text[i] != L'(' || close == std::wstring_view::npos)
      return false;
    if (!ParseAce(text.substr(i + 1, close - i - 1), domains, acl))
      return false;
    ++count;
    i = close + 1;
  }
  // A null ACL has no entries; anything else stays a real (perhaps empty) ACL.
  if (out.null && count > 0)
    return false;
  auto bytes = std::move(acl).Finish();
  if (!bytes)
    return false;
  out.bytes = std::move(*bytes);
  return true;
}

// A SID as SDDL writes one that has no alias: an authority of more than 32 bits in hexadecimal.
std::wstring SidString(const SidValue& sid) {
  std::wstring text = L"S-" + std::to_wstring(sid.data()[offsetof(SID, Revision)]) + L"-";
  const std::uint64_t authority = sid.authority();
  if (authority >> 32) {
    wchar_t hex[24];
    std::swprintf(hex, std::size(hex), L"0x%llX", static_cast<unsigned long long>(authority));
    text += hex;
  } else {
    text += std::to_wstring(authority);
  }
  for (size_t i = 0; i < sid.sub_authority_count(); ++i)
    text += L"-" + std::to_wstring(sid.sub_authority(i));
  return text;
}

void WriteSid(const BYTE* sid, const AliasDomains& domains, std::wstring& text) {
  const auto value = SidValue::FromBytes(sid, SidBytes(sid));
  const std::wstring alias = AliasForSid(*value, domains);
  text += alias.empty() ? SidString(*value) : alias;
}

void WriteHex(DWORD mask, std::wstring& text) {
  wchar_t hex[16];
  std::swprintf(hex, std::size(hex), L"0x%x", mask);
  text += hex;
}

void WriteRights(DWORD mask, std::wstring& text) {
  if (mask == 0)
    return;
  for (const auto& r : sddl::kRights) {
    if (mask == r.mask) {
      text += r.name;
      return;
    }
  }
  for (int bit = 0; bit < 32; ++bit) {
    if ((mask & (1u << bit)) && !sddl::SingleBitName(1u << bit)) {
      WriteHex(mask, text);
      return;
    }
  }
  for (int bit = 0; bit < 32; ++bit) {
    if (mask & (1u << bit))
      text += sddl::SingleBitName(1u << bit);
  }
}

// A label's mask by the names of its three policies, or in hexadecimal when it holds more.
void WriteLabelRights(DWORD mask, std::wstring& text) {
  DWORD named = 0;
  for (const auto& r : sddl::kLabelRights)
    named |= r.mask;
  if (mask & ~named) {
    WriteHex(mask, text);
    return;
  }
  for (const auto& r : sddl::kLabelRights) {
    if (mask & r.mask)
      text += r.name;
  }
}

void WriteGuid(const BYTE* at, std::wstring& text) {
  GUID guid;
  std::memcpy(&guid, at, sizeof(guid));
  wchar_t buffer[kGuidTextLength + 1];
  std::swprintf(buffer, std::size(buffer), L"%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  text += buffer;
}

bool WriteAce(const AceView& ace, const AliasDomains& domains, std::wstring& text) {
  const AceType* type = nullptr;
  for (const auto& t : kAceTypes) {
    if (ace.type() == t.type)
      type = &t;
  }
  if (!type)
    return false;
  text += L"(";
  text += type->name;
  text += L";";
  for (const auto& f : kAceFlags) {
    if (ace.flags() & f.value)
      text += f.name;
  }
  text += L";";
  if (type->type == SYSTEM_MANDATORY_LABEL_ACE_TYPE)
    WriteLabelRights(ace.mask(), text);
  else
    WriteRights(ace.mask(), text);
  text += L";";
  if (type->object) {
    // The GUIDs the flags announce follow them, the object type first.
    const DWORD present = ace.object_flags();
    size_t at = offsetof(ACCESS_ALLOWED_OBJECT_ACE, ObjectType);
    for (const DWORD flag : {ACE_OBJECT_TYPE_PRESENT, ACE_INHERITED_OBJECT_TYPE_PRESENT}) {
      if (present & flag) {
        WriteGuid(ace.data() + at, text);
        at += sizeof(GUID);
      }
      text += L";";
    }
  } else {
    text += L";;";
  }
  WriteSid(ace.sid(), domains, text);
  text += L")";
  return true;
}

bool WriteAcl(const BYTE* acl,
              SECURITY_DESCRIPTOR_CONTROL control,
              bool dacl,
              const AliasDomains& domains,
              std::wstring& text) {
  for (const auto& f : kAclFlags) {
    if (control & (dacl ? f.dacl : f.sacl))
      text += f.name;
  }
  if (!acl) {
    text += kNoAccessControl;
    return true;
  }
  for (const AceView ace : AclView(acl)) {
    if (!WriteAce(ace, domains, text))
      return false;
  }
  return true;
}

}  // namespace

DWORD ParseSddl(std::wstring_view text,
                const AliasDomains& domains,
                std::vector<BYTE>& descriptor) {
  std::optional<SidValue> owner, group;
  std::optional<ParsedAcl> dacl, sacl;
  size_t i = 0;
  while ((i = SkipBlanks(text, i)) < text.size()) {
    if (i + 1 >= text.size() || text[i + 1] != L':')
      return ERROR_INVALID_PARAMETER;
    const wchar_t kind = text[i];
    const size_t start = i + 2;
    // A component runs up to the letter that opens the next one.
    const size_t colon = text.find(L':', start);
    const size_t end = colon == std::wstring_view::npos ? text.size() : colon - 1;
    if (end < start)
      return ERROR_INVALID_PARAMETER;
    const std::wstring_view value = text.substr(start, end - start);
    switch (kind) {
      case L'O':
      case L'G': {
        auto& sid = kind == L'O' ? owner : group;
        if (sid)
          return ERROR_INVALID_PARAMETER;
        sid = ParseTrustee(value, domains);
        if (!sid)
          return ERROR_INVALID_SID;
        break;
      }
      case L'D':
      case L'S': {
        auto& acl = kind == L'D' ? dacl : sacl;
        if (acl)
          return ERROR_INVALID_PARAMETER;
        acl.emplace();
        if (!ParseAcl(value, kind == L'D', domains, *acl))
          return ERROR_INVALID_ACL;
        break;
      }
      default:
        return ERROR_INVALID_PARAMETER;
    }
    i = end;
  }

  DescriptorParts parts;
  if (owner)
    parts.owner = owner->data();
  if (group)
    parts.group = group->data();
  if (dacl) {
    parts.control |= SE_DACL_PRESENT | dacl->flags;
    parts.dacl = dacl->null ? nullptr : dacl->bytes.data();
  }
  if (sacl) {
    parts.control |= SE_SACL_PRESENT | sacl->flags;
    parts.sacl = sacl->null ? nullptr : sacl->bytes.data();
  }
  descriptor.assign(sizeof(SECURITY_DESCRIPTOR_RELATIVE) + PartsLength(parts), 0);
  WriteSelfRelative(parts, descriptor.data());
  return ERROR_SUCCESS;
}

DWORD WriteSddl(const DescriptorParts& parts,
                SECURITY_INFORMATION information,
                const AliasDomains& domains,
                std::wstring& text) {
  std::wstring out;
  if ((information & OWNER_SECURITY_INFORMATION) && parts.owner) {
    out += L"O:";
    WriteSid(parts.owner, domains, out);
  }
  if ((information & GROUP_SECURITY_INFORMATION) && parts.group) {
    out += L"G:";
    WriteSid(parts.group, domains, out);
  }
  if ((information & DACL_SECURITY_INFORMATION) && parts.dacl_present()) {
    out += L"D:";
    if (!WriteAcl(parts.dacl, parts.control, true, domains, out))
      return ERROR_INVALID_ACL;
  }
  if ((information & SACL_SECURITY_INFORMATION) && parts.sacl_present()) {
    out += L"S:";
    if (!WriteAcl(parts.sacl, parts.control, false, domains, out))
      return ERROR_INVALID_ACL;
  }
  text = std::move(out);
  return ERROR_SUCCESS;
}

}  // namespace standin
