#include "platform/standin/machine/machine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <unistd.h>

#include "platform/standin/core/acl_walk.h"
#include "platform/standin/core/text.h"
#include "platform/standin/machine/messages.h"
#include "platform/standin/profile/faultable_calls.h"
#include "platform/standin/profile/profile.h"

namespace standin {

namespace {

std::atomic<std::uint64_t> g_generation{0};
std::atomic<AllocationGate> g_allocation_gate{nullptr};

std::mutex g_current_mutex;
std::shared_ptr<Machine> g_current;

// The machine a thread last called, and the installation it belongs to. The thread's call
// record points into it, so it is forgotten with it.
struct ThreadMachine {
  std::uint64_t installation = ~std::uint64_t{0};
  std::shared_ptr<Machine> machine;
  ~ThreadMachine() { t_call_record.ForgetMachine(); }
};
thread_local ThreadMachine t_machine;

// The block a thread counts its calls in, and the machine (by generation) it belongs to.
struct ThreadCounts {
  std::uint64_t generation = 0;
  void* block = nullptr;
};
thread_local ThreadCounts t_counts;

// Names of platform functions by the address of their text, each with its number: an open
// table read without a lock, written under `g_names_mutex`.
constexpr size_t kNameSlots = 2048;
std::array<std::atomic<const char*>, kNameSlots> g_name_keys{};
std::array<std::atomic<std::size_t>, kNameSlots> g_name_lengths{};
std::array<CallId, kNameSlots> g_name_ids{};
std::mutex g_names_mutex;
std::map<std::string, CallId, std::less<>> g_names;  // by text, under g_names_mutex

size_t SlotOf(const char* key) {
  return (reinterpret_cast<std::uintptr_t>(key) >> 2) % kNameSlots;
}

CallId Intern(std::string_view name) {
  std::lock_guard lock(g_names_mutex);
  auto it = g_names.find(name);
  if (it == g_names.end()) {
    // Number 0 stands for every name past the room.
    const size_t next = g_names.size() + 1;
    it = g_names.emplace(std::string(name), next < kMaxCallNames ? CallId(next) : CallId(0)).first;
  }
  return it->second;
}

// The slow path of the lookup below: the name's first call from this address.
[[gnu::noinline]] CallId InternStaticName(std::string_view name) {
  const CallId id = Intern(name);
  std::lock_guard lock(g_names_mutex);
  // Remember this address; a full table only costs the slow path again.
  size_t slot = SlotOf(name.data());
  for (size_t i = 0; i < kNameSlots; ++i, slot = (slot + 1) % kNameSlots) {
    const char* key = g_name_keys[slot].load(std::memory_order_relaxed);
    if (key == name.data() && g_name_lengths[slot].load(std::memory_order_relaxed) == name.size())
      break;
    if (key == nullptr) {
      g_name_ids[slot] = id;
      g_name_lengths[slot].store(name.size(), std::memory_order_relaxed);
      g_name_keys[slot].store(name.data(), std::memory_order_release);
      break;
    }
  }
  return id;
}

std::shared_ptr<Machine> LoadDefaultMachine() {
  const char* profile = std::getenv("VORTISS_MACHINE");
  try {
    if (profile && *profile)
      return std::make_shared<Machine>(LoadProfile(profile));
    return std::make_shared<Machine>(HostMirrorDescription());
  } catch (const ProfileError& e) {
    std::fprintf(stderr, "vortiss: machine profile %s refused: %s\n",
                 profile && *profile ? profile : "(host)", e.what());
    std::fflush(stderr);
    _exit(2);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "vortiss: machine profile %s refused: out of memory while reading it\n",
                 profile && *profile ? profile : "(host)");
    std::fflush(stderr);
    _exit(2);
  }
}

}  // namespace

// The number of a name whose text lives as long as the process (a platform call's own name),
// found by the text's address without a lock once it has been seen.
CallId CallIdOfStaticName(std::string_view name) {
  size_t slot = SlotOf(name.data());
  for (size_t i = 0; i < kNameSlots; ++i, slot = (slot + 1) % kNameSlots) {
    const char* key = g_name_keys[slot].load(std::memory_order_acquire);
    if (key == nullptr)
      break;
    if (key == name.data() && g_name_lengths[slot].load(std::memory_order_relaxed) == name.size())
      return g_name_ids[slot];
  }
  return InternStaticName(name);
}

