// The stand-in's file services on a profile machine whose drives map into a temporary tree:
// volumes, paths, creation and deletion checked against descriptors, enumeration, file
// descriptors; and the host mirror's descriptors in extended attributes and mode bits.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/standin/files/file_system.h"
#include "platform/standin/files/host_errors.h"
#include "platform/standin/files/ntfs_volume.h"
#include "platform/standin/core/text.h"
#include "tests/standin_contract.h"
#include "tests/support/file_machine.h"

namespace {

// bob is a plain user: only what descriptors grant Everyone or Users reaches him.
constexpr const char* kProfile = R"j({
  "user": "bob", "users": ["bob"], "version": {"major": 6, "minor": 1},
  "volumes": {"C:": {"path": "c"}, "F:": {"path": "f", "fs": "FAT32"},
              "G:": {"path": "missing"}},
  "security": {
    "C:\\open": "O:BAG:SYD:(A;OICI;FA;;;WD)",
                     "C:\\locked" : "O:BAG:SYD:(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;WD)",
                     "C:\\locked\\mine.txt" : "O:BAG:SYD:(A;;FA;;;WD)",
                     "c:/Data" : "O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;CIIO;GA;;;CO)(A;OI;0x1200a9;;;BU)"
}
})j";

class standin_file : public StandinTest {
 protected:
  void SetUp() override {
    tree_.Directory("c/open/sub");
    tree_.Directory("c/locked");
    tree_.Directory("c/Data/inner");
    tree_.Directory("f");
    tree_.File("c/open/a.txt");
    tree_.File("c/open/B.txt");
    tree_.File("c/locked/kept.txt");
    tree_.File("c/locked/mine.txt");
    tree_.File("c/Data/inner/deep.txt");
    tree_.Install(kProfile);
    standin::SetMachineCurrentDirectory(L"C:\\open");
  }

  FileTree tree_;
};

std::wstring SddlOf(PSECURITY_DESCRIPTOR sd, SECURITY_INFORMATION information) {
  LPWSTR text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, information, &text,
                                                            nullptr))
    return L"(unconvertible)";
  std::wstring out(text);
  LocalFree(text);
  return out;
}

// GetFileSecurityW's two calls; the SDDL of what they read, or "error N".
std::wstring FileSddl(const wchar_t* path, SECURITY_INFORMATION information) {
  DWORD needed = 0;
  SetLastError(kSentinelError);
  if (GetFileSecurityW(path, information, nullptr, 0, &needed))
    return L"sizing call succeeded";
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return L"error " + std::to_wstring(GetLastError());
  std::vector<BYTE> buffer(needed);
  DWORD again = 0;
  if (!GetFileSecurityW(path, information, buffer.data(), needed, &again) || again != needed)
    return L"second call failed";
  return SddlOf(buffer.data(), information);
}

TEST_F(standin_file, VolumeInformation) {
  struct Case {
    const wchar_t* root;
    DWORD error;  // 0: succeeds
    const wchar_t* file_system;
  } cases[] = {
      {L"C:\\", 0, L"NTFS"},
      {L"c:/", 0, L"NTFS"},
      {L"F:\\", 0, L"FAT32"},
      {L"\\", 0, L"NTFS"},  // the current drive's root
      {nullptr, 0, L"NTFS"},
      {L"Z:\\", 0, nullptr},
      {L"Q:\\", ERROR_PATH_NOT_FOUND, nullptr},
      {L"C:\\open\\", ERROR_DIR_NOT_ROOT, nullptr},
      {L"C:\\open", ERROR_INVALID_NAME, nullptr},
      {L"C:", ERROR_INVALID_NAME, nullptr},  // the current directory of C: is no root
      {L"", ERROR_PATH_NOT_FOUND, nullptr},
      {L"G:\\", ERROR_NOT_READY, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.root ? standin::WideToUtf8(c.root) : "(null)");
    wchar_t volume[MAX_PATH], fs[MAX_PATH];
    std::fill(std::begin(fs), std::end(fs), L'#');
    DWORD serial = 7, component = 7, flags = 7;
    SetLastError(kSentinelError);
    const BOOL ok =
        GetVolumeInformationW(c.root, volume, MAX_PATH, &serial, &component, &flags, fs, MAX_PATH);
    if (c.error) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(GetLastError(), c.error);
      EXPECT_EQ(fs[0], L'#');
      EXPECT_EQ(component, 7u);
      continue;
    }
    ASSERT_TRUE(ok);
    EXPECT_EQ(GetLastError(), kSentinelError);
    if (c.file_system) {
      EXPECT_STREQ(fs, c.file_system);
    }
    EXPECT_EQ(component, 255u);
    EXPECT_EQ((flags & FILE_PERSISTENT_ACLS) != 0,
              std::wstring(fs).find(L"FAT") == std::wstring::npos);
  }
}

