#include "cli/effective_access.h"

#include <cwchar>

#include "security/csid.h"
#include "security/scoped_platform.h"

#ifndef _WIN32
#include "platform/standin/win32/authz_explain.h"
#endif

namespace {

// One DACL entry that applied, as the explanation shows it.
struct Step {
  size_t index = 0;
  bool deny = false;
  std::vector<BYTE> sid;
  bool through_user = false;
  ACCESS_MASK effect = 0;
};

struct Explanation {
  bool valid = false;
  bool null_dacl = false;
  std::vector<BYTE> owner;
  ACCESS_MASK owner_implicit = 0;
  std::vector<std::pair<DWORD, ACCESS_MASK>> privileges;  // LUID and what it granted
  std::vector<Step> steps;
  ACCESS_MASK missing = 0;
};

// The bytes of a valid SID; none for a null or damaged one.
std::vector<BYTE> SidBytes(PSID sid) {
  if (!sid || !IsValidSid(sid))
    return {};
  const auto* bytes = static_cast<const BYTE*>(sid);
  return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid));
}

// The account's qualified name, or the SID's text where no lookup names it.
std::wstring NameOf(const std::vector<BYTE>& sid) {
  if (sid.empty())
    return L"(no SID)";
  PSID raw = const_cast<BYTE*>(sid.data());
  vortiss::ScopedLocal<wchar_t> text;
  std::wstring sid_text =
      ConvertSidToStringSidW(raw, text.receive()) ? std::wstring(text.get()) : L"S-?";
  WCHAR name[256], domain[256];
  DWORD name_size = 256, domain_size = 256;
  SID_NAME_USE use;
  if (!LookupAccountSidW(nullptr, raw, name, &name_size, domain, &domain_size, &use))
    return sid_text;
  return domain[0] ? std::wstring(domain) + L"\\" + name : std::wstring(name);
}

std::wstring PrivilegeName(DWORD luid) {
  LUID value = {luid, 0};
  WCHAR name[64];
  DWORD size = 64;
  if (!LookupPrivilegeNameW(nullptr, &value, name, &size))
    return L"privilege " + std::to_wstring(luid);
  return name;
}

#ifndef _WIN32
// The stand-in's access check explains itself, so the explanation and the answer agree.
Explanation Explain(HANDLE token_or_context,
                    PSECURITY_DESCRIPTOR descriptor,
                    ACCESS_MASK desired,
                    const GENERIC_MAPPING* mapping) {
  Explanation out;
  standin::AccessExplanation why;
  if (standin::ExplainAccess(token_or_context, descriptor, desired, mapping, why) != ERROR_SUCCESS)
    return out;
  out.valid = true;
  out.null_dacl = why.null_dacl;
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (GetSecurityDescriptorOwner(descriptor, &owner, &defaulted))
    out.owner = SidBytes(owner);
  out.owner_implicit = why.owner_implicit;
  for (DWORD luid : why.privileges) {
    const ACCESS_MASK bit = luid == SE_SECURITY_PRIVILEGE ? ACCESS_SYSTEM_SECURITY : WRITE_OWNER;
    out.privileges.emplace_back(luid, bit & why.privileged);
  }
  for (const auto& s : why.steps) {
    Step step;
    step.index = s.index;
    step.deny = s.deny;
    step.sid = std::vector<BYTE>(s.sid.data(), s.sid.data() + s.sid.size());
    step.through_user = s.through_user;
    step.effect = s.effect;
    out.steps.push_back(std::move(step));
  }
  out.missing = why.missing;
  return out;
}
#else
// The SIDs a token or Authz context holds: the user first, then enabled groups, and whether
// each counts only for denials.
struct HeldSid {
  std::vector<BYTE> sid;
  bool deny_only = false;
};

std::vector<BYTE> Information(HANDLE token_or_context, bool context, int which) {
  DWORD needed = 0;
  std::vector<BYTE> buffer;
  for (int attempt = 0; attempt < 2; ++attempt) {
    const BOOL ok =
        context ? AuthzGetInformationFromContext(
                      static_cast<AUTHZ_CLIENT_CONTEXT_HANDLE>(token_or_context),
                      which == 0 ? AuthzContextInfoUserSid : AuthzContextInfoGroupsSids,
                      static_cast<DWORD>(buffer.size()), &needed, buffer.data())
                : GetTokenInformation(token_or_context, which == 0 ? TokenUser : TokenGroups,
                                      buffer.data(), static_cast<DWORD>(buffer.size()), &needed);
    if (ok)
      return buffer;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
      return {};
    buffer.resize(needed);
  }
  return {};
}

bool Holds(const std::vector<HeldSid>& held, PSID sid, bool for_deny) {
  for (const HeldSid& h : held) {
    if (EqualSid(const_cast<BYTE*>(h.sid.data()), sid) && (!h.deny_only || for_deny))
      return true;
  }
  return false;
}

