// CRegistrySD and CEmbeddedRegistrySD on the stand-in's registry: loading and storing, refused
// owners, inheritance set by name, old platforms, and value bytes that are no descriptor.
#include <string>
#include <vector>

#include "security/cregistrysd.h"
#include "tests/standin_contract.h"

namespace {

constexpr char kProfile[] = R"json({
  "computer": "WS01",
  "machine_sid": "S-1-5-21-1-2-3",
  "user": "alice",
  "users": [{"name": "alice", "rid": 1001}],
  "registry": {
    "HKLM\\Software\\Vortiss": {"sddl": "O:BAG:SYD:PAI(A;CI;KA;;;BA)(A;CI;KR;;;BU)"},
    "HKLM\\Software\\Vortiss\\DaclOnly": {
      "sddl": "O:S-1-5-21-1-2-3-1001G:SYD:P(A;;0x60001;;;S-1-5-21-1-2-3-1001)"
    },
    "HKLM\\Software\\Vortiss\\Closed": {"sddl": "O:SYG:SYD:P"},
    "HKU\\.DEFAULT\\Test": {
      "sddl": "O:S-1-5-21-1-2-3-1001G:SYD:P(A;CI;KA;;;S-1-5-21-1-2-3-1001)"
    },
    "HKCU\\Software\\App": {
      "values": {
        "Junk": {"hex": "0100ff"},
        "Other": {"sddl": "O:SYG:SYD:(A;;0x3;;;WD)", "type": 4}
      }
    }
  }
})json";

const std::wstring kAlice = L"S-1-5-21-1-2-3-1001";
const SECURITY_INFORMATION kOwnerGroupDacl =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

class registry_sd : public StandinTest {
 protected:
  std::string_view Profile() const override { return kProfile; }
};

std::wstring Sddl(void* sd, SECURITY_INFORMATION information) {
  LPWSTR text = nullptr;
  if (!sd || !ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, information,
                                                                   &text, nullptr))
    return L"(none)";
  std::wstring result(text);
  LocalFree(text);
  return result;
}

// The key's owner and DACL as the platform holds them.
std::wstring KeySddl(HKEY root, const wchar_t* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path, 0, READ_CONTROL, &key) != ERROR_SUCCESS)
    return L"(closed)";
  DWORD length = 0;
  const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  RegGetKeySecurity(key, parts, nullptr, &length);
  std::vector<BYTE> sd(length);
  const LSTATUS status = RegGetKeySecurity(key, parts, sd.data(), &length);
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? Sddl(sd.data(), parts) : L"(unreadable)";
}

LSTATUS StoreValue(const wchar_t* name, const std::vector<BYTE>& bytes, DWORD type = REG_BINARY) {
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\App", 0, KEY_SET_VALUE, &key);
  if (status == ERROR_SUCCESS) {
    status = RegSetValueExW(key, name, 0, type, bytes.data(), static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
  }
  return status;
}

DWORD ValueType(const wchar_t* name) {
  HKEY key = nullptr;
  DWORD type = REG_NONE, length = 0;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\App", 0, KEY_QUERY_VALUE, &key) ==
      ERROR_SUCCESS) {
    RegQueryValueExW(key, name, nullptr, &type, nullptr, &length);
    RegCloseKey(key);
  }
  return type;
}

