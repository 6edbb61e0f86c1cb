// Contract of the stand-in's SDDL conversions: strings parsed into self-relative descriptors
// and written back as the platform writes them, with the platform's error codes.
#include <zlib.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/standin/core/text.h"
#include "tests/standin_contract.h"

namespace {

using Bytes = std::vector<BYTE>;

class standin_sddl : public StandinTest {
 protected:
  std::string_view Profile() const override {
    return R"({"computer": "WS01", "machine_sid": "S-1-5-21-111-222-333"})";
  }
};

std::string Narrow(const std::wstring& text) {
  return std::string(text.begin(), text.end());
}

// The self-relative bytes of `sddl`; empty when refused.
Bytes Parse(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  ULONG length = 0;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, &length))
    return {};
  Bytes bytes(static_cast<BYTE*>(sd), static_cast<BYTE*>(sd) + length);
  LocalFree(sd);
  return bytes;
}

std::wstring Write(PSECURITY_DESCRIPTOR sd, SECURITY_INFORMATION information) {
  LPWSTR text = nullptr;
  ULONG length = 0;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, information, &text,
                                                            &length))
    return L"<refused " + std::to_wstring(GetLastError()) + L">";
  std::wstring result(text);
  EXPECT_EQ(length, result.size() + 1);
  LocalFree(text);
  return result;
}

constexpr SECURITY_INFORMATION kAll = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                      DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;

struct RoundTrip {
  const wchar_t* text;
  const wchar_t* written;  // what the platform writes back
};

