#include "cli/explanation.h"

#include <cwchar>
#include <new>
#include <stdexcept>

#include "checks/membership.h"
#include "security/scoped_platform.h"

namespace {

// How deep the member lists are followed: far deeper than any nesting Windows allows.
constexpr int kMaxNesting = 8;

// The name a group's member list is asked for by: its own name for a local group, as
// IsUserInGroup asks for Administrators; DOMAIN\name for a domain's.
std::wstring ListName(PSID sid) {
  WCHAR name[256], domain[256];
  DWORD name_size = 256, domain_size = 256;
  SID_NAME_USE use;
  if (!LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use))
    return {};
  return use == SidTypeAlias || !domain[0] ? std::wstring(name)
                                           : std::wstring(domain) + L"\\" + name;
}

std::vector<BYTE> Bytes(PSID sid) {
  const auto* bytes = static_cast<const BYTE*>(sid);
  return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid));
}

using SidPath = std::vector<std::vector<BYTE>>;

// The SIDs from the subject's user to the group whose member list is asked for by `list`; empty
// when no list shows the way.
SidPath PathThrough(const AccessSubject& subject,
                    const std::wstring& user,
                    const std::vector<BYTE>& group,
                    const std::wstring& list,
                    int depth) {
  PSID user_sid = subject.user();
  if (depth > kMaxNesting || list.empty())
    return {};
  try {
    std::vector<std::pair<std::vector<BYTE>, std::wstring>> held;
    user_in_group_iterator_2 end;
    for (user_in_group_iterator_2 it(list.c_str()); it != end; ++it) {
      const LOCALGROUP_MEMBERS_INFO_2* member = *it;
      if (EqualSid(member->lgrmi2_sid, user_sid))
        return {Bytes(user_sid), group};
      if (member->lgrmi2_sidusage != SidTypeUser && subject.ListsGroup(member->lgrmi2_sid))
        held.emplace_back(Bytes(member->lgrmi2_sid), member->lgrmi2_domainandname);
    }
    // A member group the subject holds: through its own lists, or as the subject holds it.
    for (const auto& [sid, name] : held) {
      SidPath path = PathThrough(subject, user, sid, name, depth + 1);
      if (path.empty())
        path = {Bytes(user_sid), sid};
      path.push_back(group);
      return path;
    }
    return {};
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    // No local group of that name: a domain group, its users listed on a controller.
  }
  try {
    user_in_globalgroup_iterator end;
    for (user_in_globalgroup_iterator it(list.c_str()); it != end; ++it) {
      if (_wcsicmp((*it).c_str(), user.c_str()) == 0)
        return {Bytes(user_sid), group};
    }
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
  }
  return {};
}

}  // namespace

std::wstring AccountName(PSID sid) {
  if (!sid || !IsValidSid(sid))
    return L"(no SID)";
  WCHAR name[256], domain[256];
  DWORD name_size = 256, domain_size = 256;
  SID_NAME_USE use;
  if (LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use))
    return domain[0] ? std::wstring(domain) + L"\\" + name : std::wstring(name);
  vortiss::ScopedLocal<wchar_t> text;
  return ConvertSidToStringSidW(sid, text.receive()) ? std::wstring(text.get()) : L"S-?";
}

std::wstring MaskText(ACCESS_MASK mask) {
  wchar_t text[16];
  std::swprintf(text, 16, L"0x%08x", static_cast<unsigned>(mask));
  return text;
}

std::vector<std::wstring> MembershipPath(const AccessSubject& subject, PSID group) {
  if (!group || EqualSid(group, subject.user()))
    return {};
  std::vector<std::wstring> names;
  for (const auto& sid :
       PathThrough(subject, AccountName(subject.user()), Bytes(group), ListName(group), 0))
    names.push_back(AccountName(const_cast<BYTE*>(sid.data())));
  return names;
}

std::wstring PathText(const std::vector<std::wstring>& path) {
  if (path.empty())
    return {};
  std::wstring text = path.front();
  size_t next = 1;
  if (path.size() > 2)
    text += L" through " + path[next++];
  for (; next < path.size(); ++next)
    text += L", a member of " + path[next];
  return text;
}

std::vector<std::wstring> ExplainLines(const AccessSubject& subject,
                                       const std::optional<AccessWalk>& walk) {
  std::vector<std::wstring> lines;
  if (!walk) {
    lines.push_back(L"explain: the descriptor could not be evaluated");
    return lines;
  }
  if (walk->null_dacl) {
    lines.push_back(L"explain: no DACL: every right is granted");
    return lines;
  }
  if (walk->result == ERROR_PRIVILEGE_NOT_HELD)
    lines.push_back(L"explain: the audit right needs SeSecurityPrivilege enabled");
  if (walk->owner_implicit)
    lines.push_back(L"explain: owner " + AccountName(const_cast<BYTE*>(walk->owner.data())) +
                    L" holds " + MaskText(walk->owner_implicit) + L" implicitly");
  for (const auto& [luid, bits] : walk->privileges) {
    LUID value = {luid, 0};
    WCHAR name[64];
    DWORD size = 64;
    const std::wstring privilege = LookupPrivilegeNameW(nullptr, &value, name, &size)
                                       ? std::wstring(name)
                                       : L"privilege " + std::to_wstring(luid);
    lines.push_back(L"explain: privilege " + privilege + L" granted " + MaskText(bits));
  }
  for (const AccessStep& step : walk->steps) {
    PSID sid = const_cast<BYTE*>(step.sid.data());
    std::wstring line = L"explain: entry " + std::to_wstring(step.index + 1) +
                        (step.deny ? L" deny " : L" allow ") + AccountName(sid) +
                        (step.through_user ? L" (user) " : L" (group) ") +
                        (step.deny ? L"denied " : L"granted ") + MaskText(step.effect);
    if (!step.through_user) {
      if (const std::wstring path = PathText(MembershipPath(subject, sid)); !path.empty())
        line += L": " + path;
    }
    lines.push_back(std::move(line));
  }
  if (walk->conditional)
    lines.push_back(L"explain: entry " + std::to_wstring(*walk->conditional + 1) +
                    L" is conditional: only the platform's check weighs its condition");
  lines.push_back(L"explain: missing " + MaskText(walk->missing));
  return lines;
}
