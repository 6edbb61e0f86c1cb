// Contract of the stand-in's registry: exact LSTATUS codes with the last error untouched,
// outputs left alone by failing calls, access checked against each key's descriptor,
// inheritance to new keys and by name, and the host's database: persistence, concurrent
// writers, a writer killed mid-sequence, and damaged bytes read back.
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/standin/profile/profile.h"
#include "platform/standin/registry/registry_backend.h"
#include "tests/standin_contract.h"

namespace {

// alice is a plain user (she holds BUILTIN\Users through INTERACTIVE); the keys below
// HKLM\Software\Vortiss give her different rights.
constexpr char kProfile[] = R"json({
  "computer": "WS01",
  "machine_sid": "S-1-5-21-1-2-3",
  "user": "alice",
  "users": [{"name": "alice", "rid": 1001}],
  "registry": {
    "HKLM\\Software\\Vortiss": {
      "sddl": "O:BAG:SYD:PAI(A;CI;KA;;;BA)(A;CI;KR;;;BU)",
      "values": {
        "Blob": {"hex": "0102030405"},
        "Text": {"hex": "41000000420000004300000000000000", "type": 1}
      }
    },
    "HKLM\\Software\\Vortiss\\Mine": {
      "sddl": "O:S-1-5-21-1-2-3-1001G:SYD:P(A;CI;KA;;;S-1-5-21-1-2-3-1001)"
    },
    "HKLM\\Software\\Vortiss\\DaclOnly": {
      "sddl": "O:SYG:SYD:P(A;;0x60001;;;S-1-5-21-1-2-3-1001)"
    },
    "HKLM\\Software\\Vortiss\\Closed": {"sddl": "O:SYG:SYD:P"}
  }
})json";

const wchar_t kAlice[] = L"S-1-5-21-1-2-3-1001";

class standin_registry : public StandinTest {
 protected:
  std::string_view Profile() const override { return kProfile; }
};

// The SDDL of the parts `information` names, read through the key; empty when refused.
std::wstring KeySddl(HKEY key, SECURITY_INFORMATION information) {
  DWORD length = 0;
  if (RegGetKeySecurity(key, information, nullptr, &length) != ERROR_INSUFFICIENT_BUFFER)
    return {};
  std::vector<BYTE> sd(length);
  if (RegGetKeySecurity(key, information, sd.data(), &length) != ERROR_SUCCESS)
    return {};
  LPWSTR text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.data(), SDDL_REVISION_1, information,
                                                            &text, nullptr))
    return {};
  std::wstring result(text);
  LocalFree(text);
  return result;
}

std::vector<BYTE> SddlBytes(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  ULONG length = 0;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, &length))
    return {};
  std::vector<BYTE> bytes(static_cast<BYTE*>(sd), static_cast<BYTE*>(sd) + length);
  LocalFree(sd);
  return bytes;
}

// Opens a key; the test fails when it cannot.
HKEY Open(HKEY root, const wchar_t* path, REGSAM access) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(root, path, 0, access, &key), ERROR_SUCCESS) << "opening " << path;
  return key;
}

