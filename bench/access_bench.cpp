// The write-access check per call, beside the floor of one bare file creation and deletion, and
// the platform's access check against the size of the DACL.
#include <iostream>
#include <sstream>
#include <string>

#include <benchmark/benchmark.h>

#include "checks/exports.h"
#include "platform/win32.h"
#include "tests/support/machine_folder.h"

namespace {

constexpr char kProfile[] = R"json({
  "computer": "BENCH", "machine_sid": "S-1-5-21-1-2-3", "user": "alice",
  "users": [{"name": "alice", "rid": 1001}],
  "volumes": {"C:": {"path": "disk-c", "fs": "NTFS"}},
  "security": {
    "C:\\Data": "O:BAG:SYD:(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;S-1-5-21-1-2-3-1001)",
    "C:\\Data\\denied.txt": "O:BAG:SYD:(D;;0x2;;;S-1-5-21-1-2-3-1001)(A;;FA;;;S-1-5-21-1-2-3-1001)"
  }
})json";

// One machine for the whole run, its folders removed at exit.
MachineFolder& Machine() {
  static MachineFolder* machine = [] {
    auto* m = new MachineFolder();
    m->Folder("disk-c/Data");
    m->File("disk-c/Data/denied.txt", "x");
    m->Install(kProfile);
    return m;
  }();
  return *machine;
}

// The trace goes to a stream nobody reads.
class DiscardTrace {
 public:
  DiscardTrace() : out_(std::wcout.rdbuf(&sink_)), err_(std::wcerr.rdbuf(&sink_)) {}
  ~DiscardTrace() {
    std::wcout.rdbuf(out_);
    std::wcerr.rdbuf(err_);
  }

 private:
  class Sink : public std::wstreambuf {
   protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const wchar_t*, std::streamsize n) override { return n; }
  } sink_;
  std::wstreambuf* out_;
  std::wstreambuf* err_;
};

void BM_CreateAndDeleteOneFile(benchmark::State& state) {
  Machine();
  for (auto _ : state) {
    const HANDLE file = CreateFileW(L"C:\\Data\\floor.txt", FILE_READ_DATA | FILE_WRITE_DATA, 0,
                                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    CloseHandle(file);
    DeleteFileW(L"C:\\Data\\floor.txt");
  }
}

void BM_IsUserAllowedAccessGranted(benchmark::State& state) {
  Machine();
  DiscardTrace trace;
  for (auto _ : state)
    benchmark::DoNotOptimize(IsUserAllowedAccess(L"C:\\Data\\"));
}

void BM_IsUserAllowedAccessByProbe(benchmark::State& state) {
  Machine();
  DiscardTrace trace;
  for (auto _ : state)
    benchmark::DoNotOptimize(IsUserAllowedAccess(L"C:\\Data\\denied.txt"));
}

// A DACL of n entries for other accounts, then the one that grants.
void BM_AccessCheck(benchmark::State& state) {
  Machine();
  std::wstring sddl = L"O:BAG:SYD:";
  for (int64_t i = 0; i < state.range(0); ++i)
    sddl += L"(A;;FA;;;S-1-9-" + std::to_wstring(i) + L")";
  sddl += L"(A;;FA;;;S-1-5-21-1-2-3-1001)";
  PSECURITY_DESCRIPTOR sd = nullptr;
  ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr);
  ImpersonateSelf(SecurityImpersonation);
  HANDLE token = nullptr;
  OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
  GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                             FILE_ALL_ACCESS};
  for (auto _ : state) {
    PRIVILEGE_SET privileges;
    DWORD length = sizeof privileges, granted = 0;
    BOOL status = FALSE;
    AccessCheck(sd, token, FILE_READ_DATA | FILE_WRITE_DATA, &mapping, &privileges, &length,
                &granted, &status);
    benchmark::DoNotOptimize(status);
  }
  CloseHandle(token);
  RevertToSelf();
  LocalFree(sd);
  state.counters["entries"] = static_cast<double>(state.range(0) + 1);
  state.counters["per_entry"] =
      benchmark::Counter(static_cast<double>(state.iterations() * (state.range(0) + 1)),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_CreateAndDeleteOneFile);
BENCHMARK(BM_IsUserAllowedAccessGranted);
BENCHMARK(BM_IsUserAllowedAccessByProbe);
BENCHMARK(BM_AccessCheck)->RangeMultiplier(4)->Range(16, 1024)->Arg(3200);

}  // namespace

BENCHMARK_MAIN();
