// CFileSD on profile machines: reading a file's descriptor, writing it back, and the two ways a
// directory's entries follow.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/standin/machine/machine.h"
#include "platform/win32.h"
#include "security/cfilesd.h"
#include "tests/support/machine_folder.h"
#include "tests/support/test_machine.h"

namespace {

constexpr char kAlice[] = "S-1-5-21-1-2-3-1001";

// alice owns C:\Tree; its entries are a file, a folder with a file, and a hidden folder.
std::string Profile(int major_version, const std::string& tree_sddl) {
  return std::string(R"({"computer": "WS01", "machine_sid": "S-1-5-21-1-2-3", "user": "alice",
    "users": [{"name": "alice", "rid": 1001}, {"name": "bob", "rid": 1002}],
    "version": {"major": )") +
         std::to_string(major_version) + R"(, "minor": 0},
    "volumes": {"C:": {"path": "disk-c", "fs": "NTFS"}},
    "security": {"C:\\Tree": ")" +
         tree_sddl + R"json(",
      "C:\\Locked": "O:BAG:SYD:P(A;;FR;;;S-1-5-21-1-2-3-1001)"}})json";
}

const std::string kTree = std::string("O:") + kAlice + "G:SYD:(A;;FA;;;" + kAlice +
                          ")(D;OICI;0x2;;;S-1-5-21-1-2-3-1002)(A;OICI;FR;;;WD)";

std::wstring Sddl(const wchar_t* path, SECURITY_INFORMATION parts = DACL_SECURITY_INFORMATION) {
  DWORD needed = 0;
  GetFileSecurityW(path, parts, nullptr, 0, &needed);
  std::vector<BYTE> sd(needed);
  if (!GetFileSecurityW(path, parts, sd.data(), needed, &needed))
    return L"(error " + std::to_wstring(GetLastError()) + L")";
  LPWSTR text = nullptr;
  ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.data(), SDDL_REVISION_1, parts, &text,
                                                       nullptr);
  std::wstring result = text ? text : L"";
  LocalFree(text);
  return result;
}

class CFileSDTest : public ::testing::Test {
 protected:
  void Install(int major_version, const std::string& tree = kTree) {
    machine_.Folder("disk-c/Tree/sub");
    machine_.Folder("disk-c/Tree/.hidden");
    machine_.Folder("disk-c/Locked");
    machine_.File("disk-c/Tree/a.txt", "a");
    machine_.File("disk-c/Tree/sub/b.txt", "b");
    machine_.File("disk-c/Tree/.hidden/c.txt", "c");
    machine_.Install(Profile(major_version, tree));
  }
  void TearDown() override { EXPECT_EQ(standin::LiveResourcesNow().total(), 0u); }

  MachineFolder machine_;
};

