// The same Win32 program for the stand-in and for Windows (run under Wine here), so that the
// two can be set side by side: a descriptor built entry by entry, read back entry by entry, and
// checked with AccessCheck, at growing numbers of entries. It times itself (Google Benchmark is
// not packaged for mingw-w64) and prints one line a figure: "OPERATION ENTRIES MICROSECONDS".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/win32.h"

namespace {

// Each entry holds a SID of five sub-authorities (36 bytes in all): 1,800 of them fill an ACL
// to 64,808 bytes, near the largest a 16-bit size records.
constexpr int kEntryCounts[] = {16, 256, 1024, 1800};
constexpr DWORD kEntryBytes = 8 + 28;
constexpr GENERIC_MAPPING kFileMapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE,
                                          FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
// Each figure runs batches until this much time has passed.
constexpr double kSecondsPerFigure = 0.3;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "peer_bench: %s failed with %lu\n", what,
               static_cast<unsigned long>(GetLastError()));
  std::exit(1);
}

void Check(BOOL ok, const char* what) {
  if (!ok)
    Fail(what);
}

// SIDs S-1-5-21-1-2-3-RID, none of which the caller's token holds, and Everyone, which it does.
struct Sids {
  std::vector<std::vector<BYTE>> accounts;
  std::vector<BYTE> everyone;

  explicit Sids(int count) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    for (int i = 0; i < count; ++i) {
      PSID sid = nullptr;
      Check(AllocateAndInitializeSid(&nt, 5, 21, 1, 2, 3, 1000 + static_cast<DWORD>(i), 0, 0, 0,
                                     &sid),
            "AllocateAndInitializeSid");
      const auto* bytes = static_cast<const BYTE*>(sid);
      accounts.emplace_back(bytes, bytes + GetLengthSid(sid));
      FreeSid(sid);
    }
    PSID sid = nullptr;
    Check(AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &sid),
          "AllocateAndInitializeSid");
    const auto* bytes = static_cast<const BYTE*>(sid);
    everyone.assign(bytes, bytes + GetLengthSid(sid));
    FreeSid(sid);
  }
};

// Builds a self-relative descriptor: owner and group the first account, a DACL of `count`
// entries that alternate deny and allow for the accounts, the last one allowing Everyone.
std::vector<BYTE> Build(Sids& sids, int count) {
  const DWORD acl_bytes = sizeof(ACL) + kEntryBytes * static_cast<DWORD>(count);
  std::vector<BYTE> acl_buffer(acl_bytes);
  auto* acl = reinterpret_cast<PACL>(acl_buffer.data());
  Check(InitializeAcl(acl, acl_bytes, ACL_REVISION), "InitializeAcl");
  for (int i = 0; i + 1 < count; ++i) {
    PSID sid = sids.accounts[static_cast<size_t>(i)].data();
    Check(i % 2 ? AddAccessAllowedAce(acl, ACL_REVISION, FILE_GENERIC_WRITE, sid)
                : AddAccessDeniedAce(acl, ACL_REVISION, FILE_GENERIC_EXECUTE, sid),
          "AddAccessAllowedAce");
  }
  Check(AddAccessAllowedAce(acl, ACL_REVISION, FILE_GENERIC_READ, sids.everyone.data()),
        "AddAccessAllowedAce");
  SECURITY_DESCRIPTOR absolute;
  Check(InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION),
        "InitializeSecurityDescriptor");
  Check(SetSecurityDescriptorOwner(&absolute, sids.accounts[0].data(), FALSE),
        "SetSecurityDescriptorOwner");
  Check(SetSecurityDescriptorGroup(&absolute, sids.accounts[0].data(), FALSE),
        "SetSecurityDescriptorGroup");
  Check(SetSecurityDescriptorDacl(&absolute, TRUE, acl, FALSE), "SetSecurityDescriptorDacl");
  DWORD length = 0;
  MakeSelfRelativeSD(&absolute, nullptr, &length);
  std::vector<BYTE> relative(length);
  Check(MakeSelfRelativeSD(&absolute, relative.data(), &length), "MakeSelfRelativeSD");
  return relative;
}

// Reads a self-relative descriptor back: its parts, then every entry's type, mask and SID.
DWORD ReadBack(std::vector<BYTE>& relative) {
  PSECURITY_DESCRIPTOR sd = relative.data();
  PSID owner = nullptr, group = nullptr;
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  Check(GetSecurityDescriptorOwner(sd, &owner, &defaulted), "GetSecurityDescriptorOwner");
  Check(GetSecurityDescriptorGroup(sd, &group, &defaulted), "GetSecurityDescriptorGroup");
  Check(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted), "GetSecurityDescriptorDacl");
  DWORD sum = GetLengthSid(owner) + GetLengthSid(group);
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    Check(GetAce(dacl, i, &ace), "GetAce");
    const auto* entry = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    sum += entry->Header.AceType + entry->Mask + GetLengthSid(const_cast<DWORD*>(&entry->SidStart));
  }
  return sum;
}

HANDLE ImpersonationToken() {
  HANDLE token = nullptr;
  Check(ImpersonateSelf(SecurityImpersonation), "ImpersonateSelf");
  Check(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token), "OpenThreadToken");
  Check(RevertToSelf(), "RevertToSelf");
  return token;
}

// Runs `operation` in batches until kSecondsPerFigure have passed; microseconds per run.
template <typename Operation>
double Time(Operation&& operation) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  long runs = 0;
  long batch = 1;
  double elapsed = 0;
  while (elapsed < kSecondsPerFigure) {
    for (long i = 0; i < batch; ++i)
      operation();
    runs += batch;
    batch *= 2;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  }
  return elapsed * 1e6 / static_cast<double>(runs);
}

volatile DWORD g_sink = 0;

}  // namespace

int main() {
  Sids sids(kEntryCounts[std::size(kEntryCounts) - 1]);
  const HANDLE token = ImpersonationToken();
  for (const int count : kEntryCounts) {
    std::vector<BYTE> relative = Build(sids, count);
    std::printf("build %d %.3f\n", count,
                Time([&] { g_sink = g_sink + static_cast<DWORD>(Build(sids, count).size()); }));
    std::printf("read-back %d %.3f\n", count, Time([&] { g_sink = g_sink + ReadBack(relative); }));
    std::printf("AccessCheck %d %.3f\n", count, Time([&] {
                  BYTE privileges[sizeof(PRIVILEGE_SET) + 64];
                  DWORD privileges_length = sizeof privileges;
                  DWORD granted = 0;
                  BOOL status = FALSE;
                  GENERIC_MAPPING mapping = kFileMapping;
                  Check(AccessCheck(relative.data(), token, FILE_READ_DATA, &mapping,
                                    reinterpret_cast<PPRIVILEGE_SET>(privileges),
                                    &privileges_length, &granted, &status),
                        "AccessCheck");
                  if (!status)
                    Fail("AccessCheck's grant");
                  g_sink = g_sink + granted;
                }));
    std::fflush(stdout);
  }
  CloseHandle(token);
  return 0;
}
