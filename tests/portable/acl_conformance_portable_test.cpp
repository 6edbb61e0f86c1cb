// Windows' answers for new files and directories and for descriptors set on them, as Samba's
// ACL torture tests recorded them against Windows servers (source4/torture/smb2/acls.c and
// source4/torture/raw/acls.c): each row sets a descriptor, makes or opens an object, and holds
// what comes back, in SDDL, to the record. The record's SMB calls are made through Win32:
// a descriptor set on an open file is SetFileSecurityW, an NTCreateX is CreateFileW or
// CreateDirectoryW. CreateFileW always asks for SYNCHRONIZE too, which SMB does not: the rows
// whose entries the opens rely on grant it besides what the record gives.
//
// In the patterns %O stands for the owner of what the test makes and %D for the entries of the
// creator's default DACL, generic rights mapped for files. On the stand-in the table runs on a
// described Windows machine (acl-conformance-machine.json) whose descriptors the stand-in keeps;
// on the host mirror a file's mode bits would answer instead.
#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "security/scoped_platform.h"
#include "tests/portable/platform_facts.h"

namespace {

constexpr char kWineKeepsNoDescriptor[] =
    "Debian's Wine keeps no file descriptor: only the Unix mode bits follow a DACL, and what is "
    "read back is made from them";

const SECURITY_INFORMATION kOwnerAndDacl = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

std::wstring Replace(std::wstring text, const std::wstring& from, const std::wstring& to) {
  for (size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// `sd` in SDDL as the platform prints the parts `information` names; empty when it cannot.
std::wstring Print(PSECURITY_DESCRIPTOR sd, SECURITY_INFORMATION information) {
  vortiss::ScopedLocal<wchar_t> text;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, information,
                                                            text.receive(), nullptr))
    return {};
  return text.get();
}

// The parts `information` names of the descriptor of `path`, in SDDL; "error N" when refused.
std::wstring Read(const std::wstring& path, SECURITY_INFORMATION information) {
  DWORD needed = 0;
  GetFileSecurityW(path.c_str(), information, nullptr, 0, &needed);
  std::vector<BYTE> sd(needed ? needed : 1);
  if (!GetFileSecurityW(path.c_str(), information, sd.data(), needed, &needed))
    return L"error " + std::to_wstring(GetLastError());
  return Print(sd.data(), information);
}

// What an open of an existing object with `access` ends in: ERROR_SUCCESS or its error.
DWORD Open(const std::wstring& path, DWORD access) {
  const HANDLE file =
      CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return GetLastError();
  CloseHandle(file);
  return ERROR_SUCCESS;
}

DWORD MakeFile(const std::wstring& path, DWORD access, LPSECURITY_ATTRIBUTES security = nullptr) {
  const HANDLE file =
      CreateFileW(path.c_str(), access, 0, security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return GetLastError();
  CloseHandle(file);
  return ERROR_SUCCESS;
}

// One open of an object: the access asked for and whether Windows granted it.
struct OpenFact {
  DWORD access;
  bool granted;
};

class AclConformance : public testing::Test {
 protected:
  void SetUp() override {
    SKIP_UNDER_WINE(kWineKeepsNoDescriptor);
    dir_ = scratch_.path() + L"\\inheritance";
    ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr)) << GetLastError();
    const std::wstring owner = Read(dir_, OWNER_SECURITY_INFORMATION);
    ASSERT_EQ(owner.rfind(L"O:", 0), 0u) << owner;
    owner_ = owner.substr(2);
    default_dacl_ = DefaultDaclEntries();
    ASSERT_FALSE(default_dacl_.empty());
  }