const RoundTrip kRoundTrips[] = {
    {L"O:BAG:SYD:PAI(A;OICI;FA;;;BA)(D;;0x1200a9;;;S-1-5-21-1-2-3-1001)S:(AU;SA;FA;;;WD)",
     L"O:BAG:SYD:PAI(A;OICI;FA;;;BA)(D;;0x1200a9;;;S-1-5-21-1-2-3-1001)S:(AU;SA;FA;;;WD)"},
    {L"", L""},
    {L"D:", L"D:"},
    {L"D:P", L"D:P"},
    {L"D:NO_ACCESS_CONTROL", L"D:NO_ACCESS_CONTROL"},
    {L"D:PNO_ACCESS_CONTROL", L"D:PNO_ACCESS_CONTROL"},
    {L"D:AIARP(A;;FA;;;BA)", L"D:PARAI(A;;FA;;;BA)"},
    {L"S:PAI(AL;;FA;;;WD)", L"S:PAI(AL;;FA;;;WD)"},
    // Rights: a whole mask with a name, else bit names from low to high, else hexadecimal.
    {L"D:(A;;GRGWGX;;;WD)", L"D:(A;;GXGWGR;;;WD)"},
    {L"D:(A;NP;0xf0000000;;;SU)", L"D:(A;NP;GAGXGWGR;;;SU)"},
    {L"D:(A;IOID;3;;;SU)", L"D:(A;IOID;CCDC;;;SU)"},
    {L"D:(A;;RCSDWDWO;;;WD)", L"D:(A;;SDRCWDWO;;;WD)"},
    {L"D:(A;;RPWPCCDCLCSWLODTCR;;;WD)", L"D:(A;;CCDCLCSWRPWPDTLOCR;;;WD)"},
    {L"D:(A;;FAFRFWFX;;;WD)", L"D:(A;;FA;;;WD)"},
    {L"D:(A;;0x1f01ff;;;SY)", L"D:(A;;FA;;;SY)"},
    {L"D:(A;;FR;;;SY)(A;;FW;;;SY)(A;;FX;;;SY)", L"D:(A;;FR;;;SY)(A;;FW;;;SY)(A;;FX;;;SY)"},
    {L"D:(A;;FRFX;;;BU)", L"D:(A;;0x1200a9;;;BU)"},
    {L"D:(A;;KA;;;BA)(A;;KX;;;BU)(A;;KW;;;CO)", L"D:(A;;KA;;;BA)(A;;KR;;;BU)(A;;KW;;;CO)"},
    {L"D:(D;OICI;0xFFFFFFFF;;;S-1-5-21-93476-23408-4576)",
     L"D:(D;OICI;0xffffffff;;;S-1-5-21-93476-23408-4576)"},
    {L"D:(A;;;;;WD)", L"D:(A;;;;;WD)"},
    // Numbers as the platform reads them: octal after a leading 0, capped at 32 bits, negated.
    {L"D:(A;;010;;;WD)(A;;0x1FFFFFFFF;;;WD)(A;;-1;;;WD)",
     L"D:(A;;SW;;;WD)(A;;0xffffffff;;;WD)(A;;0xffffffff;;;WD)"},
    // Mandatory labels, by the names of their policies unless the mask holds more.
    {L"S:(ML;;NWNR;;;LW)(ml;;nx;;;S-1-16-12288)(ML;;0x8;;;SI)",
     L"S:(ML;;NWNR;;;LW)(ML;;NX;;;HI)(ML;;0x8;;;SI)"},
    // Object entries, their GUIDs written in lower case.
    {L"D:(OA;CI;RPWP;BF967ABA-0DE6-11D0-A285-00AA003049E2;;WD)(OD;;CR;;bf967a86-0de6-11d0-"
     L"a285-00aa003049e2;AU)",
     L"D:(OA;CI;RPWP;bf967aba-0de6-11d0-a285-00aa003049e2;;WD)(OD;;CR;;bf967a86-0de6-11d0-a285-"
     L"00aa003049e2;AU)"},
    {L"S:(AU;OICINPIOIDSAFA;CCDCLCSWRPRC;;;SU)(AU;NPSA;0x12019f;;;SU)",
     L"S:(AU;OICINPIOIDSAFA;CCDCLCSWRPRC;;;SU)(AU;NPSA;0x12019f;;;SU)"},
    // SIDs: aliases where one exists, also those of the machine's own domain.
    {L"O:S-1-5-32-544G:S-1-5-18", L"O:BAG:SY"},
    {L"O:S-1-5-21-111-222-333-500G:LG", L"O:LAG:LG"},
    {L"O:S-1-2-0", L"O:S-1-2-0"},
    {L"O:UDG:WR", L"O:UDG:WR"},
    // Blanks between tokens and aliases in any case; a hexadecimal SID authority beyond 32 bits.
    {L" O: ba G:sy D: P (a; ;GA GR;;; wd ) ", L"O:BAG:SYD:P(A;;GAGR;;;WD)"},
    {L"O:S-1-0x1000000000-5", L"O:S-1-0x1000000000-5"},
    // Domain aliases of a machine that belongs to no domain name its own accounts.
    {L"O:DAG:S-1-5-21-111-222-333-513D:(A;;GA;;;EK)(A;;GA;;;S-1-5-21-111-222-333-498)",
     L"O:DAG:DUD:(A;;GA;;;EK)(A;;GA;;;RO)"},
    // Components in any order; written as owner, group, DACL, SACL.
    {L"S:(AU;SA;FA;;;WD)D:(A;;FA;;;BA)G:SYO:BA", L"O:BAG:SYD:(A;;FA;;;BA)S:(AU;SA;FA;;;WD)"},
};

TEST_F(standin_sddl, DescriptorsRoundTripAsStringsAndBytes) {
  for (const auto& c : kRoundTrips) {
    SCOPED_TRACE(Narrow(c.text));
    PSECURITY_DESCRIPTOR sd = nullptr;
    ULONG length = 0;
    SetLastError(kSentinelError);
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.text, SDDL_REVISION_1, &sd,
                                                                     &length));
    EXPECT_EQ(GetSecurityDescriptorLength(sd), length);
    EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(sd, length, 0));
    EXPECT_TRUE(IsValidSecurityDescriptor(sd));
    EXPECT_EQ(Write(sd, kAll), c.written);
    // What the platform writes reads back to the same bytes.
    EXPECT_EQ(Parse(c.written), Bytes(static_cast<BYTE*>(sd), static_cast<BYTE*>(sd) + length));
    LocalFree(sd);
  }
}

