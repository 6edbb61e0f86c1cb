#include "platform/standin/files/volumes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <algorithm>
#include <cwctype>

#include "platform/standin/core/text.h"

namespace standin {

namespace {

// statfs magic numbers of the file systems that keep no descriptors.
constexpr long kMsdosMagic = 0x4d44;
constexpr long kExfatMagic = 0x2011BAB0;

bool IsSeparator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

bool IsWildcard(wchar_t c) {
  return c == L'*' || c == L'?';
}

// Characters no file name holds on the platform (wildcards apart).
bool IsReservedCharacter(wchar_t c) {
  return c < 32 || c == L'<' || c == L'>' || c == L':' || c == L'"' || c == L'|';
}

// Calls `name` with each name of `text`, in order: what lies between separators, empty ones left
// out.
template <typename Name>
void ForEachName(std::wstring_view text, Name name) {
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && !IsSeparator(text[i]))
      continue;
    if (i > start)
      name(text.substr(start, i - start));
    start = i + 1;
  }
}

std::vector<std::wstring> Split(std::wstring_view text) {
  std::vector<std::wstring> parts;
  ForEachName(text, [&parts](std::wstring_view part) { parts.emplace_back(part); });
  return parts;
}

bool IsDirectory(const std::filesystem::path& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The entry of `directory` named `exact` (host bytes): that very name, else the one entry that
// differs from it in case only. Two such entries name nothing, so that neither is taken for the
// other.
std::optional<std::string> FindEntry(const std::filesystem::path& directory,
                                     const std::string& exact) {
  struct stat st;
  if (::lstat((directory / exact).c_str(), &st) == 0)
    return exact;
  DIR* dir = ::opendir(directory.c_str());
  if (!dir)
    return std::nullopt;
  std::optional<std::string> found;
  size_t matches = 0;
  const std::wstring wanted = UpperCase(Utf8ToWide(exact));
  while (dirent* entry = ::readdir(dir)) {
    if (UpperCase(Utf8ToWide(entry->d_name)) == wanted) {
      found = entry->d_name;
      ++matches;
    }
  }
  ::closedir(dir);
  return matches == 1 ? found : std::nullopt;
}

}  // namespace

std::wstring WindowsPath::text() const {
  std::wstring out;
  out += volume ? volume->letter : L'?';
  out += L":\\";
  for (size_t i = 0; i < components.size(); ++i) {
    if (i)
      out += L'\\';
    out += components[i];
  }
  return out;
}

std::wstring WindowsPath::key() const {
  return UpperCase(text());
}

WindowsPath WindowsPath::parent() const {
  WindowsPath p = *this;
  if (!p.components.empty())
    p.components.pop_back();
  p.trailing_separator = false;
  if (p.invalid_component != std::wstring::npos && p.invalid_component >= p.components.size())
    p.invalid_component = std::wstring::npos;
  return p;
}

WindowsPath WindowsPath::child(const std::wstring& name) const {
  WindowsPath p = *this;
  p.components.push_back(name);
  p.trailing_separator = false;
  return p;
}

VolumeTable::VolumeTable(const MachineDescription& description) {
  volumes_.reserve(description.volumes.size() + 1);
  for (const auto& v : description.volumes)
    volumes_.push_back({v.letter, v.directory, v.file_system});
  if (!Find(L'Z'))
    volumes_.push_back({L'Z', "/", HostFileSystemName("/")});
  std::sort(volumes_.begin(), volumes_.end(),
            [](const Volume& a, const Volume& b) { return a.letter < b.letter; });
}

const Volume* VolumeTable::Find(wchar_t letter) const {
  letter = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(letter)));
  for (const auto& v : volumes_) {
    if (v.letter == letter)
      return &v;
  }
  return nullptr;
}

