// Contract of the token calls on the process's own token: opening with MAXIMUM_ALLOWED, the
// information classes with their two-call sizing and layouts, duplicates and membership. The
// same source runs on the stand-in and, built for Windows, under Wine.
#include <vector>

#include <gtest/gtest.h>

#include "security/scoped_platform.h"
#include "tests/portable/platform_facts.h"

namespace {

using portable::AllBytesAre;
using portable::kSentinelError;
using portable::SidBytes;
using portable::SidText;

// The size of one class's answer, from the sizing call; 0 when the class is refused.
DWORD SizeOf(HANDLE token, TOKEN_INFORMATION_CLASS info_class) {
  DWORD needed = 0;
  SetLastError(kSentinelError);
  if (GetTokenInformation(token, info_class, nullptr, 0, &needed) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return 0;
  return needed;
}

TEST(TokenContract, MaximumAllowedOpensWithEveryRight) {
  HANDLE raw = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), MAXIMUM_ALLOWED, &raw));
  vortiss::ScopedHandle token(raw);
  TOKEN_TYPE type = TokenImpersonation;
  DWORD length = 0;
  EXPECT_TRUE(GetTokenInformation(raw, TokenType, &type, sizeof(type), &length));
  EXPECT_EQ(type, TokenPrimary);
  HANDLE copy = nullptr;
  ASSERT_TRUE(DuplicateToken(raw, SecurityImpersonation, &copy));
  vortiss::ScopedHandle owned_copy(copy);
  SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
  EXPECT_TRUE(GetTokenInformation(copy, TokenImpersonationLevel, &level, sizeof(level), &length));
  EXPECT_EQ(level, SecurityImpersonation);
}

TEST(TokenContract, ClassesSizeAndLayOutTheirAnswers) {
  HANDLE raw = nullptr;
  // TokenSource asks for its own right.
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_QUERY_SOURCE, &raw));
  vortiss::ScopedHandle token(raw);
  struct Case {
    TOKEN_INFORMATION_CLASS info_class;
    DWORD fixed;  // the record's size: the answer is at least this
  };
  const Case cases[] = {
      {TokenUser, sizeof(TOKEN_USER)},
      {TokenGroups, sizeof(DWORD)},
      {TokenOwner, sizeof(TOKEN_OWNER)},
      {TokenPrimaryGroup, sizeof(TOKEN_PRIMARY_GROUP)},
      {TokenDefaultDacl, sizeof(TOKEN_DEFAULT_DACL)},
      {TokenSource, sizeof(TOKEN_SOURCE)},
      {TokenStatistics, sizeof(TOKEN_STATISTICS)},
      {TokenSessionId, sizeof(DWORD)},
      {TokenElevationType, sizeof(TOKEN_ELEVATION_TYPE)},
      {TokenElevation, sizeof(TOKEN_ELEVATION)},
      {TokenIntegrityLevel, sizeof(TOKEN_MANDATORY_LABEL)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "class " << int(c.info_class));
    // Wine: TokenSource gives its size, then fails the query that brings a buffer of it.
    if (c.info_class == TokenSource && portable::RunningUnderWine())
      continue;
    const DWORD needed = SizeOf(raw, c.info_class);
    ASSERT_GE(needed, c.fixed);
    std::vector<BYTE> buffer(needed + 8, 0xA5);
    DWORD length = 0;
    SetLastError(kSentinelError);
    EXPECT_FALSE(GetTokenInformation(raw, c.info_class, buffer.data(), needed - 1, &length));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_TRUE(AllBytesAre(buffer.data(), buffer.size(), 0xA5)) << "a failing call wrote";
    ASSERT_TRUE(GetTokenInformation(raw, c.info_class, buffer.data(), needed, &length));
    EXPECT_EQ(length, needed);
    EXPECT_TRUE(AllBytesAre(buffer.data() + needed, 8, 0xA5)) << "wrote past what it needs";
  }

  // The pointers of the records point into the answer itself.
  std::vector<BYTE> owner(SizeOf(raw, TokenOwner));
  DWORD length = 0;
  ASSERT_TRUE(GetTokenInformation(raw, TokenOwner, owner.data(), static_cast<DWORD>(owner.size()),
                                  &length));
  const auto* sid = static_cast<const BYTE*>(reinterpret_cast<TOKEN_OWNER*>(owner.data())->Owner);
  EXPECT_GE(sid, owner.data() + sizeof(TOKEN_OWNER));
  EXPECT_EQ(sid + GetLengthSid(const_cast<BYTE*>(sid)), owner.data() + owner.size());
  std::vector<BYTE> label(SizeOf(raw, TokenIntegrityLevel));
  ASSERT_TRUE(GetTokenInformation(raw, TokenIntegrityLevel, label.data(),
                                  static_cast<DWORD>(label.size()), &length));
  const auto* mandatory = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(label.data());
  EXPECT_EQ(SidText(mandatory->Label.Sid).rfind(L"S-1-16-", 0), 0u);
  EXPECT_EQ(mandatory->Label.Attributes,
            static_cast<DWORD>(SE_GROUP_INTEGRITY | SE_GROUP_INTEGRITY_ENABLED));
  std::vector<BYTE> statistics(SizeOf(raw, TokenStatistics));
  ASSERT_TRUE(GetTokenInformation(raw, TokenStatistics, statistics.data(),
                                  static_cast<DWORD>(statistics.size()), &length));
  EXPECT_EQ(reinterpret_cast<TOKEN_STATISTICS*>(statistics.data())->TokenType, TokenPrimary);
}

