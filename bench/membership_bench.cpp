// The administrator check beside the floor of writing its trace alone; IsUserInGroup against
// the size of a local group and of a nested domain group; AccessCheck against token groups.
// Machines are built as descriptions in C++, so that 100,000 members cost no profile parsing.
#include <iostream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "checks/exports.h"
#include "checks/membership.h"
#include "platform/standin/machine/machine.h"
#include "platform/win32.h"
#include "tests/support/test_machine.h"

namespace {

// Swallows the trace without a system call, so that the figures are the library's.
class NullBuffer : public std::wstreambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const wchar_t*, std::streamsize n) override { return n; }
};

class DiscardTrace {
 public:
  DiscardTrace() : out_(std::wcout.rdbuf(&sink_)), err_(std::wcerr.rdbuf(&sink_)) {}
  ~DiscardTrace() {
    std::wcout.rdbuf(out_);
    std::wcerr.rdbuf(err_);
  }
  DiscardTrace(const DiscardTrace&) = delete;
  DiscardTrace& operator=(const DiscardTrace&) = delete;

 private:
  NullBuffer sink_;
  std::wstreambuf* out_;
  std::wstreambuf* err_;
};

// The machine installed by Install, empty when another was installed since.
std::string g_installed;

// Installs `make(n)` unless the machine of the last call was the same.
template <typename Make>
void Install(const char* kind, int64_t n, Make make) {
  const std::string key = std::string(kind) + std::to_string(n);
  if (g_installed == key)
    return;
  standin::InstallMachine(make(n));
  g_installed = key;
}

std::wstring Member(int64_t i) {
  return L"user" + std::to_wstring(i);
}

// Local group Big of n members: n - 1 other users, then bob.
standin::MachineDescription LocalGroupMachine(int64_t n) {
  standin::MachineDescription d;
  d.computer = L"BENCH";
  d.user = L"bob";
  standin::GroupDescription big{L"Big", {}};
  for (int64_t i = 0; i + 1 < n; ++i) {
    d.users.push_back({Member(i), std::nullopt});
    big.members.push_back(Member(i));
  }
  d.users.push_back({L"bob", std::nullopt});
  big.members.push_back(L"bob");
  d.groups.push_back(big);
  return d;
}

// Local group Outer lists CORP\Big, a domain group of n users with carol last.
standin::MachineDescription DomainGroupMachine(int64_t n) {
  standin::MachineDescription d;
  d.computer = L"BENCH";
  d.user = L"CORP\\carol";
  standin::DomainDescription corp;
  corp.name = L"CORP";
  corp.controller = L"\\\\DC01";
  standin::GroupDescription big{L"Big", {}};
  for (int64_t i = 0; i + 1 < n; ++i) {
    corp.users.push_back({Member(i), std::nullopt});
    big.members.push_back(Member(i));
  }
  corp.users.push_back({L"carol", std::nullopt});
  big.members.push_back(L"carol");
  corp.groups.push_back(big);
  d.domains.push_back(corp);
  d.groups.push_back({L"Outer", {L"CORP\\Big"}});
  return d;
}

const std::vector<int64_t> kMembers = {10, 100, 1000, 10000, 100000};

void PerMember(benchmark::State& state) {
  state.counters["members"] = static_cast<double>(state.range(0));
  state.counters["per_member"] =
      benchmark::Counter(static_cast<double>(state.iterations() * state.range(0)),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_IsUserInGroupLocal(benchmark::State& state) {
  Install("local", state.range(0), LocalGroupMachine);
  const CSid bob(L"bob", std::wstring());
  DiscardTrace trace;
  for (auto _ : state)
    benchmark::DoNotOptimize(IsUserInGroup(bob, L"Big"));
  PerMember(state);
}

void BM_IsUserInGroupNestedDomain(benchmark::State& state) {
  Install("domain", state.range(0), DomainGroupMachine);
  const CSid carol(L"CORP\\carol", std::wstring());
  DiscardTrace trace;
  for (auto _ : state)
    benchmark::DoNotOptimize(IsUserInGroup(carol, L"Outer"));
  PerMember(state);
}

constexpr char kAdministratorProfile[] = R"json({
  "computer": "BENCH", "user": "CORP\\carol",
  "groups": {"Administrators": ["Administrator", "NT AUTHORITY\\NETWORK", "CORP\\Domain Admins"]},
  "domains": {"CORP": {"controller": "\\\\DC01", "users": ["carol", "dave"],
                       "groups": {"Domain Admins": ["dave", "carol"]}}}
})json";