  // The entries of the process token's default DACL with generic rights mapped for files, in
  // SDDL: what a new object gets when nothing is inherited.
  static std::wstring DefaultDaclEntries() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
      return {};
    vortiss::ScopedHandle token(raw);
    DWORD needed = 0;
    GetTokenInformation(raw, TokenDefaultDacl, nullptr, 0, &needed);
    std::vector<BYTE> answer(needed ? needed : 1);
    if (!GetTokenInformation(raw, TokenDefaultDacl, answer.data(), needed, &needed))
      return {};
    const PACL given = reinterpret_cast<TOKEN_DEFAULT_DACL*>(answer.data())->DefaultDacl;
    std::vector<BYTE> copy(reinterpret_cast<BYTE*>(given),
                           reinterpret_cast<BYTE*>(given) + given->AclSize);
    const PACL acl = reinterpret_cast<PACL>(copy.data());
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                               FILE_ALL_ACCESS};
    for (DWORD i = 0; i < acl->AceCount; ++i) {
      void* ace = nullptr;
      if (!GetAce(acl, i, &ace))
        return {};
      MapGenericMask(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->Mask, &mapping);
    }
    SECURITY_DESCRIPTOR sd;
    if (!InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE))
      return {};
    const std::wstring text = Print(&sd, DACL_SECURITY_INFORMATION);
    return text.rfind(L"D:", 0) == 0 ? text.substr(2) : std::wstring();
  }

  // `pattern` with %O and %D filled in, printed as the platform prints it.
  std::wstring Expected(const std::wstring& pattern, SECURITY_INFORMATION information) const {
    const std::wstring text = Replace(Replace(pattern, L"%D", default_dacl_), L"%O", owner_);
    vortiss::ScopedLocal<void> sd;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                              sd.receive(), nullptr))
      return L"(unreadable pattern " + text + L")";
    return Print(sd.get(), information);
  }

  // Sets the parts `information` names from SDDL `pattern` (%O filled in) by handle, as
  // SetFileSecurityW writes them.
  DWORD Set(const std::wstring& path,
            const std::wstring& pattern,
            SECURITY_INFORMATION information = DACL_SECURITY_INFORMATION) const {
    vortiss::ScopedLocal<void> sd;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            Replace(pattern, L"%O", owner_).c_str(), SDDL_REVISION_1, sd.receive(), nullptr))
      return GetLastError();
    return SetFileSecurityW(path.c_str(), information, sd.get()) ? ERROR_SUCCESS : GetLastError();
  }

  void ExpectOpens(const std::wstring& path, const std::vector<OpenFact>& facts) const {
    for (const OpenFact& fact : facts) {
      SCOPED_TRACE(::testing::Message() << "open with 0x" << std::hex << fact.access);
      const DWORD error = Open(path, fact.access);
      EXPECT_EQ(error, fact.granted ? static_cast<DWORD>(ERROR_SUCCESS)
                                    : static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
  }

  portable::ScratchDirectory scratch_;
  std::wstring dir_;
  std::wstring owner_;
  std::wstring default_dacl_;
};

// test_inheritance: a parent whose CREATOR OWNER entry carries each combination of inheritance
// flags, set without automatic inheritance, and the file and directory made in it.
TEST_F(AclConformance, ChildrenTakeWhatEachInheritanceFlagPassesOn) {
  const struct {
    const wchar_t* flags;  // of the parent's CREATOR OWNER entry
    const wchar_t* file;   // the DACL of a file made in it
    const wchar_t* dir;    // and of a directory
  } rows[] = {
      {L"", L"%D", L"%D"},
      {L"OI", L"(A;;0x2;;;%O)", L"(A;OIIO;0x2;;;CO)"},
      {L"CI", L"%D", L"(A;;0x2;;;%O)(A;CIIO;0x2;;;CO)"},
      {L"OICI", L"(A;;0x2;;;%O)", L"(A;;0x2;;;%O)(A;OICIIO;0x2;;;CO)"},
      {L"NP", L"%D", L"%D"},
      {L"OINP", L"(A;;0x2;;;%O)", L"%D"},
      {L"CINP", L"%D", L"(A;;0x2;;;%O)"},
      {L"OICINP", L"(A;;0x2;;;%O)", L"(A;;0x2;;;%O)"},
      {L"IO", L"%D", L"%D"},
      {L"OIIO", L"(A;;0x2;;;%O)", L"(A;OIIO;0x2;;;CO)"},
      {L"CIIO", L"%D", L"(A;;0x2;;;%O)(A;CIIO;0x2;;;CO)"},
      {L"OICIIO", L"(A;;0x2;;;%O)", L"(A;;0x2;;;%O)(A;OICIIO;0x2;;;CO)"},
      {L"NPIO", L"%D", L"%D"},
      {L"OINPIO", L"(A;;0x2;;;%O)", L"%D"},
      {L"CINPIO", L"%D", L"(A;;0x2;;;%O)"},
      {L"OICINPIO", L"(A;;0x2;;;%O)", L"(A;;0x2;;;%O)"},
  };
  int index = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message()
                 << "parent flags '" << std::string(row.flags, row.flags + wcslen(row.flags))
                 << "'");
    ASSERT_EQ(Set(dir_, std::wstring(L"D:(A;") + row.flags + L";0x2;;;CO)(A;;FA;;;WD)"),
              static_cast<DWORD>(ERROR_SUCCESS));
    const std::wstring file = dir_ + L"\\file" + std::to_wstring(index);
    const std::wstring dir = dir_ + L"\\dir" + std::to_wstring(index++);
    ASSERT_EQ(MakeFile(file, FILE_ALL_ACCESS), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr)) << GetLastError();
    EXPECT_EQ(Read(file, kOwnerAndDacl),
              Expected(std::wstring(L"O:%OD:") + row.file, kOwnerAndDacl));
    EXPECT_EQ(Read(dir, kOwnerAndDacl), Expected(std::wstring(L"O:%OD:") + row.dir, kOwnerAndDacl));
  }
}

