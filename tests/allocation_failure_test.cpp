// Allocation failure: each operation is run once to count the allocations it makes (the
// library's and the runtime's through operator new, and the platform's buffers), then once for
// every k with allocation k failing. Every run must end without a crash, the exports answering
// no, no impersonation in force and no platform buffer or handle held; the descriptor classes
// may throw std::bad_alloc. Leaks of our own memory are LeakSanitizer's to find (asan preset).
#include <cstdlib>
#include <functional>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "checks/exports.h"
#include "platform/standin/machine/machine.h"
#include "security/cfilesd.h"
#include "security/cregistrysd.h"
#include "tests/support/account_checks.h"
#include "tests/support/machine_folder.h"

namespace {

// Counting is armed around one run of an operation; allocation `g_fail_at` (from 1) fails.
bool g_armed = false;
unsigned long g_count = 0;
unsigned long g_fail_at = 0;
bool g_failed = false;
bool g_failed_platform_buffer = false;

bool FailThisOne(bool platform_buffer) {
  if (!g_armed)
    return false;
  if (++g_count != g_fail_at)
    return false;
  g_failed = true;
  g_failed_platform_buffer = platform_buffer;
  return true;
}

// The stand-in's own memory inside a platform call is the platform's; its buffers are counted
// through the gate instead.
bool FailAllocation() {
  return !standin::InPlatformCall() && FailThisOne(false);
}

bool PlatformBufferAllowed() {
  return !FailThisOne(true);
}

void* Allocate(std::size_t size) {
  if (FailAllocation())
    return nullptr;
  return std::malloc(size ? size : 1);
}

void* AllocateAligned(std::size_t size, std::align_val_t align) {
  if (FailAllocation())
    return nullptr;
  const auto a = static_cast<std::size_t>(align);
  return std::aligned_alloc(a, (size + a - 1) / a * a);
}

}  // namespace

void* operator new(std::size_t size) {
  if (void* p = Allocate(size))
    return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = Allocate(size))
    return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size);
}
void* operator new(std::size_t size, std::align_val_t align) {
  if (void* p = AllocateAligned(size, align))
    return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t align) {
  if (void* p = AllocateAligned(size, align))
    return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return AllocateAligned(size, align);
}
void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return AllocateAligned(size, align);
}
// These replacements pair malloc with free by design; GCC, seeing a new and its delete inlined
// together, takes them for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(p);
}

namespace {

// Swallows the trace without allocating.
class NullBuffer : public std::wstreambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const wchar_t*, std::streamsize count) override { return count; }
};

// Alice's machine: a directory she may write, a file she may only read in it (so that the
// write-access check probes), a FAT volume, registry keys and a descriptor kept in a value.
// Administrators lists PROFILE_ADMINS.
constexpr char kProfile[] = R"json({
  "computer": "WS01", "machine_sid": "S-1-5-21-1-2-3", "user": "USER",
  "users": [{"name": "alice", "rid": 1001}, "bob"],
  "groups": {"Administrators": [ADMINS]},
  "domains": {"CORP": {"controller": "\\\\DC01", "users": ["carol", "dave"],
                       "groups": {"Domain Admins": ["dave", "carol"]}}},
  "volumes": {"C:": {"path": "disk-c", "fs": "NTFS"}, "F:": {"path": "stick", "fs": "FAT32"}},
  "security": {
    "C:\\Data": "O:BAG:SYD:(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;S-1-5-21-1-2-3-1001)",
    "C:\\Data\\read-only.txt": "O:BAG:SYD:P(A;;FR;;;S-1-5-21-1-2-3-1001)"
  },
  "registry": {
    "HKLM\\Software\\Vortiss": {"sddl": "O:BAG:SYD:PAI(A;CI;KA;;;BA)(A;CI;KR;;;BU)"},
    "HKLM\\Software\\Vortiss\\Child": {"sddl": "O:BAG:SYD:AI(A;CIID;KA;;;BA)"},
    "HKCU\\Software\\App": {"values": {"Launch": {"sddl": "O:SYG:SYD:(A;;0x3;;;WD)"}}}
  }
})json";

struct Operation {
  const char* name;
  const char* user;
  const char* admins;
  bool is_export;
  // The export's answer, or the class operation's result code, when nothing fails.
  int expected;
  std::function<int()> run;
};

int Export(bool answer) {
  return answer ? 1 : 0;
}

