// GetNamedSecurityInfoW and SetNamedSecurityInfoW on files: the descriptor handed out and
// released with LocalFree, and a directory's inheritable entries propagated to its entries as
// the platform propagates them.
#include <string>
#include <vector>

#include "platform/standin/files/file_system.h"
#include "platform/standin/core/text.h"
#include "tests/standin_contract.h"
#include "tests/support/file_machine.h"

namespace {

constexpr const char* kProfile = R"j({
  "user": "alice", "users": ["alice"], "groups": {"Administrators": ["alice"]},
  "volumes": {"C:": {"path": "c"}},
  "security": {
    "C:\\": "O:SYG:SYD:(A;OICI;FA;;;SY)",
    "C:\\top": "O:BAG:SYD:(A;OICI;FA;;;BA)",
                     "C:\\top\\own.txt" : "O:BAG:SYD:(A;;FR;;;WD)(A;ID;FA;;;BA)",
                     "C:\\top\\kept" : "O:BAG:SYD:P(A;OICI;FA;;;SY)"
}
})j";

class standin_named_security : public StandinTest {
 protected:
  void SetUp() override {
    tree_.Directory("c/top/sub/deeper");
    tree_.Directory("c/top/kept/below");
    tree_.File("c/top/file.txt");
    tree_.File("c/top/own.txt");
    tree_.File("c/top/sub/inner.txt");
    tree_.File("c/top/sub/deeper/last.txt");
    tree_.File("c/top/kept/below/x.txt");
    tree_.Install(kProfile);
  }

  // The DACL of `path` in SDDL, through GetNamedSecurityInfoW.
  std::wstring Dacl(const wchar_t* path) {
    PACL dacl = reinterpret_cast<PACL>(0x1);
    PSECURITY_DESCRIPTOR sd = nullptr;
    const DWORD error = GetNamedSecurityInfoW(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                              nullptr, nullptr, &dacl, nullptr, &sd);
    if (error != ERROR_SUCCESS)
      return L"error " + std::to_wstring(error);
    EXPECT_TRUE(standin::CurrentMachine()->Holds(standin::BufferKind::kLocal, sd));
    // The DACL points into the descriptor.
    const auto* begin = static_cast<BYTE*>(sd);
    EXPECT_TRUE(!dacl || (reinterpret_cast<BYTE*>(dacl) > begin &&
                          reinterpret_cast<BYTE*>(dacl) < begin + GetSecurityDescriptorLength(sd)));
    LPWSTR text = nullptr;
    std::wstring out = L"(unconvertible)";
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
            sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
      out = text;
      LocalFree(text);
    }
    EXPECT_EQ(LocalFree(sd), nullptr);
    return out;
  }

  // Sets the DACL of `path` from the DACL of `sddl`.
  DWORD SetDacl(const wchar_t* path, const wchar_t* sddl, SECURITY_INFORMATION extra) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    EXPECT_TRUE(
        ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr));
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
    std::wstring name(path);
    const DWORD error =
        SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | extra,
                              nullptr, nullptr, dacl, nullptr);
    LocalFree(sd);
    return error;
  }

  FileTree tree_;
};

