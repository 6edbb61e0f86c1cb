// Tokens and per-thread impersonation.
#include <cstring>

#include "platform/standin/api_support.h"

namespace standin {

namespace {

struct ThreadState {
  std::uint64_t generation = 0;
  std::shared_ptr<const TokenData> token;
};

thread_local ThreadState t_thread;

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(~std::uintptr_t{0});
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(~std::uintptr_t{0} - 1);

// Lays out SID_AND_ATTRIBUTES records followed by their SIDs.
void WriteSidAndAttributes(BYTE* base,
                           size_t records_offset,
                           const std::vector<std::pair<const SidValue*, DWORD>>& entries) {
  auto* records = reinterpret_cast<SID_AND_ATTRIBUTES*>(base + records_offset);
  size_t sid_offset = records_offset + entries.size() * sizeof(SID_AND_ATTRIBUTES);
  for (size_t i = 0; i < entries.size(); ++i) {
    std::memcpy(base + sid_offset, entries[i].first->data(), entries[i].first->size());
    records[i].Sid = base + sid_offset;
    records[i].Attributes = entries[i].second;
    sid_offset += entries[i].first->size();
  }
}

size_t SidsSize(const std::vector<std::pair<const SidValue*, DWORD>>& entries) {
  size_t size = 0;
  for (const auto& e : entries)
    size += sizeof(SID_AND_ATTRIBUTES) + e.first->size();
  return size;
}

}  // namespace

std::shared_ptr<const TokenData> ThreadToken(const Machine& machine) {
  return t_thread.generation == machine.generation() ? t_thread.token : nullptr;
}

std::shared_ptr<const TokenData> EffectiveToken(const Machine& machine) {
  auto token = ThreadToken(machine);
  return token ? token : machine.process_token();
}

void SetThreadToken(const Machine& machine, std::shared_ptr<const TokenData> token) {
  t_thread.generation = machine.generation();
  t_thread.token = std::move(token);
}

}  // namespace standin

using namespace standin;

extern "C" {

HANDLE WINAPI GetCurrentProcess(void) {
  return kCurrentProcess;
}

HANDLE WINAPI GetCurrentThread(void) {
  return kCurrentThread;
}

BOOL WINAPI ImpersonateSelf(SECURITY_IMPERSONATION_LEVEL level) {
  auto call = EnterCall("ImpersonateSelf");
  if (call.fault)
    return FailWith(*call.fault);
  if (level < SecurityAnonymous || level > SecurityDelegation)
    return FailWith(ERROR_BAD_IMPERSONATION_LEVEL);
  auto token = std::make_shared<TokenData>(*call.machine->process_token());
  token->type = TokenImpersonation;
  token->level = level;
  SetThreadToken(*call.machine, std::move(token));
  return TRUE;
}

BOOL WINAPI RevertToSelf(void) {
  auto call = EnterCall("RevertToSelf");
  if (call.fault)
    return FailWith(*call.fault);
  SetThreadToken(*call.machine, nullptr);
  return TRUE;
}

BOOL WINAPI OpenThreadToken(HANDLE thread, DWORD access, BOOL open_as_self, PHANDLE token) {
  (void)open_as_self;
  auto call = EnterCall("OpenThreadToken");
  if (call.fault)
    return FailWith(*call.fault);
  if (!token)
    return FailWith(ERROR_INVALID_PARAMETER);
  if (thread != kCurrentThread)
    return FailWith(ERROR_INVALID_HANDLE);
  auto data = ThreadToken(*call.machine);
  if (!data)
    return FailWith(ERROR_NO_TOKEN);
  if (data->level == SecurityAnonymous)
    return FailWith(ERROR_CANT_OPEN_ANONYMOUS);
  auto object = std::make_shared<TokenHandle>();
  object->token = std::move(data);
  object->access = access;
  *token = call.machine->AddHandle(std::move(object));
  return TRUE;
}

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  auto call = EnterCall("OpenProcessToken");
  if (call.fault)
    return FailWith(*call.fault);
  if (!token)
    return FailWith(ERROR_INVALID_PARAMETER);
  if (process != kCurrentProcess)
    return FailWith(ERROR_INVALID_HANDLE);
  auto object = std::make_shared<TokenHandle>();
  object->token = call.machine->process_token();
  object->access = access;
  *token = call.machine->AddHandle(std::move(object));
  return TRUE;
}

BOOL WINAPI GetTokenInformation(HANDLE token,
                                TOKEN_INFORMATION_CLASS info_class,
                                LPVOID info,
                                DWORD length,
                                PDWORD return_length) {
  auto call = EnterCall("GetTokenInformation");
  if (call.fault)
    return FailWith(*call.fault);
  if (!return_length)
    return FailWith(ERROR_INVALID_PARAMETER);
  auto handle = std::dynamic_pointer_cast<TokenHandle>(call.machine->FindHandle(token));
  if (!handle)
    return FailWith(ERROR_INVALID_HANDLE);
  if (!(handle->access & TOKEN_QUERY))
    return FailWith(ERROR_ACCESS_DENIED);
  const TokenData& data = *handle->token;

  std::vector<std::pair<const SidValue*, DWORD>> entries;
  size_t needed = 0;
  switch (info_class) {
    case TokenUser:
      entries.emplace_back(&data.user, 0);
      needed = SidsSize(entries);
      break;
    case TokenGroups:
      for (const auto& [sid, attributes] : data.groups)
        entries.emplace_back(&sid, attributes);
      needed = offsetof(TOKEN_GROUPS, Groups) + SidsSize(entries);
      break;
    case TokenType:
      needed = sizeof(TOKEN_TYPE);
      break;
    case TokenImpersonationLevel:
      if (data.type != TokenImpersonation)
        return FailWith(ERROR_INVALID_PARAMETER);
      needed = sizeof(SECURITY_IMPERSONATION_LEVEL);
      break;
    case TokenElevation:
      needed = sizeof(TOKEN_ELEVATION);
      break;
    default:
      return FailWith(ERROR_INVALID_PARAMETER);
  }
  *return_length = static_cast<DWORD>(needed);
  if (length < needed || !info)
    return FailWith(ERROR_INSUFFICIENT_BUFFER);

  auto* base = static_cast<BYTE*>(info);
  switch (info_class) {
    case TokenUser:
      WriteSidAndAttributes(base, 0, entries);
      break;
    case TokenGroups: {
      const DWORD count = static_cast<DWORD>(entries.size());
      std::memcpy(base, &count, sizeof(count));
      WriteSidAndAttributes(base, offsetof(TOKEN_GROUPS, Groups), entries);
      break;
    }
    case TokenType:
      *static_cast<TOKEN_TYPE*>(info) = data.type;
      break;
    case TokenImpersonationLevel:
      *static_cast<SECURITY_IMPERSONATION_LEVEL*>(info) = data.level;
      break;
    case TokenElevation:
      static_cast<TOKEN_ELEVATION*>(info)->TokenIsElevated = data.elevated ? 1 : 0;
      break;
    default:
      break;
  }
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
  auto call = EnterCall("CloseHandle");
  if (call.fault)
    return FailWith(*call.fault);
  if (handle == kCurrentProcess || handle == kCurrentThread)
    return TRUE;
  if (!call.machine->RemoveHandle(handle))
    return FailWith(ERROR_INVALID_HANDLE);
  return TRUE;
}

}  // extern "C"