TEST_F(standin_sddl, ParsedDescriptorsHaveThePlatformLayout) {
  const Bytes sd = Parse(L"O:BAG:SYD:(A;;FA;;;WD)");
  const Bytes expected = {
      1,  0, 0x04, 0x80,                          // revision, control: self-relative, DACL present
      48, 0, 0,    0,                             // owner
      64, 0, 0,    0,                             // group
      0,  0, 0,    0,                             // no SACL
      20, 0, 0,    0,                             // DACL first
      2,  0, 28,   0,    1,    0,    0,    0,     // ACL header
      0,  0, 20,   0,    0xff, 0x01, 0x1f, 0x00,  // entry: allow FILE_ALL_ACCESS
      1,  1, 0,    0,    0,    0,    0,    1,    0,  0, 0, 0,                 // S-1-1-0
      1,  2, 0,    0,    0,    0,    0,    5,    32, 0, 0, 0, 0x20, 2, 0, 0,  // S-1-5-32-544
      1,  1, 0,    0,    0,    0,    0,    5,    18, 0, 0, 0,                 // S-1-5-18
  };
  EXPECT_EQ(sd, expected);
  // "D:" alone is an empty DACL, which grants nothing; never a null one.
  const Bytes empty = Parse(L"D:");
  const Bytes empty_expected = {1, 0, 0x04, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                0, 0, 20,   0,    0, 0, 2, 0, 8, 0, 0, 0, 0, 0};
  EXPECT_EQ(empty, empty_expected);
  const Bytes null = Parse(L"D:NO_ACCESS_CONTROL");
  const Bytes null_expected = {1, 0, 0x04, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(null, null_expected);
  // Object entries that name no GUID become plain ones in an ACL of revision 4 that keeps the
  // room of their flags, as Windows built "D:P(D;;;;;MP)(D;;;;;MP)" in its recorded answers.
  const Bytes label = Parse(L"D:P(OD;;;;;MP)(OD;;;;;MP)");
  const Bytes label_expected = {
      1, 0, 0x04, 0x90, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  20, 0,    0, 0,  // protected DACL
      4, 0, 56,   0,    2, 0, 0, 0,                                           // 48 bytes used of 56
      1, 0, 20,   0,    0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 16, 0,  0x21, 0, 0,  // deny S-1-16-8448
      1, 0, 20,   0,    0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 16, 0,  0x21, 0, 0,  //
      0, 0, 0,    0,    0, 0, 0, 0};
  EXPECT_EQ(label, label_expected);
}

TEST_F(standin_sddl, DomainAliasesNameTheDomainTheMachineBelongsTo) {
  InstallProfile(R"({"machine_sid": "S-1-5-21-111-222-333", "domain": "CORP",
                     "domains": {"CORP": {"sid": "S-1-5-21-7-8-9"}}})");
  const Bytes sd = Parse(L"O:DAG:LAD:(A;;GA;;;EA)(A;;GA;;;S-1-5-21-111-222-333-512)");
  ASSERT_FALSE(sd.empty());
  auto sid_at = [&](size_t field) {
    DWORD offset;
    std::memcpy(&offset, sd.data() + field, sizeof(offset));
    return SidText(const_cast<BYTE*>(sd.data() + offset));
  };
  EXPECT_EQ(sid_at(4), L"S-1-5-21-7-8-9-512");
  EXPECT_EQ(sid_at(8), L"S-1-5-21-111-222-333-500");
  // The machine's own group 512 is no domain alias here.
  EXPECT_EQ(Write(const_cast<BYTE*>(sd.data()), kAll),
            L"O:DAG:LAD:(A;;GA;;;EA)(A;;GA;;;S-1-5-21-111-222-333-512)");
}

struct Malformed {
  const wchar_t* text;
  DWORD error;
};