TEST_F(standin_registry, OpenGivesThePlatformsCodesAndLeavesTheLastError) {
  struct Case {
    const char* what;
    HKEY root;
    const wchar_t* path;
    REGSAM access;
    LSTATUS expected;
  };
  const Case cases[] = {
      {"missing key", HKEY_LOCAL_MACHINE, L"Software\\Vortiss\\Nothing", KEY_READ,
       ERROR_FILE_NOT_FOUND},
      {"missing parent", HKEY_LOCAL_MACHINE, L"Software\\Nothing\\Deeper", KEY_READ,
       ERROR_FILE_NOT_FOUND},
      {"read allowed", HKEY_LOCAL_MACHINE, L"Software\\Vortiss", KEY_READ, ERROR_SUCCESS},
      {"any case", HKEY_LOCAL_MACHINE, L"SOFTWARE\\vortiss\\", KEY_QUERY_VALUE, ERROR_SUCCESS},
      {"write refused", HKEY_LOCAL_MACHINE, L"Software\\Vortiss", KEY_SET_VALUE,
       ERROR_ACCESS_DENIED},
      {"WRITE_DAC refused", HKEY_LOCAL_MACHINE, L"Software\\Vortiss", WRITE_DAC,
       ERROR_ACCESS_DENIED},
      {"empty DACL", HKEY_LOCAL_MACHINE, L"Software\\Vortiss\\Closed", READ_CONTROL,
       ERROR_ACCESS_DENIED},
      {"generic write mapped", HKEY_LOCAL_MACHINE, L"Software\\Vortiss", GENERIC_WRITE,
       ERROR_ACCESS_DENIED},
      {"generic read mapped", HKEY_LOCAL_MACHINE, L"Software\\Vortiss", GENERIC_READ,
       ERROR_SUCCESS},
      {"own key, WRITE_OWNER", HKEY_LOCAL_MACHINE, L"Software\\Vortiss\\Mine", WRITE_OWNER,
       ERROR_SUCCESS},
      {"leading backslash", HKEY_LOCAL_MACHINE, L"\\Software", KEY_READ, ERROR_BAD_PATHNAME},
      {"empty component", HKEY_LOCAL_MACHINE, L"Software\\\\Vortiss", KEY_READ, ERROR_BAD_PATHNAME},
      {"not a key handle", reinterpret_cast<HKEY>(0x1234), L"Software", KEY_READ,
       ERROR_INVALID_HANDLE},
      {"null handle", nullptr, L"Software", KEY_READ, ERROR_INVALID_HANDLE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HKEY key = reinterpret_cast<HKEY>(0x5a5a);
    SetLastError(kSentinelError);
    EXPECT_EQ(RegOpenKeyExW(c.root, c.path, 0, c.access, &key), c.expected);
    EXPECT_EQ(GetLastError(), kSentinelError);
    if (c.expected == ERROR_SUCCESS) {
      EXPECT_NE(key, nullptr);
      EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    } else {
      EXPECT_EQ(key, nullptr);  // the platform clears the output first
    }
  }
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_READ, nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST_F(standin_registry, RootsOpenAsThemselvesAndCloseQuietly) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(key, HKEY_CURRENT_USER);
  EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);

  key = Open(HKEY_LOCAL_MACHINE, L"Software\\Vortiss", KEY_READ);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);

  // A token handle is no key.
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(token)), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(CloseHandle(token));
}

TEST_F(standin_registry, DefaultHivesGiveTheUserHerOwnKeysAndTheMachineReadOnly) {
  EXPECT_EQ(KeySddl(HKEY_CURRENT_USER, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
            std::wstring(L"O:") + kAlice + L"D:PAI(A;CI;KA;;;" + kAlice +
                L")(A;CI;KA;;;SY)(A;CI;KA;;;BA)");
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  EXPECT_EQ(KeySddl(key, DACL_SECURITY_INFORMATION),
            std::wstring(L"D:AI(A;CIID;KA;;;") + kAlice + L")(A;CIID;KA;;;SY)(A;CIID;KA;;;BA)");
  RegCloseKey(key);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_CREATE_SUB_KEY, &key),
            ERROR_ACCESS_DENIED);
}