CallId CallIdOf(std::string_view name) {
  return Intern(name);
}

void SetAllocationGate(AllocationGate gate) {
  g_allocation_gate.store(gate);
}

Machine::Machine(const MachineDescription& description)
    : description_(description),
      accounts_(description),
      process_token_(BuildProcessToken(description, accounts_)),
      registry_(std::make_unique<Registry>(description, accounts_, *process_token_)),
      messages_(DefaultMessageTexts()),
      generation_(++g_generation) {
  for (const auto& [code, text] : description.messages) {
    if (text)
      messages_[code] = *text;
    else
      messages_.erase(code);
  }
  for (size_t i = 0; i < description.faults.size(); ++i) {
    const auto& f = description.faults[i];
    if (!IsFaultableCall(f.call))
      throw ProfileError("faults[" + std::to_string(i) + "].call",
                         "'" + f.call + "' is no platform call that can fail");
  }
  faults_ = description.faults;
  files_ = std::make_shared<FileSystem>(description_, accounts_, process_token_->user);
}

Machine::~Machine() {
  // Buffers still held are the caller's leak; free the memory so tools see only ours.
  for (auto& [buffer, kind] : buffers_)
    std::free(const_cast<void*>(buffer));
}

const std::wstring* Machine::MessageText(DWORD code) const {
  const auto it = messages_.find(code);
  return it == messages_.end() ? nullptr : &it->second;
}

Machine::CallCounts& Machine::ThreadCallCounts() {
  if (t_counts.generation != generation_) {
    auto block = std::make_unique<CallCounts>();
    std::lock_guard lock(mutex_);
    t_counts = {generation_, block.get()};
    thread_calls_.push_back(std::move(block));
  }
  return *static_cast<CallCounts*>(t_counts.block);
}