const Malformed kMalformed[] = {
    {L"ERROR:(D;;GA;;;WD)", ERROR_INVALID_PARAMETER},
    {L"X:BA", ERROR_INVALID_PARAMETER},
    {L"O", ERROR_INVALID_PARAMETER},
    {L"O:BAO:SY", ERROR_INVALID_PARAMETER},
    {L"D:D:", ERROR_INVALID_PARAMETER},
    {L"O:XX", ERROR_INVALID_SID},
    {L"O:S-1-5", ERROR_INVALID_SID},
    {L"G:", ERROR_INVALID_SID},
    {L"D:(A;;ROB;;;WD)", ERROR_INVALID_ACL},
    {L"D:(Z;;GA;;;WD)", ERROR_INVALID_ACL},
    {L"D:(OA;;GA;bf967aba-0de6-11d0-a285;;WD)", ERROR_INVALID_ACL},
    {L"D:(OA;;GA;{bf967aba-0de6-11d0-a285-00aa003049e2};;WD)", ERROR_INVALID_ACL},
    {L"D:(XA;;FX;;;WD;(@User.Title == \"x\"))", ERROR_INVALID_ACL},
    {L"D:(A;;GA;;;S-1-0x1000000000000-1)", ERROR_INVALID_ACL},
    {L"D:(A;;GA;;;S-1-1-0 )", ERROR_INVALID_ACL},
    {L"D:(A;;GA ;;;WD)", ERROR_INVALID_ACL},
    {L"d:(A;;GA;;;WD)", ERROR_INVALID_PARAMETER},
    {L"D:(A;XX;GA;;;WD)", ERROR_INVALID_ACL},
    {L"D:(A;;GA;;;Nonexistent account)", ERROR_INVALID_ACL},
    {L"D:(A;;GA;;;WD", ERROR_INVALID_ACL},
    {L"D:(A;;GA;;WD)", ERROR_INVALID_ACL},
    {L"D:(A;;GA;;;WD;x)", ERROR_INVALID_ACL},
    {L"D:(A;;GA;bf967aba-0de6-11d0-a285-00aa003049e2;;WD)", ERROR_INVALID_ACL},
    {L"D:(A;;0xG;;;WD)", ERROR_INVALID_ACL},
    {L"D:NO_ACCESS_CONTROL(A;;GA;;;WD)", ERROR_INVALID_ACL},
    {L"D:Q(A;;GA;;;WD)", ERROR_INVALID_ACL},
    {L"D:(A;;GA;;;WD)junk", ERROR_INVALID_ACL},
};

TEST_F(standin_sddl, MalformedStringsAreRefusedWithTheirCode) {
  for (const auto& c : kMalformed) {
    SCOPED_TRACE(Narrow(c.text));
    PSECURITY_DESCRIPTOR sd = &sd;
    ULONG length = 77;
    SetLastError(kSentinelError);
    EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.text, SDDL_REVISION_1, &sd,
                                                                      &length));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(sd, static_cast<PSECURITY_DESCRIPTOR>(&sd));
    EXPECT_EQ(length, 77u);
  }
}

TEST_F(standin_sddl, AnAclBeyondSixteenBitsIsRefused) {
  // 65532 bytes hold the header and 3276 entries of 20 bytes; one more cannot be recorded.
  std::wstring text = L"D:";
  for (int i = 0; i < 3276; ++i)
    text += L"(A;;FA;;;WD)";
  Bytes sd = Parse(text.c_str());
  ASSERT_FALSE(sd.empty());
  EXPECT_EQ(sd.size(), 20u + 8 + 3276 * 20);
  text += L"(A;;FA;;;WD)";
  PSECURITY_DESCRIPTOR out = nullptr;
  SetLastError(kSentinelError);
  EXPECT_FALSE(
      ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, &out, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACL));
}

TEST_F(standin_sddl, ArgumentsAreChecked) {
  PSECURITY_DESCRIPTOR sd = &sd;
  SetLastError(kSentinelError);
  EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;GA;;;WD)", 0xdeadbeef,
                                                                    &sd, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_REVISION));
  EXPECT_FALSE(
      ConvertStringSecurityDescriptorToSecurityDescriptorW(nullptr, SDDL_REVISION_1, &sd, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:", SDDL_REVISION_1, nullptr,
                                                                    nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(sd, static_cast<PSECURITY_DESCRIPTOR>(&sd));

  SECURITY_DESCRIPTOR absolute;
  ASSERT_TRUE(InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION));
  LPWSTR text = reinterpret_cast<LPWSTR>(&absolute);
  ULONG length = 77;
  SetLastError(kSentinelError);
  EXPECT_FALSE(
      ConvertSecurityDescriptorToStringSecurityDescriptorW(&absolute, 2, kAll, &text, &length));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_REVISION));
  EXPECT_EQ(text, reinterpret_cast<LPWSTR>(&absolute));
  EXPECT_EQ(length, 77u);
}

