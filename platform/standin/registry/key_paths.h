// Registry key paths: the predefined roots and their names, and canonical paths, the root's
// name and each component in upper case joined by "\" ("HKEY_LOCAL_MACHINE\SOFTWARE\EXAMPLE").
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/standin/win32api.h"

namespace standin {

// The canonical path of a predefined root handle, whose value counts by its low 32 bits;
// nullopt for any other value.
std::optional<std::wstring> RootPath(HKEY root);
// The root of an object name of the named-security calls ("MACHINE\...", "CURRENT_USER\...",
// "CLASSES_ROOT\...", "USERS\..."), with the rest of the name; nullopt without one.
std::optional<HKEY> RootOfObjectName(std::wstring_view name, std::wstring_view& rest);

// The components of a subkey path. Trailing "\"s are allowed; a leading one, or an empty
// component inside, is not (ERROR_BAD_PATHNAME); a component of more than 255 characters is
// ERROR_INVALID_PARAMETER.
DWORD SplitSubkey(std::wstring_view subkey, std::vector<std::wstring>& components);

// Windows' limits on a key: characters in its name, and levels of keys below a root.
inline constexpr size_t kMaxKeyNameLength = 255;
inline constexpr size_t kMaxKeyDepth = 512;

// Reads "HKLM\Software\Example" (a root's short or full name, then components) into its
// canonical root and components; false when it is no key path, with the reason in `why`: an
// unknown root, an empty name, a name too long or holding a control character, too many levels.
// Takes time linear in the text's length.
bool ParseKeyPath(const std::wstring& text,
                  std::wstring& root,
                  std::vector<std::wstring>& components,
                  std::string* why = nullptr);

// The canonical path of `component` below `parent`.
std::wstring ChildPath(const std::wstring& parent, const std::wstring& component);
// Makes `path` the canonical path of `component` below it, in place, so that walking down a
// path costs time linear in its length.
void AppendChild(std::wstring& path, std::wstring_view component);
// The parent of a canonical path; empty for a root.
std::wstring ParentPath(const std::wstring& path);
// The last component of a path.
std::wstring LastComponent(const std::wstring& path);

}  // namespace standin
