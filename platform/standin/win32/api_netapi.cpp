// Network management: local group members, domain controllers and global group users.
#include <cstring>

#include "platform/standin/win32/api_support.h"

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

// The checks a listing makes first: its outputs given, a level it knows (up to `top`), and a
// server the machine knows.
NET_API_STATUS CheckListing(const AccountDatabase& db,
                            LPCWSTR server,
                            bool outputs,
                            DWORD level,
                            DWORD top,
                            std::optional<LookupSite>& site) {
  if (!outputs)
    return ERROR_INVALID_PARAMETER;
  if (level > top)
    return ERROR_INVALID_LEVEL;
  site = db.SiteFor(server);
  return site ? NERR_Success : static_cast<NET_API_STATUS>(ERROR_BAD_NETPATH);
}

// The page of a listing from `*resume` on that fits into `preferred` bytes (at least one
// record), in one buffer the caller frees with NetApiBufferFree: `write(out, cursor, index)`
// fills the record at `index` of the listing, its strings and SIDs going at `cursor`.
template <typename Write>
NET_API_STATUS HandOutPage(Machine& machine,
                           const std::vector<size_t>& sizes,
                           size_t record,
                           DWORD preferred,
                           LPBYTE* buffer,
                           LPDWORD entries_read,
                           LPDWORD total_entries,
                           PDWORD_PTR resume,
                           Write write) {
  const size_t first = resume ? static_cast<size_t>(*resume) : 0;
  if (first > sizes.size())
    return ERROR_INVALID_PARAMETER;
  const auto [count, bytes] = Page(sizes, first, preferred);
  auto* out = static_cast<BYTE*>(machine.Allocate(BufferKind::kNetApi, bytes));
  if (!out)
    return ERROR_NOT_ENOUGH_MEMORY;
  BYTE* cursor = out + count * record;
  for (size_t i = 0; i < count; ++i)
    write(out, cursor, i, first + i);
  *buffer = out;
  *entries_read = static_cast<DWORD>(count);
  *total_entries = static_cast<DWORD>(sizes.size());
  const bool more = first + count < sizes.size();
  if (resume)
    *resume = more ? first + count : 0;
  return more ? ERROR_MORE_DATA : NERR_Success;
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
  return StatusCall("NetLocalGroupGetMembers", [&](Machine& machine) -> NET_API_STATUS {
    const auto& db = machine.accounts();
    std::optional<LookupSite> site;
    if (const NET_API_STATUS status = CheckListing(
            db, server, group && buffer && entries_read && total_entries, level, 3, site))
      return status;
    // Local groups are named without a domain; a controller's own local groups are not
    // modelled.
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
    return HandOutPage(
        machine, sizes, kRecord[level], preferred_max, buffer, entries_read, total_entries, resume,
        [&](BYTE* out, BYTE*& cursor, size_t i, size_t member) {
          const auto& m = members[member];
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
        });
  });
}

NET_API_STATUS NET_API_FUNCTION NetGroupGetUsers(LPCWSTR server,
                                                 LPCWSTR group,
                                                 DWORD level,
                                                 LPBYTE* buffer,
                                                 DWORD preferred_max,
                                                 LPDWORD entries_read,
                                                 LPDWORD total_entries,
                                                 PDWORD_PTR resume) {
  return StatusCall("NetGroupGetUsers", [&](Machine& machine) -> NET_API_STATUS {
    const auto& db = machine.accounts();
    std::optional<LookupSite> site;
    if (const NET_API_STATUS status = CheckListing(
            db, server, group && buffer && entries_read && total_entries, level, 1, site))
      return status;
    // Global groups live on the controllers of their domains; a workstation lists none.
    const auto index =
        site->is_local() ? std::nullopt : db.FindDomainGroup(site->domain_index, group);
    if (!index)
      return NERR_GroupNotFound;

    std::vector<const std::wstring*> users;
    for (size_t m : db.accounts()[*index].members)
      users.push_back(&db.accounts()[m].name);
    const size_t record = level == 0 ? sizeof(GROUP_USERS_INFO_0) : sizeof(GROUP_USERS_INFO_1);
    std::vector<size_t> sizes;
    for (const auto* u : users)
      sizes.push_back(record + Align((u->size() + 1) * sizeof(wchar_t)));
    return HandOutPage(machine, sizes, record, preferred_max, buffer, entries_read, total_entries,
                       resume, [&](BYTE* out, BYTE*& cursor, size_t i, size_t user) {
                         if (level == 0) {
                           reinterpret_cast<GROUP_USERS_INFO_0*>(out)[i].grui0_name =
                               PutText(cursor, *users[user]);
                           return;
                         }
                         auto& r = reinterpret_cast<GROUP_USERS_INFO_1*>(out)[i];
                         r.grui1_name = PutText(cursor, *users[user]);
                         r.grui1_attributes =
                             SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
                       });
  });
}

NET_API_STATUS NET_API_FUNCTION NetGetDCName(LPCWSTR server, LPCWSTR domain, LPBYTE* buffer) {
  return StatusCall("NetGetDCName", [&](Machine& machine) -> NET_API_STATUS {
    if (!buffer)
      return ERROR_INVALID_PARAMETER;
    const auto& db = machine.accounts();
    if (!db.SiteFor(server))
      return ERROR_BAD_NETPATH;
    // No primary domain is modelled, so an empty domain name finds no controller either.
    const auto index = domain && *domain ? db.FindDomain(domain) : std::nullopt;
    if (!index || !db.domains()[static_cast<size_t>(*index)].controller)
      return NERR_DCNotFound;
    std::wstring name = *db.domains()[static_cast<size_t>(*index)].controller;
    if (name.rfind(L"\\\\", 0) != 0)
      name = L"\\\\" + name;
    wchar_t* out = LocalCopy<wchar_t>(machine, name, BufferKind::kNetApi);
    if (!out)
      return ERROR_NOT_ENOUGH_MEMORY;
    *buffer = reinterpret_cast<LPBYTE>(out);
    return NERR_Success;
  });
}

NET_API_STATUS NET_API_FUNCTION NetApiBufferFree(LPVOID buffer) {
  return StatusCall("NetApiBufferFree", [&](Machine& machine) -> NET_API_STATUS {
    if (!buffer)
      return NERR_Success;
    return machine.Release(BufferKind::kNetApi, buffer) ? NERR_Success : ERROR_INVALID_PARAMETER;
  });
}

}  // extern "C"
