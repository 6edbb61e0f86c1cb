// CFileSD on directories and files the test makes: read, edit, write back, and what the
// platform makes of it (protection, inheritance by new files); and the kernel calls that Wine's
// file tests make their files with.
#include <cstring>
#include <cwctype>
#include <string>

#include <gtest/gtest.h>

#include "security/cfilesd.h"
#include "security/scoped_platform.h"
#include "tests/portable/platform_facts.h"

namespace {

using portable::kSentinelError;

bool MakeFile(const std::wstring& path) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  CloseHandle(file);
  return true;
}

// The object's DACL control bits and its SDDL, as GetNamedSecurityInfoW reads them.
struct NamedDacl {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  std::wstring sddl;
};

NamedDacl ReadNamedDacl(const std::wstring& path) {
  NamedDacl result;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
    return result;
  vortiss::ScopedLocal<void> owned(descriptor);
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &result.control, &revision);
  vortiss::ScopedLocal<wchar_t> text;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, text.receive(), nullptr))
    result.sddl = text.get();
  return result;
}

// The process's own user, which keeps full access to what a test secures, so that it can read
// back what it wrote whoever runs it: on the host the kernel holds a caller to the DACL.
CSid ProcessUser() {
  PSID sid = nullptr;
  ConvertStringSidToSidW(portable::ProcessUserSidText().c_str(), &sid);
  vortiss::ScopedLocal<void> owned(sid);
  return CSid(sid, std::wstring());
}

// Wine 8.0 as Debian builds it keeps no file descriptor: SetFileSecurityW succeeds, but only
// the Unix mode bits follow it, and GetFileSecurityW answers with a DACL made from them.
constexpr char kWineKeepsNoFileDescriptor[] =
    "SetFileSecurityW keeps only Unix mode bits; the DACL read back is made from them "
    "(no deny entries, no protection, no inheritance)";

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text)
    c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return text;
}

