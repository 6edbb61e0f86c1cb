// Contract of the Authz calls for a context made from the process user's SID: the groups a logon
// gives it, and the access check's reply for descriptors given in SDDL. The same source runs on
// the stand-in and, built for Windows, under Wine, whose authz.dll is stubs.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/access_walk.h"
#include "security/scoped_platform.h"
#include "tests/portable/platform_facts.h"
#include "tests/portable/walk_check.h"

namespace {

using portable::kSentinelError;
using portable::SidBytes;
using portable::SidText;

// Wine's authz.dll answers every call with ERROR_CALL_NOT_IMPLEMENTED.
#define SKIP_WITHOUT_AUTHZ() \
  SKIP_UNDER_WINE("authz.dll's calls are stubs (ERROR_CALL_NOT_IMPLEMENTED)")

// A resource manager and a context for the process user, freed at the end of the test.
class AuthzContract : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_AUTHZ();
    ASSERT_TRUE(AuthzInitializeResourceManager(AUTHZ_RM_FLAG_NO_AUDIT, nullptr, nullptr, nullptr,
                                               L"vortiss", &manager_));
    user_ = SidBytes(portable::ProcessUserSidText().c_str());
    ASSERT_FALSE(user_.empty());
    ASSERT_TRUE(AuthzInitializeContextFromSid(0, user_.data(), manager_, nullptr, LUID{}, nullptr,
                                              &context_));
  }
  void TearDown() override {
    if (context_) {
      EXPECT_TRUE(AuthzFreeContext(context_));
    }
    if (manager_) {
      EXPECT_TRUE(AuthzFreeResourceManager(manager_));
    }
  }

  // The reply for `desired` against the descriptor of `sddl` ("%u" stands for the user's SID).
  void Check(std::wstring sddl, ACCESS_MASK desired, ACCESS_MASK& granted, DWORD& error) {
    const std::wstring user = portable::ProcessUserSidText();
    for (size_t at = sddl.find(L"%u"); at != std::wstring::npos; at = sddl.find(L"%u"))
      sddl.replace(at, 2, user);
    vortiss::ScopedLocal<void> descriptor;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                     descriptor.receive(), nullptr))
        << sddl;
    AUTHZ_ACCESS_REQUEST request = {};
    request.DesiredAccess = desired;
    granted = 0xdeadbeef;
    error = 0xdeadbeef;
    AUTHZ_ACCESS_REPLY reply = {};
    reply.ResultListLength = 1;
    reply.GrantedAccessMask = &granted;
    reply.Error = &error;
    ASSERT_TRUE(AuthzAccessCheck(0, context_, &request, nullptr, descriptor.get(), nullptr, 0,
                                 &reply, nullptr));
  }

  AUTHZ_RESOURCE_MANAGER_HANDLE manager_ = nullptr;
  AUTHZ_CLIENT_CONTEXT_HANDLE context_ = nullptr;
  std::vector<BYTE> user_;
};

