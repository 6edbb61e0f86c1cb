// Faults injected through the profile: which calls fail, with what, and how skip and times
// count the calls of each function on its own.
#include <functional>
#include <string>
#include <vector>

#include "tests/standin_contract.h"

namespace {

constexpr std::string_view kAccounts = R"(
  "computer": "WS01",
  "users": ["alice"],
  "domains": {"CORP": {"controller": "\\\\DC01", "users": ["carol"],
                       "groups": {"Domain Admins": ["carol"]}}}
)";

class standin_fault : public StandinTest {
 protected:
  void InstallFaults(std::string_view faults) {
    InstallProfile("{" + std::string(kAccounts) + ", \"faults\": " + std::string(faults) + "}");
  }
};

// One call of a platform function: the error it reports (0 on success), having checked that a
// failing call left its outputs alone and released what a successful one gave.
using Probe = std::function<DWORD()>;

DWORD ProbeNetGroupGetUsers() {
  LPBYTE buffer = reinterpret_cast<LPBYTE>(0x1234);
  DWORD read = 0xFFFF, total = 0xFFFF;
  const NET_API_STATUS status = NetGroupGetUsers(L"\\\\DC01", L"Domain Admins", 0, &buffer,
                                                 MAX_PREFERRED_LENGTH, &read, &total, nullptr);
  if (status != NERR_Success) {
    EXPECT_EQ(buffer, reinterpret_cast<LPBYTE>(0x1234));
    EXPECT_EQ(read, 0xFFFFu);
    return status;
  }
  EXPECT_EQ(read, 1u);
  NetApiBufferFree(buffer);
  return 0;
}

DWORD ProbeImpersonateSelf() {
  SetLastError(kSentinelError);
  if (!ImpersonateSelf(SecurityImpersonation)) {
    const DWORD error = GetLastError();
    HANDLE token = nullptr;
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token))
        << "a failed ImpersonateSelf impersonated";
    return error;
  }
  RevertToSelf();
  return 0;
}

DWORD ProbeLookupAccountSid() {
  auto sid = SidBytes(L"S-1-5-32-544");
  wchar_t name[64] = L"sentinel", domain[64] = L"sentinel";
  DWORD name_chars = 64, domain_chars = 64;
  auto use = static_cast<SID_NAME_USE>(0xF);
  SetLastError(kSentinelError);
  if (!LookupAccountSidW(nullptr, sid.data(), name, &name_chars, domain, &domain_chars, &use)) {
    EXPECT_EQ(std::wstring(name), L"sentinel");
    EXPECT_EQ(std::wstring(domain), L"sentinel");
    EXPECT_EQ(name_chars, 64u);
    EXPECT_EQ(use, static_cast<SID_NAME_USE>(0xF));
    return GetLastError();
  }
  EXPECT_EQ(std::wstring(name), L"Administrators");
  return 0;
}

DWORD ProbeLookupAccountName() {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sid_bytes = sizeof(sid);
  wchar_t domain[64] = L"sentinel";
  DWORD domain_chars = 64;
  SID_NAME_USE use;
  SetLastError(kSentinelError);
  if (!LookupAccountNameW(nullptr, L"alice", sid, &sid_bytes, domain, &domain_chars, &use)) {
    EXPECT_EQ(sid_bytes, sizeof(sid));
    EXPECT_EQ(std::wstring(domain), L"sentinel");
    return GetLastError();
  }
  return 0;
}

DWORD ProbeOpenProcessToken() {
  HANDLE token = reinterpret_cast<HANDLE>(0x1234);
  SetLastError(kSentinelError);
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    EXPECT_EQ(token, reinterpret_cast<HANDLE>(0x1234));
    return GetLastError();
  }
  CloseHandle(token);
  return 0;
}

