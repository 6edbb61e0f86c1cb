// What the harnesses share: the machine they run on, checks that end the run, and the input as
// text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/standin/machine/machine.h"
#include "platform/standin/profile/profile.h"
#include "platform/win32.h"

// Ends the run when a property fails, so that libFuzzer keeps the input that broke it.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

namespace fuzz {

// A small machine: alice, an unelevated user, with one registry key of her own.
inline constexpr char kProfile[] = R"json({
  "computer": "WS01",
  "machine_sid": "S-1-5-21-1-2-3",
  "user": "alice",
  "elevated": false,
  "users": [{"name": "alice", "rid": 1001}, {"name": "bob", "rid": 1002}],
  "groups": {"Staff": ["alice"]},
  "registry": {"HKCU\\Software\\App": {"sddl": "O:S-1-5-21-1-2-3-1001G:SYD:(A;CI;KA;;;S-1-5-21-1-2-3-1001)"}}
})json";

inline void InstallMachine() {
  standin::InstallMachine(standin::ParseProfile(kProfile, "/nonexistent"));
}

// Checks that one run gives back every platform buffer and handle it was given.
class BalanceCheck {
 public:
  BalanceCheck() : before_(standin::LiveResourcesNow()) {}
  ~BalanceCheck() {
    const standin::LiveResources after = standin::LiveResourcesNow();
    FUZZ_CHECK(after.local_buffers == before_.local_buffers);
    FUZZ_CHECK(after.net_api_buffers == before_.net_api_buffers);
    FUZZ_CHECK(after.sids == before_.sids);
    FUZZ_CHECK(after.handles == before_.handles);
  }
  BalanceCheck(const BalanceCheck&) = delete;
  BalanceCheck& operator=(const BalanceCheck&) = delete;

 private:
  standin::LiveResources before_;
};

// The input as UTF-8 text; a byte that starts no valid sequence stands for itself, so that
// every input is some text.
inline std::wstring WideText(const uint8_t* data, size_t size) {
  std::wstring text;
  size_t i = 0;
  while (i < size) {
    const uint8_t b = data[i];
    size_t n = b >= 0xF0 && b < 0xF5 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 && b < 0xE0 ? 2 : 1;
    char32_t c = n == 4 ? b & 0x07 : n == 3 ? b & 0x0F : n == 2 ? b & 0x1F : b;
    bool valid = b < 0x80 || n > 1;
    for (size_t k = 1; valid && k < n; ++k) {
      if (i + k >= size || (data[i + k] & 0xC0) != 0x80)
        valid = false;
      else
        c = (c << 6) | (data[i + k] & 0x3F);
    }
    if (!valid || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) {
      c = b;
      n = 1;
    }
    text.push_back(static_cast<wchar_t>(c));
    i += n;
  }
  return text;
}

}  // namespace fuzz
