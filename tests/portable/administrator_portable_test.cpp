// IsUserAdministrator against the platform's own accounts: its trace, and an answer that
// agrees with the platform's listing of Administrators.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "checks/exports.h"
#include "checks/membership.h"
#include "security/scoped_platform.h"
#include "tests/portable/platform_facts.h"

namespace {

// SIDs of the members that NetLocalGroupGetMembers lists for Administrators.
std::vector<std::wstring> ListedAdministrators(NET_API_STATUS* status) {
  vortiss::ScopedNetApiBuffer buffer;
  DWORD read = 0, total = 0;
  *status = NetLocalGroupGetMembers(nullptr, L"Administrators", 0, buffer.receive(),
                                    MAX_PREFERRED_LENGTH, &read, &total, nullptr);
  std::vector<std::wstring> sids;
  const auto* members = reinterpret_cast<const LOCALGROUP_MEMBERS_INFO_0*>(buffer.get());
  for (DWORD i = 0; *status == NERR_Success && i < read; ++i)
    sids.push_back(portable::SidText(members[i].lgrmi0_sid));
  return sids;
}

bool Contains(const std::vector<std::wstring>& lines, const std::wstring& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(AdministratorExport, TracesTheCallerAndTheGroupBeforeItsAnswer) {
  const std::wstring user_sid = portable::ProcessUserSidText();
  ASSERT_FALSE(user_sid.empty());
  vortiss::ScopedLocal<void> raw;
  ASSERT_TRUE(ConvertStringSidToSidW(user_sid.c_str(), raw.receive()));
  const CSid user(raw.get(), std::wstring());

  portable::TraceCapture trace;
  const bool answer = IsUserAdministrator();
  const auto out = trace.out_lines();
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.front(), L"Starting IsUserAdministrator function");
  EXPECT_TRUE(Contains(out, L"Created CSid object with name " + user.GetQualifiedName()));
  EXPECT_TRUE(Contains(out, L"Good - found account name from SID as Administrators"));
  const std::wstring verdict_line =
      L"Good - found user " + user.GetQualifiedName() + L" in group Administrators";
  EXPECT_EQ(Contains(out, verdict_line), answer);

  NET_API_STATUS status = 0;
  const auto listed = ListedAdministrators(&status);
  ASSERT_EQ(status, static_cast<NET_API_STATUS>(NERR_Success));
  if (std::find(listed.begin(), listed.end(), user_sid) != listed.end()) {
    EXPECT_TRUE(answer) << "the user is listed directly";
  }
  if (listed.empty()) {
    EXPECT_FALSE(answer) << "the group lists no one";
  }
}

TEST(AdministratorExport, AdministratorsListsItsMembers) {
  SKIP_UNDER_WINE("NetLocalGroupGetMembers returns no members of Administrators");
  NET_API_STATUS status = 0;
  const auto listed = ListedAdministrators(&status);
  ASSERT_EQ(status, static_cast<NET_API_STATUS>(NERR_Success));
  EXPECT_FALSE(listed.empty());
}

// The level-2 iterator visits the members that the level-0 listing names, in its order.
TEST(AdministratorExport, LocalGroupIteratorVisitsTheListedMembers) {
  NET_API_STATUS status = 0;
  const auto listed = ListedAdministrators(&status);
  ASSERT_EQ(status, static_cast<NET_API_STATUS>(NERR_Success));
  std::vector<std::wstring> visited;
  for (user_in_group_iterator_2 it(L"Administrators"), end; it != end; ++it) {
    visited.push_back(portable::SidText((*it)->lgrmi2_sid));
    EXPECT_NE(std::wstring((*it)->lgrmi2_domainandname).find(L'\\'), std::wstring::npos);
  }
  EXPECT_EQ(visited, listed);
}

TEST(AdministratorExport, LocalGroupIteratorRefusesAGroupThatIsNotThere) {
  SKIP_UNDER_WINE(
      "NetLocalGroupGetMembers answers any group name with an empty list, not "
      "NERR_GroupNotFound");
  EXPECT_THROW(user_in_group_iterator_2(L"No Such Group 7f3a"), std::runtime_error);
}

}  // namespace
