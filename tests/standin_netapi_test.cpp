// Contract of the stand-in's network management: local group members at every level, paging
// with the resume handle, domain controllers, global group users, and NetApiBufferFree.
#include <string>
#include <vector>

#include "tests/standin_contract.h"

namespace {

constexpr std::string_view kProfile = R"({
  "computer": "WS01",
  "machine_sid": "S-1-5-21-100-200-300",
  "user": "alice",
  "users": ["alice", "bob"],
  "groups": {
    "Administrators": ["alice", "CORP\\Domain Admins", "NT AUTHORITY\\INTERACTIVE", "Everyone",
                       "LAB\\eve", "CORP\\carol"],
    "Helpdesk": ["bob"],
    "Empty": []
  },
  "domains": {
    "CORP": {"sid": "S-1-5-21-1-2-3", "controller": "\\\\DC01", "users": ["carol", "dave"],
             "groups": {"Domain Admins": ["carol", "dave"], "Printers": []}},
    "LAB": {"sid": "S-1-5-21-7-8-9", "users": ["eve"]},
    "EAST": {"controller": "DC02"}
  }
})";

std::string Narrow(std::wstring_view text) {
  return std::string(text.begin(), text.end());
}

struct Member {
  std::wstring sid;
  SID_NAME_USE use;
  std::wstring name;
  bool operator==(const Member&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Member& m) {
  return out << Narrow(m.sid) << " " << int(m.use) << " " << Narrow(m.name);
}

// The members of Administrators in listing order, as level 2 reports them.
const std::vector<Member> kAdministrators = {
    {L"S-1-5-21-100-200-300-1000", SidTypeUser, L"WS01\\alice"},
    {L"S-1-5-21-1-2-3-512", SidTypeGroup, L"CORP\\Domain Admins"},
    {L"S-1-5-4", SidTypeWellKnownGroup, L"NT AUTHORITY\\INTERACTIVE"},
    {L"S-1-1-0", SidTypeWellKnownGroup, L"\\Everyone"},
    {L"S-1-5-21-7-8-9-1000", SidTypeUnknown, L""},  // name checked on its own
    {L"S-1-5-21-1-2-3-1000", SidTypeUser, L"CORP\\carol"},
};

class standin_netapi : public StandinTest {
 protected:
  std::string_view Profile() const override { return kProfile; }