DWORD ProbeGetTokenInformation() {
  HANDLE token = nullptr;
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  std::vector<BYTE> buffer(512, 0xA5);
  DWORD length = 0x5A5A;
  SetLastError(kSentinelError);
  const BOOL ok = GetTokenInformation(token, TokenGroups, buffer.data(), 512, &length);
  const DWORD error = GetLastError();
  CloseHandle(token);
  if (!ok) {
    EXPECT_TRUE(AllBytesAre(buffer.data(), buffer.size(), 0xA5));
    EXPECT_EQ(length, 0x5A5Au);
    return error;
  }
  return 0;
}

DWORD ProbeConvertStringSidToSid() {
  PSID sid = reinterpret_cast<PSID>(0x1234);
  SetLastError(kSentinelError);
  if (!ConvertStringSidToSidW(L"S-1-5-32-544", &sid)) {
    EXPECT_EQ(sid, reinterpret_cast<PSID>(0x1234));
    return GetLastError();
  }
  LocalFree(sid);
  return 0;
}

DWORD ProbeNetGetDCName() {
  LPBYTE buffer = reinterpret_cast<LPBYTE>(0x1234);
  const NET_API_STATUS status = NetGetDCName(nullptr, L"CORP", &buffer);
  if (status != NERR_Success) {
    EXPECT_EQ(buffer, reinterpret_cast<LPBYTE>(0x1234));
    return status;
  }
  NetApiBufferFree(buffer);
  return 0;
}

DWORD ProbeFormatMessage() {
  wchar_t out[64] = L"sentinel";
  SetLastError(kSentinelError);
  if (!FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                      ERROR_ACCESS_DENIED, 0, out, 64, nullptr)) {
    EXPECT_EQ(std::wstring(out), L"sentinel");
    return GetLastError();
  }
  return 0;
}

DWORD ProbeLocalAlloc() {
  SetLastError(kSentinelError);
  HLOCAL memory = LocalAlloc(LPTR, 16);
  if (!memory)
    return GetLastError();
  LocalFree(memory);
  return 0;
}

DWORD ProbeMakeAbsoluteSD() {
  PSECURITY_DESCRIPTOR relative = nullptr;
  EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      L"O:BAG:SYD:(A;;FA;;;BA)", SDDL_REVISION_1, &relative, nullptr));
  DWORD sizes[5] = {0, 0, 0, 0, 0};
  SetLastError(kSentinelError);
  MakeAbsoluteSD(relative, nullptr, &sizes[0], nullptr, &sizes[1], nullptr, &sizes[2], nullptr,
                 &sizes[3], nullptr, &sizes[4]);
  const DWORD error = GetLastError();
  LocalFree(relative);
  // The sizing call fails either way: with the sizes, or with the fault and none.
  if (error == ERROR_INSUFFICIENT_BUFFER) {
    EXPECT_GT(sizes[0], 0u);
    return 0;
  }
  EXPECT_EQ(sizes[0], 0u);
  return error;
}

DWORD ProbeCreateWellKnownSid() {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof(sid);
  SetLastError(kSentinelError);
  if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size)) {
    EXPECT_EQ(size, sizeof(sid));
    return GetLastError();
  }
  EXPECT_EQ(size, 16u);
  return 0;
}

DWORD ProbeDuplicateTokenEx() {
  HANDLE token = nullptr;
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE, &token));
  HANDLE copy = reinterpret_cast<HANDLE>(0x1234);
  SetLastError(kSentinelError);
  const BOOL ok =
      DuplicateTokenEx(token, 0, nullptr, SecurityImpersonation, TokenImpersonation, &copy);
  const DWORD error = GetLastError();
  CloseHandle(token);
  if (!ok) {
    EXPECT_EQ(copy, reinterpret_cast<HANDLE>(0x1234));
    return error;
  }
  CloseHandle(copy);
  return 0;
}