DWORD VolumeTable::Parse(std::wstring_view path,
                         std::wstring_view current_directory,
                         bool wildcards,
                         WindowsPath& out) const {
  if (path.empty())
    return ERROR_PATH_NOT_FOUND;
  std::wstring_view text = path;
  // "\\?\C:\x" is taken as it is written: only "\" separates, and no name is trimmed or stands
  // for a directory, so that any name the file system holds can be reached.
  const bool verbatim = text.rfind(L"\\\\?\\", 0) == 0;
  // "\\.\C:\x" and "//?/C:/x" name the same file as "C:\x".
  if (text.size() >= 4 && IsSeparator(text[0]) && IsSeparator(text[1]) &&
      (text[2] == L'?' || text[2] == L'.') && IsSeparator(text[3]))
    text.remove_prefix(4);
  else if (text.size() >= 2 && IsSeparator(text[0]) && IsSeparator(text[1]))
    return ERROR_BAD_NETPATH;
  if (verbatim)
    return ParseVerbatim(text, wildcards, out);

  const bool has_current = current_directory.size() >= 3;
  const wchar_t current_drive = has_current ? current_directory[0] : L'C';
  wchar_t drive = current_drive;
  std::vector<std::wstring> components;
  std::wstring_view rest = text;
  if (text.size() >= 2 && text[1] == L':') {
    if (!std::iswalpha(static_cast<wint_t>(text[0])))
      return ERROR_INVALID_NAME;
    drive = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(text[0])));
    rest.remove_prefix(2);
    // "C:name" is relative to the current directory when it is on C:, else to C:'s root.
    if ((rest.empty() || !IsSeparator(rest[0])) && has_current && drive == current_drive)
      components = Split(current_directory.substr(3));
  } else if (!IsSeparator(text[0]) && has_current) {
    components = Split(current_directory.substr(3));
  }

  const Volume* volume = Find(drive);
  if (!volume)
    return ERROR_PATH_NOT_FOUND;

  WindowsPath result;
  result.volume = volume;
  result.trailing_separator = !rest.empty() && IsSeparator(rest.back());
  components.reserve(components.size() + 1 +
                     static_cast<size_t>(std::count_if(rest.begin(), rest.end(), IsSeparator)));
  ForEachName(rest, [&components](std::wstring_view part) {
    if (part == L".")
      return;
    if (part == L"..") {
      if (!components.empty())
        components.pop_back();
      return;
    }
    components.emplace_back(part);
  });
  // Trailing dots and blanks are not part of the last name.
  if (!components.empty()) {
    auto& last = components.back();
    while (!last.empty() && (last.back() == L'.' || last.back() == L' '))
      last.pop_back();
    if (last.empty())
      components.pop_back();
  }
  for (size_t i = 0; i < components.size(); ++i) {
    const bool last = i + 1 == components.size();
    for (wchar_t c : components[i]) {
      if (IsReservedCharacter(c) || (IsWildcard(c) && !(wildcards && last))) {
        result.invalid_component = i;
        break;
      }
    }
    if (result.invalid_component != std::wstring::npos)
      break;
  }
  result.components = std::move(components);
  out = std::move(result);
  return ERROR_SUCCESS;
}

DWORD VolumeTable::ParseVerbatim(std::wstring_view text, bool wildcards, WindowsPath& out) const {
  if (text.size() < 2 || text[1] != L':' || !std::iswalpha(static_cast<wint_t>(text[0])))
    return ERROR_INVALID_NAME;
  const Volume* volume = Find(text[0]);
  if (!volume)
    return ERROR_PATH_NOT_FOUND;
  text.remove_prefix(2);
  WindowsPath result;
  result.volume = volume;
  result.trailing_separator = !text.empty() && text.back() == L'\\';
  std::wstring current;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != L'\\') {
      current += text[i];
    } else if (!current.empty()) {
      result.components.push_back(std::move(current));
      current.clear();
    }
  }
  for (size_t i = 0; i < result.components.size(); ++i) {
    const std::wstring& name = result.components[i];
    const bool last = i + 1 == result.components.size();
    // "." and ".." are no names here, and "/" no separator.
    bool invalid = name == L"." || name == L"..";
    for (wchar_t c : name)
      invalid =
          invalid || c == L'/' || IsReservedCharacter(c) || (IsWildcard(c) && !(wildcards && last));
    if (invalid) {
      result.invalid_component = i;
      break;
    }
  }
  out = std::move(result);
  return ERROR_SUCCESS;
}

std::optional<std::wstring> VolumeTable::WindowsFormOf(const std::filesystem::path& host) const {
  const auto target = host.lexically_normal();
  const Volume* best = nullptr;
  size_t best_depth = 0;
  std::filesystem::path best_rest;
  for (const auto& v : volumes_) {
    std::error_code ec;
    auto root = std::filesystem::weakly_canonical(v.directory, ec);
    if (ec)
      root = v.directory;
    root = root.lexically_normal();
    const auto rel = target.lexically_relative(root);
    if (rel.empty() || *rel.begin() == "..")
      continue;
    const size_t depth = std::distance(root.begin(), root.end());
    if (!best || depth > best_depth) {
      best = &v;
      best_depth = depth;
      best_rest = rel;
    }
  }
  if (!best)
    return std::nullopt;
  std::wstring out;
  out += best->letter;
  out += L":\\";
  bool first = true;
  for (const auto& part : best_rest) {
    if (part == "." || part.empty())
      continue;
    if (!first)
      out += L'\\';
    out += Utf8ToWide(part.string());
    first = false;
  }
  return out;
}