  // One call of level 2; fails the test unless it returns `expected`.
  std::vector<Member> Level2(const wchar_t* group,
                             DWORD preferred,
                             DWORD_PTR* resume,
                             NET_API_STATUS expected,
                             DWORD* total = nullptr) {
    LPBYTE buffer = nullptr;
    DWORD read = 0xFFFF, total_entries = 0xFFFF;
    EXPECT_EQ(NetLocalGroupGetMembers(nullptr, group, 2, &buffer, preferred, &read, &total_entries,
                                      resume),
              expected);
    std::vector<Member> members;
    if (expected != NERR_Success && expected != ERROR_MORE_DATA)
      return members;
    EXPECT_NE(buffer, nullptr);
    const auto* records = reinterpret_cast<const LOCALGROUP_MEMBERS_INFO_2*>(buffer);
    for (DWORD i = 0; i < read; ++i) {
      EXPECT_TRUE(IsValidSid(records[i].lgrmi2_sid));
      members.push_back({SidText(records[i].lgrmi2_sid), records[i].lgrmi2_sidusage,
                         records[i].lgrmi2_domainandname});
    }
    if (total)
      *total = total_entries;
    EXPECT_EQ(NetApiBufferFree(buffer), static_cast<NET_API_STATUS>(NERR_Success));
    return members;
  }
};

TEST_F(standin_netapi, LocalGroupMembersAtLevelTwo) {
  DWORD total = 0;
  auto members = Level2(L"Administrators", MAX_PREFERRED_LENGTH, nullptr, NERR_Success, &total);
  ASSERT_EQ(members.size(), kAdministrators.size());
  EXPECT_EQ(total, kAdministrators.size());
  for (size_t i = 0; i < members.size(); ++i) {
    SCOPED_TRACE(i);
    if (kAdministrators[i].use == SidTypeUnknown) {
      // A member of a domain that cannot be reached: its SID, of no known type.
      EXPECT_EQ(members[i].sid, kAdministrators[i].sid);
      EXPECT_EQ(members[i].use, SidTypeUnknown);
      EXPECT_NE(members[i].name.find(kAdministrators[i].sid), std::wstring::npos);
      continue;
    }
    EXPECT_EQ(members[i], kAdministrators[i]);
  }
}

TEST_F(standin_netapi, LocalGroupMembersAtEveryLevel) {
  for (DWORD level : {0u, 1u, 3u}) {
    SCOPED_TRACE(level);
    LPBYTE buffer = nullptr;
    DWORD read = 0, total = 0;
    ASSERT_EQ(NetLocalGroupGetMembers(nullptr, L"Administrators", level, &buffer,
                                      MAX_PREFERRED_LENGTH, &read, &total, nullptr),
              static_cast<NET_API_STATUS>(NERR_Success));
    ASSERT_EQ(read, kAdministrators.size());
    EXPECT_EQ(total, kAdministrators.size());
    for (DWORD i = 0; i < read; ++i) {
      SCOPED_TRACE(i);
      const auto& expected = kAdministrators[i];
      const size_t slash = expected.name.find(L'\\');
      switch (level) {
        case 0:
          EXPECT_EQ(SidText(reinterpret_cast<LOCALGROUP_MEMBERS_INFO_0*>(buffer)[i].lgrmi0_sid),
                    expected.sid);
          break;
        case 1: {
          const auto& r = reinterpret_cast<LOCALGROUP_MEMBERS_INFO_1*>(buffer)[i];
          EXPECT_EQ(SidText(r.lgrmi1_sid), expected.sid);
          EXPECT_EQ(r.lgrmi1_sidusage, expected.use);
          // Level 1 names carry no domain.
          if (expected.use != SidTypeUnknown) {
            EXPECT_EQ(std::wstring(r.lgrmi1_name), expected.name.substr(slash + 1));
          }
          break;
        }
        case 3: {
          const auto& r = reinterpret_cast<LOCALGROUP_MEMBERS_INFO_3*>(buffer)[i];
          if (expected.use != SidTypeUnknown) {
            EXPECT_EQ(std::wstring(r.lgrmi3_domainandname), expected.name);
          }
          break;
        }
      }
    }
    NetApiBufferFree(buffer);
  }
}

TEST_F(standin_netapi, LocalGroupNamesAndDefaults) {
  EXPECT_EQ(Level2(L"helpdesk", MAX_PREFERRED_LENGTH, nullptr, NERR_Success),
            (std::vector<Member>{{L"S-1-5-21-100-200-300-1001", SidTypeUser, L"WS01\\bob"}}));
  // Groups the profile leaves alone keep the platform's default members.
  EXPECT_EQ(Level2(L"Users", MAX_PREFERRED_LENGTH, nullptr, NERR_Success),
            (std::vector<Member>{
                {L"S-1-5-4", SidTypeWellKnownGroup, L"NT AUTHORITY\\INTERACTIVE"},
                {L"S-1-5-11", SidTypeWellKnownGroup, L"NT AUTHORITY\\Authenticated Users"}}));
  EXPECT_EQ(Level2(L"GUESTS", MAX_PREFERRED_LENGTH, nullptr, NERR_Success),
            (std::vector<Member>{{L"S-1-5-21-100-200-300-501", SidTypeUser, L"WS01\\Guest"}}));
  DWORD total = 0xFFFF;
  EXPECT_TRUE(Level2(L"Empty", MAX_PREFERRED_LENGTH, nullptr, NERR_Success, &total).empty());
  EXPECT_EQ(total, 0u);
}

TEST_F(standin_netapi, LocalGroupMembersFailures) {
  struct Case {
    const wchar_t* server;
    const wchar_t* group;
    DWORD level;
    NET_API_STATUS status;
  };
  const Case cases[] = {
      {nullptr, L"Nope", 2, NERR_GroupNotFound},
      {nullptr, L"alice", 2, NERR_GroupNotFound},                    // a user, no group
      {nullptr, L"BUILTIN\\Administrators", 2, NERR_GroupNotFound},  // names carry no domain
      {nullptr, L"Domain Admins", 2, NERR_GroupNotFound},            // a global group
      {nullptr, L"Administrators", 4, ERROR_INVALID_LEVEL},
      {nullptr, L"Administrators", 100, ERROR_INVALID_LEVEL},
      {L"\\\\NOWHERE", L"Administrators", 2, ERROR_BAD_NETPATH},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.group) + " level " + std::to_string(c.level));
    LPBYTE buffer = reinterpret_cast<LPBYTE>(0x1234);
    DWORD read = 0xFFFF, total = 0xFFFF;
    DWORD_PTR resume = 0;
    EXPECT_EQ(NetLocalGroupGetMembers(c.server, c.group, c.level, &buffer, MAX_PREFERRED_LENGTH,
                                      &read, &total, &resume),
              c.status);
    EXPECT_EQ(buffer, reinterpret_cast<LPBYTE>(0x1234));
    EXPECT_EQ(read, 0xFFFFu);
    EXPECT_EQ(total, 0xFFFFu);
    EXPECT_EQ(resume, 0u);
  }
}

