// The descriptor core against the number of entries: a build (model to descriptors) and a
// read-back (self-relative bytes to model), up to the largest ACL the platform allows.
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/standin/machine/machine.h"
#include "platform/standin/profile/profile.h"
#include "platform/win32.h"
#include "security/csd.h"

namespace {

// 3,276 entries of 12-byte SIDs fill an ACL to 65,528 bytes, the most a 16-bit size holds.
constexpr int kLargestAcl = 3276;

class BenchSD : public CSD {
 public:
  void Load(const std::vector<BYTE>& bytes) {
    DeleteEntries();
    delete[] pSelfRelativeSD;
    pSelfRelativeSD = new BYTE[bytes.size()];
    std::memcpy(pSelfRelativeSD, bytes.data(), bytes.size());
    Synchronize(1);
  }
  int SecureObject(bool) override { return 0; }

 protected:
  int Initialize() override { return 0; }

 private:
  void DeleteEntries() {
    for (auto* list : {&visasDenied, &visasAllowed}) {
      for (CVisa* v : *list)
        delete v;
      list->clear();
    }
  }
};

std::vector<BYTE> Descriptor(int entries) {
  std::wstring sddl = L"O:BAG:BAD:";
  for (int i = 0; i < entries; ++i)
    sddl += (i % 4 == 0 ? L"(D;;0x1;;;S-1-9-" : L"(A;;0x1;;;S-1-9-") + std::to_wstring(i) + L")";
  PSECURITY_DESCRIPTOR sd = nullptr;
  ULONG length = 0;
  ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, &length);
  std::vector<BYTE> bytes(static_cast<BYTE*>(sd), static_cast<BYTE*>(sd) + length);
  LocalFree(sd);
  return bytes;
}

void SetUpMachine() {
  static const bool installed = [] {
    standin::InstallMachine(standin::ParseProfile(R"({"computer": "BENCH"})", "."));
    return true;
  }();
  (void)installed;
}

void PerEntry(benchmark::State& state) {
  state.counters["entries"] = static_cast<double>(state.range(0));
  state.counters["per_entry"] =
      benchmark::Counter(static_cast<double>(state.iterations() * state.range(0)),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Build(benchmark::State& state) {
  SetUpMachine();
  BenchSD sd;
  sd.Load(Descriptor(static_cast<int>(state.range(0))));
  for (auto _ : state)
    benchmark::DoNotOptimize(sd.GetAbsoluteSD());
  PerEntry(state);
}

void BM_ReadBack(benchmark::State& state) {
  SetUpMachine();
  const std::vector<BYTE> bytes = Descriptor(static_cast<int>(state.range(0)));
  BenchSD sd;
  for (auto _ : state)
    sd.Load(bytes);
  PerEntry(state);
}

// The floor a build cannot go below: the platform calls it makes for n entries, alone.
void BM_PlatformCallsOfABuild(benchmark::State& state) {
  SetUpMachine();
  const int entries = static_cast<int>(state.range(0));
  std::vector<std::vector<BYTE>> sids;
  for (int i = 0; i < entries; ++i) {
    PSID sid = nullptr;
    ConvertStringSidToSidW((L"S-1-9-" + std::to_wstring(i)).c_str(), &sid);
    sids.emplace_back(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
    LocalFree(sid);
  }
  const DWORD length = 8 + static_cast<DWORD>(entries) * 20;
  std::vector<BYTE> acl(length);
  for (auto _ : state) {
    InitializeAcl(reinterpret_cast<PACL>(acl.data()), length, ACL_REVISION);
    for (int i = 0; i < entries; ++i) {
      AddAccessAllowedAce(reinterpret_cast<PACL>(acl.data()), ACL_REVISION, 1, sids[i].data());
      LPVOID ace = nullptr;
      GetAce(reinterpret_cast<PACL>(acl.data()), static_cast<DWORD>(i), &ace);
      benchmark::DoNotOptimize(ace);
    }
  }
  PerEntry(state);
}

// The floor of a read-back: the conversion to absolute form and the walk over the entries, with
// one account lookup per entry, as the read-back makes them.
void BM_PlatformCallsOfAReadBack(benchmark::State& state) {
  SetUpMachine();
  const std::vector<BYTE> bytes = Descriptor(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    DWORD sizes[5] = {};
    MakeAbsoluteSD(const_cast<BYTE*>(bytes.data()), nullptr, &sizes[0], nullptr, &sizes[1], nullptr,
                   &sizes[2], nullptr, &sizes[3], nullptr, &sizes[4]);
    std::vector<BYTE> absolute(sizes[0]), dacl(sizes[1]), sacl(sizes[2] + 1), owner(sizes[3]),
        group(sizes[4]);
    MakeAbsoluteSD(const_cast<BYTE*>(bytes.data()), absolute.data(), &sizes[0],
                   reinterpret_cast<PACL>(dacl.data()), &sizes[1],
                   reinterpret_cast<PACL>(sacl.data()), &sizes[2], owner.data(), &sizes[3],
                   group.data(), &sizes[4]);
    LPVOID ace = nullptr;
    for (DWORD i = 0; GetAce(reinterpret_cast<PACL>(dacl.data()), i, &ace); ++i) {
      wchar_t name[64], domain[64];
      DWORD name_chars = 64, domain_chars = 64;
      SID_NAME_USE use;
      LookupAccountSidW(nullptr, static_cast<BYTE*>(ace) + 8, name, &name_chars, domain,
                        &domain_chars, &use);
    }
  }
  PerEntry(state);
}

BENCHMARK(BM_PlatformCallsOfAReadBack)->RangeMultiplier(4)->Range(16, 1024)->Arg(kLargestAcl);
BENCHMARK(BM_PlatformCallsOfABuild)->RangeMultiplier(4)->Range(16, 1024)->Arg(kLargestAcl);
BENCHMARK(BM_Build)->RangeMultiplier(4)->Range(16, 1024)->Arg(kLargestAcl);
BENCHMARK(BM_ReadBack)->RangeMultiplier(4)->Range(16, 1024)->Arg(kLargestAcl);

}  // namespace

BENCHMARK_MAIN();
