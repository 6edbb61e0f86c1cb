#include "platform/standin/registry/key_paths.h"

#include <algorithm>
#include <cstdint>

#include "platform/standin/core/text.h"

namespace standin {

namespace {

struct RootName {
  HKEY handle;
  const wchar_t* path;         // canonical
  const wchar_t* short_name;   // profile form
  const wchar_t* object_name;  // named-security form; null when it has none
};

const RootName kRoots[] = {
    {HKEY_CLASSES_ROOT, L"HKEY_CLASSES_ROOT", L"HKCR", L"CLASSES_ROOT"},
    {HKEY_CURRENT_USER, L"HKEY_CURRENT_USER", L"HKCU", L"CURRENT_USER"},
    {HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE", L"HKLM", L"MACHINE"},
    {HKEY_USERS, L"HKEY_USERS", L"HKU", L"USERS"},
    {HKEY_CURRENT_CONFIG, L"HKEY_CURRENT_CONFIG", L"HKCC", nullptr},
};

}  // namespace

std::wstring ParentPath(const std::wstring& path) {
  const size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring LastComponent(const std::wstring& path) {
  const size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

DWORD SplitSubkey(std::wstring_view subkey, std::vector<std::wstring>& components) {
  components.clear();
  if (subkey.empty())
    return ERROR_SUCCESS;
  if (subkey.front() == L'\\')
    return ERROR_BAD_PATHNAME;
  // Separators at the end name nothing more, however many there are.
  while (subkey.back() == L'\\')
    subkey.remove_suffix(1);
  size_t start = 0;
  while (true) {
    const size_t slash = subkey.find(L'\\', start);
    const std::wstring_view part = subkey.substr(start, slash - start);
    if (part.empty())
      return ERROR_BAD_PATHNAME;
    if (part.size() > kMaxKeyNameLength)
      return ERROR_INVALID_PARAMETER;
    components.emplace_back(part);
    if (slash == std::wstring_view::npos)
      break;
    start = slash + 1;
  }
  return ERROR_SUCCESS;
}

std::wstring ChildPath(const std::wstring& parent, const std::wstring& component) {
  std::wstring path = parent;
  AppendChild(path, component);
  return path;
}

void AppendChild(std::wstring& path, std::wstring_view component) {
  path += L'\\';
  path += UpperCase(component);
}

bool ParseKeyPath(const std::wstring& text,
                  std::wstring& root,
                  std::vector<std::wstring>& components,
                  std::string* why) {
  auto refuse = [&](const char* reason) {
    if (why)
      *why = reason;
    return false;
  };
  const size_t slash = text.find(L'\\');
  const std::wstring first = UpperCase(std::wstring_view(text).substr(0, slash));
  root.clear();
  for (const auto& r : kRoots) {
    if (first == r.short_name || first == r.path)
      root = r.path;
  }
  if (root.empty())
    return refuse("a key path starts with HKLM, HKCU, HKCR, HKU or HKCC");
  components.clear();
  if (slash == std::wstring::npos)
    return true;
  const std::wstring_view subkey = std::wstring_view(text).substr(slash + 1);
  // The levels are counted before anything is split, so that a path of any length is refused
  // in one pass.
  if (static_cast<size_t>(std::count(subkey.begin(), subkey.end(), L'\\')) >= kMaxKeyDepth + 1)
    return refuse("a key path has at most 512 levels below its root");
  if (HasControlCharacter(subkey))
    return refuse("a key name holds a control character");
  switch (SplitSubkey(subkey, components)) {
    case ERROR_SUCCESS:
      break;
    case ERROR_INVALID_PARAMETER:
      return refuse("a key name has at most 255 characters");
    default:
      return refuse("a key path has no empty names");
  }
  if (components.size() > kMaxKeyDepth)
    return refuse("a key path has at most 512 levels below its root");
  return true;
}

std::optional<std::wstring> RootPath(HKEY root) {
  // Only the low 32 bits of a predefined key's value count, as on 64-bit Windows.
  const auto low = [](HKEY key) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(key));
  };
  for (const auto& r : kRoots) {
    if (low(r.handle) == low(root))
      return std::wstring(r.path);
  }
  return std::nullopt;
}

std::optional<HKEY> RootOfObjectName(std::wstring_view name, std::wstring_view& rest) {
  const size_t slash = name.find(L'\\');
  if (slash == std::wstring_view::npos)
    return std::nullopt;
  for (const auto& r : kRoots) {
    if (r.object_name && NamesEqual(name.substr(0, slash), r.object_name)) {
      rest = name.substr(slash + 1);
      return r.handle;
    }
  }
  return std::nullopt;
}

}  // namespace standin
