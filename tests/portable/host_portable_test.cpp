// The host's pieces below its commands, as tables: DACL edits (a descriptor and an edit in, the
// DACL written out, in SDDL), RIGHTS, targets and their parents, paths in their Windows form, and
// the wording of a membership path. The same source runs on the stand-in and, built for
// Windows, under Wine.
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/dacl_edit.h"
#include "cli/explanation.h"
#include "cli/rights.h"
#include "cli/target.h"
#include "platform/host.h"
#include "security/scoped_platform.h"
#include "tests/portable/platform_facts.h"

namespace {

constexpr const wchar_t kNull[] = L"NO_ACCESS_CONTROL";

std::string Narrow(const std::wstring& text) {
  return std::string(text.begin(), text.end());
}

// The DACL of "D:..." (or kNull, built by hand: Wine reads NO_ACCESS_CONTROL as an empty DACL).
Dacl DaclOfText(const std::wstring& text) {
  if (text == kNull)
    return Dacl{true, false, {}};
  vortiss::ScopedLocal<void> descriptor;
  EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      (L"O:BAG:SY" + text).c_str(), SDDL_REVISION_1, descriptor.receive(), nullptr))
      << Narrow(text);
  return Dacl::Of(descriptor.get());
}

// A DACL as "D:..." (its protection and entries), or kNull.
std::wstring TextOf(const Dacl& dacl) {
  if (dacl.null)
    return kNull;
  std::vector<BYTE> acl;
  EXPECT_EQ(BuildAcl(dacl.entries, acl), static_cast<DWORD>(ERROR_SUCCESS));
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&descriptor, TRUE, reinterpret_cast<PACL>(acl.data()), FALSE);
  SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED,
                               dacl.protect ? SE_DACL_PROTECTED : 0);
  vortiss::ScopedLocal<wchar_t> text;
  EXPECT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
      &descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, text.receive(), nullptr));
  return text ? std::wstring(text.get()) : std::wstring();
}

TEST(HostDaclEdit, EditsChangeOnlyWhatTheyName) {
  constexpr BYTE kInherits = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  struct Row {
    const wchar_t* dacl;
    DaclEdit edit;
    const wchar_t* account;
    ACCESS_MASK mask;
    std::optional<bool> protect;  // --no-inherit, --inherit
    bool whole;                   // a value: inherited entries are written too
    const wchar_t* written;
    bool changed;
    bool nothing_to_revoke;
  };
  const Row rows[] = {
      // A null DACL is no empty one: a grant or a denial keeps what it gave everyone.
      {kNull,
       DaclEdit::kGrant,
       L"BU",
       FILE_GENERIC_READ,
       {},
       false,
       L"D:(A;OICI;FA;;;WD)(A;OICI;FR;;;BU)",
       true,
       false},
      {kNull,
       DaclEdit::kDeny,
       L"BU",
       FILE_GENERIC_WRITE,
       {},
       false,
       L"D:(D;OICI;FW;;;BU)(A;OICI;FA;;;WD)",
       true,
       false},
      {kNull, DaclEdit::kRevoke, L"BU", 0, {}, false, kNull, false, true},
      {kNull, DaclEdit::kNone, L"BU", 0, true, false, kNull, true, false},
      // A revocation of an account with no entry of its own writes nothing, protected or not.
      {L"D:P(A;OICI;FA;;;BA)",
       DaclEdit::kRevoke,
       L"BU",
       0,
       {},
       false,
       L"D:P(A;OICI;FA;;;BA)",
       false,
       true},
      {L"D:AI(A;OICI;FA;;;BA)(A;OICIID;FR;;;BU)",
       DaclEdit::kRevoke,
       L"BU",
       0,
       {},
       false,
       L"D:(A;OICI;FA;;;BA)",
       false,
       true},
      {L"D:(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)",
       DaclEdit::kRevoke,
       L"BU",
       0,
       {},
       false,
       L"D:(A;OICI;FA;;;BA)",
       true,
       false},
      // The same grant again changes nothing; a grant replaces grants, not denials.
      {L"D:(A;OICI;FR;;;BU)",
       DaclEdit::kGrant,
       L"BU",
       FILE_GENERIC_READ,
       {},
       false,
       L"D:(A;OICI;FR;;;BU)",
       false,
       false},
      {L"D:(A;;FR;;;BU)(D;;FW;;;BU)",
       DaclEdit::kGrant,
       L"BU",
       FILE_ALL_ACCESS,
       {},
       false,
       L"D:(D;;FW;;;BU)(A;OICI;FA;;;BU)",
       true,
       false},
      // A denial replaces the account's grants and takes its place before every grant.
      {L"D:(A;;FA;;;BA)(A;;FR;;;BU)",
       DaclEdit::kDeny,
       L"BU",
       FILE_GENERIC_WRITE,
       {},
       false,
       L"D:(D;OICI;FW;;;BU)(A;;FA;;;BA)",
       true,
       false},
      // Protection: what was inherited is kept as the object's own; opened again, it is not.
      {L"D:AI(A;;FA;;;BA)(A;ID;FR;;;BU)", DaclEdit::kNone, L"SY", 0, true, false,
       L"D:P(A;;FA;;;BA)(A;;FR;;;BU)", true, false},
      {L"D:P(A;;FA;;;BA)", DaclEdit::kNone, L"SY", 0, false, false, L"D:(A;;FA;;;BA)", true, false},
      {L"D:P(A;;FA;;;BA)", DaclEdit::kNone, L"SY", 0, true, false, L"D:P(A;;FA;;;BA)", false,
       false},
      // A value keeps its whole DACL, inherited entries and all.
      {L"D:(A;ID;FR;;;BU)",
       DaclEdit::kRevoke,
       L"BU",
       0,
       {},
       true,
       L"D:(A;ID;FR;;;BU)",
       false,
       true},
      {L"D:(A;ID;FR;;;BU)",
       DaclEdit::kGrant,
       L"SY",
       FILE_ALL_ACCESS,
       {},
       true,
       L"D:(A;OICI;FA;;;SY)(A;ID;FR;;;BU)",
       true,
       false},
  };
  for (const Row& row : rows) {
    const std::vector<BYTE> account = portable::SidBytes(row.account);
    DaclChange change;
    change.edit = row.edit;
    change.account = const_cast<BYTE*>(account.data());
    change.mask = row.mask;
    change.flags = kInherits;
    change.full_access = FILE_ALL_ACCESS;
    change.protect = row.protect;
    change.whole = row.whole;
    const DaclEditResult result = EditDacl(DaclOfText(row.dacl), change);
    const std::string what = Narrow(row.dacl) + " " + Narrow(row.account);
    EXPECT_EQ(Narrow(TextOf(result.written)), Narrow(row.written)) << what;
    EXPECT_EQ(result.changed, row.changed) << what;
    EXPECT_EQ(result.nothing_to_revoke, row.nothing_to_revoke) << what;
  }
}

