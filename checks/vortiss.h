/* Vortiss: the two exports of Vortiss.dll (libvortiss.so on Linux), for C and C++ callers.
 *
 * Both return a one-byte boolean (C's bool, C++'s bool), not the four-byte BOOL, and use the C
 * calling convention (__cdecl) on 32-bit Windows, where it matters. By ordinal:
 * IsUserAdministrator is 1, IsUserAllowedAccess 2. Paths are wide strings: 16-bit units on
 * Windows, 32-bit on Linux. Each call writes its trace to the wide standard output and error. */
#ifndef VORTISS_H
#define VORTISS_H

#include <stddef.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#define VORTISS_CALL __cdecl
#else
#define VORTISS_CALL
#endif

#define VORTISS_ORDINAL_IS_USER_ADMINISTRATOR 1
#define VORTISS_ORDINAL_IS_USER_ALLOWED_ACCESS 2

#ifdef __cplusplus
extern "C" {
#endif

/* True when the user the process runs as is a member of the local Administrators group. */
bool VORTISS_CALL IsUserAdministrator(void);

/* True when that user may create and write files in the directory of `path`. */
bool VORTISS_CALL IsUserAllowedAccess(const wchar_t* path);

/* The exports' types, for callers that look them up at run time (GetProcAddress, dlsym). */
typedef bool(VORTISS_CALL* VortissIsUserAdministratorProc)(void);
typedef bool(VORTISS_CALL* VortissIsUserAllowedAccessProc)(const wchar_t* path);

#ifdef __cplusplus
}
#endif

#endif /* VORTISS_H */
