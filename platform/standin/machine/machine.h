// The machine that the stand-in plays: its accounts and process token, its version and message
// texts, the faults to inject, and the run-time state of its calls (handles, platform buffers,
// call counts, debugger texts). One machine per process; tests install a new one per case.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/standin/accounts/account_database.h"
#include "platform/standin/files/file_system.h"
#include "platform/standin/identity/token.h"
#include "platform/standin/profile/machine_description.h"
#include "platform/standin/registry/registry.h"

namespace standin {

// Kinds of platform-allocated buffers, each released by its own call.
enum class BufferKind { kNetApi, kLocal, kSid };

// Platform buffers and handles still held by callers.
struct LiveResources {
  size_t net_api_buffers = 0;
  size_t local_buffers = 0;
  size_t sids = 0;
  size_t handles = 0;
  size_t total() const { return net_api_buffers + local_buffers + sids + handles; }
};

// The number a platform function's name is counted under; the same name gives the same number
// in every machine of the process.
using CallId = std::uint16_t;
// Room for the names of every platform function; a name past it is counted under 0.
inline constexpr size_t kMaxCallNames = 512;
CallId CallIdOf(std::string_view name);
// The same for a name whose text lives as long as the process (a platform call's own name),
// found by the text's address without a lock once it has been seen.
CallId CallIdOfStaticName(std::string_view name);

// Anything a HANDLE can stand for.
struct HandleObject {
  virtual ~HandleObject() = default;
};

class Machine {
 public:
  // Builds the machine; throws ProfileError naming the key at fault.
  explicit Machine(const MachineDescription& description);
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  const MachineDescription& description() const { return description_; }
  const AccountDatabase& accounts() const { return accounts_; }
  const std::shared_ptr<const TokenData>& process_token() const { return process_token_; }
  std::uint64_t generation() const { return generation_; }
  Registry& registry() const { return *registry_; }
  // Volumes, file descriptors, the current directory and open files.
  const std::shared_ptr<FileSystem>& files() const { return files_; }

  // The system's message text for a code, or nullptr when it has none.
  const std::wstring* MessageText(DWORD code) const;

  // Counts a call of the named platform function (its name a text of static storage); true
  // when a fault applies to this call, with the error to fail it with. Takes no lock once the
  // name has been seen.
  bool EnterCall(std::string_view name, DWORD& fault);
  unsigned CallCount(std::string_view name) const;

  // Platform buffers, counted until released by the matching call.
  void* Allocate(BufferKind kind, size_t bytes);
  bool Release(BufferKind kind, void* buffer);
  bool Holds(BufferKind kind, const void* buffer) const;
  LiveResources Live() const;

  HANDLE AddHandle(std::shared_ptr<HandleObject> object);
  std::shared_ptr<HandleObject> FindHandle(HANDLE handle) const;
  bool RemoveHandle(HANDLE handle);

  void RecordDebuggerText(std::string text);
  std::vector<std::string> DebuggerTexts() const;

 private:
  struct FaultState {
    FaultDescription fault;
  };

  MachineDescription description_;
  AccountDatabase accounts_;
  std::shared_ptr<const TokenData> process_token_;
  std::unique_ptr<Registry> registry_;
  std::map<DWORD, std::wstring> messages_;
  std::uint64_t generation_;
  std::shared_ptr<FileSystem> files_;

  // Calls counted by name. A machine without faults counts in blocks of its own for each
  // thread, written by that thread alone; one with faults counts in one shared block, since a
  // fault's skip and times count every thread's calls in order.
  struct CallCounts {
    std::array<std::atomic<unsigned>, kMaxCallNames> counts{};
  };
  CallCounts& ThreadCallCounts();

  // Fixed once the machine is built, so that calls read them without a lock.
  std::vector<FaultDescription> faults_;
  CallCounts shared_calls_;

