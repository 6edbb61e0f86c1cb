#include "platform/standin/core/sddl_conversion.h"

#include <cstdio>
#include <cstring>
#include <optional>

#include "platform/sddl_rights.h"
#include "platform/standin/core/acl.h"

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

// Entry types with an SDDL form here; object entries (OA, OD...) are refused.
const Named kAceTypes[] = {
    {L"A", ACCESS_ALLOWED_ACE_TYPE},
    {L"D", ACCESS_DENIED_ACE_TYPE},
    {L"AU", SYSTEM_AUDIT_ACE_TYPE},
    {L"AL", SYSTEM_ALARM_ACE_TYPE},
};

constexpr std::wstring_view kNoAccessControl = L"NO_ACCESS_CONTROL";

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

std::optional<SidValue> ParseSid(std::wstring_view text, const AliasDomains& domains) {
  if (auto sid = SidValue::Parse(text))
    return sid;
  return SidForAlias(text, domains);
}

std::optional<DWORD> ParseNumber(std::wstring_view text) {
  unsigned base = 10;
  if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty())
    return std::nullopt;
  std::uint64_t value = 0;
  for (wchar_t c : text) {
    unsigned digit;
    if (c >= L'0' && c <= L'9')
      digit = static_cast<unsigned>(c - L'0');
    else if (base == 16 && c >= L'a' && c <= L'f')
      digit = static_cast<unsigned>(c - L'a' + 10);
    else if (base == 16 && c >= L'A' && c <= L'F')
      digit = static_cast<unsigned>(c - L'A' + 10);
    else
      return std::nullopt;
    value = value * base + digit;
    if (value > 0xFFFFFFFFull)
      return std::nullopt;
  }
  return static_cast<DWORD>(value);
}

// A field made of two-letter names from `table`, such as "OICI" or "GRGW".
std::optional<DWORD> ParseNames(std::wstring_view text, const Named* table, size_t count) {
  DWORD value = 0;
  if (text.size() % 2 != 0)
    return std::nullopt;
  for (size_t i = 0; i < text.size(); i += 2) {
    const std::wstring_view name = text.substr(i, 2);
    const Named* found = nullptr;
    for (size_t k = 0; k < count && !found; ++k) {
      if (name == table[k].name)
        found = &table[k];
    }
    if (!found)
      return std::nullopt;
    value |= found->value;
  }
  return value;
}

std::optional<DWORD> ParseRights(std::wstring_view text) {
  if (!text.empty() && text[0] >= L'0' && text[0] <= L'9')
    return ParseNumber(text);
  if (text.size() % 2 != 0)
    return std::nullopt;
  DWORD mask = 0;
  for (size_t i = 0; i < text.size(); i += 2) {
    const sddl::Right* right = sddl::FindRight(text.data() + i);
    if (!right)
      return std::nullopt;
    mask |= right->mask;
  }
  return mask;
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
  std::optional<BYTE> type;
  for (const auto& t : kAceTypes) {
    if (fields[0] == t.name)
      type = static_cast<BYTE>(t.value);
  }
  const auto flags = ParseNames(fields[1], kAceFlags, std::size(kAceFlags));
  const auto mask = ParseRights(fields[2]);
  // Object types (fields 3 and 4) belong to object entries, which are not taken here.
  const auto sid = ParseSid(fields[5], domains);
  if (!type || !flags || !mask || !fields[3].empty() || !fields[4].empty() || !sid)
    return false;
  acl.Append(*type, static_cast<BYTE>(*flags), *mask, *sid);
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
  while (i < text.size() && text[i] != L'(') {
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
  while (i < text.size()) {
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

void WriteSid(const BYTE* sid, const AliasDomains& domains, std::wstring& text) {
  const auto value = SidValue::FromBytes(sid, SidBytes(sid));
  const std::wstring alias = AliasForSid(*value, domains);
  text += alias.empty() ? value->ToString() : alias;
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
      wchar_t hex[16];
      std::swprintf(hex, std::size(hex), L"0x%x", mask);
      text += hex;
      return;
    }
  }
  for (int bit = 0; bit < 32; ++bit) {
    if (mask & (1u << bit))
      text += sddl::SingleBitName(1u << bit);
  }
}

bool WriteAce(const AceView& ace, const AliasDomains& domains, std::wstring& text) {
  const Named* type = nullptr;
  for (const auto& t : kAceTypes) {
    if (ace.type() == t.value)
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
  WriteRights(ace.mask(), text);
  text += L";;;";
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
  while (i < text.size()) {
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
        sid = ParseSid(value, domains);
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
