// CRegistrySD and CEmbeddedRegistrySD on a key the test makes under HKEY_CURRENT_USER, and the
// ANSI registry calls that Wine's registry tests build their keys with.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "security/cregistrysd.h"
#include "security/scoped_platform.h"
#include "tests/portable/platform_facts.h"

namespace {

class RegistryTest : public testing::Test {
 protected:
  void SetUp() override {
    subkey_ = L"Software\\vortiss-portable-" +
              std::to_wstring(reinterpret_cast<std::uintptr_t>(this) & 0xffffff);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, subkey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void TearDown() override { RegDeleteKeyW(HKEY_CURRENT_USER, subkey_.c_str()); }

  std::wstring subkey_;
};

TEST_F(RegistryTest, KeyDescriptorIsReadEditedAndWrittenBack) {
  CRegistrySD sd(HKEY_CURRENT_USER, subkey_);
  ASSERT_TRUE(sd.IsValid()) << sd.GetLastError();
  CSid everyone(L"Everyone", std::wstring());
  CSid user{std::wstring(), std::wstring()};
  const std::wstring user_sid = portable::ProcessUserSidText();
  {
    // The process user keeps full control, so that the key can be removed afterwards.
    vortiss::ScopedLocal<void> raw;
    ASSERT_TRUE(ConvertStringSidToSidW(user_sid.c_str(), raw.receive()));
    user = CSid(raw.get(), std::wstring());
  }
  ASSERT_EQ(sd.AllowAccess(&user, KEY_ALL_ACCESS), 0);
  ASSERT_EQ(sd.AllowAccess(&everyone, KEY_READ), 0);
  ASSERT_EQ(sd.SecureObject(false), 0);

  const CRegistrySD again(HKEY_CURRENT_USER, subkey_);
  ASSERT_TRUE(again.IsValid()) << again.GetLastError();
  EXPECT_TRUE(again.IsAllowed(&everyone));
  EXPECT_TRUE(again.IsAllowed(&user));
}

// RegEnumKeyExW lists each subkey once, its name as it was written, sizes counted without the
// terminator, and ends with ERROR_NO_MORE_ITEMS; a buffer too small gets ERROR_MORE_DATA.
TEST_F(RegistryTest, SubkeysAreEnumeratedByIndex) {
  for (const wchar_t* name : {L"Alpha", L"beta"}) {
    HKEY child = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (subkey_ + L"\\" + name).c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &child, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(child);
  }
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, subkey_.c_str(), 0, KEY_ENUMERATE_SUB_KEYS, &key),
            ERROR_SUCCESS);
  wchar_t small[3];
  DWORD size = 3;
  EXPECT_EQ(RegEnumKeyExW(key, 0, small, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  std::vector<std::wstring> names;
  LSTATUS status = ERROR_SUCCESS;
  for (DWORD index = 0; index < 4; ++index) {
    wchar_t name[256];
    size = 256;
    status = RegEnumKeyExW(key, index, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS)
      break;
    EXPECT_EQ(size, std::wcslen(name));
    names.emplace_back(name);
  }
  EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::wstring>{L"Alpha", L"beta"}));
  RegCloseKey(key);

  // Without the right to enumerate, the handle lists nothing.
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, subkey_.c_str(), 0, KEY_QUERY_VALUE, &key),
            ERROR_SUCCESS);
  size = 256;
  wchar_t name[256];
  EXPECT_EQ(RegEnumKeyExW(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr),
            ERROR_ACCESS_DENIED);
  RegCloseKey(key);
  for (const wchar_t* child : {L"Alpha", L"beta"})
    RegDeleteKeyW(HKEY_CURRENT_USER, (subkey_ + L"\\" + child).c_str());
}