TEST_F(standin_registry, QueryValueSizesAndRefusesLikeThePlatform) {
  HKEY key = Open(HKEY_LOCAL_MACHINE, L"Software\\Vortiss", KEY_QUERY_VALUE);
  DWORD type = 0xdead, length = 0xbeef;

  // Null data: the length only.
  SetLastError(kSentinelError);
  EXPECT_EQ(RegQueryValueExW(key, L"blob", nullptr, &type, nullptr, &length), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(length, 5u);

  // A short buffer: 234 with the length, the buffer untouched.
  BYTE data[8];
  std::memset(data, 0xcc, sizeof data);
  length = 4;
  EXPECT_EQ(RegQueryValueExW(key, L"Blob", nullptr, &type, data, &length), ERROR_MORE_DATA);
  EXPECT_EQ(length, 5u);
  EXPECT_TRUE(AllBytesAre(data, sizeof data, 0xcc));

  length = sizeof data;
  EXPECT_EQ(RegQueryValueExW(key, L"Blob", nullptr, nullptr, data, &length), ERROR_SUCCESS);
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(std::vector<BYTE>(data, data + 5), (std::vector<BYTE>{1, 2, 3, 4, 5}));
  EXPECT_EQ(data[5], 0xcc);

  // Missing: 2, with a given buffer's length and type untouched.
  type = 0xdead;
  length = sizeof data;
  EXPECT_EQ(RegQueryValueExW(key, L"Nothing", nullptr, &type, data, &length), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(type, 0xdeadu);
  EXPECT_EQ(length, sizeof data);

  DWORD reserved = 0;
  EXPECT_EQ(RegQueryValueExW(key, L"Blob", &reserved, &type, nullptr, &length),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(key, L"Blob", nullptr, &type, data, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GetLastError(), kSentinelError);
  RegCloseKey(key);

  // A handle without KEY_QUERY_VALUE.
  key = Open(HKEY_LOCAL_MACHINE, L"Software\\Vortiss", READ_CONTROL);
  EXPECT_EQ(RegQueryValueExW(key, L"Blob", nullptr, &type, nullptr, &length), ERROR_ACCESS_DENIED);
  RegCloseKey(key);
}

TEST_F(standin_registry, StringValuesGetATerminatorWhenThereIsRoom) {
  HKEY key = Open(HKEY_LOCAL_MACHINE, L"Software\\Vortiss", KEY_QUERY_VALUE);
  DWORD length = 0, type = 0;
  ASSERT_EQ(RegQueryValueExW(key, L"Text", nullptr, &type, nullptr, &length), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  std::vector<BYTE> data(length + sizeof(WCHAR), 0xcc);
  DWORD room = static_cast<DWORD>(data.size());
  ASSERT_EQ(RegQueryValueExW(key, L"Text", nullptr, &type, data.data(), &room), ERROR_SUCCESS);
  EXPECT_EQ(room, length);
  RegCloseKey(key);
}

TEST_F(standin_registry, KeySecuritySizesAndChecksTheHandle) {
  HKEY key = Open(HKEY_LOCAL_MACHINE, L"Software\\Vortiss", READ_CONTROL);
  DWORD length = 0;
  SetLastError(kSentinelError);
  EXPECT_EQ(RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &length),
            ERROR_INSUFFICIENT_BUFFER);
  EXPECT_GT(length, 20u);
  std::vector<BYTE> sd(length, 0xcc);
  DWORD short_length = length - 1;
  EXPECT_EQ(RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, sd.data(), &short_length),
            ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(short_length, length);
  EXPECT_TRUE(AllBytesAre(sd.data(), sd.size(), 0xcc));
  EXPECT_EQ(RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, sd.data(), &length), ERROR_SUCCESS);
  EXPECT_TRUE(IsValidSecurityDescriptor(sd.data()));
  EXPECT_EQ(GetLastError(), kSentinelError);
  RegCloseKey(key);

  key = Open(HKEY_LOCAL_MACHINE, L"Software\\Vortiss", KEY_QUERY_VALUE);
  length = 0;
  EXPECT_EQ(RegGetKeySecurity(key, OWNER_SECURITY_INFORMATION, nullptr, &length),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(length, 0u);
  RegCloseKey(key);
  EXPECT_EQ(RegGetKeySecurity(reinterpret_cast<HKEY>(0x1234), DACL_SECURITY_INFORMATION, nullptr,
                              &length),
            ERROR_INVALID_HANDLE);
}

TEST_F(standin_registry, SetKeySecurityNeedsTheRightsAndAnOwnerTheCallerMayGive) {
  const auto mine = SddlBytes(L"O:BAD:(A;CI;KA;;;WD)");
  ASSERT_FALSE(mine.empty());
  auto* sd = const_cast<BYTE*>(mine.data());
  HKEY key = Open(HKEY_LOCAL_MACHINE, L"Software\\Vortiss\\Mine", WRITE_DAC | WRITE_OWNER);
  SetLastError(kSentinelError);
  EXPECT_EQ(RegSetKeySecurity(key, 0, sd), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr), ERROR_INVALID_PARAMETER);
  // BUILTIN\Administrators is no owner for a token that does not hold it.
  EXPECT_EQ(RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION, sd), ERROR_INVALID_OWNER);
  EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, sd), ERROR_SUCCESS);
  EXPECT_EQ(GetLastError(), kSentinelError);
  const auto hers = SddlBytes((std::wstring(L"O:") + kAlice).c_str());
  EXPECT_EQ(RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION, const_cast<BYTE*>(hers.data())),
            ERROR_SUCCESS);
  // Hostile bytes are refused before anything is read through them.
  BYTE damaged[20] = {1, 0, 0x04, 0x80, 0xff, 0xff, 0, 0};
  EXPECT_EQ(RegSetKeySecurity(key, OWNER_SECURITY_INFORMATION, damaged),
            ERROR_INVALID_SECURITY_DESCR);
  RegCloseKey(key);

  HKEY read_only = Open(HKEY_LOCAL_MACHINE, L"Software\\Vortiss\\Mine", READ_CONTROL);
  EXPECT_EQ(KeySddl(read_only, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
            std::wstring(L"O:") + kAlice + L"D:(A;CI;KA;;;WD)");
  EXPECT_EQ(RegSetKeySecurity(read_only, DACL_SECURITY_INFORMATION, sd), ERROR_ACCESS_DENIED);
  RegCloseKey(read_only);
}