// GetTempPath names a folder with a trailing separator; GetTempFileName names "PREuuuu.tmp"
// in a folder, making the file only when it picks the number itself; the ANSI forms agree.
TEST(KernelFiles, TemporaryFilesAreNamedAndMade) {
  wchar_t folder[MAX_PATH];
  const DWORD length = GetTempPathW(MAX_PATH, folder);
  ASSERT_GT(length, 0u);
  ASSERT_LT(length, static_cast<DWORD>(MAX_PATH));
  EXPECT_EQ(folder[length - 1], L'\\');
  EXPECT_EQ(GetTempPathW(0, nullptr), length + 1);
  char narrow_folder[MAX_PATH];
  EXPECT_EQ(GetTempPathA(MAX_PATH, narrow_folder), length);

  portable::ScratchDirectory scratch;
  wchar_t name[MAX_PATH];
  EXPECT_EQ(GetTempFileNameW(scratch.path().c_str(), L"abcdef", 0x10002, name), 2u);
  EXPECT_EQ(Lower(name), Lower(scratch.path() + L"\\abc2.tmp"));
  EXPECT_EQ(GetFileAttributesW(name), INVALID_FILE_ATTRIBUTES);
  char narrow[MAX_PATH];
  EXPECT_EQ(GetTempFileNameA("C:", "abc", 1, narrow), 1u);
  EXPECT_EQ(Lower(std::wstring(narrow, narrow + std::strlen(narrow))), L"c:\\abc1.tmp");
  SetLastError(kSentinelError);
  EXPECT_EQ(GetTempFileNameW(nullptr, L"abc", 1, name), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  // Number 0: a number of its own, and the file made.
  const std::string narrow_scratch(scratch.path().begin(), scratch.path().end());
  const UINT picked = GetTempFileNameA(narrow_scratch.c_str(), "tst", 0, narrow);
  ASSERT_NE(picked, 0u);
  // Each disposition on the file now there, as Wine's file tests record Windows answering.
  const struct {
    DWORD disposition;
    bool opens;
    DWORD error;
  } dispositions[] = {
      {CREATE_NEW, false, ERROR_FILE_EXISTS},
      {CREATE_ALWAYS, true, ERROR_ALREADY_EXISTS},
      {OPEN_ALWAYS, true, ERROR_ALREADY_EXISTS},
  };
  for (const auto& row : dispositions) {
    SCOPED_TRACE(row.disposition);
    SetLastError(kSentinelError);
    const HANDLE opened =
        CreateFileA(narrow, GENERIC_READ, FILE_SHARE_READ, nullptr, row.disposition, 0, nullptr);
    EXPECT_EQ(opened != INVALID_HANDLE_VALUE, row.opens);
    EXPECT_EQ(GetLastError(), row.error);
    if (opened != INVALID_HANDLE_VALUE)
      CloseHandle(opened);
  }
  const HANDLE file = CreateFileA(narrow, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
  char second[MAX_PATH];
  ASSERT_NE(GetTempFileNameA(narrow_scratch.c_str(), "tst", 0, second), 0u);
  EXPECT_STRNE(second, narrow);
  EXPECT_TRUE(DeleteFileA(second));
  // A file open for sharing deletion is deleted; once closed, its name is gone.
  EXPECT_TRUE(DeleteFileA(narrow)) << GetLastError();
  CloseHandle(file);
  SetLastError(kSentinelError);
  EXPECT_FALSE(DeleteFileA(narrow));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  for (const wchar_t* nothing : {static_cast<const wchar_t*>(nullptr), L""}) {
    SetLastError(kSentinelError);
    EXPECT_FALSE(DeleteFileW(nothing));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  }
  // A directory is no file to delete.
  EXPECT_FALSE(DeleteFileA(narrow_scratch.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  SetLastError(kSentinelError);
  EXPECT_FALSE(DeleteFileA(""));
  EXPECT_TRUE(GetLastError() == ERROR_PATH_NOT_FOUND || GetLastError() == ERROR_BAD_PATHNAME)
      << GetLastError();
}

TEST(CFileSDPortable, MissingObjectIsInvalidWithThePlatformsError) {
  portable::ScratchDirectory scratch;
  const struct {
    std::wstring path;
    int error;
  } cases[] = {
      {scratch.path() + L"\\absent.txt", ERROR_FILE_NOT_FOUND},
      {scratch.path() + L"\\absent\\child.txt", ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    const CFileSD sd(c.path);
    EXPECT_FALSE(sd.IsValid());
    EXPECT_EQ(sd.GetLastError(), c.error);
  }
}

TEST(CFileSDPortable, ReadsTheOwnerAndDaclOfADirectory) {
  portable::ScratchDirectory scratch;
  CFileSD sd(scratch.path());
  ASSERT_TRUE(sd.IsValid()) << sd.GetLastError();
  EXPECT_EQ(sd.GetLastError(), 0);
  ASSERT_NE(sd.GetCurrentAbsoluteSD(), nullptr);
  EXPECT_TRUE(IsValidSecurityDescriptor(sd.GetCurrentAbsoluteSD()));
  EXPECT_NE(sd.GetOwner()->GetAccountName(), L"Unknown Account");
}

TEST(CFileSDPortable, WrittenDaclIsReadBackProtectedOrOpen) {
  SKIP_UNDER_WINE(kWineKeepsNoFileDescriptor);
  portable::ScratchDirectory scratch;
  CSid everyone(L"Everyone", std::wstring());
  CSid system{std::wstring(), std::wstring()};
  for (const bool inherit : {false, true}) {
    SCOPED_TRACE(inherit ? "inheriting" : "protected");
    CFileSD sd(scratch.path());
    ASSERT_TRUE(sd.IsValid());
    sd.RevokeAllAllowances();
    sd.RevokeAllDenials();
    ASSERT_EQ(sd.AllowAccess(&everyone, FILE_GENERIC_READ), 0);
    ASSERT_EQ(sd.AllowAccess(&system, FILE_ALL_ACCESS), 0);
    ASSERT_EQ(sd.SecureObject(inherit), 0);

    const CFileSD again(scratch.path());
    ASSERT_TRUE(again.IsValid());
    EXPECT_TRUE(again.IsAllowed(&everyone));
    EXPECT_TRUE(again.IsAllowed(&system));
    EXPECT_EQ((ReadNamedDacl(scratch.path()).control & SE_DACL_PROTECTED) != 0, !inherit);
  }
}

TEST(CFileSDPortable, NewFileInheritsTheDirectorysEntries) {
  SKIP_UNDER_WINE(kWineKeepsNoFileDescriptor);
  portable::ScratchDirectory scratch;
  CFileSD sd(scratch.path());
  ASSERT_TRUE(sd.IsValid());
  CSid everyone(L"Everyone", std::wstring());
  CSid user = ProcessUser();
  sd.RevokeAllAllowances();
  ASSERT_EQ(sd.AllowAccess(&everyone, FILE_GENERIC_READ), 0);
  ASSERT_EQ(sd.AllowAccess(&user, FILE_GENERIC_READ | FILE_GENERIC_WRITE), 0);
  ASSERT_EQ(sd.SecureObject(false), 0);

  const std::wstring file = scratch.path() + L"\\child.txt";
  ASSERT_TRUE(MakeFile(file));
  const CFileSD child(file);
  ASSERT_TRUE(child.IsValid()) << child.GetLastError();
  EXPECT_TRUE(child.IsAllowed(&everyone));
  // A file's inherited entries keep neither inheritance flag and are marked inherited.
  EXPECT_EQ(ReadNamedDacl(file).sddl,
            L"D:AI(A;ID;FR;;;WD)(A;ID;0x12019f;;;" + portable::ProcessUserSidText() + L")");
}

TEST(CFileSDPortable, CopyBoundToAnotherPathWritesThere) {
  SKIP_UNDER_WINE(kWineKeepsNoFileDescriptor);
  portable::ScratchDirectory scratch;
  const std::wstring file = scratch.path() + L"\\target.txt";
  ASSERT_TRUE(MakeFile(file));
  CFileSD source(scratch.path());
  ASSERT_TRUE(source.IsValid());
  CSid everyone(L"Everyone", std::wstring());
  source.RevokeAllAllowances();
  source.RevokeAllDenials();
  ASSERT_EQ(source.DenyAccess(&everyone, FILE_WRITE_DATA), 0);
  CSid system{std::wstring(), std::wstring()};
  ASSERT_EQ(source.AllowAccess(&system, FILE_ALL_ACCESS), 0);
  CSid user = ProcessUser();
  ASSERT_EQ(source.AllowAccess(&user, FILE_ALL_ACCESS), 0);

  CFileSD target(source, file);
  ASSERT_EQ(target.SecureObject(false), 0);
  const CFileSD read(file);
  EXPECT_TRUE(read.IsDenied(&everyone));
  EXPECT_TRUE(read.IsAllowed(&system));
}

}  // namespace
