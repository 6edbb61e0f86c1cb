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
  EXPECT_EQ(RegDeleteKeyA(key, nullptr), ERROR_INVALID_PARAMETER);
  // An empty name deletes the key the handle names.
  HKEY doomed = nullptr;
  ASSERT_EQ(RegCreateKeyA(key, "Doomed", &doomed), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(doomed, ""), ERROR_SUCCESS);
  RegCloseKey(doomed);
  doomed = reinterpret_cast<HKEY>(0x5a5a);
  EXPECT_EQ(RegOpenKeyA(key, "Doomed", &doomed), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

// String values keep the length they were given, in either form, and read back in both forms
// with the sizes Windows reports (Wine's registry tests record them). A value stored without
// its terminator reads back without one unless the buffer has room for it; a second
// terminator is never added. Windows also counts a terminator that lies just past the length
// given; the stand-in never reads past that length, so those rows are left out.
TEST_F(RegistryTest, StringValuesKeepTheirLengthsInBothForms) {
  static const char one_narrow[] = "ThisNeverBreaks";
  static const wchar_t one_wide[] = L"ThisNeverBreaks";
  static const char two_narrow[] = "This\0Breaks\0\0A\0\0\0Lot\0\0\0\0";
  static const wchar_t two_wide[] = L"This\0Breaks\0\0A\0\0\0Lot\0\0\0\0";
  static const char full_narrow[] = "FullString";
  static const wchar_t full_wide[] = L"FullString";
  static const char multi_narrow[] = "Aa\0Bb\0Cc\0";
  static const wchar_t multi_wide[] = L"Aa\0Bb\0Cc\0";
  const struct {
    const char* what;
    const char* narrow;
    const wchar_t* wide;
    bool set_wide;
    DWORD set_length;  // in characters of the form set
    DWORD narrow_size;
    DWORD wide_length;  // in characters
  } rows[] = {
      {"no bytes at all", "", L"", false, 0, 0, 0},
      {"the empty string", "", L"", false, 1, 1, 1},
      {"a string and its terminator", one_narrow, one_wide, false, 16, 16, 16},
      {"terminators within", two_narrow, two_wide, false, 25, 25, 25},
      {"no terminator, none after", full_narrow, full_wide, false, 9, 9, 9},
      {"ends in a terminator", multi_narrow, multi_wide, false, 9, 9, 9},
      {"ends in a character, a character after", multi_narrow, multi_wide, false, 7, 7, 7},
      {"wide, a string and its terminator", one_narrow, one_wide, true, 16, 16, 16},
      {"wide, terminators within", two_narrow, two_wide, true, 25, 25, 25},
  };
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, subkey_.c_str(), 0, KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const DWORD wide_size = row.wide_length * static_cast<DWORD>(sizeof(wchar_t));
    const LSTATUS set =
        row.set_wide
            ? RegSetValueExW(key, L"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(row.wide),
                             row.set_length * static_cast<DWORD>(sizeof(wchar_t)))
            : RegSetValueExA(key, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(row.narrow),
                             row.set_length);
    ASSERT_EQ(set, ERROR_SUCCESS);

    // The size alone, the last error left as it was.
    DWORD type = 0, size = 0xdeadbeef;
    SetLastError(portable::kSentinelError);
    ASSERT_EQ(RegQueryValueExA(key, "Text", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), portable::kSentinelError);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, row.narrow_size);
    size = 0xdeadbeef;
    ASSERT_EQ(RegQueryValueExW(key, L"Text", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, wide_size);

    // A buffer of exactly the size: the bytes, nothing written past them.
    std::vector<BYTE> narrow(row.narrow_size + 2, 0xbd);
    size = row.narrow_size;
    ASSERT_EQ(RegQueryValueExA(key, "Text", nullptr, &type, narrow.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(size, row.narrow_size);
    EXPECT_EQ(std::memcmp(narrow.data(), row.narrow, row.narrow_size), 0);
    EXPECT_EQ(narrow[row.narrow_size], 0xbd);
    std::vector<BYTE> wide(wide_size + 4, 0xbd);
    size = wide_size;
    ASSERT_EQ(RegQueryValueExW(key, L"Text", nullptr, &type, wide.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(std::memcmp(wide.data(), row.wide, wide_size), 0);
    EXPECT_EQ(wide[wide_size], 0xbd);
    EXPECT_EQ(wide[wide_size + 1], 0xbd);

    // Room for one more byte: a value that ends in a character gets its terminator, and the
    // size still counts only what is stored.
    if (row.narrow_size) {
      std::fill(narrow.begin(), narrow.end(), BYTE{0xbd});
      size = row.narrow_size + 2;
      ASSERT_EQ(RegQueryValueExA(key, "Text", nullptr, &type, narrow.data(), &size), ERROR_SUCCESS);
      EXPECT_EQ(size, row.narrow_size);
      const bool ends_in_character = row.narrow[row.narrow_size - 1] != '\0';
      EXPECT_EQ(narrow[row.narrow_size], ends_in_character ? 0 : 0xbd);
      EXPECT_EQ(narrow[row.narrow_size + 1], 0xbd);
      // One byte short of the value: more data.
      size = row.narrow_size - 1;
      EXPECT_EQ(RegQueryValueExA(key, "Text", nullptr, &type, narrow.data(), &size),
                ERROR_MORE_DATA);
      EXPECT_EQ(size, row.narrow_size);
    }
  }

  // Data that cannot be read is refused before anything is stored; no data is an empty value.
  const struct {
    DWORD type;
    const BYTE* data;
    DWORD length;
    LSTATUS expected;
  } pointers[] = {
      {REG_SZ, reinterpret_cast<const BYTE*>(1), 1, ERROR_NOACCESS},
      {REG_DWORD, reinterpret_cast<const BYTE*>(1), 1, ERROR_NOACCESS},
      {REG_SZ, nullptr, 4, ERROR_NOACCESS},
      {REG_DWORD, nullptr, 4, ERROR_NOACCESS},
      {REG_SZ, nullptr, 0, ERROR_SUCCESS},
      {REG_DWORD, nullptr, 0, ERROR_SUCCESS},
  };
  for (const auto& row : pointers) {
    SCOPED_TRACE(testing::Message() << "type " << row.type << ", length " << row.length);
    EXPECT_EQ(RegSetValueExW(key, L"Pointer", 0, row.type, row.data, row.length), row.expected);
    DWORD size = 0xdeadbeef;
    const LSTATUS query = RegQueryValueExW(key, L"Pointer", nullptr, nullptr, nullptr, &size);
    if (row.expected == ERROR_SUCCESS) {
      EXPECT_EQ(query, ERROR_SUCCESS);
      EXPECT_EQ(size, 0u);
    }
    RegDeleteValueW(key, L"Pointer");
  }
  RegCloseKey(key);
}

// Creating a key, as Wine's registry tests record Windows doing it: the parent's descriptor
// decides, not the access of the handle it is named through; no place for the result is
// refused; a name may end in separators but not begin with one.
TEST_F(RegistryTest, KeysAreCreatedByTheParentsDescriptor) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, subkey_.c_str(), 0, KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  // Wine 8.0 writes through the null pointer (its later tests record Windows' answers).
  if (!portable::RunningUnderWine()) {
    EXPECT_EQ(RegCreateKeyA(key, "Sub1", nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExW(key, L"Sub1", 0, nullptr, 0, KEY_NOTIFY, nullptr, nullptr, nullptr),
              ERROR_BADKEY);
  }

  HKEY notify_only = nullptr, child = nullptr;
  ASSERT_EQ(
      RegCreateKeyExW(key, L"Sub1", 0, nullptr, 0, KEY_NOTIFY, nullptr, &notify_only, nullptr),
      ERROR_SUCCESS);
  EXPECT_EQ(
      RegCreateKeyExW(notify_only, L"Sub2", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &child, nullptr),
      ERROR_SUCCESS);
  RegCloseKey(child);
  RegCloseKey(notify_only);
  EXPECT_EQ(RegDeleteKeyW(key, L"Sub1\\Sub2"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(key, L"Sub1"), ERROR_SUCCESS);

  child = reinterpret_cast<HKEY>(0x5a5a);
  EXPECT_EQ(RegCreateKeyExW(key, L"\\Sub3", 0, nullptr, 0, KEY_NOTIFY, nullptr, &child, nullptr),
            ERROR_BAD_PATHNAME);
  ASSERT_EQ(RegCreateKeyExW(key, L"Sub4\\\\", 0, nullptr, 0, KEY_NOTIFY, nullptr, &child, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(child);
  EXPECT_EQ(RegDeleteKeyW(key, L"Sub4"), ERROR_SUCCESS);
  RegCloseKey(key);
}

// Opening a key, as Wine's registry tests record Windows doing it: separators at the end
// are ignored and a leading one refused; no name opens the key itself (a new handle, except
// for RegOpenKeyA, which hands back the one given); no key handle, no key; on 64-bit Windows
// only the low 32 bits of a predefined key's value count.
TEST_F(RegistryTest, KeysOpenAsWindowsOpensThem) {
  const std::string base(subkey_.begin(), subkey_.end());
  const HKEY unchanged = reinterpret_cast<HKEY>(0x5a5a);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, (base + "\\\\").c_str(), &key), ERROR_SUCCESS);
  EXPECT_NE(key, nullptr);
  HKEY result = unchanged;
  EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, (base + "\\absent").c_str(), &result),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(result, nullptr);
  result = unchanged;
  EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, ("\\" + base).c_str(), &result), ERROR_BAD_PATHNAME);

  result = unchanged;
  EXPECT_EQ(RegOpenKeyA(nullptr, nullptr, &result), ERROR_SUCCESS);
  EXPECT_EQ(result, nullptr);
  result = unchanged;
  EXPECT_EQ(RegOpenKeyA(nullptr, base.c_str(), &result), ERROR_INVALID_HANDLE);
  EXPECT_EQ(result, unchanged);
  EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, nullptr, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyA(nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
  result = unchanged;
  EXPECT_EQ(RegOpenKeyExW(nullptr, L"", 0, KEY_QUERY_VALUE, &result), ERROR_INVALID_HANDLE);
  EXPECT_EQ(result, nullptr);

  for (const wchar_t* none : {L"", static_cast<const wchar_t*>(nullptr)}) {
    result = unchanged;
    ASSERT_EQ(RegOpenKeyExW(key, none, 0, KEY_QUERY_VALUE, &result), ERROR_SUCCESS);
    EXPECT_NE(result, key);
    EXPECT_EQ(RegCloseKey(result), ERROR_SUCCESS);
  }
  for (const REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    result = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_READ | view, &result),
              ERROR_SUCCESS);
    EXPECT_NE(result, nullptr);
    RegCloseKey(result);
  }
  if constexpr (sizeof(HKEY) == 8) {
    const auto low =
        static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(HKEY_CURRENT_USER)) &
        0xffffffffu;
    for (const std::uint64_t high : {0ull, 1ull, 0xdeadbeefull, 0xffffffffull}) {
      SCOPED_TRACE(high);
      result = nullptr;
      const auto root = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(low | high << 32));
      EXPECT_EQ(RegOpenKeyA(root, "Software", &result), ERROR_SUCCESS);
      EXPECT_NE(result, nullptr);
      RegCloseKey(result);
    }
  }
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