TEST_F(AuthzContract, ContextHoldsTheUserAndTheLogonsWellKnownGroups) {
  DWORD needed = 0;
  SetLastError(kSentinelError);
  EXPECT_FALSE(
      AuthzGetInformationFromContext(context_, AuthzContextInfoGroupsSids, 0, &needed, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_GT(needed, sizeof(DWORD));
  std::vector<BYTE> buffer(needed);
  ASSERT_TRUE(AuthzGetInformationFromContext(context_, AuthzContextInfoGroupsSids, needed, &needed,
                                             buffer.data()));
  const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
  std::vector<std::wstring> texts;
  for (DWORD i = 0; i < groups->GroupCount; ++i)
    texts.push_back(SidText(groups->Groups[i].Sid));
  for (const wchar_t* expected : {L"S-1-1-0", L"S-1-5-11"})
    EXPECT_NE(std::find(texts.begin(), texts.end(), expected), texts.end()) << expected;

  std::vector<BYTE> user(SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER));
  ASSERT_TRUE(AuthzGetInformationFromContext(
      context_, AuthzContextInfoUserSid, static_cast<DWORD>(user.size()), &needed, user.data()));
  EXPECT_EQ(SidText(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid),
            portable::ProcessUserSidText());
}

TEST_F(AuthzContract, ReplyGivesGrantedMaskAndErrorPerRequest) {
  struct Row {
    const wchar_t* sddl;
    ACCESS_MASK desired;
    ACCESS_MASK granted;
    DWORD error;
  };
  const Row rows[] = {
      // Everyone's grant reaches the user through the logon's groups.
      {L"O:SYD:(A;;0x3;;;WD)", 0x3, 0x3, ERROR_SUCCESS},
      // A denial first takes the bit whatever a later grant says.
      {L"O:SYD:(D;;0x2;;;WD)(A;;0x3;;;%u)", 0x3, 0, ERROR_ACCESS_DENIED},
      // A grant met first keeps the bit from a later denial.
      {L"O:SYD:(A;;0x3;;;%u)(D;;0x2;;;WD)", 0x3, 0x3, ERROR_SUCCESS},
      // An inherit-only entry takes no part.
      {L"O:SYD:(A;OICIIO;0x3;;;WD)", 0x1, 0, ERROR_ACCESS_DENIED},
      // The owner reads and changes the DACL though no entry says so.
      {L"O:%uD:", READ_CONTROL | WRITE_DAC, READ_CONTROL | WRITE_DAC, ERROR_SUCCESS},
      {L"O:SYD:", READ_CONTROL, 0, ERROR_ACCESS_DENIED},
      // No DACL grants everything asked.
      {L"O:SY", 0x3, 0x3, ERROR_SUCCESS},
      // MAXIMUM_ALLOWED gets what the entries give.
      {L"O:SYD:(A;;0x1;;;AU)", MAXIMUM_ALLOWED, 0x1, ERROR_SUCCESS},
  };
  DWORD read = 0;
  const auto subject = AccessSubject::OfContext(context_, read);
  ASSERT_TRUE(subject) << read;
  for (const Row& row : rows) {
    ACCESS_MASK granted = 0;
    DWORD error = 0;
    Check(row.sddl, row.desired, granted, error);
    EXPECT_EQ(granted, row.granted) << row.sddl;
    EXPECT_EQ(error, row.error) << row.sddl;
    // The host's access walk gives the same verdict.
    std::wstring sddl = row.sddl;
    for (size_t at; (at = sddl.find(L"%u")) != std::wstring::npos;)
      sddl.replace(at, 2, L"%U");
    std::vector<BYTE> sd = walk_check::Descriptor(sddl, portable::ProcessUserSidText());
    EXPECT_EQ(walk_check::ByWalk(*subject, sd.data(), row.desired, true),
              walk_check::ByAuthz(context_, sd.data(), row.desired))
        << row.sddl;
  }
}

TEST_F(AuthzContract, BadArgumentsAreRefusedAndTheReplyLeftAlone) {
  vortiss::ScopedLocal<void> descriptor;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      L"O:SYD:(A;;0x3;;;WD)", SDDL_REVISION_1, descriptor.receive(), nullptr));
  PSECURITY_DESCRIPTOR raw = descriptor.get();
  AUTHZ_ACCESS_REQUEST request = {};
  request.DesiredAccess = 0x1;
  ACCESS_MASK granted = 0xdeadbeef;
  DWORD error = 0xdeadbeef;
  AUTHZ_ACCESS_REPLY reply = {};
  reply.GrantedAccessMask = &granted;
  reply.Error = &error;
  // No room for the one result.
  SetLastError(kSentinelError);
  EXPECT_FALSE(AuthzAccessCheck(0, context_, &request, nullptr, raw, nullptr, 0, &reply, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(granted, 0xdeadbeefu);
  EXPECT_EQ(error, 0xdeadbeefu);
  reply.ResultListLength = 1;
  SetLastError(kSentinelError);
  EXPECT_FALSE(AuthzAccessCheck(0, context_, nullptr, nullptr, raw, nullptr, 0, &reply, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(granted, 0xdeadbeefu);
}

TEST(AuthzResourceManager, NeedsSomewhereToPutTheHandle) {
  SKIP_WITHOUT_AUTHZ();
  SetLastError(kSentinelError);
  EXPECT_FALSE(AuthzInitializeResourceManager(AUTHZ_RM_FLAG_NO_AUDIT, nullptr, nullptr, nullptr,
                                              L"vortiss", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
