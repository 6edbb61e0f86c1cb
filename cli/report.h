// What the host reports besides its results: the exit statuses of its commands, and the lines on
// standard error, each "vortiss: ..." and a failure's "vortiss: WHAT: error CODE: TEXT".
#pragma once

#include <string>

#include "platform/win32.h"

// The exit statuses.
inline constexpr int kYes = 0;            // admin, access: the answer is yes
inline constexpr int kDone = 0;           // sd: done; sd find: the walk ended
inline constexpr int kNo = 1;             // admin, access: the answer is no
inline constexpr int kFailed = 1;         // sd: a read, a lookup or a write failed
inline constexpr int kUnreadable = 1;     // sd find: some objects could not be read
inline constexpr int kUsage = 2;          // a usage error, a refused profile, no memory left
inline constexpr int kCannotRun = 3;      // admin, access, sd find: the check could not run
inline constexpr int kInterrupted = 130;  // sd find: ended by Ctrl-C, as a shell reports SIGINT

// "vortiss: MESSAGE" on standard error.
void Say(const std::wstring& message);
// "vortiss: WHAT: error CODE: TEXT" on standard error, TEXT the platform's own for CODE on one
// line (left out where the platform has none).
void SayError(const std::wstring& what, DWORD code);

// Say, then the status of a usage error.
int Usage(const std::wstring& message);
// SayError, then `status` (an sd failure unless told otherwise).
int Fail(const std::wstring& what, DWORD code, int status = kFailed);
// The usage error of an empty ACCOUNT: nearly always an unset variable, never a wish for SYSTEM.
int EmptyAccount();

// 'TEXT', as the messages quote a name.
std::wstring Quoted(const std::wstring& text);
