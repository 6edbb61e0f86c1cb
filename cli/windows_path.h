// Paths as the platform's Windows names them.
#pragma once

#include <string>

// A POSIX path in the form the stand-in's Windows knows it by: drive Z: is the host's "/".
// Windows paths (a drive letter or backslashes) pass as they are; a trailing separator is kept.
std::wstring ToWindowsPath(const std::string& path);