TEST_F(standin_named_security, UnprotectedDaclReachesEveryEntry) {
  // Generic rights are mapped where the entry applies to the object, kept where it is only
  // passed on.
  ASSERT_EQ(SetDacl(L"C:\\top",
                    L"D:(A;OICI;FA;;;BA)(A;CI;0x1200a9;;;BU)(A;OINP;GR;;;WD)(A;OICIIO;GA;;;CO)",
                    UNPROTECTED_DACL_SECURITY_INFORMATION),
            static_cast<DWORD>(ERROR_SUCCESS));
  const struct {
    const wchar_t* path;
    const wchar_t* dacl;
  } expected[] = {
      {L"C:\\top",
       L"D:AI(A;OICI;FA;;;BA)(A;CI;0x1200a9;;;BU)(A;OINP;FR;;;WD)(A;OICIIO;GA;;;CO)"
       L"(A;OICIID;FA;;;SY)"},
      // Files: object-inherit entries only, CREATOR OWNER taken by the file's owner.
      {L"C:\\top\\file.txt", L"D:AI(A;ID;FA;;;BA)(A;ID;FR;;;WD)(A;ID;FA;;;%U)(A;ID;FA;;;SY)"},
      // The file's own entries stay first, its old inherited ones are replaced, and its owner
      // (BA) takes the place of CREATOR OWNER.
      {L"C:\\top\\own.txt",
       L"D:AI(A;;FR;;;WD)(A;ID;FA;;;BA)(A;ID;FR;;;WD)(A;ID;FA;;;BA)(A;ID;FA;;;SY)"},
      // Directories: container-inherit entries, no-propagate ones stop here.
      {L"C:\\top\\sub",
       L"D:AI(A;OICIID;FA;;;BA)(A;CIID;0x1200a9;;;BU)(A;ID;FA;;;%U)(A;OICIIOID;GA;;;CO)"
       L"(A;OICIID;FA;;;SY)"},
      {L"C:\\top\\sub\\inner.txt", L"D:AI(A;ID;FA;;;BA)(A;ID;FA;;;%U)(A;ID;FA;;;SY)"},
      {L"C:\\top\\sub\\deeper",
       L"D:AI(A;OICIID;FA;;;BA)(A;CIID;0x1200a9;;;BU)(A;ID;FA;;;%U)(A;OICIIOID;GA;;;CO)"
       L"(A;OICIID;FA;;;SY)"},
      {L"C:\\top\\sub\\deeper\\last.txt", L"D:AI(A;ID;FA;;;BA)(A;ID;FA;;;%U)(A;ID;FA;;;SY)"},
      // A protected directory, and what lies below it, is left alone. Its DACL is not
      // auto-inherited, so what it passes on carries no inheritance marks.
      {L"C:\\top\\kept", L"D:P(A;OICI;FA;;;SY)"},
      {L"C:\\top\\kept\\below\\x.txt", L"D:(A;;FA;;;SY)"},
  };
  const auto user = SidOfAccount(L"alice");
  const std::wstring alice = SidText(const_cast<BYTE*>(user.data()));
  for (const auto& e : expected) {
    SCOPED_TRACE(standin::WideToUtf8(e.path));
    std::wstring want = e.dacl;
    for (size_t at; (at = want.find(L"%U")) != std::wstring::npos;)
      want.replace(at, 2, alice);
    EXPECT_EQ(Dacl(e.path), want);
  }
}

TEST_F(standin_named_security, ProtectionIsSetAndCleared) {
  // Protected: the parent's entries go, the given ones stay as given.
  ASSERT_EQ(SetDacl(L"C:\\top\\sub", L"D:(A;OICI;FR;;;WD)", PROTECTED_DACL_SECURITY_INFORMATION),
            0u);
  EXPECT_EQ(Dacl(L"C:\\top\\sub"), L"D:PAI(A;OICI;FR;;;WD)");
  EXPECT_EQ(Dacl(L"C:\\top\\sub\\inner.txt"), L"D:AI(A;ID;FR;;;WD)");
  // Unprotected again: the parent's inheritable entries follow the object's own.
  ASSERT_EQ(SetDacl(L"C:\\top\\sub", L"D:(A;OICI;FR;;;WD)", UNPROTECTED_DACL_SECURITY_INFORMATION),
            0u);
  EXPECT_EQ(Dacl(L"C:\\top\\sub"), L"D:AI(A;OICI;FR;;;WD)(A;OICIID;FA;;;BA)");
  EXPECT_EQ(Dacl(L"C:\\top\\sub\\inner.txt"), L"D:AI(A;ID;FR;;;WD)(A;ID;FA;;;BA)");
}

TEST_F(standin_named_security, ArgumentsAndMissingObjects) {
  PSECURITY_DESCRIPTOR sd = reinterpret_cast<PSECURITY_DESCRIPTOR>(0x1);
  PACL dacl = reinterpret_cast<PACL>(0x1);
  const struct {
    const wchar_t* path;
    SE_OBJECT_TYPE type;
    DWORD error;
  } cases[] = {
      {L"C:\\top\\none.txt", SE_FILE_OBJECT, ERROR_FILE_NOT_FOUND},
      {L"C:\\none\\x.txt", SE_FILE_OBJECT, ERROR_PATH_NOT_FOUND},
      {L"C:\\top", SE_SERVICE, ERROR_INVALID_PARAMETER},
      {nullptr, SE_FILE_OBJECT, ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SetLastError(kSentinelError);
    EXPECT_EQ(GetNamedSecurityInfoW(c.path, c.type, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    &dacl, nullptr, &sd),
              c.error);
    EXPECT_EQ(sd, reinterpret_cast<PSECURITY_DESCRIPTOR>(0x1));
    EXPECT_EQ(dacl, reinterpret_cast<PACL>(0x1));
  }
  // A DACL whose entries run past its size is refused before anything is written.
  BYTE broken[16] = {2, 0, 16, 0, 1, 0, 0, 0, 0, 0, 40, 0, 1, 0, 0, 0};
  std::wstring name = L"C:\\top";
  EXPECT_EQ(SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, reinterpret_cast<PACL>(broken), nullptr),
            static_cast<DWORD>(ERROR_INVALID_ACL));
  EXPECT_EQ(Dacl(L"C:\\top"), L"D:(A;OICI;FA;;;BA)");
}

}  // namespace
