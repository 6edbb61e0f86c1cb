#include "platform/standin/machine/machine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <unistd.h>

#include "platform/standin/core/text.h"
#include "platform/standin/machine/messages.h"
#include "platform/standin/profile/faultable_calls.h"
#include "platform/standin/profile/profile.h"

namespace standin {

namespace {

std::atomic<std::uint64_t> g_generation{0};
std::atomic<AllocationGate> g_allocation_gate{nullptr};
thread_local int t_platform_call_depth = 0;

std::mutex g_current_mutex;
std::shared_ptr<Machine> g_current;

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

void SetAllocationGate(AllocationGate gate) {
  g_allocation_gate.store(gate);
}

PlatformCallScope::PlatformCallScope() {
  ++t_platform_call_depth;
}

PlatformCallScope::~PlatformCallScope() {
  --t_platform_call_depth;
}

bool InPlatformCall() {
  return t_platform_call_depth > 0;
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

std::optional<DWORD> Machine::EnterCall(std::string_view name) {
  std::lock_guard lock(mutex_);
  auto it = calls_.find(name);
  if (it == calls_.end())
    it = calls_.emplace(std::string(name), 0).first;
  const unsigned n = ++it->second;
  for (const auto& f : faults_) {
    if (f.call != name || n <= f.skip)
      continue;
    if (!f.times || n - f.skip <= *f.times)
      return f.error;
  }
  return std::nullopt;
}

unsigned Machine::CallCount(std::string_view name) const {
  std::lock_guard lock(mutex_);
  const auto it = calls_.find(name);
  return it == calls_.end() ? 0 : it->second;
}

void* Machine::Allocate(BufferKind kind, size_t bytes) {
  if (const AllocationGate gate = g_allocation_gate.load(); gate && !gate())
    return nullptr;
  void* buffer = std::calloc(1, bytes ? bytes : 1);
  if (!buffer)
    return nullptr;
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

std::shared_ptr<Machine> CurrentMachine() {
  std::lock_guard lock(g_current_mutex);
  if (!g_current)
    g_current = LoadDefaultMachine();
  return g_current;
}

void InstallMachine(const MachineDescription& description) {
  auto machine = std::make_shared<Machine>(description);
  std::lock_guard lock(g_current_mutex);
  g_current = std::move(machine);
}

void UninstallMachine() {
  std::lock_guard lock(g_current_mutex);
  g_current.reset();
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
