// Paths as the platform's Windows names them.
#pragma once

#include <optional>
#include <string>

// A POSIX path in the form the stand-in's Windows knows it by: drive Z: is the host's "/". Its
// directory part is resolved as the kernel resolves it (links before ".."); a name Windows would
// trim (a trailing dot or blank) is kept by the "\\?\" form. A path that starts with a drive
// letter or a backslash is a Windows path and passes as it is; a trailing separator is kept.
// nullopt, with `refusal` saying why, for a name that Windows cannot spell (a backslash).
std::optional<std::wstring> ToWindowsPath(const std::string& path, std::wstring& refusal);