// Windows' access check does not explain itself: the same walk over the descriptor and the
// SIDs the token or context holds.
Explanation Explain(HANDLE token_or_context,
                    PSECURITY_DESCRIPTOR descriptor,
                    ACCESS_MASK desired,
                    const GENERIC_MAPPING* mapping) {
  Explanation out;
  const bool context = mapping == nullptr;
  const std::vector<BYTE> user = Information(token_or_context, context, 0);
  const std::vector<BYTE> groups = Information(token_or_context, context, 1);
  if (user.empty() || groups.empty())
    return out;
  std::vector<HeldSid> held;
  held.push_back({SidBytes(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid), false});
  const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(groups.data());
  for (DWORD i = 0; i < list->GroupCount; ++i) {
    const DWORD attributes = list->Groups[i].Attributes;
    if (attributes & (SE_GROUP_ENABLED | SE_GROUP_USE_FOR_DENY_ONLY))
      held.push_back({SidBytes(list->Groups[i].Sid), (attributes & SE_GROUP_ENABLED) == 0});
  }
  PSID owner = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
      !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
    return out;
  out.valid = true;
  out.owner = SidBytes(owner);
  const ACCESS_MASK wanted = desired & ~MAXIMUM_ALLOWED;
  if (!present || !dacl) {
    out.null_dacl = true;
    return out;
  }
  SID_IDENTIFIER_AUTHORITY creator = SECURITY_CREATOR_SID_AUTHORITY;
  vortiss::ScopedSid owner_rights;
  AllocateAndInitializeSid(&creator, 1, SECURITY_CREATOR_OWNER_RIGHTS_RID, 0, 0, 0, 0, 0, 0, 0,
                           owner_rights.receive());
  const bool is_owner = owner && Holds(held, owner, false);
  bool owner_rights_entry = false;
  std::vector<ACE_HEADER*> entries;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace))
      return out;
    entries.push_back(static_cast<ACE_HEADER*>(ace));
  }
  auto sid_of = [](ACE_HEADER* ace) {
    return static_cast<PSID>(&reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart);
  };
  auto applies = [](ACE_HEADER* ace) {
    return (ace->AceType == ACCESS_ALLOWED_ACE_TYPE || ace->AceType == ACCESS_DENIED_ACE_TYPE) &&
           !(ace->AceFlags & INHERIT_ONLY_ACE);
  };
  for (ACE_HEADER* ace : entries) {
    if (applies(ace) && owner_rights && EqualSid(sid_of(ace), owner_rights.get()))
      owner_rights_entry = true;
  }
  out.owner_implicit = is_owner && !owner_rights_entry ? READ_CONTROL | WRITE_DAC : 0;
  ACCESS_MASK allowed = out.owner_implicit, denied = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    ACE_HEADER* ace = entries[i];
    if (!applies(ace))
      continue;
    const bool deny = ace->AceType == ACCESS_DENIED_ACE_TYPE;
    const bool rights_of_owner = owner_rights && EqualSid(sid_of(ace), owner_rights.get());
    if (rights_of_owner ? !is_owner : !Holds(held, sid_of(ace), deny))
      continue;
    ACCESS_MASK mask = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->Mask;
    if (mapping)
      MapGenericMask(&mask, const_cast<PGENERIC_MAPPING>(mapping));
    mask &= ~(ACCESS_SYSTEM_SECURITY | MAXIMUM_ALLOWED);
    Step step;
    step.index = i;
    step.deny = deny;
    step.sid = SidBytes(sid_of(ace));
    step.through_user = rights_of_owner || EqualSid(held.front().sid.data(), sid_of(ace));
    step.effect = mask & ~allowed & ~denied;
    (deny ? denied : allowed) |= step.effect;
    out.steps.push_back(std::move(step));
  }
  out.missing = wanted & ~allowed;
  return out;
}
#endif

// Whether the context holds the privilege `name` enabled.
bool HoldsEnabled(AUTHZ_CLIENT_CONTEXT_HANDLE context, const wchar_t* name) {
  LUID luid{};
  if (!LookupPrivilegeValueW(nullptr, name, &luid))
    return false;
  DWORD needed = 0;
  std::vector<BYTE> buffer;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (AuthzGetInformationFromContext(context, AuthzContextInfoPrivileges,
                                       static_cast<DWORD>(buffer.size()), &needed,
                                       buffer.empty() ? nullptr : buffer.data()))
      break;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || attempt == 1)
      return false;
    buffer.resize(needed);
  }
  if (buffer.size() < sizeof(DWORD))
    return false;
  const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
  for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
    const LUID_AND_ATTRIBUTES& p = privileges->Privileges[i];
    if (p.Luid.LowPart == luid.LowPart && p.Luid.HighPart == luid.HighPart)
      return (p.Attributes & SE_PRIVILEGE_ENABLED) != 0;
  }
  return false;
}

}  // namespace