TEST_F(standin_sddl, AbsoluteDescriptorsAreWrittenPartByPart) {
  // After Wine's sequence, which also runs on Windows.
  SECURITY_DESCRIPTOR sd;
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  EXPECT_EQ(Write(&sd, kAll), L"");
  Bytes local = SidBytes(L"S-1-2-0");
  ASSERT_TRUE(SetSecurityDescriptorOwner(&sd, local.data(), TRUE));
  EXPECT_EQ(Write(&sd, kAll), L"O:S-1-2-0");
  Bytes system = SidBytes(L"SY");
  ASSERT_TRUE(SetSecurityDescriptorOwner(&sd, system.data(), TRUE));
  Bytes group = SidBytes(L"S-1-5-21-93476-23408-4576");
  ASSERT_TRUE(SetSecurityDescriptorGroup(&sd, group.data(), TRUE));
  EXPECT_EQ(Write(&sd, kAll), L"O:SYG:S-1-5-21-93476-23408-4576");
  EXPECT_EQ(Write(&sd, GROUP_SECURITY_INFORMATION), L"G:S-1-5-21-93476-23408-4576");

  alignas(4) BYTE acl_buffer[256];
  auto* acl = reinterpret_cast<PACL>(acl_buffer);
  ASSERT_TRUE(InitializeAcl(acl, sizeof(acl_buffer), ACL_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, TRUE));
  EXPECT_EQ(Write(&sd, kAll), L"O:SYG:S-1-5-21-93476-23408-4576D:");
  Bytes service = SidBytes(L"S-1-5-6");
  ASSERT_TRUE(AddAccessAllowedAceEx(acl, ACL_REVISION, NO_PROPAGATE_INHERIT_ACE, 0xf0000000,
                                    service.data()));
  ASSERT_TRUE(AddAccessAllowedAceEx(acl, ACL_REVISION, INHERIT_ONLY_ACE | INHERITED_ACE, 3,
                                    service.data()));
  ASSERT_TRUE(AddAccessDeniedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                   0xffffffff, group.data()));
  EXPECT_EQ(Write(&sd, kAll),
            L"O:SYG:S-1-5-21-93476-23408-4576D:(A;NP;GAGXGWGR;;;SU)(A;IOID;CCDC;;;SU)"
            L"(D;OICI;0xffffffff;;;S-1-5-21-93476-23408-4576)");
  EXPECT_EQ(Write(&sd, DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION),
            L"D:(A;NP;GAGXGWGR;;;SU)(A;IOID;CCDC;;;SU)(D;OICI;0xffffffff;;;S-1-5-21-93476-23408-"
            L"4576)");

  // A present DACL with a null pointer is written so that it reads back as a null DACL.
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
  EXPECT_EQ(Write(&sd, DACL_SECURITY_INFORMATION), L"D:NO_ACCESS_CONTROL");
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, FALSE, nullptr, FALSE));
  EXPECT_EQ(Write(&sd, DACL_SECURITY_INFORMATION), L"");

  // A damaged ACL is not written.
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
  acl->AceCount = 9;
  EXPECT_EQ(Write(&sd, kAll), L"<refused " + std::to_wstring(ERROR_INVALID_SECURITY_DESCR) + L">");
}

// Windows' own answers, recorded by Samba's test suite (tests/data/windows-sddl/README.md). The
// machine is the recording machine: its account domain is the one its LA and LG entries hold.
class standin_sddl_windows : public StandinTest {
 protected:
  std::string_view Profile() const override {
    return R"({"machine_sid": "S-1-5-21-2457507606-2709100691-398136650"})";
  }
};

struct WindowsFact {
  std::string kind;     // both, print, cond, text or fail
  std::wstring first;   // the SDDL, or the string given
  std::wstring second;  // text: what Windows printed
  Bytes bytes;          // both, print, cond: the self-relative bytes
};

std::wstring Unescape(const std::string& field) {
  std::string text;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 1 < field.size()) {
      ++i;
      text += field[i] == 't' ? '\t' : field[i];
    } else {
      text += field[i];
    }
  }
  return standin::Utf8ToWide(text);
}

