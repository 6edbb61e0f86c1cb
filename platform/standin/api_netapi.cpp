// Network management: local group members, domain controllers and global group users.
#include <cstring>

#include "platform/standin/api_support.h"
#include "platform/standin/text.h"

using namespace standin;

namespace {

// A member as the listing shows it: DOMAIN\name, or its SID string when its domain cannot be
// reached. The account is referred to, not copied, so a listing costs the same per member
// whatever the group's size.
struct MemberRecord {
  const Account* account;
  bool resolved;
  std::wstring unresolved_name;

  SID_NAME_USE use() const { return resolved ? account->use : SidTypeUnknown; }
  // Characters of the name without terminator; `qualified` with the domain and a backslash.
  size_t name_chars(bool qualified) const {
    if (!resolved)
      return unresolved_name.size();
    return account->name.size() + (qualified ? account->domain.size() + 1 : 0);
  }
};

constexpr size_t Align(size_t n) {
  return (n + 7) & ~size_t{7};
}

// The size of one record of `level` with its strings and SID, as it lies in the buffer.
size_t RecordSize(size_t record,
                  const MemberRecord& m,
                  bool with_sid,
                  bool with_name,
                  bool qualified) {
  size_t size = record;
  if (with_sid)
    size += Align(m.account->sid.size());
  if (with_name)
    size += Align((m.name_chars(qualified) + 1) * sizeof(wchar_t));
  return size;
}

// Picks the records from `resume` on that fit into `preferred` bytes (at least one).
std::pair<size_t, size_t> Page(const std::vector<size_t>& sizes, size_t first, DWORD preferred) {
  size_t count = 0, bytes = 0;
  for (size_t i = first; i < sizes.size(); ++i) {
    if (preferred != MAX_PREFERRED_LENGTH && count > 0 && bytes + sizes[i] > preferred)
      break;
    bytes += sizes[i];
    ++count;
  }
  return {count, bytes};
}

wchar_t* PutText(BYTE*& cursor, const std::wstring& text) {
  auto* out = reinterpret_cast<wchar_t*>(cursor);
  std::memcpy(out, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  cursor += Align((text.size() + 1) * sizeof(wchar_t));
  return out;
}

// Writes a member's name, qualified or not, with its terminator.
wchar_t* PutName(BYTE*& cursor, const MemberRecord& m, bool qualified) {
  auto* out = reinterpret_cast<wchar_t*>(cursor);
  wchar_t* at = out;
  auto put = [&](const std::wstring& text) {
    std::memcpy(at, text.data(), text.size() * sizeof(wchar_t));
    at += text.size();
  };
  if (!m.resolved) {
    put(m.unresolved_name);
  } else {
    if (qualified) {
      put(m.account->domain);
      *at++ = L'\\';
    }
    put(m.account->name);
  }
  *at = 0;
  cursor += Align((m.name_chars(qualified) + 1) * sizeof(wchar_t));
  return out;
}

PSID PutSid(BYTE*& cursor, const SidValue& sid) {
  auto* out = cursor;
  std::memcpy(out, sid.data(), sid.size());
  cursor += Align(sid.size());
  return out;
}

std::optional<NET_API_STATUS> CheckServer(const AccountDatabase& db,
                                          LPCWSTR server,
                                          std::optional<LookupSite>& site) {
  site = db.SiteFor(server);
  if (!site)
    return ERROR_BAD_NETPATH;
  return std::nullopt;
}

}  // namespace

extern "C" {

NET_API_STATUS NET_API_FUNCTION NetLocalGroupGetMembers(LPCWSTR server,
                                                        LPCWSTR group,
                                                        DWORD level,
                                                        LPBYTE* buffer,
                                                        DWORD preferred_max,
                                                        LPDWORD entries_read,
                                                        LPDWORD total_entries,
                                                        PDWORD_PTR resume) {
  auto call = EnterCall("NetLocalGroupGetMembers");
  if (call.fault)
    return *call.fault;
  if (!group || !buffer || !entries_read || !total_entries)
    return ERROR_INVALID_PARAMETER;
  if (level > 3)
    return ERROR_INVALID_LEVEL;
  const auto& db = call.machine->accounts();
  std::optional<LookupSite> site;
  if (auto status = CheckServer(db, server, site))
    return *status;
  // Local groups are named without a domain; a controller's own local groups are not modelled.
  const std::wstring_view name(group);
  const auto index = site->is_local() && name.find(L'\\') == std::wstring_view::npos
                         ? db.FindLocalGroup(name)
                         : std::nullopt;
  if (!index)
    return NERR_GroupNotFound;

  std::vector<MemberRecord> members;
  members.reserve(db.accounts()[*index].members.size());
  for (size_t m : db.accounts()[*index].members) {
    const Account& a = db.accounts()[m];
    if (db.Visible(a, *site))
      members.push_back({&a, true, {}});
    else  // a member whose domain cannot be reached
      members.push_back({&a, false, a.sid.ToString()});
  }

  static constexpr size_t kRecord[] = {
      sizeof(LOCALGROUP_MEMBERS_INFO_0), sizeof(LOCALGROUP_MEMBERS_INFO_1),
      sizeof(LOCALGROUP_MEMBERS_INFO_2), sizeof(LOCALGROUP_MEMBERS_INFO_3)};
  const bool with_sid = level != 3;
  const bool with_name = level != 0;
  const bool qualified = level != 1;
  std::vector<size_t> sizes;
  sizes.reserve(members.size());
  for (const auto& m : members)
    sizes.push_back(RecordSize(kRecord[level], m, with_sid, with_name, qualified));
  const size_t first = resume ? static_cast<size_t>(*resume) : 0;
  if (first > members.size())
    return ERROR_INVALID_PARAMETER;
  const auto [count, bytes] = Page(sizes, first, preferred_max);

  auto* out = static_cast<BYTE*>(call.machine->Allocate(BufferKind::kNetApi, bytes));
  if (!out)
    return ERROR_NOT_ENOUGH_MEMORY;
  BYTE* cursor = out + count * kRecord[level];
  for (size_t i = 0; i < count; ++i) {
    const auto& m = members[first + i];
    switch (level) {
      case 0:
        reinterpret_cast<LOCALGROUP_MEMBERS_INFO_0*>(out)[i].lgrmi0_sid =
            PutSid(cursor, m.account->sid);
        break;
      case 1: {
        auto& r = reinterpret_cast<LOCALGROUP_MEMBERS_INFO_1*>(out)[i];
        r.lgrmi1_sid = PutSid(cursor, m.account->sid);
        r.lgrmi1_sidusage = m.use();
        r.lgrmi1_name = PutName(cursor, m, false);
        break;
      }
      case 2: {
        auto& r = reinterpret_cast<LOCALGROUP_MEMBERS_INFO_2*>(out)[i];
        r.lgrmi2_sid = PutSid(cursor, m.account->sid);
        r.lgrmi2_sidusage = m.use();
        r.lgrmi2_domainandname = PutName(cursor, m, true);
        break;
      }
      case 3:
        reinterpret_cast<LOCALGROUP_MEMBERS_INFO_3*>(out)[i].lgrmi3_domainandname =
            PutName(cursor, m, true);
        break;
    }
  }
  *buffer = out;
  *entries_read = static_cast<DWORD>(count);
  *total_entries = static_cast<DWORD>(members.size());
  const bool more = first + count < members.size();
  if (resume)
    *resume = more ? first + count : 0;
  return more ? ERROR_MORE_DATA : NERR_Success;
}

NET_API_STATUS NET_API_FUNCTION NetGroupGetUsers(LPCWSTR server,
                                                 LPCWSTR group,
                                                 DWORD level,
                                                 LPBYTE* buffer,
                                                 DWORD preferred_max,
                                                 LPDWORD entries_read,
                                                 LPDWORD total_entries,
                                                 PDWORD_PTR resume) {
  auto call = EnterCall("NetGroupGetUsers");
  if (call.fault)
    return *call.fault;
  if (!group || !buffer || !entries_read || !total_entries)
    return ERROR_INVALID_PARAMETER;
  if (level > 1)
    return ERROR_INVALID_LEVEL;
  const auto& db = call.machine->accounts();
  std::optional<LookupSite> site;
  if (auto status = CheckServer(db, server, site))
    return *status;
  // Global groups live on the controllers of their domains; a workstation lists none.
  const auto index =
      site->is_local() ? std::nullopt : db.FindDomainGroup(site->domain_index, group);
  if (!index)
    return NERR_GroupNotFound;

  std::vector<std::wstring> users;
  for (size_t m : db.accounts()[*index].members)
    users.push_back(db.accounts()[m].name);
  const size_t record = level == 0 ? sizeof(GROUP_USERS_INFO_0) : sizeof(GROUP_USERS_INFO_1);
  std::vector<size_t> sizes;
  for (const auto& u : users)
    sizes.push_back(record + Align((u.size() + 1) * sizeof(wchar_t)));
  const size_t first = resume ? static_cast<size_t>(*resume) : 0;
  if (first > users.size())
    return ERROR_INVALID_PARAMETER;
  const auto [count, bytes] = Page(sizes, first, preferred_max);

  auto* out = static_cast<BYTE*>(call.machine->Allocate(BufferKind::kNetApi, bytes));
  if (!out)
    return ERROR_NOT_ENOUGH_MEMORY;
  BYTE* cursor = out + count * record;
  for (size_t i = 0; i < count; ++i) {
    if (level == 0) {
      reinterpret_cast<GROUP_USERS_INFO_0*>(out)[i].grui0_name = PutText(cursor, users[first + i]);
    } else {
      auto& r = reinterpret_cast<GROUP_USERS_INFO_1*>(out)[i];
      r.grui1_name = PutText(cursor, users[first + i]);
      r.grui1_attributes = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
    }
  }
  *buffer = out;
  *entries_read = static_cast<DWORD>(count);
  *total_entries = static_cast<DWORD>(users.size());
  const bool more = first + count < users.size();
  if (resume)
    *resume = more ? first + count : 0;
  return more ? ERROR_MORE_DATA : NERR_Success;
}

NET_API_STATUS NET_API_FUNCTION NetGetDCName(LPCWSTR server, LPCWSTR domain, LPBYTE* buffer) {
  auto call = EnterCall("NetGetDCName");
  if (call.fault)
    return *call.fault;
  if (!buffer)
    return ERROR_INVALID_PARAMETER;
  const auto& db = call.machine->accounts();
  std::optional<LookupSite> site;
  if (auto status = CheckServer(db, server, site))
    return *status;
  // No primary domain is modelled, so an empty domain name finds no controller either.
  const auto index = domain && *domain ? db.FindDomain(domain) : std::nullopt;
  if (!index || !db.domains()[static_cast<size_t>(*index)].controller)
    return NERR_DCNotFound;
  std::wstring name = *db.domains()[static_cast<size_t>(*index)].controller;
  if (name.rfind(L"\\\\", 0) != 0)
    name = L"\\\\" + name;
  auto* out = static_cast<wchar_t*>(
      call.machine->Allocate(BufferKind::kNetApi, (name.size() + 1) * sizeof(wchar_t)));
  if (!out)
    return ERROR_NOT_ENOUGH_MEMORY;
  std::memcpy(out, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
  *buffer = reinterpret_cast<LPBYTE>(out);
  return NERR_Success;
}

NET_API_STATUS NET_API_FUNCTION NetApiBufferFree(LPVOID buffer) {
  auto call = EnterCall("NetApiBufferFree");
  if (call.fault)
    return *call.fault;
  if (!buffer)
    return NERR_Success;
  return call.machine->Release(BufferKind::kNetApi, buffer) ? NERR_Success
                                                            : ERROR_INVALID_PARAMETER;
}

}  // extern "C"