TEST_F(registry_sd, InvalidArgumentsNeverReachTheRegistry) {
  const CRegistrySD no_root(nullptr, L"Software");
  const CRegistrySD no_path(HKEY_LOCAL_MACHINE, L"");
  const CEmbeddedRegistrySD e_no_root(nullptr, L"Software\\App", L"Sd");
  const CEmbeddedRegistrySD e_no_path(HKEY_CURRENT_USER, L"", L"Sd");
  const CEmbeddedRegistrySD e_no_name(HKEY_CURRENT_USER, L"Software\\App", L"");
  for (const CSD* sd :
       std::initializer_list<const CSD*>{&no_root, &no_path, &e_no_root, &e_no_path, &e_no_name}) {
    EXPECT_EQ(sd->GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(sd->IsValid(), 0);
  }
  EXPECT_EQ(standin::CallCount("RegOpenKeyExW"), 0u);
}

TEST_F(registry_sd, KeysThatCannotBeReadLeaveTheObjectInvalid) {
  const CRegistrySD missing(HKEY_LOCAL_MACHINE, L"Software\\Vortiss\\Nothing");
  EXPECT_EQ(missing.GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing.IsValid(), 0);
  const CRegistrySD closed(HKEY_LOCAL_MACHINE, L"Software\\Vortiss\\Closed");
  EXPECT_EQ(closed.GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(closed.IsValid(), 0);
}

TEST_F(registry_sd, AMissingValueIsCreatedAsBinaryAndLoadsBackTheSame) {
  CEmbeddedRegistrySD stored(HKEY_CURRENT_USER, L"Software\\App", L"Stored");
  EXPECT_EQ(stored.GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(stored.IsValid(), 1);
  ASSERT_EQ(stored.SetOwner(L"alice"), 0);
  ASSERT_EQ(stored.DenyAccess(L"Guest", KEY_ALL_ACCESS), 0);
  ASSERT_EQ(stored.AllowAccess(L"alice", KEY_ALL_ACCESS), 0);
  ASSERT_EQ(stored.AllowAccess(L"Everyone", KEY_READ), 0);
  ASSERT_EQ(stored.SecureObject(false), 0);
  EXPECT_EQ(ValueType(L"Stored"), static_cast<DWORD>(REG_BINARY));

  CEmbeddedRegistrySD loaded(HKEY_CURRENT_USER, L"Software\\App", L"stored");
  EXPECT_EQ(loaded.GetLastError(), 0);
  EXPECT_EQ(loaded.IsValid(), 1);
  const std::wstring expected =
      L"O:" + kAlice + L"G:SYD:(D;OICI;KA;;;LG)(A;OICI;KA;;;" + kAlice + L")(A;OICI;KR;;;WD)";
  EXPECT_EQ(Sddl(loaded.GetCurrentAbsoluteSD(), kOwnerGroupDacl), expected);
  EXPECT_EQ(Sddl(stored.GetAbsoluteSD(), kOwnerGroupDacl), expected);
}

TEST_F(registry_sd, AValueOfAnotherTypeLoadsAndIsWrittenBackAsBinary) {
  CEmbeddedRegistrySD other(HKEY_CURRENT_USER, L"Software\\App", L"Other");
  ASSERT_EQ(other.GetLastError(), 0);
  EXPECT_EQ(Sddl(other.GetCurrentAbsoluteSD(), kOwnerGroupDacl), L"O:SYG:SYD:(A;;CCDC;;;WD)");
  EXPECT_EQ(ValueType(L"Other"), static_cast<DWORD>(REG_DWORD));
  ASSERT_EQ(other.SecureObject(true), 0);
  EXPECT_EQ(ValueType(L"Other"), static_cast<DWORD>(REG_BINARY));
}

TEST_F(registry_sd, StoringNeedsTheKey) {
  CEmbeddedRegistrySD nowhere(HKEY_CURRENT_USER, L"Software\\Nowhere", L"Sd");
  EXPECT_EQ(nowhere.GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(nowhere.IsValid(), 1);
  EXPECT_EQ(nowhere.SecureObject(false), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(nowhere.IsValid(), 0);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Nowhere", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(registry_sd, HostileValueBytesLeaveTheObjectInvalid) {
  struct Case {
    const char* what;
    std::vector<BYTE> bytes;
  };
  const Case cases[] = {
      {"three bytes", {0x01, 0x00, 0xff}},
      {"a header cut short", {1, 0, 0x04, 0x80, 20, 0, 0, 0, 0, 0, 0, 0}},
      {"revision 2", {2, 0, 0x00, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"owner outside the data",
       {1, 0, 0x00, 0x80, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"owner running past the end",
       {1, 0, 0x00, 0x80, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 5, 0, 0, 0, 0, 0, 5}},
      {"ACL size below its header",
       {1, 0, 0x04, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0, 2, 0, 4, 0, 0, 0, 0, 0}},
      {"ACL counting an entry it lacks",
       {1, 0, 0x04, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0, 2, 0, 8, 0, 1, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(StoreValue(L"Hostile", c.bytes), ERROR_SUCCESS);
    const CEmbeddedRegistrySD hostile(HKEY_CURRENT_USER, L"Software\\App", L"Hostile");
    EXPECT_EQ(hostile.IsValid(), 0);
    EXPECT_EQ(hostile.GetLastError(), ERROR_INVALID_SECURITY_DESCR);
  }
  const CEmbeddedRegistrySD junk(HKEY_CURRENT_USER, L"Software\\App", L"Junk");
  EXPECT_EQ(junk.IsValid(), 0);
  EXPECT_EQ(junk.GetLastError(), ERROR_INVALID_SECURITY_DESCR);
}

TEST_F(registry_sd, ARefusedOwnerStillWritesTheDaclAndTheSecondRefusalIsTheResult) {
  CRegistrySD key(HKEY_LOCAL_MACHINE, L"Software\\Vortiss\\DaclOnly");
  ASSERT_EQ(key.GetLastError(), 0);
  ASSERT_EQ(key.AllowAccess(L"Everyone", KEY_READ), 0);
  EXPECT_EQ(key.SecureObject(true), ERROR_ACCESS_DENIED);
  EXPECT_EQ(key.GetLastError(), ERROR_ACCESS_DENIED);
  // The DACL is the model's, as written by RegSetKeySecurity: the inheritance step was left out.
  EXPECT_EQ(KeySddl(HKEY_LOCAL_MACHINE, L"Software\\Vortiss\\DaclOnly"),
            L"O:" + kAlice + L"D:(A;OICI;CCRCWD;;;" + kAlice + L")(A;OICI;KR;;;WD)");
  EXPECT_EQ(standin::CallCount("GetNamedSecurityInfoW"), 0u);
  EXPECT_EQ(key.SecureObject(false), ERROR_ACCESS_DENIED);
}

TEST_F(registry_sd, AnOwnerRefusedFirstIsWrittenOnceTheDaclAllowsIt) {
  CRegistrySD key(HKEY_LOCAL_MACHINE, L"Software\\Vortiss\\DaclOnly");
  ASSERT_EQ(key.GetLastError(), 0);
  ASSERT_EQ(key.AllowAccess(L"alice", 0x60001 | WRITE_OWNER), 0);
  EXPECT_EQ(key.SecureObject(true), 0);
  // Unprotected now: the parent's container entries follow the key's own.
  EXPECT_EQ(
      KeySddl(HKEY_LOCAL_MACHINE, L"Software\\Vortiss\\DaclOnly"),
      L"O:" + kAlice + L"D:AI(A;OICI;CCRCWDWO;;;" + kAlice + L")(A;CIID;KA;;;BA)(A;CIID;KR;;;BU)");
  // And protected again.
  EXPECT_EQ(key.SecureObject(false), 0);
  EXPECT_EQ(KeySddl(HKEY_LOCAL_MACHINE, L"Software\\Vortiss\\DaclOnly"),
            L"O:" + kAlice + L"D:PAI(A;OICI;CCRCWDWO;;;" + kAlice + L")");
}

TEST_F(registry_sd, ARootWithoutANamePrefixWritesButCannotSetInheritance) {
  CRegistrySD key(HKEY_USERS, L".DEFAULT\\Test");
  ASSERT_EQ(key.GetLastError(), 0);
  ASSERT_EQ(key.AllowAccess(L"Everyone", KEY_READ), 0);
  EXPECT_EQ(key.SecureObject(true), 0);
  EXPECT_EQ(standin::CallCount("GetNamedSecurityInfoW"), 1u);
  EXPECT_EQ(standin::CallCount("SetNamedSecurityInfoW"), 0u);
  EXPECT_EQ(KeySddl(HKEY_USERS, L".DEFAULT\\Test"),
            L"O:" + kAlice + L"D:(A;OICI;KA;;;" + kAlice + L")(A;OICI;KR;;;WD)");
}

TEST_F(registry_sd, OnMajorVersionFourTheInheritanceModeIsLeftAlone) {
  std::string profile = kProfile;
  profile.insert(1, R"("version": {"major": 4, "minor": 0},)");
  InstallProfile(profile);
  CRegistrySD key(HKEY_LOCAL_MACHINE, L"Software\\Vortiss\\DaclOnly");
  ASSERT_EQ(key.AllowAccess(L"alice", 0x60001 | WRITE_OWNER), 0);
  EXPECT_EQ(key.SecureObject(true), 0);
  EXPECT_EQ(standin::CallCount("GetNamedSecurityInfoW"), 0u);
  EXPECT_EQ(KeySddl(HKEY_LOCAL_MACHINE, L"Software\\Vortiss\\DaclOnly"),
            L"O:" + kAlice + L"D:(A;OICI;CCRCWDWO;;;" + kAlice + L")");
}

TEST_F(registry_sd, CopiesKeepTheKeyAndTheDescriptor) {
  CRegistrySD key(HKEY_CURRENT_USER, L"Software");
  ASSERT_EQ(key.GetLastError(), 0);
  CRegistrySD copy(key);
  EXPECT_EQ(
      Sddl(copy.GetCurrentAbsoluteSD(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
      Sddl(key.GetCurrentAbsoluteSD(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION));
  ASSERT_EQ(copy.AllowAccess(L"Everyone", KEY_READ), 0);
  EXPECT_EQ(copy.SecureObject(true), 0);
  const std::wstring written = KeySddl(HKEY_CURRENT_USER, L"Software");
  EXPECT_NE(written.find(L"(A;OICI;KR;;;WD)"), std::wstring::npos) << written;
}

}  // namespace