TEST(TokenContract, LogonSidIsOfTheLogonIdsType) {
  HANDLE raw = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw));
  vortiss::ScopedHandle token(raw);
  std::vector<BYTE> buffer(SizeOf(raw, TokenGroups));
  DWORD length = 0;
  ASSERT_TRUE(GetTokenInformation(raw, TokenGroups, buffer.data(),
                                  static_cast<DWORD>(buffer.size()), &length));
  const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
  int logon_sids = 0;
  for (DWORD i = 0; i < groups->GroupCount; ++i) {
    const SID_AND_ATTRIBUTES& group = groups->Groups[i];
    if ((group.Attributes & SE_GROUP_LOGON_ID) != SE_GROUP_LOGON_ID)
      continue;
    ++logon_sids;
    EXPECT_EQ(SidText(group.Sid).rfind(L"S-1-5-5-", 0), 0u);
    EXPECT_TRUE(IsWellKnownSid(group.Sid, WinLogonIdsSid)) << SidText(group.Sid);
  }
  EXPECT_EQ(logon_sids, 1);
}

TEST(TokenContract, EveryoneIsAMemberAndAStrangerIsNot) {
  struct Case {
    const wchar_t* sid;
    BOOL member;
  };
  const Case cases[] = {{L"S-1-1-0", TRUE}, {L"S-1-5-21-1-2-3-500", FALSE}, {L"S-1-5-7", FALSE}};
  HANDLE process = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process));
  vortiss::ScopedHandle owned_process(process);
  HANDLE raw = nullptr;
  ASSERT_TRUE(DuplicateToken(process, SecurityIdentification, &raw));
  vortiss::ScopedHandle token(raw);
  for (const auto& c : cases) {
    auto sid = SidBytes(c.sid);
    for (HANDLE which : {raw, static_cast<HANDLE>(nullptr)}) {
      BOOL member = 7;
      ASSERT_TRUE(CheckTokenMembership(which, sid.data(), &member));
      EXPECT_EQ(member, c.member) << (which ? "its token" : "no token");
    }
  }
  auto everyone = SidBytes(L"S-1-1-0");
  BOOL member = 7;
  SetLastError(kSentinelError);
  EXPECT_FALSE(CheckTokenMembership(process, everyone.data(), &member));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_IMPERSONATION_TOKEN));
  // The answer is cleared before the primary token is refused.
  EXPECT_EQ(member, FALSE);
}

}  // namespace