// test_inheritance_flags: a parent set with each combination of SE_DACL_AUTO_INHERITED,
// SE_DACL_AUTO_INHERIT_REQ, SE_DACL_PROTECTED and an inherited entry; what it reads back; the
// file made in it; and the same combinations set on that file. (The record's sixteenth row
// repeats its first.)
TEST_F(AclConformance, AutoInheritanceFlagsAreKeptOnlyAsRequested) {
  // The control flags a row sets, and the INHERITED_ACE flag of its entry.
  auto control = [](int i) {
    std::wstring flags;
    if (i & 4)
      flags += L"P";
    if (i & 2)
      flags += L"AR";
    if (i & 1)
      flags += L"AI";
    return flags;
  };
  auto kept = [](int i) {
    std::wstring flags = (i & 4) ? L"P" : L"";
    if ((i & 1) && (i & 2))
      flags += L"AI";
    return flags;
  };
  auto inherited = [](int i) { return (i & 8) ? L"ID" : L""; };
  for (int i = 0; i < 15; ++i) {
    SCOPED_TRACE(::testing::Message() << "row " << i);
    const std::wstring entries = L";0x40002;;;%O)(A;;FA;;;WD)";
    ASSERT_EQ(Set(dir_, L"D:" + control(i) + L"(A;OICI" + inherited(i) + entries),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(
        Read(dir_, DACL_SECURITY_INFORMATION),
        Expected(L"D:" + kept(i) + L"(A;OICI" + inherited(i) + entries, DACL_SECURITY_INFORMATION));
    const bool auto_inherited = (i & 1) && (i & 2);
    const std::wstring file = dir_ + L"\\file" + std::to_wstring(i);
    ASSERT_EQ(MakeFile(file, FILE_ALL_ACCESS), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(Read(file, kOwnerAndDacl),
              Expected(auto_inherited ? L"O:%OD:AI(A;ID;0x40002;;;%O)" : L"O:%OD:(A;;0x40002;;;%O)",
                       kOwnerAndDacl));
  }
  // On the file the bits owe nothing to the parent's: each comes from the descriptor set.
  const std::wstring file = dir_ + L"\\file0";
  for (int j = 0; j < 15; ++j) {
    SCOPED_TRACE(::testing::Message() << "file row " << j);
    ASSERT_EQ(Set(file, L"D:" + control(j) + L"(A;" + inherited(j) + L";0x40002;;;%O)"),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(
        Read(file, kOwnerAndDacl),
        Expected(L"O:%OD:" + kept(j) + L"(A;" + inherited(j) + L";0x40002;;;%O)", kOwnerAndDacl));
  }
}

// test_generic_bits: a DACL set with generic rights comes back with the specific rights of
// files, and of directories. The record sets the owner it has beside each DACL through a
// handle that holds WRITE_OWNER; set by name that takes a right the rows' DACLs no longer
// grant, so the DACL is set alone.
TEST_F(AclConformance, GenericRightsAreStoredMapped) {
  const struct {
    bool directory;
    const wchar_t* given;
    const wchar_t* stored;
  } rows[] = {
      {false, L"0x0", L"0x0"},     {false, L"GR", L"0x120089"}, {false, L"GW", L"0x120116"},
      {false, L"GX", L"0x1200a0"}, {false, L"GA", L"0x1f01ff"}, {false, L"0x1", L"0x1"},
      {false, L"0x80", L"0x80"},   {true, L"0x0", L"0x0"},      {true, L"GR", L"0x120089"},
      {true, L"GW", L"0x120116"},  {true, L"GX", L"0x1200a0"},  {true, L"GA", L"0x1f01ff"},
  };
  const std::wstring file = scratch_.path() + L"\\generic.txt";
  ASSERT_EQ(MakeFile(file, FILE_ALL_ACCESS), static_cast<DWORD>(ERROR_SUCCESS));
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << (row.directory ? "directory " : "file ")
                                      << std::string(row.given, row.given + wcslen(row.given)));
    const std::wstring& target = row.directory ? dir_ : file;
    ASSERT_EQ(Set(target, std::wstring(L"D:(A;;") + row.given + L";;;%O)"),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(Read(target, kOwnerAndDacl),
              Expected(std::wstring(L"O:%OD:(A;;") + row.stored + L";;;%O)", kOwnerAndDacl));
  }
}

// test_creator_sid: CREATOR OWNER in an entry of the object itself stands for no one; the
// owner's entry, given with generic read, is stored mapped and grants what it says.
TEST_F(AclConformance, CreatorOwnerOnTheObjectItselfGrantsNothing) {
  const std::wstring file = scratch_.path() + L"\\creator.txt";
  ASSERT_EQ(MakeFile(file, FILE_ALL_ACCESS), static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_EQ(Set(file, L"D:(A;;0x1f0089;;;CO)"), static_cast<DWORD>(ERROR_SUCCESS));
  ExpectOpens(file, {{FILE_WRITE_DATA, false},
                     {FILE_READ_DATA, false},
                     {GENERIC_WRITE, false},
                     {GENERIC_READ, false}});
  const std::vector<OpenFact> reads_only = {{FILE_WRITE_DATA, false},
                                            {FILE_READ_DATA, true},
                                            {GENERIC_WRITE, false},
                                            {GENERIC_READ, true}};
  for (const wchar_t* given : {L"0x1f0089", L"0x801f0000"}) {
    SCOPED_TRACE(std::string(given, given + wcslen(given)));
    ASSERT_EQ(Set(file, std::wstring(L"D:(A;;") + given + L";;;%O)"),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(Read(file, kOwnerAndDacl), Expected(L"O:%OD:(A;;0x1f0089;;;%O)", kOwnerAndDacl));
    ExpectOpens(file, reads_only);
  }
}

// test_owner_bits: the owner's entry grants write alone; of the sixteen specific rights an
// open gets that one, and FILE_READ_ATTRIBUTES through the right to list the directory.
TEST_F(AclConformance, OpensGetWhatTheEntryGrantsAndReadAttributesFromTheDirectory) {
  const std::wstring file = scratch_.path() + L"\\owner-bits.txt";
  ASSERT_EQ(MakeFile(file, FILE_ALL_ACCESS), static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_EQ(Set(file, L"D:(A;;0x100002;;;%O)"), static_cast<DWORD>(ERROR_SUCCESS));
  std::vector<OpenFact> facts;
  for (int bit = 0; bit < 16; ++bit) {
    const DWORD access = DWORD{1} << bit;
    facts.push_back({access, access == FILE_WRITE_DATA || access == FILE_READ_ATTRIBUTES});
  }
  ExpectOpens(file, facts);
}

// test_nttrans_create_null_dacl: a file made with a descriptor that names no DACL inherits
// one; a null DACL set on it is stored null and grants everything; an empty one grants its
// owner the descriptor and no more; a descriptor set without a DACL sets a null one.
TEST_F(AclConformance, NullAndEmptyDaclsAreKeptApart) {
  const std::wstring file = scratch_.path() + L"\\nulldacl.txt";
  SECURITY_DESCRIPTOR empty;
  ASSERT_TRUE(InitializeSecurityDescriptor(&empty, SECURITY_DESCRIPTOR_REVISION));
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, &empty, FALSE};
  ASSERT_EQ(MakeFile(file, READ_CONTROL | WRITE_DAC | WRITE_OWNER, &attributes),
            static_cast<DWORD>(ERROR_SUCCESS));
  const std::wstring made = Read(file, DACL_SECURITY_INFORMATION);
  EXPECT_EQ(made.rfind(L"D:", 0), 0u) << made;
  EXPECT_NE(made, L"D:NO_ACCESS_CONTROL");

  const std::vector<OpenFact> all = {
      {FILE_WRITE_DATA, true}, {FILE_READ_DATA, true}, {GENERIC_WRITE, true}, {GENERIC_READ, true}};
  const std::vector<OpenFact> none = {{FILE_WRITE_DATA, false},
                                      {FILE_READ_DATA, false},
                                      {GENERIC_WRITE, false},
                                      {GENERIC_READ, false}};
  ASSERT_EQ(Set(file, L"D:NO_ACCESS_CONTROL"), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(Read(file, DACL_SECURITY_INFORMATION), L"D:NO_ACCESS_CONTROL");
  ExpectOpens(file, all);
  ASSERT_EQ(Set(file, L"D:"), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(Read(file, DACL_SECURITY_INFORMATION), L"D:");
  ExpectOpens(file, none);
  ASSERT_EQ(SetFileSecurityW(file.c_str(), DACL_SECURITY_INFORMATION, &empty), TRUE);
  EXPECT_EQ(Read(file, DACL_SECURITY_INFORMATION), L"D:NO_ACCESS_CONTROL");
}

// test_inheritance, its second half: a file made under an object-inherit entry gets what it
// asked for at its creation, and afterwards only what the inherited entry grants.
TEST_F(AclConformance, AFileMadeUnderAnInheritedEntryIsHeldToIt) {
  const std::wstring parent = L"D:(A;OI;0x140002;;;%O)(A;;FA;;;WD)";
  ASSERT_EQ(Set(dir_, parent), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(Read(dir_, DACL_SECURITY_INFORMATION), Expected(parent, DACL_SECURITY_INFORMATION));
  const std::wstring file = dir_ + L"\\held.txt";
  EXPECT_EQ(MakeFile(file, FILE_ALL_ACCESS), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(Read(file, kOwnerAndDacl), Expected(L"O:%OD:(A;;0x140002;;;%O)", kOwnerAndDacl));
  ExpectOpens(file, {{FILE_ALL_ACCESS, false},
                     {FILE_ALL_ACCESS & ~FILE_EXECUTE, false},
                     {FILE_WRITE_DATA, true}});
}

// test_inheritance_dynamic: what a file inherited is its own; a later change of the parent's
// DACL by handle does not reach it.
TEST_F(AclConformance, InheritedEntriesStayAsTheyWereInherited) {
  ASSERT_EQ(Set(dir_, L"D:AIAR(A;OI;0x110082;;;%O)"), static_cast<DWORD>(ERROR_SUCCESS));
  const std::wstring file = dir_ + L"\\dynamic.txt";
  EXPECT_EQ(MakeFile(file, FILE_READ_ATTRIBUTES), static_cast<DWORD>(ERROR_SUCCESS));
  ExpectOpens(file, {{FILE_WRITE_DATA, true}, {FILE_WRITE_DATA | FILE_EXECUTE, false}});
  ASSERT_EQ(Set(dir_, L"D:AIAR(A;OI;0x1100a2;;;%O)"), static_cast<DWORD>(ERROR_SUCCESS));
  ExpectOpens(file, {{FILE_WRITE_DATA, true}, {FILE_WRITE_DATA | FILE_EXECUTE, false}});
}

// test_sd: an entry added to a file's whole descriptor and set back is read back where it was
// put, and gone again once removed; the descriptor set without SE_DACL_AUTO_INHERIT_REQ
// keeps no SE_DACL_AUTO_INHERITED.
TEST_F(AclConformance, AnEntryAddedToTheWholeDescriptorIsReadBack) {
  const std::wstring file = scratch_.path() + L"\\sd.txt";
  ASSERT_EQ(MakeFile(file, FILE_ALL_ACCESS), static_cast<DWORD>(ERROR_SUCCESS));
  const SECURITY_INFORMATION whole = kOwnerAndDacl | GROUP_SECURITY_INFORMATION;
  const std::wstring original = Read(file, whole);
  const size_t dacl = original.find(L"D:");
  ASSERT_NE(dacl, std::wstring::npos) << original;
  // The DACL's control flags, then its entries.
  const size_t entries = std::min(original.find(L'(', dacl), original.size());
  const std::wstring head = original.substr(0, dacl + 2);
  const std::wstring flags = original.substr(dacl + 2, entries - dacl - 2);
  const std::wstring body = original.substr(entries);
  const std::wstring kept = Replace(flags, L"AI", L"");
  for (const std::wstring& extra : {std::wstring(L"(A;;0x1f0000;;;AU)"), std::wstring()}) {
    SCOPED_TRACE(extra.empty() ? "removed again" : "added");
    ASSERT_EQ(Set(file, head + flags + body + extra, whole), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(Read(file, whole), Expected(head + kept + body + extra, whole));
  }
}

// The children of a volume root as Windows gives them (the root of a new NTFS data volume,
// auto-inherited, as recorded on Windows 10 and 11): each inheritable entry reaches a
// directory as an effective entry, generic rights mapped, and an inherit-only one; a file
// takes the effective ones.
TEST_F(AclConformance, AVolumeRootsEntriesReachDirectoriesAndFiles) {
  ASSERT_EQ(Set(dir_,
                L"D:AIAR(A;OICIIO;SDGXGWGR;;;AU)(A;;0x1301bf;;;AU)(A;;FA;;;SY)(A;OICIIO;GA;;;SY)"
                L"(A;OICIIO;GA;;;BA)(A;;FA;;;BA)(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)"),
            static_cast<DWORD>(ERROR_SUCCESS));
  const std::wstring dir = dir_ + L"\\Directory";
  const std::wstring file = dir_ + L"\\File";
  ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr)) << GetLastError();
  ASSERT_EQ(MakeFile(file, FILE_ALL_ACCESS), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(Read(dir, DACL_SECURITY_INFORMATION),
            Expected(L"D:AI(A;ID;0x1301bf;;;AU)(A;OICIIOID;SDGXGWGR;;;AU)(A;ID;FA;;;SY)"
                     L"(A;OICIIOID;GA;;;SY)(A;ID;FA;;;BA)(A;OICIIOID;GA;;;BA)(A;ID;0x1200a9;;;BU)"
                     L"(A;OICIIOID;GXGR;;;BU)",
                     DACL_SECURITY_INFORMATION));
  EXPECT_EQ(Read(file, DACL_SECURITY_INFORMATION),
            Expected(L"D:AI(A;ID;0x1301bf;;;AU)(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)",
                     DACL_SECURITY_INFORMATION));
}

}  // namespace
