// Contract of the SID calls: string conversion both ways, validity, allocation, comparison and
// copies, the well-known SIDs, with the platform's error codes. The same source runs on the
// stand-in and, built for Windows, under Wine.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/portable/platform_facts.h"

namespace {

using portable::AllBytesAre;
using portable::kSentinelError;
using portable::SidBytes;
using portable::SidText;

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
    {L"wD", L"S-1-1-0", 12},  // aliases in any case
    {L"sy", L"S-1-5-18", 12},
    {L"SY", L"S-1-5-18", 12},
};

TEST(SidContract, StringSidsRoundTrip) {
  SKIP_UNDER_WINE("SIDs with an authority of 2^31 and above print as negative numbers");
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

TEST(SidContract, StringSidToSidLaysOutTheBinaryForm) {
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

TEST(SidContract, HostileStringsAreRefusedWithInvalidSid) {
  SKIP_UNDER_WINE("ConvertStringSidToSidW accepts malformed strings and writes the output");
  for (const wchar_t* text : kHostileStrings) {
    SCOPED_TRACE(::testing::Message() << "text '" << std::string(text, text + wcslen(text)) << "'");
    PSID sid = reinterpret_cast<PSID>(0x1234);
    SetLastError(kSentinelError);
    EXPECT_FALSE(ConvertStringSidToSidW(text, &sid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
    EXPECT_EQ(sid, reinterpret_cast<PSID>(0x1234)) << "output written on failure";
  }
}

TEST(SidContract, StringSidToSidRefusesNullArguments) {
  PSID sid = reinterpret_cast<PSID>(0x1234);
  SetLastError(kSentinelError);
  EXPECT_FALSE(ConvertStringSidToSidW(nullptr, &sid));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(sid, reinterpret_cast<PSID>(0x1234));

  SetLastError(kSentinelError);
  EXPECT_FALSE(ConvertStringSidToSidW(L"S-1-5-32-544", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(SidContract, SidToStringRefusesInvalidSids) {
  SKIP_UNDER_WINE("ConvertSidToStringSidW faults on an invalid SID");
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

TEST(SidContract, IsValidSidChecksRevisionAndCount) {
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

TEST(SidContract, AllocateAndInitializeSidTakesUpToEightSubAuthorities) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  for (BYTE count = 0; count <= 8; ++count) {
    SCOPED_TRACE(::testing::Message() << "count " << int(count));
    PSID sid = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, count, 10, 11, 12, 13, 14, 15, 16, 17, &sid));
    EXPECT_EQ(GetLengthSid(sid), 8u + 4u * count);
    EXPECT_EQ(*GetSidSubAuthorityCount(sid), count);
    for (BYTE i = 0; i < count; ++i)
      EXPECT_EQ(*GetSidSubAuthority(sid, i), 10u + i);
    EXPECT_EQ(FreeSid(sid), nullptr);
  }

  PSID sid = reinterpret_cast<PSID>(0x1234);
  SetLastError(kSentinelError);
  EXPECT_FALSE(AllocateAndInitializeSid(&nt, 9, 0, 0, 0, 0, 0, 0, 0, 0, &sid));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
  EXPECT_EQ(sid, reinterpret_cast<PSID>(0x1234));
}

TEST(SidContract, AllocatedSidMatchesItsStringForm) {
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

TEST(SidContract, EqualSidComparesWholeSids) {
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

TEST(SidContract, EqualSidOnRevisionTwoIsFalseWithSuccess) {
  auto good = RawSid(1, 2);
  auto bad = RawSid(2, 2);
  SetLastError(kSentinelError);
  EXPECT_FALSE(EqualSid(bad.data(), bad.data()));
  EXPECT_EQ(GetLastError(), 0u);
  SetLastError(kSentinelError);
  EXPECT_FALSE(EqualSid(good.data(), bad.data()));
  EXPECT_EQ(GetLastError(), 0u);
}

TEST(SidContract, CopySidNeedsRoomForTheWholeSid) {
  SKIP_UNDER_WINE("CopySid fails without setting the last error");
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

struct WellKnown {
  WELL_KNOWN_SID_TYPE type;
  const wchar_t* sid;  // nullptr: refused without a domain
};

const WellKnown kWellKnown[] = {
    {WinNullSid, L"S-1-0-0"},
    {WinWorldSid, L"S-1-1-0"},
    {WinCreatorOwnerRightsSid, L"S-1-3-4"},
    {WinNtAuthoritySid, L"S-1-5"},
    {WinLogonIdsSid, L"S-1-5-5-0-0"},
    {WinLocalSystemSid, L"S-1-5-18"},
    {WinBuiltinDomainSid, L"S-1-5-32"},
    {WinBuiltinAdministratorsSid, L"S-1-5-32-544"},
    {WinBuiltinRemoteDesktopUsersSid, L"S-1-5-32-555"},
    {WinNTLMAuthenticationSid, L"S-1-5-64-10"},
    {WinMediumLabelSid, L"S-1-16-8192"},
    {WinHighLabelSid, L"S-1-16-12288"},
    {WinBuiltinAnyPackageSid, L"S-1-15-2-1"},
    {WinAccountAdministratorSid, nullptr},
    {WinAccountDomainUsersSid, nullptr},
};

TEST(SidContract, CreateWellKnownSidSizesAndFillsFromTheTable) {
  for (const auto& c : kWellKnown) {
    SCOPED_TRACE(::testing::Message() << "type " << int(c.type));
    BYTE sid[SECURITY_MAX_SID_SIZE];
    std::memset(sid, 0xA5, sizeof(sid));
    DWORD size = 0;
    SetLastError(kSentinelError);
    EXPECT_FALSE(CreateWellKnownSid(c.type, nullptr, sid, &size));
    if (!c.sid) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
      EXPECT_EQ(size, 0u);
      continue;
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    const DWORD needed = size;
    EXPECT_TRUE(AllBytesAre(sid, sizeof(sid), 0xA5));
    size = sizeof(sid);
    ASSERT_TRUE(CreateWellKnownSid(c.type, nullptr, sid, &size));
    EXPECT_EQ(size, needed);
    EXPECT_EQ(needed, GetSidLengthRequired(sid[1]));
    EXPECT_EQ(SidText(sid), c.sid);
    EXPECT_TRUE(IsWellKnownSid(sid, c.type));
    EXPECT_FALSE(IsWellKnownSid(sid, c.type == WinWorldSid ? WinNullSid : WinWorldSid));
  }
}

TEST(SidContract, DomainRelativeWellKnownSidsTakeTheDomainsSid) {
  auto domain = SidBytes(L"S-1-5-21-1-2-3");
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(sid);
  ASSERT_TRUE(CreateWellKnownSid(WinAccountAdministratorSid, domain.data(), sid, &size));
  EXPECT_EQ(size, 28u);
  EXPECT_EQ(SidText(sid), L"S-1-5-21-1-2-3-500");
  size = sizeof(sid);
  ASSERT_TRUE(CreateWellKnownSid(WinAccountDomainAdminsSid, domain.data(), sid, &size));
  EXPECT_EQ(SidText(sid), L"S-1-5-21-1-2-3-512");
  // A fixed type ignores the domain; a domain with no room for a RID is refused.
  size = sizeof(sid);
  ASSERT_TRUE(CreateWellKnownSid(WinWorldSid, domain.data(), sid, &size));
  EXPECT_EQ(SidText(sid), L"S-1-1-0");
  auto full = SidBytes(L"S-1-5-21-1-2-3-4-5-6-7-8-9-10-11-12-13-14");
  size = sizeof(sid);
  SetLastError(kSentinelError);
  EXPECT_FALSE(CreateWellKnownSid(WinAccountGuestSid, full.data(), sid, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(kSentinelError);
  EXPECT_FALSE(CreateWellKnownSid(WinWorldSid, nullptr, sid, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(SidContract, PrefixesAndDomainsCompare) {
  struct Case {
    const wchar_t* a;
    const wchar_t* b;
    BOOL prefix;
    DWORD domain_error;  // 0: compared
    BOOL same_domain;
  };
  const Case cases[] = {
      {L"S-1-5-21-1-2-3-500", L"S-1-5-21-1-2-3-501", TRUE, 0, TRUE},
      {L"S-1-5-21-1-2-3-500", L"S-1-5-21-1-2-4-500", FALSE, 0, FALSE},
      {L"S-1-5-21-1-2-3", L"S-1-5-21-1-2-3-500", FALSE, 0, TRUE},
      {L"S-1-5-32-544", L"S-1-5-32-545", TRUE, 0, FALSE},
      {L"S-1-5-32-544", L"S-1-5-32-544", TRUE, 0, TRUE},
      {L"S-1-5-18", L"S-1-5-19", TRUE, ERROR_NON_DOMAIN_SID, FALSE},
      {L"S-1-1-0", L"S-1-5-21-1-2-3-500", FALSE, ERROR_NON_DOMAIN_SID, FALSE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a, c.a + wcslen(c.a)) + " " + std::string(c.b, c.b + wcslen(c.b)));
    auto a = SidBytes(c.a);
    auto b = SidBytes(c.b);
    EXPECT_EQ(EqualPrefixSid(a.data(), b.data()), c.prefix);
    BOOL equal = 7;
    SetLastError(kSentinelError);
    const BOOL ok = EqualDomainSid(a.data(), b.data(), &equal);
    if (c.domain_error) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(GetLastError(), c.domain_error);
      EXPECT_EQ(equal, 7);
    } else {
      ASSERT_TRUE(ok);
      EXPECT_EQ(equal, c.same_domain);
    }
  }
  auto bad = RawSid(2, 1);
  auto good = SidBytes(L"S-1-5-21-1-2-3-500");
  BOOL equal = 7;
  SetLastError(kSentinelError);
  EXPECT_FALSE(EqualDomainSid(bad.data(), good.data(), &equal));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
  EXPECT_FALSE(EqualPrefixSid(bad.data(), bad.data()));
}

TEST(SidContract, InitializeSidLaysOutTheHeader) {
  SKIP_UNDER_WINE("InitializeSid zeroes the sub-authorities and refuses 15 of them");
  for (UCHAR count : {0, 1, 15}) {
    EXPECT_EQ(GetSidLengthRequired(count), 8u + 4u * count);
    std::vector<BYTE> sid(GetSidLengthRequired(count), 0xA5);
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    ASSERT_TRUE(InitializeSid(sid.data(), &nt, count));
    EXPECT_EQ(sid[0], SID_REVISION);
    EXPECT_EQ(sid[1], count);
    EXPECT_EQ(sid[7], 5);
    EXPECT_TRUE(AllBytesAre(sid.data() + 8, sid.size() - 8, 0xA5)) << "sub-authorities set";
  }
  BYTE sid[80];
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  SetLastError(kSentinelError);
  EXPECT_FALSE(InitializeSid(sid, &nt, 16));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(SidContract, AnsiFormsMatchTheWideOnes) {
  SKIP_UNDER_WINE("SIDs with an authority of 2^31 and above print as negative numbers");
  for (const auto& c : kRoundTrips) {
    SCOPED_TRACE(std::string(c.text, c.text + wcslen(c.text)));
    std::string narrow;
    for (const wchar_t* p = c.text; *p; ++p)
      narrow += static_cast<char>(*p);
    PSID sid = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidA(narrow.c_str(), &sid));
    EXPECT_EQ(SidText(sid), c.canonical);
    LPSTR text = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidA(sid, &text));
    EXPECT_EQ(std::wstring(text, text + std::strlen(text)), c.canonical);
    LocalFree(text);
    LocalFree(sid);
  }
  PSID sid = reinterpret_cast<PSID>(0x1234);
  SetLastError(kSentinelError);
  EXPECT_FALSE(ConvertStringSidToSidA("S-1-5", &sid));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
  EXPECT_EQ(sid, reinterpret_cast<PSID>(0x1234));

  // LookupAccountSidA: the same names as the W form, in the two-call manner.
  auto system = SidBytes(L"S-1-5-18");
  DWORD name_chars = 0, domain_chars = 0;
  SID_NAME_USE use = SidTypeInvalid;
  SetLastError(kSentinelError);
  EXPECT_FALSE(LookupAccountSidA(nullptr, system.data(), nullptr, &name_chars, nullptr,
                                 &domain_chars, &use));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  std::vector<char> name(name_chars), domain(domain_chars);
  ASSERT_TRUE(LookupAccountSidA(nullptr, system.data(), name.data(), &name_chars, domain.data(),
                                &domain_chars, &use));
  wchar_t wide_name[256], wide_domain[256];
  DWORD wide_name_chars = 256, wide_domain_chars = 256;
  ASSERT_TRUE(LookupAccountSidW(nullptr, system.data(), wide_name, &wide_name_chars, wide_domain,
                                &wide_domain_chars, &use));
  EXPECT_EQ(std::wstring(name.data(), name.data() + name_chars), wide_name);
  EXPECT_EQ(std::wstring(domain.data(), domain.data() + domain_chars), wide_domain);
  EXPECT_EQ(use, SidTypeWellKnownGroup);
}

}  // namespace
