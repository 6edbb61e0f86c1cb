// What the stand-in's Win32 layer shares: entering a call (fault injection and counting), the
// thread's impersonation token, and BOOL-plus-last-error results.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "platform/standin/machine.h"

namespace standin {

struct CallContext {
  PlatformCallScope scope;
  std::shared_ptr<Machine> machine;
  std::optional<DWORD> fault;
};

// Every platform call starts here: the machine, and the error to fail with when a fault applies.
inline CallContext EnterCall(std::string_view name) {
  PlatformCallScope scope;
  auto machine = CurrentMachine();
  auto fault = machine->EnterCall(name);
  return {{}, std::move(machine), fault};
}

inline BOOL FailWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The impersonation token of the calling thread on `machine`, or null when it has none.
std::shared_ptr<const TokenData> ThreadToken(const Machine& machine);
void SetThreadToken(const Machine& machine, std::shared_ptr<const TokenData> token);
// The identity the platform checks an object's access for: the thread's impersonation token,
// else the process token.
std::shared_ptr<const TokenData> EffectiveToken(const Machine& machine);

// Writes `text` and a terminator into a buffer the platform allocates with LocalAlloc.
template <typename Char>
Char* LocalCopy(Machine& machine, std::basic_string_view<Char> text) {
  auto* out =
      static_cast<Char*>(machine.Allocate(BufferKind::kLocal, (text.size() + 1) * sizeof(Char)));
  if (out) {
    for (size_t i = 0; i < text.size(); ++i)
      out[i] = text[i];
    out[text.size()] = 0;
  }
  return out;
}

}  // namespace standin