TEST_F(standin_file, VersionComesFromTheProfile) {
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  SetLastError(kSentinelError);
  ASSERT_TRUE(GetVersionExW(&info));
  EXPECT_EQ(GetLastError(), kSentinelError);
  EXPECT_EQ(info.dwMajorVersion, 6u);
  EXPECT_EQ(info.dwMinorVersion, 1u);
  EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  for (DWORD size : {DWORD{0}, DWORD{sizeof(info) - 1}, DWORD{sizeof(info) * 2}}) {
    OSVERSIONINFOW bad{};
    bad.dwOSVersionInfoSize = size;
    SetLastError(kSentinelError);
    EXPECT_FALSE(GetVersionExW(&bad));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(bad.dwMajorVersion, 0u);
  }
}

TEST_F(standin_file, PathsAreReadAsThePlatformReadsThem) {
  struct Case {
    const wchar_t* path;
    DWORD attributes_or_error;  // an error when above 0xffff
    DWORD error;
  } cases[] = {
      {L"C:\\open\\a.txt", FILE_ATTRIBUTE_ARCHIVE, 0},
      {L"c:/OPEN/A.TXT", FILE_ATTRIBUTE_ARCHIVE, 0},
      {L"C:\\open\\sub\\..\\.\\a.txt", FILE_ATTRIBUTE_ARCHIVE, 0},
      {L"a.txt", FILE_ATTRIBUTE_ARCHIVE, 0},           // the current directory
      {L"\\open\\a.txt", FILE_ATTRIBUTE_ARCHIVE, 0},   // the current drive's root
      {L"C:a.txt", FILE_ATTRIBUTE_ARCHIVE, 0},         // relative on the current drive
      {L"sub\\..\\a.txt", FILE_ATTRIBUTE_ARCHIVE, 0},  // relative, through ".."
      {L"C:\\\\open\\\\sub\\\\..\\a.txt", FILE_ATTRIBUTE_ARCHIVE, 0},  // doubled separators
      {L"\\\\.\\C:\\open\\a.txt", FILE_ATTRIBUTE_ARCHIVE, 0},          // the device prefix
      {L"\\\\?\\C:\\open\\a.txt", FILE_ATTRIBUTE_ARCHIVE, 0},          // taken as written
      {L"C:\\open\\sub", FILE_ATTRIBUTE_DIRECTORY, 0},
      {L"C:\\open\\none.txt", INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND},
      {L"C:\\none\\a.txt", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
      {L"C:\\open\\a.txt\\x", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
      {L"Q:\\a.txt", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
      {L"", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
      {L"C:\\open\\a?.txt", INVALID_FILE_ATTRIBUTES, ERROR_INVALID_NAME},
      {L"C:\\open\\*", INVALID_FILE_ATTRIBUTES, ERROR_INVALID_NAME},
      {L"C:\\none\\a*", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
      {L"\\\\server\\share\\a.txt", INVALID_FILE_ATTRIBUTES, ERROR_BAD_NETPATH},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(standin::WideToUtf8(c.path));
    SetLastError(kSentinelError);
    EXPECT_EQ(GetFileAttributesW(c.path), c.attributes_or_error);
    EXPECT_EQ(GetLastError(), c.error ? c.error : kSentinelError);
  }
}

TEST_F(standin_file, CreationDispositionsAndSharing) {
  const wchar_t* path = L"C:\\open\\new.txt";
  SetLastError(kSentinelError);
  EXPECT_EQ(CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  SetLastError(kSentinelError);
  HANDLE first = CreateFileW(path, 3, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_TRUE(tree_.Exists("c/open/new.txt"));

  SetLastError(kSentinelError);
  EXPECT_EQ(CreateFileW(path, 3, 0, nullptr, CREATE_NEW, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  // No sharing: a second open for reading is refused, and so is a deletion.
  SetLastError(kSentinelError);
  EXPECT_EQ(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  SetLastError(kSentinelError);
  EXPECT_FALSE(DeleteFileW(path));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(CloseHandle(first));

  // Once closed, CREATE_ALWAYS and OPEN_ALWAYS report that the file was there.
  for (DWORD disposition : {DWORD{CREATE_ALWAYS}, DWORD{OPEN_ALWAYS}}) {
    SetLastError(kSentinelError);
    HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, nullptr, disposition, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(h);
  }
  // Shared reading stands together.
  HANDLE r1 = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE r2 = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(r1, INVALID_HANDLE_VALUE);
  EXPECT_NE(r2, INVALID_HANDLE_VALUE);
  CloseHandle(r1);
  CloseHandle(r2);

  SetLastError(kSentinelError);
  EXPECT_TRUE(DeleteFileW(path));
  EXPECT_FALSE(tree_.Exists("c/open/new.txt"));
  SetLastError(kSentinelError);
  EXPECT_FALSE(DeleteFileW(path));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  // Delete on close: the name leaves the host at once, while the handle holds the file; until
  // it closes, the name answers as a file that is to be deleted, and nothing may take it.
  const wchar_t* temp_path = L"C:\\open\\temp.txt";
  HANDLE temp =
      CreateFileW(temp_path, 3, 0, nullptr, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  ASSERT_NE(temp, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(tree_.Exists("c/open/temp.txt"));
  struct Pending {
    DWORD access;
    DWORD disposition;
    DWORD error;
  };
  for (const Pending& p : {Pending{3, CREATE_NEW, ERROR_FILE_EXISTS},
                           Pending{GENERIC_READ, OPEN_EXISTING, ERROR_SHARING_VIOLATION},
                           Pending{3, OPEN_ALWAYS, ERROR_SHARING_VIOLATION},
                           Pending{0, OPEN_EXISTING, ERROR_ACCESS_DENIED}}) {
    SetLastError(kSentinelError);
    EXPECT_EQ(
        CreateFileW(temp_path, p.access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, p.disposition, 0, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), p.error) << p.disposition;
  }
  SetLastError(kSentinelError);
  EXPECT_FALSE(DeleteFileW(temp_path));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(tree_.Exists("c/open/temp.txt"));
  CloseHandle(temp);
  HANDLE again =
      CreateFileW(temp_path, 3, 0, nullptr, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  CloseHandle(again);
  EXPECT_FALSE(tree_.Exists("c/open/temp.txt"));

  // A directory opens only with backup semantics.
  SetLastError(kSentinelError);
  EXPECT_EQ(CreateFileW(L"C:\\open\\sub", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  HANDLE dir = CreateFileW(L"C:\\open\\sub", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  EXPECT_NE(dir, INVALID_HANDLE_VALUE);
  CloseHandle(dir);
}

// The probe of the write-access check: creating and deleting in a directory, as its descriptor
// allows the caller.
TEST_F(standin_file, CreationAndDeletionFollowTheDirectoryDescriptor) {
  struct Case {
    const wchar_t* path;
    DWORD create_error;
  } cases[] = {
      {L"C:\\open\\test.txt", 0},
      {L"C:\\open\\sub\\test.txt", 0},  // inherited from C:\open
      {L"C:\\locked\\test.txt", ERROR_ACCESS_DENIED},
      {L"F:\\test.txt", 0},  // FAT keeps no descriptors
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(standin::WideToUtf8(c.path));
    SetLastError(kSentinelError);
    HANDLE h = CreateFileW(c.path, 3, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (c.create_error) {
      EXPECT_EQ(h, INVALID_HANDLE_VALUE);
      EXPECT_EQ(GetLastError(), c.create_error);
      continue;
    }
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_TRUE(DeleteFileW(c.path));
  }
  // Reading is allowed in C:\locked, writing and deleting are not; its own descriptor lets
  // everyone do anything with mine.txt.
  HANDLE read = CreateFileW(L"C:\\locked\\kept.txt", GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(read, INVALID_HANDLE_VALUE);
  CloseHandle(read);
  SetLastError(kSentinelError);
  EXPECT_EQ(
      CreateFileW(L"C:\\locked\\kept.txt", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
      INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  SetLastError(kSentinelError);
  EXPECT_FALSE(DeleteFileW(L"C:\\locked\\kept.txt"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(tree_.Exists("c/locked/kept.txt"));
  EXPECT_TRUE(DeleteFileW(L"C:\\locked\\mine.txt"));

  SetLastError(kSentinelError);
  EXPECT_FALSE(CreateDirectoryW(L"C:\\locked\\d", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(CreateDirectoryW(L"C:\\open\\d", nullptr));
  SetLastError(kSentinelError);
  EXPECT_FALSE(CreateDirectoryW(L"C:\\open\\d", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  SetLastError(kSentinelError);
  EXPECT_FALSE(RemoveDirectoryW(L"C:\\open"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
  SetLastError(kSentinelError);
  EXPECT_FALSE(RemoveDirectoryW(L"C:\\open\\a.txt"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
  EXPECT_TRUE(RemoveDirectoryW(L"C:\\open\\d"));
}

TEST_F(standin_file, Enumeration) {
  auto list = [](const wchar_t* pattern, DWORD* error) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    SetLastError(kSentinelError);
    HANDLE find = FindFirstFileW(pattern, &data);
    if (find == INVALID_HANDLE_VALUE) {
      *error = GetLastError();
      return names;
    }
    do
      names.emplace_back(data.cFileName);
    while (FindNextFileW(find, &data));
    *error = GetLastError();
    EXPECT_TRUE(FindClose(find));
    return names;
  };
  using Names = std::vector<std::wstring>;
  struct Case {
    const wchar_t* pattern;
    Names names;
    DWORD error;
  } cases[] = {
      {L"C:\\open\\*.*", {L".", L"..", L"a.txt", L"B.txt", L"sub"}, ERROR_NO_MORE_FILES},
      {L"C:\\open\\*", {L".", L"..", L"a.txt", L"B.txt", L"sub"}, ERROR_NO_MORE_FILES},
      {L"C:/open/?.TXT", {L"a.txt", L"B.txt"}, ERROR_NO_MORE_FILES},
      {L"C:\\open\\a.txt", {L"a.txt"}, ERROR_NO_MORE_FILES},
      {L"C:\\*", {L"Data", L"locked", L"open"}, ERROR_NO_MORE_FILES},
      {L"C:\\open\\*.zip", {}, ERROR_FILE_NOT_FOUND},
      {L"C:\\none\\*", {}, ERROR_PATH_NOT_FOUND},
      {L"Q:\\*", {}, ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(standin::WideToUtf8(c.pattern));
    DWORD error = 0;
    EXPECT_EQ(list(c.pattern, &error), c.names);
    EXPECT_EQ(error, c.error);
  }
  WIN32_FIND_DATAW data;
  SetLastError(kSentinelError);
  EXPECT_FALSE(FindNextFileW(reinterpret_cast<HANDLE>(0x7770), &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(kSentinelError);
  EXPECT_FALSE(FindClose(reinterpret_cast<HANDLE>(0x7770)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(standin_file, FileSecurityIsReadInTwoCalls) {
  struct Case {
    const wchar_t* path;
    SECURITY_INFORMATION information;
    const wchar_t* sddl;
  } cases[] = {
      {L"C:\\open", OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
       L"O:BAD:(A;OICI;FA;;;WD)"},
      {L"C:\\open", DACL_SECURITY_INFORMATION, L"D:(A;OICI;FA;;;WD)"},
      {L"C:\\open", GROUP_SECURITY_INFORMATION, L"G:SY"},
      // Inherited from C:\Data, with CREATOR OWNER taken by the process's user on the way.
      {L"C:\\Data\\inner", DACL_SECURITY_INFORMATION,
       L"D:AI(A;OICIID;FA;;;BA)(A;ID;FA;;;%U)(A;CIIOID;GA;;;CO)(A;OIIOID;0x1200a9;;;BU)"},
      {L"C:\\Data\\inner\\deep.txt", DACL_SECURITY_INFORMATION,
       L"D:AI(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)"},
      {L"C:\\open\\none.txt", DACL_SECURITY_INFORMATION, L"error 2"},
      {L"C:\\none\\a.txt", DACL_SECURITY_INFORMATION, L"error 3"},
      {L"C:\\open", SACL_SECURITY_INFORMATION, L"error 1314"},
      {L"F:\\", OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, L"O:WDD:NO_ACCESS_CONTROL"},
  };
  const auto user = SidOfAccount(L"bob");
  const std::wstring bob = SidText(const_cast<BYTE*>(user.data()));
  for (const auto& c : cases) {
    SCOPED_TRACE(standin::WideToUtf8(c.path));
    std::wstring want = c.sddl;
    if (const size_t at = want.find(L"%U"); at != std::wstring::npos)
      want.replace(at, 2, bob);
    EXPECT_EQ(FileSddl(c.path, c.information), want);
  }
  // The sizing call asks for more than an empty descriptor, and a short buffer is left alone.
  DWORD needed = 0;
  EXPECT_FALSE(GetFileSecurityW(L"C:\\open", 5, nullptr, 0, &needed));
  EXPECT_GT(needed, sizeof(SECURITY_DESCRIPTOR));
  std::vector<BYTE> short_buffer(needed - 1, 0xcc);
  SetLastError(kSentinelError);
  EXPECT_FALSE(GetFileSecurityW(L"C:\\open", 5, short_buffer.data(), needed - 1, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_TRUE(AllBytesAre(short_buffer.data(), short_buffer.size(), 0xcc));
}

TEST_F(standin_file, SetFileSecurityWritesOnlyTheNamedParts) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:SYG:BAD:(A;;FA;;;WD)",
                                                                   SDDL_REVISION_1, &sd, nullptr));
  const std::wstring owner = FileSddl(L"C:\\open\\a.txt", OWNER_SECURITY_INFORMATION);
  ASSERT_EQ(owner.substr(0, 2), L"O:");
  SetLastError(kSentinelError);
  EXPECT_TRUE(SetFileSecurityW(L"C:\\open\\a.txt", DACL_SECURITY_INFORMATION, sd));
  EXPECT_EQ(GetLastError(), kSentinelError);
  EXPECT_EQ(FileSddl(L"C:\\open\\a.txt", OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
            owner + L"D:(A;;FA;;;WD)");
  // bob may not make SYSTEM the owner, nor change the DACL of a directory he neither owns nor
  // holds WRITE_DAC on.
  SetLastError(kSentinelError);
  EXPECT_FALSE(SetFileSecurityW(L"C:\\open\\a.txt", OWNER_SECURITY_INFORMATION, sd));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_OWNER));
  SetLastError(kSentinelError);
  EXPECT_FALSE(SetFileSecurityW(L"C:\\locked", DACL_SECURITY_INFORMATION, sd));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  SetLastError(kSentinelError);
  EXPECT_FALSE(SetFileSecurityW(L"C:\\open\\none.txt", DACL_SECURITY_INFORMATION, sd));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  SetLastError(kSentinelError);
  EXPECT_FALSE(SetFileSecurityW(L"C:\\open\\a.txt", DACL_SECURITY_INFORMATION, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
  LocalFree(sd);
  // Nothing reaches the host.
  char value[8];
  EXPECT_LT(::getxattr((tree_.root() / "c/open/a.txt").c_str(), standin::kDescriptorAttribute,
                       value, sizeof value),
            0);
}

TEST(standin_file_profile, MalformedEntriesAreRefusedByName) {
  const struct {
    const char* json;
    const char* key;
  } cases[] = {
      {R"j({"volumes": {"CC": {"path": "x"}}})j", "volumes.CC"},
      {R"j({"volumes": {"C:": {"fs": "NTFS"}}})j", "volumes.C:.path"},
      {R"j({"volumes": {"C:": {"path": "x", "size": 1}}})j", "volumes.C:.size"},
      {R"j({"volumes": {"C:": {"path": 5}}})j", "volumes.C:.path"},
      {R"j({"volumes": {"C:": {"path": "x"}, "c:": {"path": "y"}}})j", "volumes.c:"},
      {R"j({"security": {"Data": "O:BA"}})j", "security.Data"},
      {R"j({"security": {"C:\\Data": 5}})j", "security.C:\\Data"},
      {R"j({"security": {"C:\\Data": "O:BAD:(A;;FA;;;nobody)"}})j", "security.C:\\Data"},
      {R"j({"security": {"C:\\Da|ta": "O:BA"}})j", "security.C:\\Da|ta"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    std::string key;
    try {
      standin::Machine machine(standin::ParseProfile(c.json, "."));
    } catch (const standin::ProfileError& e) {
      key = e.key();
    }
    EXPECT_EQ(key, c.key);
  }
}

// The host mirror: descriptors in the file's extended attribute, else from its mode bits.
class standin_file_host : public StandinTest {
 protected:
  void SetUp() override {
    standin::InstallMachine(standin::HostMirrorDescription());
    tree_.File("h/plain.txt");
    tree_.File("h/stored.txt");
    tree_.Directory("h/dir");
    ::chmod((tree_.root() / "h/plain.txt").c_str(), 0640);
    ::chmod((tree_.root() / "h/dir").c_str(), 0755);
    const auto form = standin::CurrentMachine()->files()->volumes().WindowsFormOf(tree_.root());
    ASSERT_TRUE(form);
    base_ = *form + L"\\h\\";
  }
  std::wstring Path(const wchar_t* name) const { return base_ + name; }

  FileTree tree_;
  std::wstring base_;
};

TEST_F(standin_file_host, DescriptorsFromModeBits) {
  const std::wstring plain = FileSddl(Path(L"plain.txt").c_str(), DACL_SECURITY_INFORMATION);
  // Owner read and write, group read, nothing for Everyone.
  EXPECT_NE(plain.find(L"(A;;0x12019f;;;"), std::wstring::npos) << standin::WideToUtf8(plain);
  EXPECT_NE(plain.find(L"(A;;FR;;;"), std::wstring::npos) << standin::WideToUtf8(plain);
  EXPECT_EQ(plain.find(L";;;WD)"), std::wstring::npos) << standin::WideToUtf8(plain);
  const std::wstring dir = FileSddl(Path(L"dir").c_str(), DACL_SECURITY_INFORMATION);
  EXPECT_NE(dir.find(L"(A;OICI;0x1201ff;;;"), std::wstring::npos) << standin::WideToUtf8(dir);
  EXPECT_NE(dir.find(L"(A;OICI;0x1200a9;;;WD)"), std::wstring::npos) << standin::WideToUtf8(dir);
  // The owner is the host's account of the file's owner.
  const std::wstring owner = FileSddl(Path(L"plain.txt").c_str(), OWNER_SECURITY_INFORMATION);
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  BYTE buffer[256];
  DWORD size = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size));
  CloseHandle(token);
  EXPECT_EQ(owner, L"O:" + SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid));
}

TEST_F(standin_file_host, StoredDescriptorsLiveInTheAttribute) {
  const std::string host = (tree_.root() / "h/stored.txt").string();
  if (::setxattr(host.c_str(), "user.vortiss.probe", "1", 1, 0) != 0)
    GTEST_SKIP() << "no user extended attributes in " << tree_.root();
  // The owner keeps all it had (OWNER RIGHTS), so that its mode lets it write the attribute.
  const wchar_t* dacl = L"D:P(A;;FA;;;BA)(A;;FA;;;OW)(A;;FR;;;WD)";
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_TRUE(
      ConvertStringSecurityDescriptorToSecurityDescriptorW(dacl, SDDL_REVISION_1, &sd, nullptr));
  EXPECT_TRUE(SetFileSecurityW(Path(L"stored.txt").c_str(), DACL_SECURITY_INFORMATION, sd));
  LocalFree(sd);
  EXPECT_EQ(FileSddl(Path(L"stored.txt").c_str(), DACL_SECURITY_INFORMATION), dacl);
  EXPECT_GT(::getxattr(host.c_str(), standin::kDescriptorAttribute, nullptr, 0), 20);

  // Damaged bytes are refused, never read past their end.
  const BYTE hostile[][24] = {
      {1, 0, 0x04, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0},  // DACL at the end
      {1, 0, 0x04, 0x80, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 9, 0, 0},
      {2, 0, 0x04, 0x80},
  };
  const size_t sizes[] = {20, 24, 4};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(::setxattr(host.c_str(), standin::kDescriptorAttribute, hostile[i], sizes[i], 0), 0);
    EXPECT_EQ(FileSddl(Path(L"stored.txt").c_str(), DACL_SECURITY_INFORMATION), L"error 1338");
  }
}

// Host names keep their bytes: a name that is not UTF-8 reaches its own entry and no other,
// and a name Windows would trim is reached through "\\?\" exactly.
TEST_F(standin_file_host, NamesReachTheirOwnEntry) {
  for (const char* name : {"d\xff", "d\xef\xbf\xbd", "file.", "a\\b"})
    tree_.File(std::string("h/") + name);
  ::chmod((tree_.root() / "h/d\xff").c_str(), 0444);
  const std::wstring verbatim = L"\\\\?\\" + base_;
  constexpr DWORD kNone = INVALID_FILE_ATTRIBUTES;
  const struct {
    std::wstring path;
    DWORD attributes;
    DWORD error;
  } cases[] = {
      {base_ + L"d\xdcff", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY, 0},
      {base_ + L"d\xfffd", FILE_ATTRIBUTE_ARCHIVE, 0},
      {base_ + L"d\xdcfe", kNone, ERROR_FILE_NOT_FOUND},
      {base_ + L"d\xd800", kNone, ERROR_INVALID_NAME},       // a surrogate no bytes give
      {base_ + L"\xdcc3\xdca9", kNone, ERROR_INVALID_NAME},  // bytes that read back as "é"
      {verbatim + L"file.", FILE_ATTRIBUTE_ARCHIVE, 0},
      {base_ + L"file.", kNone, ERROR_FILE_NOT_FOUND},            // trimmed to "file"
      {verbatim + L"dir\\..\\file.", kNone, ERROR_INVALID_NAME},  // ".." names nothing here
      {verbatim + L"dir/x", kNone, ERROR_INVALID_NAME},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(standin::WideToUtf8(c.path));
    SetLastError(kSentinelError);
    EXPECT_EQ(GetFileAttributesW(c.path.c_str()), c.attributes);
    EXPECT_EQ(GetLastError(), c.error ? c.error : kSentinelError);
  }
  // A listing gives each name as it is, and none that Windows cannot spell; a symbolic link is
  // a reparse point with what it leads to, and one that leads nowhere is not listed.
  ASSERT_EQ(::symlink("d\xff", (tree_.root() / "h/link").c_str()), 0);
  ASSERT_EQ(::symlink("missing", (tree_.root() / "h/nowhere").c_str()), 0);
  std::map<std::wstring, DWORD> listed;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((base_ + L"*").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  do
    listed[data.cFileName] = data.dwFileAttributes;
  while (FindNextFileW(find, &data));
  FindClose(find);
  for (const wchar_t* name : {L"d\xdcff", L"d\xfffd", L"file."}) {
    ASSERT_EQ(listed.count(name), 1u);
    EXPECT_FALSE(listed[name] & FILE_ATTRIBUTE_REPARSE_POINT);
  }
  EXPECT_EQ(listed.count(L"a\\b"), 0u);
  EXPECT_EQ(listed.count(L"nowhere"), 0u);
  ASSERT_EQ(listed.count(L"link"), 1u);
  EXPECT_EQ(listed[L"link"], listed[L"d\xdcff"] | FILE_ATTRIBUTE_REPARSE_POINT);
}

// A stored descriptor that the host cannot take is refused with the code of the host's reason,
// and the system has a text for each.
TEST_F(standin_file_host, RefusedWritesSayWhy) {
  ::mkfifo((tree_.root() / "h/fifo").c_str(), 0600);
  // A DACL of 65,520 bytes makes a descriptor larger than any extended attribute may be.
  std::vector<BYTE> huge(65520);
  ASSERT_TRUE(InitializeAcl(reinterpret_cast<PACL>(huge.data()), static_cast<DWORD>(huge.size()),
                            ACL_REVISION));
  for (DWORD rid = 1000;; ++rid) {
    const std::wstring sid = L"S-1-5-21-1-2-3-" + std::to_wstring(rid);
    if (!AddAccessAllowedAce(reinterpret_cast<PACL>(huge.data()), ACL_REVISION, FILE_GENERIC_READ,
                             SidBytes(sid.c_str()).data()))
      break;
  }
  SECURITY_DESCRIPTOR big;
  InitializeSecurityDescriptor(&big, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&big, TRUE, reinterpret_cast<PACL>(huge.data()), FALSE);
  PSECURITY_DESCRIPTOR small = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      L"D:(A;;FA;;;BA)", SDDL_REVISION_1, &small, nullptr));
  const std::wstring fifo = Path(L"fifo");
  std::wstring read_only;
  const std::filesystem::path mount = tree_.root() / "h/ro";
  ::mkdir(mount.c_str(), 0755);
  // A read-only file system, where root may mount one.
  if (::geteuid() == 0 &&
      std::system(("mount -t tmpfs tmpfs " + mount.string() + " 2>/dev/null && touch " +
                   mount.string() + "/f && mount -o remount,ro " + mount.string())
                      .c_str()) == 0)
    read_only = Path(L"ro\\f");
  struct Case {
    std::wstring path;
    PSECURITY_DESCRIPTOR sd;
    DWORD error;
    const wchar_t* text;
  };
  const Case cases[] = {
      {fifo, small, ERROR_NOT_SUPPORTED, L"The request is not supported.\r\n"},
      {L"Z:\\dev\\null", small, ERROR_NOT_SUPPORTED, L"The request is not supported.\r\n"},
      {L"Z:\\proc\\version", small, ERROR_NOT_SUPPORTED, L"The request is not supported.\r\n"},
      {Path(L"stored.txt"), &big, ERROR_EA_TABLE_FULL,
       L"The extended attribute table file is full.\r\n"},
      {read_only, small, ERROR_WRITE_PROTECT, L"The media is write protected.\r\n"},
  };
  for (const Case& c : cases) {
    if (c.path.empty())
      continue;  // no read-only mount here
    SCOPED_TRACE(standin::WideToUtf8(c.path));
    SetLastError(kSentinelError);
    EXPECT_FALSE(SetFileSecurityW(c.path.c_str(), DACL_SECURITY_INFORMATION, c.sd));
    EXPECT_EQ(GetLastError(), c.error);
    wchar_t text[128] = {};
    EXPECT_GT(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             c.error, 0, text, 128, nullptr),
              0u);
    EXPECT_EQ(std::wstring(text), c.text);
  }
  LocalFree(small);
  if (!read_only.empty())
    std::system(("umount " + mount.string()).c_str());
}

// The limits of a mount are kept from one object to the next only until the mount table
// changes: a remount is seen at once, and a read-only bind mount, which shares st_dev with the
// directory it shows, is told apart from it.
TEST_F(standin_file_host, MountChangesAreSeenAtOnce) {
  const std::filesystem::path h = tree_.root() / "h";
  ::mkdir((h / "tmp").c_str(), 0755);
  ::mkdir((h / "bind").c_str(), 0755);
  tree_.File("h/dir/f");
  tree_.File("h/dir/g");
  if (::geteuid() != 0 ||
      std::system(("mount -t tmpfs tmpfs " + (h / "tmp").string() + " 2>/dev/null && touch " +
                   (h / "tmp").string() + "/f " + (h / "tmp").string() + "/g && mount --bind " +
                   (h / "dir").string() + " " + (h / "bind").string())
                      .c_str()) != 0)
    GTEST_SKIP() << "needs root to mount";
  auto sddl = [&](const wchar_t* name) {
    return FileSddl(Path(name).c_str(), DACL_SECURITY_INFORMATION);
  };
  const std::string remount = "mount -o remount,";
  struct Step {
    std::string command;  // run before the reads
    const wchar_t* first;
    const wchar_t* second;  // on the same mount, read for the first time after the command
    bool writable;
  };
  const Step steps[] = {
      {"true", L"tmp\\f", nullptr, true},
      {remount + "ro " + (h / "tmp").string(), L"tmp\\f", L"tmp\\g", false},
      {remount + "rw " + (h / "tmp").string(), L"tmp\\f", L"tmp\\g", true},
      {"true", L"bind\\f", L"dir\\f", true},
      {remount + "bind,ro " + (h / "bind").string(), L"bind\\f", L"bind\\g", false},
      {"true", L"dir\\f", L"dir\\g", true},
  };
  const std::wstring writable = sddl(L"dir\\f");
  for (const Step& step : steps) {
    SCOPED_TRACE(step.command);
    ASSERT_EQ(std::system(step.command.c_str()), 0);
    const std::wstring first = sddl(step.first);
    EXPECT_EQ(first == writable, step.writable) << standin::WideToUtf8(first);
    if (step.second) {
      EXPECT_EQ(sddl(step.second), first);
    }
  }
  std::system(("umount " + (h / "bind").string() + "; umount " + (h / "tmp").string()).c_str());
}

TEST_F(standin_file_host, CreationIsTheHostsOwn) {
  const std::wstring probe = Path(L"dir\\test.txt");
  HANDLE h = CreateFileW(probe.c_str(), 3, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(tree_.Exists("h/dir/test.txt"));
  CloseHandle(h);
  EXPECT_TRUE(DeleteFileW(probe.c_str()));
  EXPECT_FALSE(tree_.Exists("h/dir/test.txt"));
  if (::geteuid() == 0)
    return;  // root passes every mode check
  ::chmod((tree_.root() / "h/dir").c_str(), 0555);
  SetLastError(kSentinelError);
  EXPECT_EQ(CreateFileW(probe.c_str(), 3, 0, nullptr, CREATE_NEW, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ::chmod((tree_.root() / "h/dir").c_str(), 0755);
}

// An NTFS volume's descriptor comes from the disk: checked within its length before any use,
// and what cannot be read is an error, never a descriptor made up in its place.
TEST(standin_file_ntfs, DiskDescriptorsAreCheckedBeforeUse) {
  // O:BAG:BAD:(A;OICI;FA;;;WD), as ntfs-3g gives a new directory.
  const std::vector<BYTE> fresh = {
      0x01, 0x00, 0x04, 0x80, 0x14, 0x00, 0x00, 0x00, 0x24, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x34, 0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05,
      0x20, 0x00, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x05, 0x20, 0x00, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00, 0x02, 0x00, 0x1c, 0x00,
      0x01, 0x00, 0x00, 0x00, 0x00, 0x03, 0x14, 0x00, 0xff, 0x01, 0x1f, 0x00, 0x01, 0x01,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};
  ASSERT_EQ(fresh.size(), 80u);
  auto changed = [&](size_t at, BYTE value) {
    std::vector<BYTE> bytes = fresh;
    bytes[at] = value;
    return bytes;
  };
  struct Case {
    const char* what;
    std::vector<BYTE> bytes;
    DWORD error;
  };
  const Case cases[] = {
      {"as ntfs-3g gives it", fresh, ERROR_SUCCESS},
      {"none", {}, ERROR_NO_SECURITY_ON_OBJECT},
      {"truncated in the DACL", std::vector<BYTE>(fresh.begin(), fresh.begin() + 70),
       ERROR_INVALID_SECURITY_DESCR},
      {"truncated in the header", std::vector<BYTE>(fresh.begin(), fresh.begin() + 12),
       ERROR_INVALID_SECURITY_DESCR},
      {"garbage", std::vector<BYTE>(80, 0xa5), ERROR_INVALID_SECURITY_DESCR},
      {"revision 2", changed(0, 2), ERROR_INVALID_SECURITY_DESCR},
      {"list larger than the descriptor", changed(0x36, 0x40), ERROR_INVALID_SECURITY_DESCR},
      {"absolute", changed(3, 0x00), ERROR_INVALID_SECURITY_DESCR},
      {"owner past the end", changed(4, 0x60), ERROR_INVALID_SECURITY_DESCR},
      {"entry larger than its list", changed(0x3e, 0x40), ERROR_INVALID_SECURITY_DESCR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    standin::OwnedDescriptor sd;
    sd.owner = {0xee};  // a failed decode leaves it alone
    EXPECT_EQ(standin::DecodeNtfsDescriptor(c.bytes.data(), c.bytes.size(), sd), c.error);
    if (c.error == ERROR_SUCCESS) {
      EXPECT_EQ(sd.owner, std::vector<BYTE>(fresh.begin() + 0x14, fresh.begin() + 0x24));
      EXPECT_EQ(sd.group, sd.owner);
      EXPECT_EQ(sd.dacl, std::vector<BYTE>(fresh.begin() + 0x34, fresh.end()));
    } else
      EXPECT_EQ(sd.owner, std::vector<BYTE>{0xee});
  }
  // What ntfs-3g answers when it has no descriptor to give, refuses one, or cannot read one.
  const std::pair<int, DWORD> errors[] = {{ENODATA, ERROR_NO_SECURITY_ON_OBJECT},
                                          {EINVAL, ERROR_INVALID_SECURITY_DESCR},
                                          {EIO, ERROR_IO_DEVICE},
                                          {EPERM, ERROR_ACCESS_DENIED},
                                          {EACCES, ERROR_ACCESS_DENIED}};
  for (const auto& [error, code] : errors)
    EXPECT_EQ(standin::HostError(error, standin::HostCall::kNtfsDescriptor), code) << error;
  // Nothing off an ntfs-3g mount is taken for one.
  EXPECT_FALSE(standin::OnNtfsVolume(std::filesystem::temp_directory_path()));
  EXPECT_FALSE(standin::OnNtfsVolume("/proc/self"));
}

}  // namespace