  mutable std::mutex mutex_;
  std::unordered_map<const void*, BufferKind> buffers_;
  std::vector<std::unique_ptr<CallCounts>> thread_calls_;
  std::map<std::uintptr_t, std::shared_ptr<HandleObject>> handles_;
  std::uintptr_t next_handle_ = 0x100;
  std::vector<std::string> debugger_texts_;
};

// The machine of this process: the installed one, else the profile that VORTISS_MACHINE names,
// else the host mirror. A profile that cannot be loaded ends the process with status 2.
std::shared_ptr<Machine> CurrentMachine();
// The machine a platform call runs on: the current one, which the calling thread keeps until
// its outermost call ends, so that a call and the calls it makes see one machine.
Machine& MachineForCall();
// Replaces the machine; throws ProfileError when the description is refused.
void InstallMachine(const MachineDescription& description);
// Forgets the installed machine so that the next call loads the default one again.
void UninstallMachine();

// Convenience for tests and the host.
LiveResources LiveResourcesNow();
unsigned CallCount(std::string_view name);
std::vector<std::string> DebuggerTexts();

// Loads and builds the machine of a profile without installing it: the check the host makes
// before it runs anything. Throws ProfileError.
void CheckProfile(const std::filesystem::path& file);

// The locks that the host's `sd` edits hold from the load of a descriptor to its store, so that
// editors in other processes take turns: one per file or directory by its Windows path, one for
// the registry. A profile machine's objects live in its process alone: nothing is locked there.
DWORD LockFileForEdit(std::wstring_view path, HostLock& lock);
DWORD LockRegistryForEdit(HostLock& lock);

// Sets the machine's current directory (a full Windows path), as tests need it.
void SetMachineCurrentDirectory(std::wstring directory);

// For tests of allocation failure: consulted before each platform buffer is allocated; when it
// answers false the allocation fails and the call with it, with the platform's out-of-memory
// error. Null (the default) lets every allocation proceed.
using AllocationGate = bool (*)();
void SetAllocationGate(AllocationGate gate);

// How deep the calling thread is in platform calls; read and written on every call, so kept
// where each call sees it without a call of its own.
inline thread_local int t_platform_call_depth = 0;

// Marks the calling thread as inside a platform call while it lives, so that tests can tell the
// platform's own memory from the caller's.
class PlatformCallScope {
 public:
  PlatformCallScope() { ++t_platform_call_depth; }
  ~PlatformCallScope() { --t_platform_call_depth; }
  PlatformCallScope(const PlatformCallScope&) = delete;
  PlatformCallScope& operator=(const PlatformCallScope&) = delete;
};
inline bool InPlatformCall() {
  return t_platform_call_depth > 0;
}

// Counts installations of a machine, so that a thread knows when the machine it keeps is no
// longer current.
inline std::atomic<std::uint64_t> g_machine_installations{0};

// Where the calling thread's next platform call starts without finding its machine again: the
// machine the thread keeps, the installation it belongs to and, when that machine injects no
// faults, the thread's block of call counts in it. Null counts: the call takes the long way.
struct ThreadCallRecord {
  std::uint64_t installation = ~std::uint64_t{0};
  Machine* machine = nullptr;
  std::atomic<unsigned>* counts = nullptr;

  // The numbers of the thread's recent calls by the address of their name's text, a slot a
  // name: a caller alternating among a few functions finds each number without a lookup. The
  // numbers belong to the process, not to a machine, so they outlive the machine above.
  static constexpr size_t kNameSlots = 64;
  const char* names[kNameSlots] = {};
  std::uint32_t lengths[kNameSlots] = {};
  CallId ids[kNameSlots] = {};

  // A name's slot, from its text, so that a call site whose name is a literal has its slot
  // fixed when it is compiled. Two names sharing a slot only take turns in it; the characters
  // weighed tell apart the names a caller calls together in a loop (GetAce and AddAce, the
  // descriptor's Get calls, the ACL's Add calls).
  static constexpr size_t SlotOf(std::string_view name) {
    if (name.size() < 4)
      return name.size();
    const auto at = [&](size_t i) {
      return static_cast<size_t>(static_cast<unsigned char>(name[i]));
    };
    return (name.size() * 31 + at(0) + at(name.size() - 4) * 13 + at(name.size() - 1) * 3) %
           kNameSlots;
  }
  // Forgets the machine; the names stay.
  void ForgetMachine() {
    installation = ~std::uint64_t{0};
    machine = nullptr;
    counts = nullptr;
  }
  bool Knows(std::string_view name, size_t slot) const {
    return names[slot] == name.data() && lengths[slot] == name.size();
  }
  void RememberName(std::string_view name, CallId id) {
    const size_t slot = SlotOf(name);
    names[slot] = name.data();
    lengths[slot] = static_cast<std::uint32_t>(name.size());
    ids[slot] = id;
  }
};
inline thread_local ThreadCallRecord t_call_record;

// Whether the record may count this thread's call: its machine injects no faults and is
// still the installed one, or is kept by an outer call.
inline bool RecordServes(const ThreadCallRecord& record) {
  return (record.installation == g_machine_installations.load(std::memory_order_acquire) ||
          InPlatformCall()) &&
         record.counts;
}

// Counts a call of `name` (a text of static storage) in the thread's block when the record
// allows it and already holds the name's number; false when it does not, and nothing counted.
[[gnu::always_inline]] inline bool CountKnownCall(std::string_view name) {
  ThreadCallRecord& record = t_call_record;
  const size_t slot = ThreadCallRecord::SlotOf(name);
  if (!RecordServes(record) || !record.Knows(name, slot))
    return false;
  std::atomic<unsigned>& count = record.counts[record.ids[slot]];
  count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  return true;
}

// Counts a call of `name` (a text of static storage) in the thread's block when the record
// allows it; false when the call must take the long way (another machine, faults to inject).
[[gnu::always_inline]] inline bool CountCallQuickly(std::string_view name) {
  ThreadCallRecord& record = t_call_record;
  if (!RecordServes(record)) [[unlikely]]
    return false;
  const size_t slot = ThreadCallRecord::SlotOf(name);
  if (!record.Knows(name, slot)) [[unlikely]]
    record.RememberName(name, CallIdOfStaticName(name));
  std::atomic<unsigned>& count = record.counts[record.ids[slot]];
  count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  return true;
}

}  // namespace standin