// Calls that read only the caller's memory, counted on a path of their own.
DWORD ProbeGetAce() {
  BYTE buffer[64];
  auto* acl = reinterpret_cast<PACL>(buffer);
  BYTE everyone[12] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
  EXPECT_TRUE(InitializeAcl(acl, sizeof buffer, ACL_REVISION));
  EXPECT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_READ, everyone));
  void* ace = reinterpret_cast<void*>(0x1234);
  if (!GetAce(acl, 0, &ace)) {
    EXPECT_EQ(ace, reinterpret_cast<void*>(0x1234));
    return GetLastError();
  }
  EXPECT_EQ(ace, buffer + sizeof(ACL));
  return 0;
}

DWORD ProbeGetSecurityDescriptorOwner() {
  SECURITY_DESCRIPTOR sd;
  EXPECT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  PSID owner = reinterpret_cast<PSID>(0x1234);
  BOOL defaulted = TRUE;
  if (!GetSecurityDescriptorOwner(&sd, &owner, &defaulted))
    return GetLastError();
  EXPECT_EQ(owner, nullptr);
  return 0;
}

struct Case {
  const char* call;
  Probe probe;
};

const Case kCases[] = {
    {"NetGroupGetUsers", ProbeNetGroupGetUsers},
    {"ImpersonateSelf", ProbeImpersonateSelf},
    {"LookupAccountSidW", ProbeLookupAccountSid},
    {"LookupAccountNameW", ProbeLookupAccountName},
    {"OpenProcessToken", ProbeOpenProcessToken},
    {"GetTokenInformation", ProbeGetTokenInformation},
    {"ConvertStringSidToSidW", ProbeConvertStringSidToSid},
    {"NetGetDCName", ProbeNetGetDCName},
    {"FormatMessageW", ProbeFormatMessage},
    {"LocalAlloc", ProbeLocalAlloc},
    {"MakeAbsoluteSD", ProbeMakeAbsoluteSD},
    {"CreateWellKnownSid", ProbeCreateWellKnownSid},
    {"DuplicateTokenEx", ProbeDuplicateTokenEx},
    {"GetAce", ProbeGetAce},
    {"GetSecurityDescriptorOwner", ProbeGetSecurityDescriptorOwner},
};

TEST_F(standin_fault, SkipAndTimesPickTheFailingCalls) {
  struct Schedule {
    const char* fields;  // skip and times, as JSON members
    std::vector<bool> fails;
  };
  const Schedule schedules[] = {
      {"", {true, true, true, true}},
      {R"(, "skip": 1, "times": 1)", {false, true, false, false}},
      {R"(, "skip": 2)", {false, false, true, true}},
      {R"(, "times": 2)", {true, true, false, false}},
      {R"(, "skip": 0, "times": 0)", {false, false, false}},
  };
  for (const auto& c : kCases) {
    for (const auto& s : schedules) {
      SCOPED_TRACE(std::string(c.call) + s.fields);
      InstallFaults(std::string(R"([{"call": ")") + c.call + R"(", "error": 1234)" + s.fields +
                    "}]");
      const unsigned before = standin::CallCount(c.call);
      for (size_t i = 0; i < s.fails.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(c.probe(), s.fails[i] ? 1234u : 0u);
      }
      // Failing calls count too.
      EXPECT_EQ(standin::CallCount(c.call) - before, s.fails.size());
      const auto live = standin::LiveResourcesNow();
      EXPECT_EQ(live.total(), 0u) << "a probe leaked";
    }
  }
}

TEST_F(standin_fault, CallsAreCountedPerFunction) {
  // Calls of other functions do not use up the skip of NetGetDCName.
  InstallFaults(R"([{"call": "NetGetDCName", "error": 5, "skip": 1, "times": 1}])");
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(ProbeNetGroupGetUsers(), 0u);
  EXPECT_EQ(ProbeLookupAccountSid(), 0u);
  EXPECT_EQ(ProbeNetGetDCName(), 0u);
  EXPECT_EQ(ProbeNetGetDCName(), 5u);
  EXPECT_EQ(ProbeNetGetDCName(), 0u);
  EXPECT_EQ(standin::CallCount("NetGetDCName"), 3u);
  EXPECT_EQ(standin::CallCount("NetGroupGetUsers"), 3u);
  EXPECT_EQ(standin::CallCount("DeleteFileW"), 0u);

  // Two functions whose numbers share a slot of the thread's record, called in turn on a
  // machine without faults: each is counted as itself.
  static_assert(standin::ThreadCallRecord::SlotOf("IsValidAcl") ==
                standin::ThreadCallRecord::SlotOf("LookupAccountSidW"));
  InstallFaults("[]");
  BYTE buffer[sizeof(ACL)];
  auto* acl = reinterpret_cast<PACL>(buffer);
  ASSERT_TRUE(InitializeAcl(acl, sizeof buffer, ACL_REVISION));
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(IsValidAcl(acl));
    EXPECT_EQ(ProbeLookupAccountSid(), 0u);
  }
  EXPECT_EQ(standin::CallCount("IsValidAcl"), 3u);
  EXPECT_EQ(standin::CallCount("LookupAccountSidW"), 3u);
}

