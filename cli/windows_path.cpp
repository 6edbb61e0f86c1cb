#include "cli/windows_path.h"

#include <cctype>
#include <filesystem>

#include "cli/console.h"

std::wstring ToWindowsPath(const std::string& path) {
#ifdef _WIN32
  return WideFromUtf8(path);
#else
  const bool windows_form =
      (path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':') ||
      path.find('\\') != std::string::npos;
  if (path.empty() || windows_form)
    return WideFromUtf8(path);
  std::string absolute = path;
  if (absolute[0] != '/') {
    std::error_code ec;
    absolute = std::filesystem::current_path(ec).string() + "/" + absolute;
  }
  std::wstring windows = L"Z:";
  for (const wchar_t c : WideFromUtf8(absolute)) {
    const wchar_t separator = c == L'/' ? L'\\' : c;
    if (separator == L'\\' && !windows.empty() && windows.back() == L'\\')
      continue;  // one separator for a run of them
    windows += separator;
  }
  return windows;
#endif
}