DWORD Locate(const WindowsPath& path, HostLocation& out, struct statx* found) {
  struct statx unused;
  struct statx& seen = found ? *found : unused;
  seen.stx_mask = 0;
  // What ReadPosixState asks, so that a caller may hand it on.
  auto stat_of = [&seen](const std::filesystem::path& host) {
    if (::statx(AT_FDCWD, host.c_str(), 0, STATX_BASIC_STATS | STATX_MNT_ID, &seen) == 0)
      return true;
    seen.stx_mask = 0;
    return false;
  };
  if (!path.volume)
    return ERROR_PATH_NOT_FOUND;
  const size_t n = path.components.size();
  // Where every name is spelled as the host spells it, the kernel's own walk of the whole path
  // finds what the walk below would find, each exact name being taken first: one stat for all.
  // The text is put together first and made a path once: a path splits itself again with each
  // name appended.
  std::string exact_text = path.volume->directory.native();
  bool spelled = path.invalid_component == std::wstring::npos;
  for (size_t i = 0; i < n && spelled; ++i) {
    const auto bytes = HostBytes(path.components[i]);
    // A name holding the host's separator is no single name: the walk below decides it.
    spelled = bytes.has_value() && bytes->find('/') == std::string::npos;
    if (!spelled)
      break;
    if (!exact_text.empty() && exact_text.back() != '/')
      exact_text += '/';
    exact_text += *bytes;
  }
  std::filesystem::path exact(std::move(exact_text));
  if (spelled && stat_of(exact) && (n > 0 || S_ISDIR(seen.stx_mode))) {
    if (path.trailing_separator && !S_ISDIR(seen.stx_mode) && n > 0)
      return ERROR_INVALID_NAME;
    out = {std::move(exact), true, S_ISDIR(seen.stx_mode)};
    return ERROR_SUCCESS;
  }
  seen.stx_mask = 0;
  if (!IsDirectory(path.volume->directory))
    return ERROR_PATH_NOT_FOUND;
  std::filesystem::path host = path.volume->directory;
  for (size_t i = 0; i < n; ++i) {
    // A name no host bytes spell exactly names no entry at all.
    const auto bytes = HostBytes(path.components[i]);
    if (i == path.invalid_component || !bytes)
      return ERROR_INVALID_NAME;
    const auto entry = FindEntry(host, *bytes);
    if (i + 1 < n) {
      if (!entry || !IsDirectory(host / *entry))
        return ERROR_PATH_NOT_FOUND;
      host /= *entry;
      continue;
    }
    if (!entry) {
      out = {host / *bytes, false, false};
      return ERROR_SUCCESS;
    }
    host /= *entry;
  }
  const bool exists = stat_of(host);
  // A name with a trailing separator must be a directory.
  if (exists && path.trailing_separator && !S_ISDIR(seen.stx_mode) && n > 0)
    return ERROR_INVALID_NAME;
  out = {host, exists, exists && S_ISDIR(seen.stx_mode)};
  return ERROR_SUCCESS;
}

std::wstring HostFileSystemName(const std::filesystem::path& directory) {
  struct statfs fs;
  if (::statfs(directory.c_str(), &fs) != 0)
    return L"NTFS";
  if (static_cast<long>(fs.f_type) == kMsdosMagic)
    return L"FAT32";
  if (static_cast<long>(fs.f_type) == kExfatMagic)
    return L"exFAT";
  return L"NTFS";
}

bool WildcardMatch(std::wstring_view pattern, std::wstring_view name) {
  // "*.*" is every name, with or without an extension.
  if (pattern == L"*.*")
    pattern = L"*";
  size_t p = 0, n = 0, star = std::wstring_view::npos, resume = 0;
  auto same = [](wchar_t a, wchar_t b) {
    return std::towupper(static_cast<wint_t>(a)) == std::towupper(static_cast<wint_t>(b));
  };
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == L'?' || same(pattern[p], name[n]))) {
      ++p, ++n;
    } else if (p < pattern.size() && pattern[p] == L'*') {
      star = p++;
      resume = n;
    } else if (star != std::wstring_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == L'*')
    ++p;
  return p == pattern.size();
}

}  // namespace standin