TEST_F(standin_fault, FaultsOfOneCallApplyInTurn) {
  InstallFaults(R"([
    {"call": "LookupAccountSidW", "error": 5, "times": 1},
    {"call": "LookupAccountSidW", "error": 1722, "skip": 2, "times": 1}
  ])");
  EXPECT_EQ(ProbeLookupAccountSid(), 5u);
  EXPECT_EQ(ProbeLookupAccountSid(), 0u);
  EXPECT_EQ(ProbeLookupAccountSid(), 1722u);
  EXPECT_EQ(ProbeLookupAccountSid(), 0u);
}

TEST_F(standin_fault, CountsStartAgainWithEachMachine) {
  InstallFaults(R"([{"call": "ImpersonateSelf", "error": 1346, "skip": 1}])");
  EXPECT_EQ(ProbeImpersonateSelf(), 0u);
  EXPECT_EQ(ProbeImpersonateSelf(), 1346u);
  InstallFaults(R"([{"call": "ImpersonateSelf", "error": 1346, "skip": 1}])");
  EXPECT_EQ(standin::CallCount("ImpersonateSelf"), 0u);
  EXPECT_EQ(ProbeImpersonateSelf(), 0u);
  // A machine without faults counts each thread's calls on their own; the next machine's
  // faults apply from its first call.
  InstallFaults("[]");
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(ProbeGetAce(), 0u);
  EXPECT_EQ(standin::CallCount("GetAce"), 3u);
  InstallFaults(R"([{"call": "GetAce", "error": 87, "times": 1}])");
  EXPECT_EQ(standin::CallCount("GetAce"), 0u);
  EXPECT_EQ(ProbeGetAce(), 87u);
  EXPECT_EQ(ProbeGetAce(), 0u);
}

TEST_F(standin_fault, ReleaseCallsCanFailToo) {
  InstallFaults(R"([{"call": "NetApiBufferFree", "error": 87, "times": 1},
                    {"call": "LocalFree", "error": 6, "times": 1}])");
  LPBYTE buffer = nullptr;
  ASSERT_EQ(NetGetDCName(nullptr, L"CORP", &buffer), static_cast<NET_API_STATUS>(NERR_Success));
  EXPECT_EQ(NetApiBufferFree(buffer), static_cast<NET_API_STATUS>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(standin::LiveResourcesNow().net_api_buffers, 1u) << "a failed free released";
  EXPECT_EQ(NetApiBufferFree(buffer), static_cast<NET_API_STATUS>(NERR_Success));

  HLOCAL memory = LocalAlloc(LPTR, 8);
  ASSERT_NE(memory, nullptr);
  SetLastError(kSentinelError);
  EXPECT_EQ(LocalFree(memory), memory);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(LocalFree(memory), nullptr);
}

}  // namespace