TEST(HostRights, NumbersAndSddlLetters) {
  const struct {
    const char* text;
    std::optional<std::uint32_t> mask;
  } rows[] = {
      {"FA", FILE_ALL_ACCESS},
      {"0x120089", 0x120089u},
      {"0X120089", 0x120089u},
      {"1179785", 0x120089u},
      {"GRGW", GENERIC_READ | GENERIC_WRITE},
      {"RCWDWO", READ_CONTROL | WRITE_DAC | WRITE_OWNER},
      {"KA", KEY_ALL_ACCESS},
      {"NWNR", 0x3u},
      {"4294967295", 0xffffffffu},
      {"0x0000001", 0x1u},
      {"", std::nullopt},
      {"F", std::nullopt},
      {"fa", std::nullopt},
      {" FA", std::nullopt},
      {"FAX", std::nullopt},
      {"0x", std::nullopt},
      {"0x100000000", std::nullopt},
      {"4294967296", std::nullopt},
      {"12a", std::nullopt},
      {"0xFG", std::nullopt},
  };
  for (const auto& row : rows)
    EXPECT_EQ(ParseRights(row.text), row.mask) << "'" << row.text << "'";
}

TEST(HostTarget, KeysAreParsedAndNamedOnce) {
  const struct {
    const char* text;
    bool root_alone;
    const wchar_t* path;    // null: refused
    const wchar_t* object;  // as the named-object calls name it
    const wchar_t* parent;  // the path one level up; null for none
  } rows[] = {
      {"HKLM\\Software\\Example", false, L"HKLM\\Software\\Example", L"MACHINE\\Software\\Example",
       L"HKLM\\Software"},
      {"hkey_current_user\\Software", false, L"hkey_current_user\\Software",
       L"CURRENT_USER\\Software", L"hkey_current_user"},
      {"HKLM", true, L"HKLM", L"MACHINE", nullptr},
      {"HKCU\\\\", true, L"HKCU", L"CURRENT_USER", nullptr},
      {"HKLM", false, nullptr, nullptr, nullptr},
      {"HKLM\\", false, nullptr, nullptr, nullptr},
      {"HKXX\\Software", true, nullptr, nullptr, nullptr},
  };
  for (const auto& row : rows) {
    std::wstring refusal;
    const auto target = Target::Key(row.text, row.root_alone, refusal);
    ASSERT_EQ(target.has_value(), row.path != nullptr) << row.text;
    if (!target) {
      EXPECT_NE(refusal.find(L"'"), std::wstring::npos) << row.text;
      continue;
    }
    EXPECT_EQ(target->path, row.path);
    EXPECT_EQ(target->ObjectName(), row.object);
    EXPECT_EQ(target->Describe(), L"'" + std::wstring(row.path) + L"'");
    const auto parent = target->Parent();
    ASSERT_EQ(parent.has_value(), row.parent != nullptr) << row.text;
    if (parent) {
      EXPECT_EQ(parent->path, row.parent) << row.text;
    }
  }
  std::wstring refusal;
  const auto value = Target::Value("HKLM\\Software\\Example", "Launch", refusal);
  ASSERT_TRUE(value);
  EXPECT_EQ(value->Describe(), L"'HKLM\\Software\\Example' value 'Launch'");
  EXPECT_FALSE(value->Parent());
}