bool Reachable(const AccountContext& context, const std::wstring& path, DWORD& error) {
  error = ERROR_SUCCESS;
  if (context.bypasses_traverse())
    return true;
  // Every directory above the object, up to the drive's root.
  auto is_root = [](const std::wstring& p) {
    return p.size() >= 2 && p.back() == L'\\' && p[p.size() - 2] == L':';
  };
  std::wstring current = path;
  while (!is_root(current) && current.size() > 1 && current.back() == L'\\')
    current.pop_back();
  while (!is_root(current)) {
    const size_t cut = current.find_last_of(L'\\');
    if (cut == std::wstring::npos || cut == 0)
      break;
    current.resize(cut);
    if (current.back() == L':')
      current += L'\\';
    ObjectDescriptor descriptor;
    if ((error = descriptor.Read(current, SE_FILE_OBJECT)) != ERROR_SUCCESS)
      return false;
    ACCESS_MASK granted = 0;
    const DWORD result = context.Check(descriptor.get(), FILE_TRAVERSE, granted);
    if (result != ERROR_SUCCESS) {
      error = result == ERROR_ACCESS_DENIED ? ERROR_SUCCESS : result;
      return false;
    }
  }
  return true;
}

AccountContext::AccountContext(const std::wstring& account) {
  std::vector<BYTE> sid;
  try {
    const CSid resolved(account, std::wstring());
    sid = SidBytes(resolved.GetPSid());
  } catch (int) {
    error_ = GetLastError() ? GetLastError() : static_cast<DWORD>(ERROR_NONE_MAPPED);
    return;
  }
  if (sid.empty()) {
    error_ = ERROR_NONE_MAPPED;
    return;
  }
  name_ = NameOf(sid);
  if (!AuthzInitializeResourceManager(AUTHZ_RM_FLAG_NO_AUDIT, nullptr, nullptr, nullptr, L"vortiss",
                                      &manager_)) {
    error_ = GetLastError();
    manager_ = nullptr;
    return;
  }
  if (!AuthzInitializeContextFromSid(AUTHZ_COMPUTE_PRIVILEGES, sid.data(), manager_, nullptr,
                                     LUID{}, nullptr, &context_)) {
    error_ = GetLastError();
    context_ = nullptr;
    return;
  }
  bypasses_traverse_ = HoldsEnabled(context_, L"SeChangeNotifyPrivilege");
}

AccountContext::~AccountContext() {
  if (context_)
    AuthzFreeContext(context_);
  if (manager_)
    AuthzFreeResourceManager(manager_);
}

DWORD AccountContext::Check(PSECURITY_DESCRIPTOR descriptor,
                            ACCESS_MASK desired,
                            ACCESS_MASK& granted) const {
  AUTHZ_ACCESS_REQUEST request = {};
  request.DesiredAccess = desired;
  DWORD error = ERROR_SUCCESS;
  granted = 0;
  AUTHZ_ACCESS_REPLY reply = {};
  reply.ResultListLength = 1;
  reply.GrantedAccessMask = &granted;
  reply.Error = &error;
  if (!AuthzAccessCheck(0, context_, &request, nullptr, descriptor, nullptr, 0, &reply, nullptr))
    return GetLastError();
  return error;
}

ObjectDescriptor::~ObjectDescriptor() {
  vortiss::ScopedLocal<void> owned(descriptor_);
}

DWORD ObjectDescriptor::Read(const std::wstring& name, SE_OBJECT_TYPE type) {
  vortiss::ScopedLocal<void> previous(descriptor_);
  descriptor_ = nullptr;
  return GetNamedSecurityInfoW(
      name.c_str(), type,
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
      nullptr, nullptr, nullptr, &descriptor_);
}

std::wstring MaskText(ACCESS_MASK mask) {
  wchar_t text[16];
  std::swprintf(text, 16, L"0x%08x", static_cast<unsigned>(mask));
  return text;
}

std::vector<std::wstring> ExplainLines(HANDLE token_or_context,
                                       PSECURITY_DESCRIPTOR descriptor,
                                       ACCESS_MASK desired,
                                       const GENERIC_MAPPING* mapping) {
  const Explanation why = Explain(token_or_context, descriptor, desired, mapping);
  std::vector<std::wstring> lines;
  if (!why.valid) {
    lines.push_back(L"explain: the descriptor could not be evaluated");
    return lines;
  }
  if (why.null_dacl) {
    lines.push_back(L"explain: no DACL: every right is granted");
    return lines;
  }
  if (why.owner_implicit)
    lines.push_back(L"explain: owner " + NameOf(why.owner) + L" holds " +
                    MaskText(why.owner_implicit) + L" implicitly");
  for (const auto& [luid, bits] : why.privileges)
    lines.push_back(L"explain: privilege " + PrivilegeName(luid) + L" granted " + MaskText(bits));
  for (const Step& step : why.steps) {
    lines.push_back(L"explain: entry " + std::to_wstring(step.index + 1) +
                    (step.deny ? L" deny " : L" allow ") + NameOf(step.sid) +
                    (step.through_user ? L" (user) " : L" (group) ") +
                    (step.deny ? L"denied " : L"granted ") + MaskText(step.effect));
  }
  lines.push_back(L"explain: missing " + MaskText(why.missing));
  return lines;
}