TEST_F(standin_netapi, StatusIsReturnedNotSetAsLastError) {
  LPBYTE buffer = nullptr;
  DWORD read = 0, total = 0;
  SetLastError(kSentinelError);
  EXPECT_EQ(NetLocalGroupGetMembers(nullptr, L"Nope", 2, &buffer, MAX_PREFERRED_LENGTH, &read,
                                    &total, nullptr),
            static_cast<NET_API_STATUS>(NERR_GroupNotFound));
  EXPECT_EQ(NetGetDCName(nullptr, L"LAB", &buffer), static_cast<NET_API_STATUS>(NERR_DCNotFound));
  EXPECT_EQ(GetLastError(), kSentinelError);
}

TEST_F(standin_netapi, PagingWithTheResumeHandle) {
  // A preferred length smaller than one record still makes progress.
  for (DWORD preferred : {1u, 200u, 400u}) {
    SCOPED_TRACE(preferred);
    std::vector<Member> all;
    DWORD_PTR resume = 0;
    NET_API_STATUS status = ERROR_MORE_DATA;
    for (int call = 0; call < 20 && status == ERROR_MORE_DATA; ++call) {
      LPBYTE buffer = nullptr;
      DWORD read = 0, total = 0;
      status = NetLocalGroupGetMembers(nullptr, L"Administrators", 2, &buffer, preferred, &read,
                                       &total, &resume);
      ASSERT_TRUE(status == NERR_Success || status == ERROR_MORE_DATA) << status;
      EXPECT_EQ(total, kAdministrators.size());
      EXPECT_GE(read, 1u);
      const auto* records = reinterpret_cast<const LOCALGROUP_MEMBERS_INFO_2*>(buffer);
      for (DWORD i = 0; i < read; ++i)
        all.push_back({SidText(records[i].lgrmi2_sid), records[i].lgrmi2_sidusage, L""});
      NetApiBufferFree(buffer);
      if (status == ERROR_MORE_DATA) {
        EXPECT_NE(resume, 0u) << "more data, but no resume handle";
      }
    }
    EXPECT_EQ(status, static_cast<NET_API_STATUS>(NERR_Success));
    EXPECT_EQ(resume, 0u) << "a finished listing leaves a resume handle";
    ASSERT_EQ(all.size(), kAdministrators.size()) << "records lost or repeated across pages";
    for (size_t i = 0; i < all.size(); ++i) {
      EXPECT_EQ(all[i].sid, kAdministrators[i].sid);
      EXPECT_EQ(all[i].use, kAdministrators[i].use);
    }
  }
}