const Operation kOperations[] = {
    {"AdministratorDirect", "bob", R"("Administrator", "bob")", true, 1,
     [] { return Export(IsUserAdministrator()); }},
    {"AdministratorDomainGroup", "CORP\\\\carol", R"("Administrator", "CORP\\Domain Admins")", true,
     1, [] { return Export(IsUserAdministrator()); }},
    {"AdministratorWellKnownGroup", "bob", R"("Administrator", "Everyone")", true, 1,
     [] { return Export(IsUserAdministrator()); }},
    {"AdministratorNotAMember", "bob", R"("Administrator", "CORP\\Domain Admins")", true, 0,
     [] { return Export(IsUserAdministrator()); }},
    {"AccessGranted", "alice", R"("Administrator")", true, 1,
     [] { return Export(IsUserAllowedAccess(L"C:\\Data\\")); }},
    {"AccessProbed", "alice", R"("Administrator")", true, 1,
     [] { return Export(IsUserAllowedAccess(L"C:\\Data\\read-only.txt")); }},
    {"AccessFat", "alice", R"("Administrator")", true, 1,
     [] { return Export(IsUserAllowedAccess(L"F:\\photos\\x.jpg")); }},
    {"FileDescriptorRead", "alice", R"("Administrator")", false, 1,
     [] { return CFileSD(L"C:\\Data").IsValid() ? 1 : 0; }},
    {"FileDescriptorCopy", "alice", R"("Administrator")", false, 1,
     [] {
       const CFileSD original(L"C:\\Data\\read-only.txt");
       CFileSD copy(original);
       return copy.IsValid() && copy.GetAbsoluteSD() ? 1 : 0;
     }},
    {"FileDescriptorAllowAndSecure", "alice", R"("Administrator", "alice")", false, 0,
     [] {
       CFileSD sd(L"C:\\Data");
       if (const int error = sd.AllowAccess(L"bob", FILE_GENERIC_READ))
         return error;
       return sd.SecureObject(true);
     }},
    {"RegistryDescriptorAllowAndSecure", "alice", R"("Administrator", "alice")", false, 0,
     [] {
       CRegistrySD sd(HKEY_LOCAL_MACHINE, L"Software\\Vortiss");
       if (const int error = sd.AllowAccess(L"bob", KEY_READ))
         return error;
       return sd.SecureObject(true);
     }},
    {"EmbeddedDescriptorAllowAndStore", "alice", R"("Administrator", "alice")", false, 0,
     [] {
       CEmbeddedRegistrySD sd(HKEY_CURRENT_USER, L"Software\\App", L"Launch");
       if (const int error = sd.AllowAccess(L"bob", 0x1))
         return error;
       return sd.SecureObject(false);
     }},
};

class AllocationFailure : public ::testing::TestWithParam<Operation> {
 protected:
  void SetUp() override {
    old_out_ = std::wcout.rdbuf(&sink_);
    old_err_ = std::wcerr.rdbuf(&sink_);
    standin::SetAllocationGate(PlatformBufferAllowed);
  }
  void TearDown() override {
    standin::SetAllocationGate(nullptr);
    std::wcout.rdbuf(old_out_);
    std::wcerr.rdbuf(old_err_);
  }

  // A fresh machine, so that every run starts from the same descriptors and registry.
  void Install() {
    std::string profile = kProfile;
    profile.replace(profile.find("USER"), 4, GetParam().user);
    profile.replace(profile.find("ADMINS"), 6, GetParam().admins);
    machine_.Folder("disk-c/Data");
    machine_.Folder("stick");
    machine_.File("disk-c/Data/read-only.txt", "x");
    machine_.Install(profile);
  }

  struct Run {
    int result = -1;
    bool threw_bad_alloc = false;
    unsigned long allocations = 0;
    bool failed = false;
    bool failed_platform_buffer = false;
  };

  // One run with allocation `fail_at` failing (0: none).
  Run RunOnce(unsigned long fail_at) {
    Install();
    Run run;
    g_count = 0;
    g_fail_at = fail_at;
    g_failed = false;
    g_armed = true;
    try {
      run.result = GetParam().run();
    } catch (const std::bad_alloc&) {
      run.threw_bad_alloc = true;
    }
    g_armed = false;
    run.allocations = g_count;
    run.failed = g_failed;
    run.failed_platform_buffer = g_failed_platform_buffer;
    // A failed write leaves the stream bad; the next run starts clean.
    std::wcout.clear();
    std::wcerr.clear();
    return run;
  }

  MachineFolder machine_;
  NullBuffer sink_;
  std::wstreambuf* old_out_ = nullptr;
  std::wstreambuf* old_err_ = nullptr;
};

TEST_P(AllocationFailure, EveryAllocationFailingInTurnEndsCleanly) {
  const Operation& op = GetParam();
  // The first call builds what is built once per process; the second is counted.
  RunOnce(0);
  const Run normal = RunOnce(0);
  ASSERT_FALSE(normal.threw_bad_alloc);
  ASSERT_EQ(normal.result, op.expected);
  ASSERT_GT(normal.allocations, 0u);
  EXPECT_TRUE(ThreadHasNoToken());
  EXPECT_EQ(standin::LiveResourcesNow().total(), 0u);

  for (unsigned long k = 1; k <= normal.allocations; ++k) {
    SCOPED_TRACE("allocation " + std::to_string(k) + " of " + std::to_string(normal.allocations) +
                 " fails");
    const Run run = RunOnce(k);
    ASSERT_TRUE(run.failed) << "the run made fewer allocations than counted";
    if (op.is_export) {
      EXPECT_FALSE(run.threw_bad_alloc);
      // A platform call that runs out of memory fails as any failure of that call does; some
      // (a message text for the trace) leave the answer as it was.
      if (run.failed_platform_buffer)
        EXPECT_TRUE(run.result == 0 || run.result == op.expected) << run.result;
      else
        EXPECT_EQ(run.result, 0);
    }
    EXPECT_TRUE(ThreadHasNoToken());
    const auto live = standin::LiveResourcesNow();
    EXPECT_EQ(live.total(), 0u) << live.net_api_buffers << " NetApi buffers, " << live.local_buffers
                                << " local buffers, " << live.sids << " SIDs, " << live.handles
                                << " handles";
    if (HasFailure())
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Operations,
                         AllocationFailure,
                         ::testing::ValuesIn(kOperations),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