TEST_F(standin_registry, NewKeysInheritContainerEntriesFromTheirParent) {
  HKEY parent = Open(HKEY_LOCAL_MACHINE, L"Software\\Vortiss\\Mine",
                     KEY_CREATE_SUB_KEY | WRITE_DAC | READ_CONTROL);
  HKEY key = reinterpret_cast<HKEY>(0x5a5a);
  DWORD disposition = 0;
  SetLastError(kSentinelError);
  ASSERT_EQ(
      RegCreateKeyExW(parent, L"A\\B", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition),
      ERROR_SUCCESS);
  EXPECT_EQ(GetLastError(), kSentinelError);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  // Mine's DACL is not auto-inherited: what it passes on carries no inheritance marks.
  EXPECT_EQ(KeySddl(key, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
            std::wstring(L"O:") + kAlice + L"D:(A;CI;KA;;;" + kAlice + L")");
  RegCloseKey(key);

  // The same path again, in another case, opens what is there.
  ASSERT_EQ(RegCreateKeyExW(parent, L"a\\b", 0, nullptr, 0, KEY_READ, nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  RegCloseKey(key);

  // A given descriptor stands alone, as the creator gave it, outside automatic inheritance;
  // within it, its own entries come first, then what the parent passes on, marked inherited.
  const auto given = SddlBytes(L"D:(A;;KR;;;WD)");
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, const_cast<BYTE*>(given.data()), FALSE};
  ASSERT_EQ(RegCreateKeyExW(parent, L"C", 0, nullptr, 0, READ_CONTROL, &attributes, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(KeySddl(key, DACL_SECURITY_INFORMATION), L"D:(A;;KR;;;WD)");
  RegCloseKey(key);
  // Set by handle: AR consumed, AI kept with it, generic rights mapped for keys.
  const auto auto_inherited =
      SddlBytes((std::wstring(L"D:AIAR(A;CI;GA;;;") + kAlice + L")").c_str());
  ASSERT_EQ(RegSetKeySecurity(parent, DACL_SECURITY_INFORMATION,
                              const_cast<BYTE*>(auto_inherited.data())),
            ERROR_SUCCESS);
  EXPECT_EQ(KeySddl(parent, DACL_SECURITY_INFORMATION),
            std::wstring(L"D:AI(A;CI;KA;;;") + kAlice + L")");
  ASSERT_EQ(RegCreateKeyExW(parent, L"D", 0, nullptr, 0, READ_CONTROL, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(KeySddl(key, DACL_SECURITY_INFORMATION),
            std::wstring(L"D:AI(A;CIID;KA;;;") + kAlice + L")");
  RegCloseKey(key);
  ASSERT_EQ(RegCreateKeyExW(parent, L"E", 0, nullptr, 0, READ_CONTROL, &attributes, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(KeySddl(key, DACL_SECURITY_INFORMATION),
            std::wstring(L"D:AI(A;;KR;;;WD)(A;CIID;KA;;;") + kAlice + L")");
  RegCloseKey(key);

  // Deleting: only a key without subkeys.
  EXPECT_EQ(RegDeleteKeyW(parent, L"A"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(parent, L"A\\B"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(parent, L"A\\B"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyW(parent, L"A"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(parent, nullptr), ERROR_INVALID_PARAMETER);
  RegCloseKey(parent);
}

TEST_F(standin_registry, CreateRefusesWithoutTheRightToCreateSubkeys) {
  HKEY key = reinterpret_cast<HKEY>(0x5a5a);
  HKEY parent = Open(HKEY_LOCAL_MACHINE, L"Software\\Vortiss", KEY_READ);
  EXPECT_EQ(RegCreateKeyExW(parent, L"New", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(key, reinterpret_cast<HKEY>(0x5a5a));  // left alone on failure
  EXPECT_EQ(RegCreateKeyExW(parent, L"New", 0, nullptr, 0, KEY_READ, nullptr, nullptr, nullptr),
            ERROR_BADKEY);
  EXPECT_EQ(RegCreateKeyExW(parent, L"New", 1, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
            ERROR_INVALID_PARAMETER);
  RegCloseKey(parent);
  // Under a key that exists deeper down, the right is checked on that key's own descriptor.
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Vortiss\\X", 0, nullptr, 0, KEY_READ,
                            nullptr, &key, nullptr),
            ERROR_ACCESS_DENIED);
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Vortiss\\Mine\\X", 0, nullptr, 0,
                            KEY_READ, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(standin_registry, SetValueNeedsKeySetValueAndReplacesTheType) {
  HKEY key = Open(HKEY_LOCAL_MACHINE, L"Software\\Vortiss\\Mine", KEY_SET_VALUE | KEY_QUERY_VALUE);
  const DWORD number = 42;
  SetLastError(kSentinelError);
  EXPECT_EQ(RegSetValueExW(key, L"N", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
  EXPECT_EQ(RegSetValueExW(key, L"N", 0, REG_BINARY, reinterpret_cast<const BYTE*>("ab"), 2),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, L"n", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4),
            ERROR_SUCCESS);
  DWORD type = 0, read = 0, length = sizeof read;
  EXPECT_EQ(RegQueryValueExW(key, L"N", nullptr, &type, reinterpret_cast<BYTE*>(&read), &length),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(read, 42u);
  EXPECT_EQ(RegDeleteValueW(key, L"N"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(key, L"N"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetLastError(), kSentinelError);
  RegCloseKey(key);

  key = Open(HKEY_LOCAL_MACHINE, L"Software\\Vortiss", KEY_READ);
  EXPECT_EQ(RegSetValueExW(key, L"N", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueW(key, L"Blob"), ERROR_ACCESS_DENIED);
  RegCloseKey(key);
}

TEST_F(standin_registry, AHandleToADeletedKeyReportsIt) {
  HKEY parent = Open(HKEY_CURRENT_USER, L"Software", KEY_ALL_ACCESS);
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(parent, L"Gone", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(parent, L"Gone"), ERROR_SUCCESS);
  const DWORD one = 1;
  EXPECT_EQ(RegSetValueExW(key, L"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
            ERROR_KEY_DELETED);
  RegCloseKey(key);
  RegCloseKey(parent);
}

TEST_F(standin_registry, FaultsAreReturnedNotSetAsTheLastError) {
  InstallProfile(R"json({"faults": [{"call": "RegOpenKeyExW", "error": 1450, "times": 1}]})json");
  HKEY key = nullptr;
  SetLastError(kSentinelError);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &key), 1450);
  EXPECT_EQ(GetLastError(), kSentinelError);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
}

// Named security: the object names, and inheritance recomputed below a DACL that changes.
TEST_F(standin_registry, NamedSecurityReadsAndPropagatesByName) {
  InstallProfile(R"json({
    "registry": {
      "HKLM\\Software\\Tree": {"sddl": "O:BAG:SYD:PAI(A;CI;KA;;;BA)"},
      "HKLM\\Software\\Tree\\Child\\Grandchild": {},
      "HKLM\\Software\\Tree\\Fixed": {"sddl": "O:BAG:SYD:P(A;;KR;;;WD)"}
    }
  })json");
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoW(L"MACHINE\\Software\\Tree\\Child", SE_REGISTRY_KEY,
                                  DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd),
            ERROR_SUCCESS);
  ASSERT_NE(dacl, nullptr);
  LocalFree(sd);
  EXPECT_EQ(GetNamedSecurityInfoW(L"Software\\Tree", SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, &dacl, nullptr, &sd),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GetNamedSecurityInfoW(L"MACHINE\\Software\\Nothing", SE_REGISTRY_KEY,
                                  DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd),
            ERROR_FILE_NOT_FOUND);

  // A protected DACL on the top: the subkeys that inherit follow, the protected one does not.
  const auto top = SddlBytes(L"D:(A;CI;KA;;;WD)");
  PACL top_dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  ASSERT_TRUE(
      GetSecurityDescriptorDacl(const_cast<BYTE*>(top.data()), &present, &top_dacl, &defaulted));
  wchar_t name[] = L"MACHINE\\Software\\Tree";
  ASSERT_EQ(SetNamedSecurityInfoW(name, SE_REGISTRY_KEY,
                                  DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, top_dacl, nullptr),
            ERROR_SUCCESS);
  auto sddl_of = [](const wchar_t* path) {
    HKEY key = Open(HKEY_LOCAL_MACHINE, path, READ_CONTROL);
    std::wstring text = KeySddl(key, DACL_SECURITY_INFORMATION);
    RegCloseKey(key);
    return text;
  };
  EXPECT_EQ(sddl_of(L"Software\\Tree"), L"D:PAI(A;CI;KA;;;WD)");
  EXPECT_EQ(sddl_of(L"Software\\Tree\\Child"), L"D:AI(A;CIID;KA;;;WD)");
  EXPECT_EQ(sddl_of(L"Software\\Tree\\Child\\Grandchild"), L"D:AI(A;CIID;KA;;;WD)");
  EXPECT_EQ(sddl_of(L"Software\\Tree\\Fixed"), L"D:P(A;;KR;;;WD)");

  // The child protected, then inheriting again: its own entries stay before the inherited ones.
  const auto own = SddlBytes(L"D:(A;CI;KR;;;BU)");
  PACL own_dacl = nullptr;
  ASSERT_TRUE(
      GetSecurityDescriptorDacl(const_cast<BYTE*>(own.data()), &present, &own_dacl, &defaulted));
  wchar_t child[] = L"MACHINE\\Software\\Tree\\Child";
  ASSERT_EQ(SetNamedSecurityInfoW(child, SE_REGISTRY_KEY,
                                  DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, own_dacl, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(sddl_of(L"Software\\Tree\\Child"), L"D:PAI(A;CI;KR;;;BU)");
  EXPECT_EQ(sddl_of(L"Software\\Tree\\Child\\Grandchild"), L"D:AI(A;CIID;KR;;;BU)");
  ASSERT_EQ(SetNamedSecurityInfoW(child, SE_REGISTRY_KEY,
                                  DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, own_dacl, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(sddl_of(L"Software\\Tree\\Child"), L"D:AI(A;CI;KR;;;BU)(A;CIID;KA;;;WD)");
  EXPECT_EQ(sddl_of(L"Software\\Tree\\Child\\Grandchild"), L"D:AI(A;CIID;KR;;;BU)(A;CIID;KA;;;WD)");
}

TEST(standin_registry_profile, ValuesAndDescriptorsAreCheckedWhenLoaded) {
  struct Case {
    const char* json;
    const char* key;
  };
  const Case cases[] = {
      {R"json({"registry": {"HKLM\\Software\\Example": {"values": {"Junk": {"hex": "01x0"}}}}})json",
       "registry.HKLM\\Software\\Example.values.Junk.hex"},
      {R"json({"registry": {"HKLM\\Software\\Example": {"values": {"Junk": {"hex": "010"}}}}})json",
       "registry.HKLM\\Software\\Example.values.Junk.hex"},
      {R"json({"registry": {"HKLM\\Software\\Example": {"values": {"L": {"sddl": "O:XXD:"}}}}})json",
       "registry.HKLM\\Software\\Example.values.L.sddl"},
      {R"json({"registry": {"HKLM\\Software\\Example": {"sddl": "D:(A;;;;;BA"}}})json",
       "registry.HKLM\\Software\\Example.sddl"},
      {R"json({"registry": {"HKXX\\Software": {}}})json", "registry.HKXX\\Software"},
      {R"json({"registry": {"HKLM\\Software\\Example": {"values": {"V": {"type": 3}}}}})json",
       "registry.HKLM\\Software\\Example.values.V"},
      {R"json({"registry": {"HKLM\\Software\\Example": {"colour": 1}}})json",
       "registry.HKLM\\Software\\Example.colour"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    try {
      standin::InstallMachine(standin::ParseProfile(c.json, "."));
      ADD_FAILURE() << "accepted";
    } catch (const standin::ProfileError& e) {
      EXPECT_EQ(e.key(), c.key) << e.what();
    }
  }
  standin::UninstallMachine();
}

// The host's database, in a temporary file of each case.
class standin_registry_database : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    file_ =
        std::filesystem::temp_directory_path() /
        ("vortiss-registry-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + ".db");
    Install();
  }
  void TearDown() override {
    EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);
    standin::UninstallMachine();
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
      std::filesystem::remove(file_.string() + suffix);
  }
  // A new machine on the same database: what another process would see.
  void Install() {
    auto description = standin::ParseProfile(R"json({"user": "Administrator"})json", ".");
    description.registry_database = file_;
    standin::InstallMachine(description);
  }
  // Writes `count` DWORD values named prefix0, prefix1, ... under HKCU\Software\Race, telling
  // `ack` (when >= 0) the index of each write once it returned.
  static bool WriteSequence(const std::string& prefix, int count, int ack) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Race", 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
      return false;
    for (int i = 0; i < count; ++i) {
      const std::wstring name(prefix.begin(), prefix.end());
      const DWORD data = static_cast<DWORD>(i);
      if (RegSetValueExW(key, (name + std::to_wstring(i)).c_str(), 0, REG_DWORD,
                         reinterpret_cast<const BYTE*>(&data), sizeof data) != ERROR_SUCCESS)
        return false;
      if (ack >= 0 && write(ack, &i, sizeof i) != sizeof i)
        return false;
    }
    RegCloseKey(key);
    return true;
  }
  static LSTATUS ReadDword(const std::wstring& name, DWORD& value) {
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Race", 0, KEY_QUERY_VALUE, &key);
    if (status != ERROR_SUCCESS)
      return status;
    DWORD length = sizeof value;
    status = RegQueryValueExW(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                              &length);
    RegCloseKey(key);
    return status;
  }

  std::filesystem::path file_;
};

// Reading never writes: before the first write the default keys answer, and no file is made.
TEST_F(standin_registry_database, ReadsCreateNothing) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD length = 0;
  EXPECT_EQ(RegQueryValueExW(key, L"Absent", nullptr, nullptr, nullptr, &length),
            ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Race", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(std::filesystem::exists(file_));
  ASSERT_TRUE(WriteSequence("v", 1, -1));
  EXPECT_TRUE(std::filesystem::exists(file_));
}

TEST_F(standin_registry_database, WritesOutliveTheMachineThatMadeThem) {
  ASSERT_TRUE(WriteSequence("v", 3, -1));
  Install();
  DWORD value = 0;
  EXPECT_EQ(ReadDword(L"V2", value), ERROR_SUCCESS);
  EXPECT_EQ(value, 2u);
  EXPECT_EQ(ReadDword(L"v3", value), ERROR_FILE_NOT_FOUND);
}

TEST_F(standin_registry_database, TheHostsFileComesFromTheEnvironment) {
  const char* old = std::getenv("VORTISS_REGISTRY");
  const std::string saved = old ? old : "";
  setenv("VORTISS_REGISTRY", file_.c_str(), 1);
  EXPECT_EQ(standin::HostRegistryFile(), file_);
  unsetenv("VORTISS_REGISTRY");
  setenv("XDG_DATA_HOME", "/nonexistent/data", 1);
  EXPECT_EQ(standin::HostRegistryFile(),
            std::filesystem::path("/nonexistent/data/vortiss/registry.db"));
  if (old)
    setenv("VORTISS_REGISTRY", saved.c_str(), 1);
}

TEST_F(standin_registry_database, ConcurrentWritersBothLandWhole) {
  constexpr int kWrites = 40;
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0)
      _exit(WriteSequence(c ? "b" : "a", kWrites, -1) ? 0 : 1);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (const wchar_t* prefix : {L"a", L"b"}) {
    for (int i = 0; i < kWrites; ++i) {
      DWORD value = 0xffffffff;
      EXPECT_EQ(ReadDword(prefix + std::to_wstring(i), value), ERROR_SUCCESS);
      EXPECT_EQ(value, static_cast<DWORD>(i));
    }
  }
}

TEST_F(standin_registry_database, AWriterKilledMidSequenceLosesNothingItCommitted) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipe_fds[0]);
    WriteSequence("k", 1000000, pipe_fds[1]);
    _exit(0);
  }
  close(pipe_fds[1]);
  int last = -1, index = 0;
  while (last < 25 && read(pipe_fds[0], &index, sizeof index) == sizeof index)
    last = index;
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));
  while (read(pipe_fds[0], &index, sizeof index) == sizeof index)
    last = index;
  close(pipe_fds[0]);
  ASSERT_GE(last, 25);
  Install();
  for (int i = 0; i <= last; ++i) {
    DWORD value = 0xffffffff;
    ASSERT_EQ(ReadDword(L"k" + std::to_wstring(i), value), ERROR_SUCCESS) << i;
    EXPECT_EQ(value, static_cast<DWORD>(i));
  }
}

TEST_F(standin_registry_database, DamagedDescriptorsInTheFileAreRefused) {
  ASSERT_TRUE(WriteSequence("v", 1, -1));
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file_.c_str(), &db), SQLITE_OK);
  // Too short; then an owner offset past the end.
  for (const char* sd : {"x'0100'", "x'01000480ff000000000000000000000000000000'"}) {
    SCOPED_TRACE(sd);
    const std::string sql = std::string("UPDATE reg_keys SET sd = ") + sd +
                            " WHERE path = 'HKEY_CURRENT_USER\\SOFTWARE\\RACE'";
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_changes(db), 1);
    HKEY key = reinterpret_cast<HKEY>(0x5a5a);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Race", 0, KEY_READ, &key), ERROR_BADDB);
    EXPECT_EQ(key, nullptr);
  }
  sqlite3_close(db);
}

}  // namespace