Bytes FromHex(const std::string& hex) {
  auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
  Bytes bytes;
  bytes.reserve(hex.size() / 2);
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<BYTE>(nibble(hex[i]) * 16 + nibble(hex[i + 1])));
  return bytes;
}

std::vector<WindowsFact> ReadWindowsFacts() {
  std::vector<WindowsFact> facts;
  gzFile file = gzopen(VORTISS_WINDOWS_SDDL_DATA, "rb");
  if (!file)
    return facts;
  std::string content;
  char buffer[1 << 16];
  for (int n; (n = gzread(file, buffer, sizeof(buffer))) > 0;)
    content.append(buffer, static_cast<size_t>(n));
  gzclose(file);
  size_t start = 0;
  for (size_t end; (end = content.find('\n', start)) != std::string::npos; start = end + 1) {
    std::vector<std::string> fields;
    const std::string line = content.substr(start, end - start);
    for (size_t from = 0, tab;; from = tab + 1) {
      tab = line.find('\t', from);
      fields.push_back(line.substr(from, tab == std::string::npos ? tab : tab - from));
      if (tab == std::string::npos)
        break;
    }
    WindowsFact fact{fields[0], Unescape(fields[1]), {}, {}};
    if (fact.kind == "text")
      fact.second = Unescape(fields.at(2));
    else if (fact.kind != "fail")
      fact.bytes = FromHex(fields.at(2));
    facts.push_back(std::move(fact));
  }
  return facts;
}

std::wstring WriteBytes(Bytes bytes) {
  return bytes.empty() ? L"<refused>" : Write(bytes.data(), kAll);
}

TEST_F(standin_sddl_windows, EveryRecordedStringGivesWindowsAnswer) {
  const std::vector<WindowsFact> facts = ReadWindowsFacts();
  ASSERT_GT(facts.size(), 7000u) << "cannot read " << VORTISS_WINDOWS_SDDL_DATA;
  std::map<std::string, size_t> checked;
  std::vector<std::string> wrong;
  auto check = [&](bool same, const WindowsFact& fact, const std::wstring& got) {
    if (!same)
      wrong.push_back(fact.kind + " " + standin::WideToUtf8(fact.first) + " -> " +
                      standin::WideToUtf8(got));
  };
  for (const auto& fact : facts) {
    ++checked[fact.kind];
    if (fact.kind == "both") {
      const Bytes parsed = Parse(fact.first.c_str());
      check(parsed == fact.bytes, fact, L"other bytes: " + WriteBytes(parsed));
      const std::wstring printed = WriteBytes(fact.bytes);
      check(printed == fact.first, fact, printed);
    } else if (fact.kind == "print") {
      // Bytes Windows built from object entries that name no GUID (see the README).
      const std::wstring printed = WriteBytes(fact.bytes);
      check(printed == fact.first, fact, printed);
    } else if (fact.kind == "text") {
      const std::wstring printed = WriteBytes(Parse(fact.first.c_str()));
      check(printed == fact.second, fact, printed);
    } else if (fact.kind == "fail") {
      check(Parse(fact.first.c_str()).empty(), fact, L"accepted");
    } else {
      // The one exception: conditional (callback) entries are refused, both ways.
      ASSERT_EQ(fact.kind, "cond");
      check(Parse(fact.first.c_str()).empty() && GetLastError() == ERROR_INVALID_ACL, fact,
            L"not refused with ERROR_INVALID_ACL");
      const std::wstring printed = WriteBytes(fact.bytes);
      check(printed == L"<refused " + std::to_wstring(ERROR_INVALID_ACL) + L">", fact, printed);
    }
  }
  EXPECT_GT(checked["both"], 7000u);
  EXPECT_GT(checked["text"], 90u);
  EXPECT_GT(checked["fail"], 40u);
  EXPECT_EQ(checked["print"], 17u);
  EXPECT_EQ(checked["cond"], 60u);
  EXPECT_TRUE(wrong.empty()) << wrong.size() << " strings differ from Windows, the first: "
                             << (wrong.empty() ? "" : wrong.front());
  for (size_t i = 0; i < wrong.size() && i < 40; ++i)
    ADD_FAILURE() << wrong[i];
}

}  // namespace
