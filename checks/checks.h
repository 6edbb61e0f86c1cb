/* The two checks behind the exports, with C linkage so that the exports' definitions
 * (exports.c) can call them. Neither lets an exception out: a failure is the answer no. */
#ifndef VORTISS_CHECKS_H
#define VORTISS_CHECKS_H

#include <stddef.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Whether the host process's user is a member of the local Administrators group. */
bool CheckIsUserAdministrator(void);

/* Whether that user may create and write files in the directory of `path`. */
bool CheckIsUserAllowedAccess(const wchar_t* path);

#ifdef __cplusplus
}
#endif

#endif /* VORTISS_CHECKS_H */
