// The host's console: the wide standard streams that the library writes its trace to, in a
// locale that can show any name.
#pragma once

#include <string>

// Puts the process in the user's locale, or a UTF-8 one when the user's cannot show non-ASCII;
// elsewhere than on Windows the wide standard streams then write UTF-8, a host name's own bytes
// kept as they are.
void UseConsoleLocale();
std::wstring WideFromUtf8(const std::string& text);