TEST(HostTarget, FilesClimbToTheirDrivesRoot) {
  const struct {
    const char* path;
    std::vector<std::wstring> above;
  } rows[] = {
      {"C:\\Data\\report.txt", {L"C:\\Data", L"C:\\"}},
      {"C:\\Data\\Inner\\", {L"C:\\Data", L"C:\\"}},
      {"C:\\", {}},
      {"\\\\?\\C:\\Data\\name.", {L"\\\\?\\C:\\Data", L"\\\\?\\C:\\"}},
  };
  for (const auto& row : rows) {
    std::wstring refusal;
    const auto target = Target::File(row.path, refusal);
    ASSERT_TRUE(target) << row.path;
    std::vector<std::wstring> above;
    for (auto p = target->Parent(); p; p = p->Parent())
      above.push_back(p->path);
    EXPECT_EQ(above, row.above) << row.path;
  }
}

// A POSIX path is the stand-in's to name on the drive of the host's root; Windows takes every
// path as written.
TEST(HostPaths, PosixPathsInTheirWindowsForm) {
  const struct {
    const char* path;
    const wchar_t* standin;  // null: refused
  } rows[] = {
      {"C:\\Data\\x", L"C:\\Data\\x"},
      {"\\\\?\\C:\\x.", L"\\\\?\\C:\\x."},
      {"/", L"Z:\\"},
      {"/usr/../usr/bin/x", L"Z:\\usr\\bin\\x"},
      {"/usr/", L"Z:\\usr\\"},
      {"/vortiss-absent/a/../b", L"Z:\\vortiss-absent\\a\\b"},
      {"/usr/name.", L"\\\\?\\Z:\\usr\\name."},
      {"/usr/a\\b", nullptr},
  };
  std::wstring unused;
  const bool standin = host::WindowsPathOf("/", unused) != std::optional<std::wstring>(L"/");
  for (const auto& row : rows) {
    std::wstring refusal;
    const auto windows = host::WindowsPathOf(row.path, refusal);
    if (!standin) {
      EXPECT_EQ(windows, host::WideFromUtf8(row.path)) << row.path;
      continue;
    }
    ASSERT_EQ(windows.has_value(), row.standin != nullptr) << row.path;
    if (windows) {
      EXPECT_EQ(*windows, row.standin) << row.path;
    } else {
      EXPECT_NE(refusal.find(L"backslash"), std::wstring::npos);
    }
  }
}

TEST(HostExplanation, MembershipPathsReadFromTheUserOut) {
  const struct {
    std::vector<std::wstring> path;
    const wchar_t* text;
  } rows[] = {
      {{}, L""},
      {{L"WS01\\alice", L"BUILTIN\\Administrators"},
       L"WS01\\alice, a member of BUILTIN\\Administrators"},
      {{L"CORP\\carol", L"CORP\\Domain Admins", L"BUILTIN\\Administrators"},
       L"CORP\\carol through CORP\\Domain Admins, a member of BUILTIN\\Administrators"},
      {{L"A\\u", L"A\\g1", L"A\\g2", L"BUILTIN\\Users"},
       L"A\\u through A\\g1, a member of A\\g2, a member of BUILTIN\\Users"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(PathText(row.path), row.text);
  EXPECT_EQ(MaskText(0x1f01ff), L"0x001f01ff");
}

}  // namespace