TEST_F(standin_netapi, WholeListingInOneCallClearsTheResumeHandle) {
  DWORD_PTR resume = 0;
  EXPECT_EQ(Level2(L"Administrators", MAX_PREFERRED_LENGTH, &resume, NERR_Success).size(),
            kAdministrators.size());
  EXPECT_EQ(resume, 0u);
  // Resuming part way gives the rest.
  resume = 4;
  const auto rest = Level2(L"Administrators", MAX_PREFERRED_LENGTH, &resume, NERR_Success);
  ASSERT_EQ(rest.size(), 2u);
  EXPECT_EQ(rest[1], kAdministrators[5]);
}

TEST_F(standin_netapi, NetGetDCName) {
  struct Case {
    const wchar_t* domain;
    NET_API_STATUS status;
    const wchar_t* controller;
  };
  const Case cases[] = {
      {L"CORP", NERR_Success, L"\\\\DC01"},
      {L"corp", NERR_Success, L"\\\\DC01"},
      {L"EAST", NERR_Success, L"\\\\DC02"},  // written without backslashes in the profile
      {L"LAB", NERR_DCNotFound, nullptr},    // no controller
      {L"NOSUCH", NERR_DCNotFound, nullptr},
      {L"WS01", NERR_DCNotFound, nullptr},  // the computer is no domain with a controller
      {nullptr, NERR_DCNotFound, nullptr},  // no primary domain
      {L"", NERR_DCNotFound, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.domain ? Narrow(c.domain) : "(null)");
    LPBYTE buffer = reinterpret_cast<LPBYTE>(0x1234);
    ASSERT_EQ(NetGetDCName(nullptr, c.domain, &buffer), c.status);
    if (c.status != NERR_Success) {
      EXPECT_EQ(buffer, reinterpret_cast<LPBYTE>(0x1234));
      continue;
    }
    EXPECT_EQ(std::wstring(reinterpret_cast<wchar_t*>(buffer)), c.controller);
    EXPECT_EQ(standin::LiveResourcesNow().net_api_buffers, 1u);
    EXPECT_EQ(NetApiBufferFree(buffer), static_cast<NET_API_STATUS>(NERR_Success));
  }
  LPBYTE buffer = nullptr;
  EXPECT_EQ(NetGetDCName(L"\\\\NOWHERE", L"CORP", &buffer),
            static_cast<NET_API_STATUS>(ERROR_BAD_NETPATH));
}

TEST_F(standin_netapi, GlobalGroupUsersOnTheController) {
  struct Case {
    const wchar_t* server;
    const wchar_t* group;
    std::vector<std::wstring> users;
  };
  const Case cases[] = {
      {L"\\\\DC01", L"Domain Admins", {L"carol", L"dave"}},
      {L"DC01", L"domain admins", {L"carol", L"dave"}},
      // Every user of the domain is in Domain Users.
      {L"\\\\DC01", L"Domain Users", {L"carol", L"dave"}},
      {L"\\\\DC01", L"Printers", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.group));
    for (DWORD level : {0u, 1u}) {
      LPBYTE buffer = nullptr;
      DWORD read = 0xFFFF, total = 0xFFFF;
      ASSERT_EQ(NetGroupGetUsers(c.server, c.group, level, &buffer, MAX_PREFERRED_LENGTH, &read,
                                 &total, nullptr),
                static_cast<NET_API_STATUS>(NERR_Success));
      ASSERT_EQ(read, c.users.size());
      EXPECT_EQ(total, c.users.size());
      for (DWORD i = 0; i < read; ++i) {
        if (level == 0) {
          EXPECT_EQ(std::wstring(reinterpret_cast<GROUP_USERS_INFO_0*>(buffer)[i].grui0_name),
                    c.users[i]);
        } else {
          const auto& r = reinterpret_cast<GROUP_USERS_INFO_1*>(buffer)[i];
          EXPECT_EQ(std::wstring(r.grui1_name), c.users[i]);
        }
      }
      NetApiBufferFree(buffer);
    }
  }
}

