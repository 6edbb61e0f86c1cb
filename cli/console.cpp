#include "cli/console.h"

#include <clocale>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <langinfo.h>

#include "platform/standin/core/text.h"
#endif

void UseConsoleLocale() {
#ifdef _WIN32
  // The wide streams write UTF-16 text to the console and UTF-8 elsewhere.
  std::setlocale(LC_ALL, ".UTF-8");
#else
  if (!std::setlocale(LC_ALL, ""))
    std::setlocale(LC_ALL, "C");
  // In the plain C locale the wide streams fail on the first non-ASCII name.
  const char* codeset = nl_langinfo(CODESET);
  if (std::strcmp(codeset, "UTF-8") != 0 && std::strcmp(codeset, "utf8") != 0) {
    if (!std::setlocale(LC_CTYPE, "C.UTF-8"))
      std::setlocale(LC_CTYPE, "en_US.UTF-8");
  }
#endif
}

std::wstring WideFromUtf8(const std::string& text) {
#ifdef _WIN32
  if (text.empty())
    return {};
  const int chars =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(chars), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), chars);
  return wide;
#else
  return standin::Utf8ToWide(text);
#endif
}
