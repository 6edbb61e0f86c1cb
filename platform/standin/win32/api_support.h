// What the stand-in's Win32 layer shares: entering a call (fault injection and counting), the
// token a call acts as, and BOOL-plus-last-error results.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "platform/standin/identity/impersonation.h"
#include "platform/standin/machine/machine.h"

namespace standin {

struct CallContext {
  PlatformCallScope scope;
  Machine* machine;  // kept by the calling thread until its outermost call ends
  std::optional<DWORD> fault;
};

// Every platform call starts here: the machine, and the error to fail with when a fault applies.
CallContext EnterCallTheLongWay(std::string_view name);

// The common case without a lock or a lookup: the thread's machine, still the installed one
// (or kept by an outer call), injects no faults, and the call is counted in the thread's block.
[[gnu::always_inline]] inline CallContext EnterCall(std::string_view name) {
  if (CountCallQuickly(name))
    return {{}, t_call_record.machine, std::nullopt};
  return EnterCallTheLongWay(name);
}

inline BOOL FailWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// A Win32 result from a service's code: TRUE, or FALSE with the code as the last error.
inline BOOL Result(DWORD status) {
  return status == ERROR_SUCCESS ? TRUE : FailWith(status);
}

// A call that returns BOOL: an injected fault fails it; else `body(machine)` gives the code,
// and any code but ERROR_SUCCESS fails the call with it as the last error.
template <typename Body>
BOOL BoolCall(std::string_view name, Body&& body) {
  auto call = EnterCall(name);
  if (call.fault)
    return FailWith(*call.fault);
  return Result(body(*call.machine));
}

// A BOOL call whose body reads and writes only the caller's memory: it needs no machine, makes
// no other platform call and allocates nothing, so in the common case it is only counted.
template <typename Body>
[[gnu::always_inline]] inline BOOL MemoryCall(std::string_view name, Body&& body) {
  if (!CountCallQuickly(name)) [[unlikely]] {
    if (const std::optional<DWORD> fault = EnterCallTheLongWay(name).fault)
      return FailWith(*fault);
  }
  return Result(body());
}

// A call that returns a handle: `body(machine, handle)` gives the code, and a fault or any code
// but ERROR_SUCCESS fails the call with INVALID_HANDLE_VALUE and that last error.
template <typename Body>
HANDLE HandleCall(std::string_view name, Body&& body) {
  auto call = EnterCall(name);
  HANDLE handle = INVALID_HANDLE_VALUE;
  const DWORD error = call.fault ? *call.fault : body(*call.machine, handle);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

// A call that frees a platform buffer of `kind`, as LocalFree and FreeSid do: null is nothing to
// free; on failure the buffer comes back, with an injected fault or `refused` as the last error.
inline void* ReleaseCall(std::string_view name, BufferKind kind, void* buffer, DWORD refused) {
  auto call = EnterCall(name);
  const DWORD error = call.fault                                       ? *call.fault
                      : !buffer || call.machine->Release(kind, buffer) ? ERROR_SUCCESS
                                                                       : refused;
  if (error == ERROR_SUCCESS)
    return nullptr;
  SetLastError(error);
  return buffer;
}

// A call that returns its code (network management, the registry, named-object security) and
// leaves the last error alone: an injected fault is the code it returns.
template <typename Body>
DWORD StatusCall(std::string_view name, Body&& body) {
  auto call = EnterCall(name);
  if (call.fault)
    return *call.fault;
  return body(*call.machine);
}

// The identity the platform checks an object's access for: the thread's impersonation token,
// else the process token.
inline std::shared_ptr<const TokenData> EffectiveToken(const Machine& machine) {
  auto token = ThreadToken(machine.generation());
  return token ? token : machine.process_token();
}

// Writes `text` and a terminator into a buffer the platform allocates (with LocalAlloc, or as
// `kind` says).
template <typename Char>
Char* LocalCopy(Machine& machine,
                std::basic_string_view<Char> text,
                BufferKind kind = BufferKind::kLocal) {
  auto* out = static_cast<Char*>(machine.Allocate(kind, (text.size() + 1) * sizeof(Char)));
  if (out) {
    for (size_t i = 0; i < text.size(); ++i)
      out[i] = text[i];
    out[text.size()] = 0;
  }
  return out;
}

// Copies `sd` in self-relative form into a caller's buffer of `room` bytes; `size` is set to
// the bytes it takes. Errors: ERROR_INSUFFICIENT_BUFFER when it does not fit, ERROR_NOACCESS
// without a buffer.
DWORD CopyOut(const OwnedDescriptor& sd, void* buffer, DWORD room, DWORD& size);

// Reads a caller's descriptor of either form into owned parts. Errors: ERROR_NOACCESS for none,
// ERROR_INVALID_SECURITY_DESCR.
DWORD ReadCallerDescriptor(PSECURITY_DESCRIPTOR descriptor, OwnedDescriptor& out);

}  // namespace standin