void InstallAdministratorMachine() {
  InstallProfile(kAdministratorProfile);
  g_installed.clear();
}

void BM_IsUserAdministrator(benchmark::State& state) {
  InstallAdministratorMachine();
  DiscardTrace trace;
  for (auto _ : state)
    benchmark::DoNotOptimize(IsUserAdministrator());
}

// The floor: the lines that one call writes, written alone to the same kind of stream.
void BM_TraceLinesOfIsUserAdministrator(benchmark::State& state) {
  InstallAdministratorMachine();
  std::vector<std::wstring> out, err;
  {
    TraceCapture capture;
    IsUserAdministrator();
    out = capture.out_lines();
    err = capture.err_lines();
  }
  DiscardTrace trace;
  for (auto _ : state) {
    for (const auto& line : out)
      std::wcout << line << std::endl;
    for (const auto& line : err)
      std::wcerr << line << std::endl;
  }
  state.counters["lines"] = static_cast<double>(out.size() + err.size());
}

// A token of alice with n local groups; the DACL grants the group the token lists last.
standin::MachineDescription TokenGroupsMachine(int64_t n) {
  standin::MachineDescription d;
  d.computer = L"BENCH";
  d.machine_sid = L"S-1-5-21-1-2-3";
  d.user = L"alice";
  d.users.push_back({L"alice", 1001});
  for (int64_t i = 0; i < n; ++i)
    d.groups.push_back({L"G" + std::to_wstring(i), {L"alice"}});
  return d;
}

void BM_AccessCheckTokenGroups(benchmark::State& state) {
  Install("token", state.range(0), TokenGroupsMachine);
  ImpersonateSelf(SecurityImpersonation);
  HANDLE token = nullptr;
  OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
  // The group listed last in the token.
  DWORD length = 0;
  GetTokenInformation(token, TokenGroups, nullptr, 0, &length);
  std::vector<BYTE> groups(length);
  GetTokenInformation(token, TokenGroups, groups.data(), length, &length);
  const auto* list = reinterpret_cast<TOKEN_GROUPS*>(groups.data());
  LPWSTR last = nullptr;
  ConvertSidToStringSidW(list->Groups[list->GroupCount - 1].Sid, &last);
  const std::wstring sddl = L"O:BAG:SYD:(A;;FA;;;" + std::wstring(last) + L")";
  LocalFree(last);
  PSECURITY_DESCRIPTOR sd = nullptr;
  ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr);
  GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                             FILE_ALL_ACCESS};
  BOOL status = FALSE;
  for (auto _ : state) {
    PRIVILEGE_SET privileges;
    DWORD privileges_length = sizeof privileges, granted = 0;
    AccessCheck(sd, token, FILE_READ_DATA | FILE_WRITE_DATA, &mapping, &privileges,
                &privileges_length, &granted, &status);
    benchmark::DoNotOptimize(status);
  }
  CloseHandle(token);
  RevertToSelf();
  LocalFree(sd);
  if (!status)
    state.SkipWithError("the access check did not grant");
  state.counters["groups"] = static_cast<double>(list->GroupCount);
  state.counters["per_group"] =
      benchmark::Counter(static_cast<double>(state.iterations() * list->GroupCount),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_TraceLinesOfIsUserAdministrator);
BENCHMARK(BM_IsUserAdministrator);
BENCHMARK(BM_IsUserInGroupLocal)->ArgsProduct({kMembers});
BENCHMARK(BM_IsUserInGroupNestedDomain)->ArgsProduct({kMembers});
BENCHMARK(BM_AccessCheckTokenGroups)->RangeMultiplier(4)->Range(16, 1024);

}  // namespace

BENCHMARK_MAIN();
