// Kernel services: last error, local memory, system message texts, the debugger channel and the
// C runtime's wide comparisons.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <mutex>

#include "platform/standin/win32/api_support.h"
#include "platform/standin/core/text.h"

using namespace standin;

namespace {

thread_local DWORD t_last_error = 0;

bool LanguageSupported(DWORD language) {
  const DWORD primary = language & 0x3FF;
  return primary == LANG_NEUTRAL || primary == LANG_ENGLISH;
}

// Looks a message up as FormatMessage does; returns the text or sets the error.
std::optional<std::wstring> SystemMessage(const Machine& machine,
                                          DWORD flags,
                                          DWORD id,
                                          DWORD language,
                                          DWORD& error) {
  if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || (flags & FORMAT_MESSAGE_FROM_STRING)) {
    error = ERROR_INVALID_PARAMETER;
    return std::nullopt;
  }
  if (!LanguageSupported(language)) {
    error = ERROR_RESOURCE_LANG_NOT_FOUND;
    return std::nullopt;
  }
  const std::wstring* text = machine.MessageText(id);
  if (!text) {
    error = ERROR_MR_MID_NOT_FOUND;
    return std::nullopt;
  }
  return *text;
}

template <typename Char>
DWORD FormatMessageInto(const char* call_name,
                        DWORD flags,
                        DWORD id,
                        DWORD language,
                        Char* buffer,
                        DWORD size) {
  auto call = EnterCall(call_name);
  if (call.fault) {
    SetLastError(*call.fault);
    return 0;
  }
  if (!buffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // The allocating form clears the caller's pointer first, so a failed call leaves it null.
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER)
    *reinterpret_cast<Char**>(buffer) = nullptr;
  DWORD error = 0;
  const auto wide = SystemMessage(*call.machine, flags, id, language, error);
  if (!wide) {
    SetLastError(error);
    return 0;
  }
  std::basic_string<Char> text;
  if constexpr (sizeof(Char) == 1)
    text = WideToUtf8(*wide);
  else
    text = *wide;
  const auto length = static_cast<DWORD>(text.size());
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    // `buffer` is the address of the pointer that receives the text; `size` is a minimum.
    const size_t chars = std::max<size_t>(size, length + 1);
    auto* out =
        static_cast<Char*>(call.machine->Allocate(BufferKind::kLocal, chars * sizeof(Char)));
    if (!out) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    std::memcpy(out, text.c_str(), (text.size() + 1) * sizeof(Char));
    *reinterpret_cast<Char**>(buffer) = out;
    return length;
  }
  if (size < length + 1) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(Char));
  return length;
}

std::mutex g_debug_log_mutex;

void DebuggerChannel(std::string text) {
  if (const char* path = std::getenv("VORTISS_DEBUG_LOG"); path && *path) {
    std::lock_guard lock(g_debug_log_mutex);
    if (FILE* f = std::fopen(path, "ab")) {
      std::fwrite(text.data(), 1, text.size(), f);
      std::fclose(f);
    }
  }
  CurrentMachine()->RecordDebuggerText(std::move(text));
}

}  // namespace

extern "C" {

DWORD WINAPI GetLastError(void) {
  return t_last_error;
}

void WINAPI SetLastError(DWORD error) {
  t_last_error = error;
}

HLOCAL WINAPI LocalAlloc(DWORD flags, SIZE_T bytes) {
  (void)flags;
  auto call = EnterCall("LocalAlloc");
  if (call.fault) {
    SetLastError(*call.fault);
    return nullptr;
  }
  void* memory = call.machine->Allocate(BufferKind::kLocal, bytes);
  if (!memory)
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return memory;
}

HLOCAL WINAPI LocalFree(HLOCAL memory) {
  return ReleaseCall("LocalFree", BufferKind::kLocal, memory, ERROR_INVALID_HANDLE);
}

DWORD WINAPI FormatMessageA(DWORD flags,
                            LPCVOID source,
                            DWORD message_id,
                            DWORD language_id,
                            LPSTR buffer,
                            DWORD size,
                            va_list* arguments) {
  (void)source;
  (void)arguments;
  return FormatMessageInto<char>("FormatMessageA", flags, message_id, language_id, buffer, size);
}

DWORD WINAPI FormatMessageW(DWORD flags,
                            LPCVOID source,
                            DWORD message_id,
                            DWORD language_id,
                            LPWSTR buffer,
                            DWORD size,
                            va_list* arguments) {
  (void)source;
  (void)arguments;
  return FormatMessageInto<wchar_t>("FormatMessageW", flags, message_id, language_id, buffer, size);
}

void WINAPI OutputDebugStringA(LPCSTR text) {
  PlatformCallScope scope;
  if (text)
    DebuggerChannel(text);
}

void WINAPI OutputDebugStringW(LPCWSTR text) {
  PlatformCallScope scope;
  if (text)
    DebuggerChannel(WideToUtf8(text));
}

int _wcsicmp(const wchar_t* a, const wchar_t* b) {
  // The C locale's lower-casing, which folds the Latin letters only.
  auto lower = [](wchar_t c) { return (c >= L'A' && c <= L'Z') ? c - L'A' + L'a' : c; };
  for (;; ++a, ++b) {
    const int ca = static_cast<int>(lower(*a));
    const int cb = static_cast<int>(lower(*b));
    if (ca != cb || ca == 0)
      return ca - cb;
  }
}

}  // extern "C"