// The ANSI forms: names and strings in the ANSI code page, the same keys and values as the wide
// calls see them. RegOpenKeyA without a name hands back the key it was given.
TEST_F(RegistryTest, AnsiCallsReachTheSameKeysAndValues) {
  const std::string base(subkey_.begin(), subkey_.end());
  HKEY key = reinterpret_cast<HKEY>(0x5a5a);
  EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, nullptr, &key), ERROR_SUCCESS);
  EXPECT_EQ(key, HKEY_CURRENT_USER);
  key = reinterpret_cast<HKEY>(0x5a5a);
  EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "", &key), ERROR_SUCCESS);
  EXPECT_EQ(key, HKEY_CURRENT_USER);
  EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, base.c_str(), nullptr), ERROR_INVALID_PARAMETER);

  ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, (base + "\\Ansi").c_str(), &key), ERROR_SUCCESS);
  const char text[] = "caf\xe9";  // "café" in Windows-1252
  EXPECT_EQ(
      RegSetValueExA(key, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
      ERROR_SUCCESS);
  const BYTE blob[] = {1, 0, 2};
  EXPECT_EQ(RegSetValueExA(key, "Blob", 0, REG_BINARY, blob, sizeof blob), ERROR_SUCCESS);
  const wchar_t wide[] = L"abc";
  EXPECT_EQ(
      RegSetValueExW(key, L"Wide", 0, REG_SZ, reinterpret_cast<const BYTE*>(wide), sizeof wide),
      ERROR_SUCCESS);
  RegCloseKey(key);

  ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, (base + "\\Ansi").c_str(), &key), ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  // The ANSI string: one byte a character, its terminator counted.
  ASSERT_EQ(RegQueryValueExA(key, "Text", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, sizeof text);
  char small[2] = {'x', 'x'};
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExA(key, "Text", nullptr, &type, reinterpret_cast<BYTE*>(small), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof text);
  char narrow[16] = {};
  size = sizeof narrow;
  ASSERT_EQ(RegQueryValueExA(key, "Text", nullptr, &type, reinterpret_cast<BYTE*>(narrow), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(narrow, text);
  // The same value read wide, and a wide value read narrow.
  wchar_t read_wide[16] = {};
  size = sizeof read_wide;
  ASSERT_EQ(
      RegQueryValueExW(key, L"Text", nullptr, &type, reinterpret_cast<BYTE*>(read_wide), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(read_wide), L"caf\u00e9");
  EXPECT_EQ(size, 5 * sizeof(wchar_t));
  size = sizeof narrow;
  ASSERT_EQ(RegQueryValueExA(key, "Wide", nullptr, &type, reinterpret_cast<BYTE*>(narrow), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(narrow, "abc");
  EXPECT_EQ(size, 4u);
  // Other types keep their bytes.
  BYTE read_blob[8] = {};
  size = sizeof read_blob;
  ASSERT_EQ(RegQueryValueExA(key, "Blob", nullptr, &type, read_blob, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(size, sizeof blob);
  EXPECT_EQ(std::memcmp(read_blob, blob, sizeof blob), 0);
  RegCloseKey(key);

  ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, base.c_str(), &key), ERROR_SUCCESS);
  char name[8];
  EXPECT_EQ(RegEnumKeyA(key, 0, name, 4), ERROR_MORE_DATA);
  ASSERT_EQ(RegEnumKeyA(key, 0, name, sizeof name), ERROR_SUCCESS);
  EXPECT_STREQ(name, "Ansi");
  EXPECT_EQ(RegEnumKeyA(key, 1, name, sizeof name), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegDeleteKeyA(key, "Ansi"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(key, "Ansi"), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

TEST_F(RegistryTest, MissingKeyOrNoRootIsInvalid) {
  const struct {
    HKEY root;
    std::wstring subkey;
    int error;
  } cases[] = {
      {HKEY_CURRENT_USER, subkey_ + L"\\absent", ERROR_FILE_NOT_FOUND},
      {nullptr, subkey_, ERROR_INVALID_PARAMETER},
      {HKEY_CURRENT_USER, L"", ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    const CRegistrySD sd(c.root, c.subkey);
    EXPECT_FALSE(sd.IsValid());
    EXPECT_EQ(sd.GetLastError(), c.error);
  }
}

TEST_F(RegistryTest, EmbeddedDescriptorRoundTripsThroughAValue) {
  {
    CEmbeddedRegistrySD empty(HKEY_CURRENT_USER, subkey_, L"Descriptor");
    EXPECT_TRUE(empty.IsValid());
    EXPECT_EQ(empty.GetLastError(), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(empty.DenyAccess(L"Everyone", GENERIC_WRITE), 0);
    ASSERT_EQ(empty.AllowAccess(L"BUILTIN\\Administrators", GENERIC_ALL), 0);
    ASSERT_EQ(empty.SecureObject(false), 0);
  }
  CEmbeddedRegistrySD stored(HKEY_CURRENT_USER, subkey_, L"Descriptor");
  ASSERT_TRUE(stored.IsValid());
  EXPECT_EQ(stored.GetLastError(), 0);
  EXPECT_EQ(portable::OwnerAndDaclText(stored.GetAbsoluteSD()),
            L"O:SYD:(D;OICI;GW;;;WD)(A;OICI;GA;;;BA)");
}

TEST_F(RegistryTest, EmbeddedValueThatIsNoDescriptorIsInvalid) {
  SKIP_UNDER_WINE(
      "RtlValidRelativeSecurityDescriptor accepts any bytes, and reading them then faults");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, subkey_.c_str(), 0, KEY_SET_VALUE, &key),
            ERROR_SUCCESS);
  const BYTE junk[] = {1, 0, 4, 0x80, 0xff, 0xff, 0xff, 0x7f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(RegSetValueExW(key, L"Descriptor", 0, REG_BINARY, junk, sizeof junk), ERROR_SUCCESS);
  RegCloseKey(key);
  const CEmbeddedRegistrySD sd(HKEY_CURRENT_USER, subkey_, L"Descriptor");
  EXPECT_FALSE(sd.IsValid());
}

}  // namespace
