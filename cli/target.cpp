#include "cli/target.h"

#include <array>
#include <cwctype>
#include <utility>

#include "cli/report.h"
#include "platform/host.h"
#include "security/scoped_platform.h"

namespace {

// The registry's roots as the command line names them (short and long), and as the
// named-object calls do.
const std::pair<HKEY, std::array<const wchar_t*, 3>> kRoots[] = {
    {HKEY_LOCAL_MACHINE, {L"HKLM", L"HKEY_LOCAL_MACHINE", L"MACHINE"}},
    {HKEY_CURRENT_USER, {L"HKCU", L"HKEY_CURRENT_USER", L"CURRENT_USER"}},
};
enum RootName { kShortName, kLongName, kObjectName };

bool SameLetters(const std::wstring& a, const wchar_t* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    if (std::towupper(a[i]) != std::towupper(b[i]))
      return false;
  }
  return i == a.size() && !b[i];
}

// The root `name` names; null for none.
HKEY FindRoot(const std::wstring& name) {
  for (const auto& [key, names] : kRoots) {
    if (SameLetters(name, names[kShortName]) || SameLetters(name, names[kLongName]))
      return key;
  }
  return nullptr;
}

const wchar_t* ObjectNameOf(HKEY root) {
  for (const auto& [key, names] : kRoots) {
    if (key == root)
      return names[kObjectName];
  }
  return kRoots[0].second[kObjectName];
}

// "HKLM, HKCU, HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER".
std::wstring RootNames() {
  std::wstring text;
  const size_t count = 2 * std::size(kRoots);
  for (size_t i = 0; i < count; ++i) {
    const auto& names = kRoots[i % std::size(kRoots)].second;
    text += (i == 0           ? L""
             : i + 1 == count ? L" or "
                              : L", ") +
            std::wstring(names[i < std::size(kRoots) ? kShortName : kLongName]);
  }
  return text;
}

bool IsSeparator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

}  // namespace

ObjectDescriptor::~ObjectDescriptor() {
  vortiss::ScopedLocal<void> owned(descriptor_);
}

DWORD ObjectDescriptor::Read(const std::wstring& name, SE_OBJECT_TYPE type) {
  vortiss::ScopedLocal<void> previous(descriptor_);
  descriptor_ = nullptr;
  return GetNamedSecurityInfoW(
      name.c_str(), type,
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
      nullptr, nullptr, nullptr, &descriptor_);
}

std::optional<Target> Target::File(const std::string& path, std::wstring& refusal) {
  auto windows = host::WindowsPathOf(path, refusal);
  if (!windows)
    return std::nullopt;
  Target target;
  target.path = std::move(*windows);
  return target;
}

std::optional<Target> Target::Key(const std::string& text, bool root_alone, std::wstring& refusal) {
  const std::wstring given = host::WideFromUtf8(text);
  std::wstring wide = given;
  if (root_alone) {
    while (!wide.empty() && wide.back() == L'\\')
      wide.pop_back();
  }
  const size_t slash = wide.find(L'\\');
  const HKEY root = FindRoot(wide.substr(0, slash));
  if (!root) {
    refusal = L"unknown registry root in " + Quoted(given) + L": give " + RootNames();
    return std::nullopt;
  }
  if (!root_alone && (slash == std::wstring::npos || slash + 1 == wide.size())) {
    refusal = L"no subkey in " + Quoted(given) + L": give ROOT\\SUBKEY";
    return std::nullopt;
  }
  Target target;
  target.kind = Kind::kKey;
  target.path = wide;
  target.root = root;
  target.subkey = slash == std::wstring::npos ? std::wstring() : wide.substr(slash + 1);
  return target;
}

std::optional<Target> Target::Value(const std::string& key,
                                    const std::string& name,
                                    std::wstring& refusal) {
  auto target = Key(key, false, refusal);
  if (target) {
    target->kind = Kind::kValue;
    target->value_name = host::WideFromUtf8(name);
  }
  return target;
}

std::wstring Target::Describe() const {
  if (kind == Kind::kValue)
    return Quoted(path) + L" value " + Quoted(value_name);
  return Quoted(path);
}

std::wstring Target::ObjectName() const {
  if (kind == Kind::kFile)
    return path;
  const std::wstring root_name = ObjectNameOf(root);
  return subkey.empty() ? root_name : root_name + L"\\" + subkey;
}

SE_OBJECT_TYPE Target::ObjectType() const {
  return kind == Kind::kFile ? SE_FILE_OBJECT : SE_REGISTRY_KEY;
}

bool Target::Container() const {
  if (kind != Kind::kFile)
    return true;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::optional<Target> Target::Parent() const {
  Target parent = *this;
  if (kind == Kind::kValue)
    return std::nullopt;
  if (kind == Kind::kKey) {
    if (subkey.empty())
      return std::nullopt;
    const size_t cut = subkey.rfind(L'\\');
    parent.subkey = cut == std::wstring::npos ? std::wstring() : subkey.substr(0, cut);
    parent.path = path.substr(0, path.rfind(L'\\'));
    return parent;
  }
  // A drive's root ("C:\") has nothing above it.
  std::wstring& p = parent.path;
  if (p.size() >= 2 && p.back() == L'\\' && p[p.size() - 2] == L':')
    return std::nullopt;
  while (p.size() > 1 && IsSeparator(p.back()))
    p.pop_back();
  const size_t cut = p.find_last_of(L"\\/");
  if (cut == std::wstring::npos || cut == 0)
    return std::nullopt;
  p.resize(cut);
  if (p.back() == L':')
    p += L'\\';
  return parent;
}

std::unique_ptr<CSD> Target::Open() const {
  switch (kind) {
    case Kind::kFile:
      return std::make_unique<CFileSD>(path);
    case Kind::kKey:
      return std::make_unique<CRegistrySD>(root, subkey);
    case Kind::kValue:
      return std::make_unique<CEmbeddedRegistrySD>(root, subkey, value_name);
  }
  return nullptr;
}

DWORD Target::Read(ObjectDescriptor& descriptor) const {
  return descriptor.Read(ObjectName(), ObjectType());
}
