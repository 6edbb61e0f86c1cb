// Contract of the stand-in's SID calls: string conversion both ways, validity, allocation,
// comparison and copies, with the platform's error codes.
#include <string>
#include <vector>

#include "tests/standin_contract.h"

namespace {

class standin_sid : public StandinTest {
 protected:
  std::string_view Profile() const override {
    return R"({"computer": "WS01", "machine_sid": "S-1-5-21-111-222-333"})";
  }
};

// A SID laid out by hand: revision, count and authority as given, sub-authorities 1, 2, 3...
std::vector<BYTE> RawSid(BYTE revision, BYTE count) {
  std::vector<BYTE> sid(8 + 4 * static_cast<size_t>(count), 0);
  sid[0] = revision;
  sid[1] = count;
  sid[7] = 5;
  for (BYTE i = 0; i < count; ++i)
    sid[8 + 4 * i] = static_cast<BYTE>(i + 1);
  return sid;
}

struct RoundTrip {
  const wchar_t* text;
  const wchar_t* canonical;  // what ConvertSidToStringSidW gives back
  DWORD length;
};

const RoundTrip kRoundTrips[] = {
    {L"S-1-1-0", L"S-1-1-0", 12},
    {L"S-1-5-18", L"S-1-5-18", 12},
    {L"S-1-5-32-544", L"S-1-5-32-544", 16},
    {L"S-1-5-21-111-222-333-500", L"S-1-5-21-111-222-333-500", 28},
    {L"S-1-5-21-4294967295-0-1", L"S-1-5-21-4294967295-0-1", 24},
    {L"S-1-0-0", L"S-1-0-0", 12},
    {L"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15", L"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15",
     68},
    // Authorities of 2^32 and above are written in hexadecimal.
    {L"S-1-4294967295-1", L"S-1-4294967295-1", 12},
    {L"S-1-0x123456789ABC-7", L"S-1-0x123456789ABC-7", 12},
    // SDDL aliases, including those relative to the machine's own domain.
    {L"BA", L"S-1-5-32-544", 16},
    {L"WD", L"S-1-1-0", 12},
    {L"SY", L"S-1-5-18", 12},
    {L"LA", L"S-1-5-21-111-222-333-500", 28},
    {L"LG", L"S-1-5-21-111-222-333-501", 28},
};

TEST_F(standin_sid, StringSidsRoundTrip) {
  for (const auto& c : kRoundTrips) {
    SCOPED_TRACE(::testing::Message() << "text " << std::string(c.text, c.text + wcslen(c.text)));
    PSID sid = nullptr;
    SetLastError(kSentinelError);
    ASSERT_TRUE(ConvertStringSidToSidW(c.text, &sid));
    ASSERT_NE(sid, nullptr);
    EXPECT_TRUE(IsValidSid(sid));
    EXPECT_EQ(GetLengthSid(sid), c.length);
    EXPECT_EQ(SidText(sid), c.canonical);
    // The canonical form parses back to the same bytes.
    EXPECT_EQ(SidBytes(c.canonical),
              std::vector<BYTE>(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + c.length));
    EXPECT_EQ(LocalFree(sid), nullptr);
  }
}

TEST_F(standin_sid, StringSidToSidLaysOutTheBinaryForm) {
  const auto sid = SidBytes(L"S-1-5-21-111-222-4294967295");
  const std::vector<BYTE> expected = {1,   4, 0, 0, 0,   0, 0, 5, 21,   0,    0,    0,
                                      111, 0, 0, 0, 222, 0, 0, 0, 0xff, 0xff, 0xff, 0xff};
  EXPECT_EQ(sid, expected);
}

const wchar_t* const kHostileStrings[] = {
    L"S-1-5",  // no sub-authority
    L"WDand more",
    L"WD)",
    L"",
    L"S",
    L"S-",
    L"S-1",
    L"S-1-",
    L"S-1-5-",
    L"S-1-5-32-",
    L"S-1-5-x",
    L"S-1-5-4294967296",                              // sub-authority beyond 32 bits
    L"S-1-281474976710656-1",                         // authority beyond 48 bits
    L"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16",  // 16 sub-authorities
    L"XX",
};

TEST_F(standin_sid, HostileStringsAreRefusedWithInvalidSid) {
  for (const wchar_t* text : kHostileStrings) {
    SCOPED_TRACE(::testing::Message() << "text '" << std::string(text, text + wcslen(text)) << "'");
    PSID sid = reinterpret_cast<PSID>(0x1234);
    SetLastError(kSentinelError);
    EXPECT_FALSE(ConvertStringSidToSidW(text, &sid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
    EXPECT_EQ(sid, reinterpret_cast<PSID>(0x1234)) << "output written on failure";
  }
  EXPECT_EQ(standin::LiveResourcesNow().local_buffers, 0u);
}

TEST_F(standin_sid, StringSidToSidRefusesNullArguments) {
  PSID sid = reinterpret_cast<PSID>(0x1234);
  SetLastError(kSentinelError);
  EXPECT_FALSE(ConvertStringSidToSidW(nullptr, &sid));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(sid, reinterpret_cast<PSID>(0x1234));

  SetLastError(kSentinelError);
  EXPECT_FALSE(ConvertStringSidToSidW(L"S-1-5-32-544", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(standin_sid, SidToStringRefusesInvalidSids) {
  auto bad = RawSid(2, 2);
  LPWSTR text = reinterpret_cast<LPWSTR>(0x1234);
  SetLastError(kSentinelError);
  EXPECT_FALSE(ConvertSidToStringSidW(bad.data(), &text));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
  EXPECT_EQ(text, reinterpret_cast<LPWSTR>(0x1234));

  bad = RawSid(1, 16);
  SetLastError(kSentinelError);
  EXPECT_FALSE(ConvertSidToStringSidW(bad.data(), &text));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
  EXPECT_EQ(text, reinterpret_cast<LPWSTR>(0x1234));

  SetLastError(kSentinelError);
  EXPECT_FALSE(ConvertSidToStringSidW(nullptr, &text));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  auto good = RawSid(1, 1);
  SetLastError(kSentinelError);
  EXPECT_FALSE(ConvertSidToStringSidW(good.data(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(standin_sid, IsValidSidChecksRevisionAndCount) {
  struct Case {
    BYTE revision;
    BYTE count;
    bool valid;
  };
  const Case cases[] = {{1, 0, true},    {1, 1, true},  {1, 15, true}, {1, 16, false},
                        {1, 255, false}, {0, 1, false}, {2, 1, false}, {255, 1, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "revision " << int(c.revision) << " count " << int(c.count));
    auto sid = RawSid(c.revision, c.count);
    EXPECT_EQ(IsValidSid(sid.data()) != FALSE, c.valid);
  }
  EXPECT_FALSE(IsValidSid(nullptr));
}

TEST_F(standin_sid, AllocateAndInitializeSidTakesUpToEightSubAuthorities) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  for (BYTE count = 0; count <= 8; ++count) {
    SCOPED_TRACE(::testing::Message() << "count " << int(count));
    PSID sid = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, count, 10, 11, 12, 13, 14, 15, 16, 17, &sid));
    EXPECT_EQ(GetLengthSid(sid), 8u + 4u * count);
    EXPECT_EQ(*GetSidSubAuthorityCount(sid), count);
    for (BYTE i = 0; i < count; ++i)
      EXPECT_EQ(*GetSidSubAuthority(sid, i), 10u + i);
    EXPECT_EQ(standin::LiveResourcesNow().sids, 1u);
    EXPECT_EQ(FreeSid(sid), nullptr);
  }

  PSID sid = reinterpret_cast<PSID>(0x1234);
  SetLastError(kSentinelError);
  EXPECT_FALSE(AllocateAndInitializeSid(&nt, 9, 0, 0, 0, 0, 0, 0, 0, 0, &sid));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
  EXPECT_EQ(sid, reinterpret_cast<PSID>(0x1234));
}

TEST_F(standin_sid, AllocatedSidMatchesItsStringForm) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID sid = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                                       0, 0, 0, 0, 0, 0, &sid));
  EXPECT_EQ(SidText(sid), L"S-1-5-32-544");
  auto parsed = SidBytes(L"BA");
  SetLastError(kSentinelError);
  EXPECT_TRUE(EqualSid(sid, parsed.data()));
  EXPECT_EQ(GetSidIdentifierAuthority(sid)->Value[5], 5);
  FreeSid(sid);
}

TEST_F(standin_sid, FreeSidReleasesOnlyAllocatedSids) {
  auto stack_sid = RawSid(1, 1);
  EXPECT_EQ(FreeSid(stack_sid.data()), stack_sid.data()) << "a SID it did not allocate";
  EXPECT_EQ(FreeSid(nullptr), nullptr);
}

TEST_F(standin_sid, EqualSidComparesWholeSids) {
  auto admins = SidBytes(L"S-1-5-32-544");
  auto users = SidBytes(L"S-1-5-32-545");
  auto builtin = SidBytes(L"S-1-5-32");
  auto admins_again = SidBytes(L"BA");

  SetLastError(kSentinelError);
  EXPECT_TRUE(EqualSid(admins.data(), admins_again.data()));
  EXPECT_EQ(GetLastError(), 0u);
  SetLastError(kSentinelError);
  EXPECT_FALSE(EqualSid(admins.data(), users.data()));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_FALSE(EqualSid(builtin.data(), admins.data()));
  EXPECT_FALSE(EqualSid(admins.data(), builtin.data()));
}

TEST_F(standin_sid, EqualSidOnRevisionTwoIsFalseWithSuccess) {
  auto good = RawSid(1, 2);
  auto bad = RawSid(2, 2);
  SetLastError(kSentinelError);
  EXPECT_FALSE(EqualSid(bad.data(), bad.data()));
  EXPECT_EQ(GetLastError(), 0u);
  SetLastError(kSentinelError);
  EXPECT_FALSE(EqualSid(good.data(), bad.data()));
  EXPECT_EQ(GetLastError(), 0u);
}

TEST_F(standin_sid, CopySidNeedsRoomForTheWholeSid) {
  auto source = SidBytes(L"S-1-5-21-111-222-333-500");
  ASSERT_EQ(source.size(), 28u);
  std::vector<BYTE> destination(64, 0xA5);

  SetLastError(kSentinelError);
  EXPECT_FALSE(CopySid(27, destination.data(), source.data()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_TRUE(AllBytesAre(destination.data(), destination.size(), 0xA5));

  EXPECT_TRUE(CopySid(28, destination.data(), source.data()));
  EXPECT_TRUE(std::equal(source.begin(), source.end(), destination.begin()));
  EXPECT_EQ(destination[28], 0xA5) << "wrote past the SID";

  auto bad = RawSid(2, 1);
  SetLastError(kSentinelError);
  EXPECT_FALSE(CopySid(64, destination.data(), bad.data()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
}

}  // namespace
