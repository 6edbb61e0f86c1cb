#include "cli/windows_path.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "cli/console.h"

#ifndef _WIN32
namespace {

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    const size_t slash = path.find('/', start);
    const size_t end = slash == std::string::npos ? path.size() : slash;
    if (end > start)
      parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// The directory as the kernel reaches it, links resolved; nullopt when it cannot be reached.
std::optional<std::vector<std::string>> Resolved(const std::vector<std::string>& directory) {
  std::string text = "/";
  for (const auto& part : directory)
    text += part + "/";
  char* real = ::realpath(text.c_str(), nullptr);
  if (!real)
    return std::nullopt;
  const std::string resolved = real;
  std::free(real);
  return Components(resolved);
}

}  // namespace
#endif

std::optional<std::wstring> ToWindowsPath(const std::string& path, std::wstring& refusal) {
#ifdef _WIN32
  (void)refusal;
  return WideFromUtf8(path);
#else
  const bool windows_form =
      (path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':') ||
      (!path.empty() && path[0] == '\\');
  if (path.empty() || windows_form)
    return WideFromUtf8(path);
  std::string absolute = path;
  if (absolute[0] != '/') {
    std::error_code ec;
    absolute = std::filesystem::current_path(ec).string() + "/" + absolute;
  }
  const bool trailing_separator = absolute.back() == '/';
  std::vector<std::string> parts = Components(absolute);
  // The last name is looked up as it is; "." and ".." belong to the directory.
  std::optional<std::string> name;
  if (!trailing_separator && !parts.empty() && parts.back() != "." && parts.back() != "..") {
    name = parts.back();
    parts.pop_back();
  }
  // The longest part of the directory the kernel can reach is resolved; below it nothing
  // exists, so "." and ".." there lead nowhere, and are left out rather than undone as text.
  std::vector<std::string> directory;
  size_t reached = parts.size();
  while (true) {
    const std::vector<std::string> head(parts.begin(), parts.begin() + reached);
    if (auto resolved = Resolved(head)) {
      directory = std::move(*resolved);
      break;
    }
    if (reached == 0)
      break;
    --reached;
  }
  for (size_t i = reached; i < parts.size(); ++i) {
    if (parts[i] != "." && parts[i] != "..")
      directory.push_back(parts[i]);
  }
  if (name)
    directory.push_back(*name);

  bool verbatim = false;
  std::wstring windows = L"Z:";
  for (const auto& part : directory) {
    const std::wstring wide = WideFromUtf8(part);
    if (wide.find(L'\\') != std::wstring::npos) {
      refusal = L"'" + WideFromUtf8(path) + L"' holds the name '" + wide +
                L"': Windows cannot spell a backslash in a name";
      return std::nullopt;
    }
    verbatim = verbatim || wide.back() == L'.' || wide.back() == L' ';
    windows += L"\\" + wide;
  }
  if (directory.empty() || trailing_separator)
    windows += L"\\";
  return verbatim ? L"\\\\?\\" + windows : windows;
#endif
}