TEST_F(standin_netapi, GlobalGroupUsersPageWithTheResumeHandle) {
  DWORD_PTR resume = 0;
  std::vector<std::wstring> users;
  NET_API_STATUS status;
  int calls = 0;
  do {
    LPBYTE buffer = nullptr;
    DWORD read = 0, total = 0;
    status = NetGroupGetUsers(L"\\\\DC01", L"Domain Admins", 0, &buffer, 1, &read, &total, &resume);
    ASSERT_TRUE(status == NERR_Success || status == ERROR_MORE_DATA) << status;
    EXPECT_EQ(read, 1u);
    EXPECT_EQ(total, 2u);
    for (DWORD i = 0; i < read; ++i)
      users.push_back(reinterpret_cast<GROUP_USERS_INFO_0*>(buffer)[i].grui0_name);
    NetApiBufferFree(buffer);
  } while (status == ERROR_MORE_DATA && ++calls < 10);
  EXPECT_EQ(users, (std::vector<std::wstring>{L"carol", L"dave"}));
  EXPECT_EQ(resume, 0u);
}

TEST_F(standin_netapi, GlobalGroupUsersFailures) {
  struct Case {
    const wchar_t* server;
    const wchar_t* group;
    DWORD level;
    NET_API_STATUS status;
  };
  const Case cases[] = {
      {L"\\\\DC01", L"Nope", 0, NERR_GroupNotFound},
      {L"\\\\DC01", L"Administrators", 0, NERR_GroupNotFound},  // a local group
      {nullptr, L"Domain Admins", 0, NERR_GroupNotFound},       // the workstation has none
      {L"\\\\DC01", L"Domain Admins", 2, ERROR_INVALID_LEVEL},
      {L"\\\\NOWHERE", L"Domain Admins", 0, ERROR_BAD_NETPATH},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.group) + " level " + std::to_string(c.level));
    LPBYTE buffer = reinterpret_cast<LPBYTE>(0x1234);
    DWORD read = 0xFFFF, total = 0xFFFF;
    EXPECT_EQ(NetGroupGetUsers(c.server, c.group, c.level, &buffer, MAX_PREFERRED_LENGTH, &read,
                               &total, nullptr),
              c.status);
    EXPECT_EQ(buffer, reinterpret_cast<LPBYTE>(0x1234));
    EXPECT_EQ(read, 0xFFFFu);
  }
}

TEST_F(standin_netapi, BuffersAreCountedUntilFreed) {
  EXPECT_EQ(NetApiBufferFree(nullptr), static_cast<NET_API_STATUS>(NERR_Success));
  std::vector<LPBYTE> buffers;
  for (const wchar_t* group : {L"Administrators", L"Users", L"Helpdesk"}) {
    LPBYTE buffer = nullptr;
    DWORD read = 0, total = 0;
    ASSERT_EQ(NetLocalGroupGetMembers(nullptr, group, 1, &buffer, MAX_PREFERRED_LENGTH, &read,
                                      &total, nullptr),
              static_cast<NET_API_STATUS>(NERR_Success));
    buffers.push_back(buffer);
  }
  EXPECT_EQ(standin::LiveResourcesNow().net_api_buffers, 3u);
  for (LPBYTE b : buffers)
    EXPECT_EQ(NetApiBufferFree(b), static_cast<NET_API_STATUS>(NERR_Success));
  EXPECT_EQ(standin::LiveResourcesNow().net_api_buffers, 0u);
}

}  // namespace