TEST_F(CFileSDTest, MissingPathIsInvalidWithThePlatformsCode) {
  Install(10);
  CFileSD missing_file(L"C:\\Tree\\none.txt");
  EXPECT_EQ(missing_file.IsValid(), 0);
  EXPECT_EQ(missing_file.GetLastError(), ERROR_FILE_NOT_FOUND);
  CFileSD missing_folder(L"C:\\None\\x.txt");
  EXPECT_EQ(missing_folder.GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(missing_folder.GetOwner()->GetQualifiedName(), L"NT AUTHORITY\\SYSTEM");
}

TEST_F(CFileSDTest, ConstructionReadsOwnerAndEntriesButNoGroup) {
  Install(10);
  CFileSD tree(L"C:\\Tree");
  EXPECT_EQ(tree.IsValid(), 1);
  EXPECT_EQ(tree.GetLastError(), 0);
  EXPECT_EQ(tree.GetOwner()->GetQualifiedName(), L"WS01\\alice");
  EXPECT_EQ(tree.GetGroup()->GetQualifiedName(), L"NT AUTHORITY\\SYSTEM");
  CSid bob(std::wstring(L"bob"), std::wstring());
  CSid alice(std::wstring(L"alice"), std::wstring());
  EXPECT_TRUE(tree.IsDenied(&bob));
  EXPECT_TRUE(tree.IsAllowed(&alice));
}

// (On major version 4 nothing re-applies the DACL with its parent's entries afterwards.)
TEST_F(CFileSDTest, SecureObjectWithoutEditWritesTheDaclAsItWasRead) {
  Install(4);
  const std::wstring before = Sddl(L"C:\\Tree");
  CFileSD tree(L"C:\\Tree");
  EXPECT_EQ(tree.SecureObject(true), 0);
  EXPECT_EQ(Sddl(L"C:\\Tree"), before);
}

TEST_F(CFileSDTest, MajorVersionFourWalksTheDirectoryWithTheRebuiltDescriptor) {
  Install(4);
  const std::wstring hidden_before = Sddl(L"C:\\Tree\\.hidden\\c.txt");
  CFileSD tree(L"C:\\Tree");
  CSid bob(std::wstring(L"bob"), std::wstring());
  ASSERT_EQ(tree.AllowAccess(&bob, FILE_GENERIC_READ), 0);
  EXPECT_EQ(tree.SecureObject(false), 0);

  // Denials first, every entry inherited by children, on the folder and everything below it.
  const std::wstring expected = std::wstring(L"D:(D;OICI;DC;;;S-1-5-21-1-2-3-1002)") +
                                L"(A;OICI;FA;;;S-1-5-21-1-2-3-1001)(A;OICI;FR;;;WD)" +
                                L"(A;OICI;FR;;;S-1-5-21-1-2-3-1002)";
  for (const wchar_t* path :
       {L"C:\\Tree", L"C:\\Tree\\a.txt", L"C:\\Tree\\sub", L"C:\\Tree\\sub\\b.txt"}) {
    EXPECT_EQ(Sddl(path), expected) << path;
  }
  // A name that begins with a full stop is skipped, and so is all below it.
  EXPECT_EQ(Sddl(L"C:\\Tree\\.hidden\\c.txt"), hidden_before);
  EXPECT_GT(standin::CallCount("FindFirstFileW"), 0u);
  EXPECT_EQ(standin::CallCount("SetNamedSecurityInfoW"), 0u);
}

TEST_F(CFileSDTest, MajorVersionFourOnAFileWritesItAlone) {
  Install(4);
  CFileSD file(L"C:\\Tree\\a.txt");
  CSid bob(std::wstring(L"bob"), std::wstring());
  file.DenyAccess(&bob, FILE_WRITE_DATA);
  EXPECT_EQ(file.SecureObject(true), 0);
  EXPECT_NE(Sddl(L"C:\\Tree\\a.txt").find(L"(D;OICI;DC;;;S-1-5-21-1-2-3-1002)"),
            std::wstring::npos);
}

TEST_F(CFileSDTest, LaterVersionsSetProtectionAndLetThePlatformPropagate) {
  Install(10);
  CFileSD tree(L"C:\\Tree");
  EXPECT_EQ(tree.SecureObject(false), 0);
  EXPECT_EQ(Sddl(L"C:\\Tree").rfind(L"D:P", 0), 0u) << Sddl(L"C:\\Tree");
  EXPECT_EQ(standin::CallCount("FindFirstFileW"), 0u);
  // The platform passes the inheritable entries on, marked inherited.
  EXPECT_NE(Sddl(L"C:\\Tree\\sub\\b.txt").find(L"(A;ID;FR;;;WD)"), std::wstring::npos)
      << Sddl(L"C:\\Tree\\sub\\b.txt");

  EXPECT_EQ(tree.SecureObject(true), 0);
  EXPECT_NE(Sddl(L"C:\\Tree").rfind(L"D:P", 0), 0u) << Sddl(L"C:\\Tree");
}

TEST_F(CFileSDTest, FailedWriteTellsTheDebuggerAndTouchesNothing) {
  Install(4);
  CFileSD locked(L"C:\\Locked");
  ASSERT_EQ(locked.IsValid(), 1);
  const std::wstring before = Sddl(L"C:\\Locked");
  const auto texts_before = standin::DebuggerTexts().size();
  EXPECT_EQ(locked.SecureObject(true), ERROR_ACCESS_DENIED);
  EXPECT_EQ(locked.GetLastError(), ERROR_ACCESS_DENIED);
  const auto texts = standin::DebuggerTexts();
  ASSERT_EQ(texts.size(), texts_before + 2);
  EXPECT_EQ(texts[texts_before], "Failed to set security on");
  EXPECT_EQ(texts[texts_before + 1], "C:\\Locked");
  EXPECT_EQ(Sddl(L"C:\\Locked"), before);
  EXPECT_EQ(standin::CallCount("FindFirstFileW"), 0u);
}

TEST_F(CFileSDTest, UnreadObjectWritesNoDescriptor) {
  Install(10);
  CFileSD missing(L"C:\\Tree\\none.txt");
  EXPECT_EQ(missing.SecureObject(true), ERROR_INVALID_SECURITY_DESCR);
  EXPECT_EQ(standin::CallCount("SetFileSecurityW"), 0u);
  EXPECT_EQ(standin::DebuggerTexts().back(), "C:\\Tree\\none.txt");
}

TEST_F(CFileSDTest, CopyBoundToAnotherPathCarriesTheDescriptorWithoutReading) {
  Install(10);
  CFileSD tree(L"C:\\Tree");
  const unsigned reads = standin::CallCount("GetFileSecurityW");
  CFileSD copy(tree, L"C:\\Tree\\a.txt");
  EXPECT_EQ(standin::CallCount("GetFileSecurityW"), reads);
  EXPECT_EQ(copy.GetOwner()->GetQualifiedName(), L"WS01\\alice");
  CSid bob(std::wstring(L"bob"), std::wstring());
  EXPECT_TRUE(copy.IsDenied(&bob));
  EXPECT_EQ(copy.SecureObject(true), 0);
  EXPECT_NE(Sddl(L"C:\\Tree\\a.txt").find(L"(D;OICI;DC;;;S-1-5-21-1-2-3-1002)"),
            std::wstring::npos);
}

}  // namespace