bool Machine::EnterCall(std::string_view name, DWORD& fault) {
  const CallId id = CallIdOfStaticName(name);
  if (faults_.empty()) {
    // Only this thread writes its block: no read-modify-write is needed.
    std::atomic<unsigned>* counts = ThreadCallCounts().counts.data();
    counts[id].store(counts[id].load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    // The next call of this thread counts here without asking for its machine again, while
    // this is the machine the thread keeps.
    if (t_machine.machine.get() == this) {
      ThreadCallRecord& record = t_call_record;
      record.installation = t_machine.installation;
      record.machine = this;
      record.counts = counts;
      record.RememberName(name, id);
    }
    return false;
  }
  const unsigned n = shared_calls_.counts[id].fetch_add(1, std::memory_order_relaxed) + 1;
  for (const auto& f : faults_) {
    if (f.call != name || n <= f.skip)
      continue;
    if (!f.times || n - f.skip <= *f.times) {
      fault = f.error;
      return true;
    }
  }
  return false;
}

unsigned Machine::CallCount(std::string_view name) const {
  const CallId id = CallIdOf(name);
  unsigned count = shared_calls_.counts[id].load(std::memory_order_relaxed);
  std::lock_guard lock(mutex_);
  for (const auto& block : thread_calls_)
    count += block->counts[id].load(std::memory_order_relaxed);
  return count;
}

void* Machine::Allocate(BufferKind kind, size_t bytes) {
  if (const AllocationGate gate = g_allocation_gate.load(); gate && !gate())
    return nullptr;
  void* buffer = std::calloc(1, bytes ? bytes : 1);
  if (!buffer)
    return nullptr;
  // The buffer may stand where an ACL that a thread walked stood.
  ForgetAclWalks();
  std::lock_guard lock(mutex_);
  buffers_.emplace(buffer, kind);
  return buffer;
}

bool Machine::Release(BufferKind kind, void* buffer) {
  {
    std::lock_guard lock(mutex_);
    const auto it = buffers_.find(buffer);
    if (it == buffers_.end() || it->second != kind)
      return false;
    buffers_.erase(it);
  }
  std::free(buffer);
  return true;
}

bool Machine::Holds(BufferKind kind, const void* buffer) const {
  std::lock_guard lock(mutex_);
  const auto it = buffers_.find(buffer);
  return it != buffers_.end() && it->second == kind;
}

LiveResources Machine::Live() const {
  std::lock_guard lock(mutex_);
  LiveResources live;
  for (const auto& [buffer, kind] : buffers_) {
    switch (kind) {
      case BufferKind::kNetApi:
        ++live.net_api_buffers;
        break;
      case BufferKind::kLocal:
        ++live.local_buffers;
        break;
      case BufferKind::kSid:
        ++live.sids;
        break;
    }
  }
  live.handles = handles_.size();
  return live;
}

HANDLE Machine::AddHandle(std::shared_ptr<HandleObject> object) {
  std::lock_guard lock(mutex_);
  const std::uintptr_t value = next_handle_;
  next_handle_ += 4;
  handles_.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<HandleObject> Machine::FindHandle(HANDLE handle) const {
  std::lock_guard lock(mutex_);
  const auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == handles_.end() ? nullptr : it->second;
}

bool Machine::RemoveHandle(HANDLE handle) {
  std::shared_ptr<HandleObject> object;  // destroyed outside the lock
  std::lock_guard lock(mutex_);
  const auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == handles_.end())
    return false;
  object = std::move(it->second);
  handles_.erase(it);
  return true;
}

void Machine::RecordDebuggerText(std::string text) {
  std::lock_guard lock(mutex_);
  debugger_texts_.push_back(std::move(text));
}

std::vector<std::string> Machine::DebuggerTexts() const {
  std::lock_guard lock(mutex_);
  return debugger_texts_;
}

Machine& MachineForCall() {
  // Inside an outer call the thread keeps the machine that call runs on; else the machine it
  // keeps serves while it is still the installed one.
  if (t_machine.machine &&
      (t_platform_call_depth > 1 ||
       t_machine.installation == g_machine_installations.load(std::memory_order_acquire)))
    return *t_machine.machine;
  CurrentMachine();
  return *t_machine.machine;
}

std::shared_ptr<Machine> CurrentMachine() {
  // The common path: the thread's machine is still the installed one.
  if (t_machine.installation == g_machine_installations.load(std::memory_order_acquire))
    return t_machine.machine;
  std::shared_ptr<Machine> previous;  // released outside the lock
  std::lock_guard lock(g_current_mutex);
  if (!g_current)
    g_current = LoadDefaultMachine();
  previous = std::move(t_machine.machine);
  t_call_record.ForgetMachine();
  t_machine.installation = g_machine_installations.load(std::memory_order_relaxed);
  t_machine.machine = g_current;
  return g_current;
}

void InstallMachine(const MachineDescription& description) {
  auto machine = std::make_shared<Machine>(description);
  std::lock_guard lock(g_current_mutex);
  std::swap(g_current, machine);
  g_machine_installations.fetch_add(1, std::memory_order_release);
}

void UninstallMachine() {
  std::shared_ptr<Machine> previous;
  std::lock_guard lock(g_current_mutex);
  std::swap(g_current, previous);
  g_machine_installations.fetch_add(1, std::memory_order_release);
}

LiveResources LiveResourcesNow() {
  return CurrentMachine()->Live();
}

unsigned CallCount(std::string_view name) {
  return CurrentMachine()->CallCount(name);
}

std::vector<std::string> DebuggerTexts() {
  return CurrentMachine()->DebuggerTexts();
}

void CheckProfile(const std::filesystem::path& file) {
  Machine machine(LoadProfile(file));
}

DWORD LockFileForEdit(std::wstring_view path, HostLock& lock) {
  return CurrentMachine()->files()->LockForEdit(path, lock);
}

DWORD LockRegistryForEdit(HostLock& lock) {
  return CurrentMachine()->registry().LockForEdit(lock);
}

void SetMachineCurrentDirectory(std::wstring directory) {
  CurrentMachine()->files()->set_current_directory(std::move(directory));
}

}  // namespace standin
