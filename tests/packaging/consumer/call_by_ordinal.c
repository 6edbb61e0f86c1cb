/* Loads Vortiss.dll at run time, finds its exports by ordinal (1 and 2), checks that they are
 * the exports of those names, calls both and prints their answers: the one-byte boolean that
 * vortiss.h declares, and the whole return register as a caller that reads it as an integer
 * sees it (NSIS's System plug-in, a BOOL prototype).
 * Usage: call_by_ordinal PATH */
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include <vortiss.h>

/* The export at `ordinal`, or NULL with a message when it is missing or is not `name`. */
static FARPROC ExportByOrdinal(HMODULE library, WORD ordinal, const char* name) {
  FARPROC by_ordinal = GetProcAddress(library, MAKEINTRESOURCEA(ordinal));
  FARPROC by_name = GetProcAddress(library, name);
  if (!by_ordinal) {
    fwprintf(stderr, L"call_by_ordinal: no export at ordinal %u, error %lu\n", (unsigned)ordinal,
             GetLastError());
    return NULL;
  }
  if (by_ordinal != by_name) {
    fwprintf(stderr, L"call_by_ordinal: ordinal %u is not %hs\n", (unsigned)ordinal, name);
    return NULL;
  }
  wprintf(L"ordinal %u: %hs\n", (unsigned)ordinal, name);
  return by_ordinal;
}

/* The exports as a caller that reads the whole return register as an integer declares them. */
typedef INT_PTR(__cdecl* WholeAdministrator)(void);
typedef INT_PTR(__cdecl* WholeAllowed)(const wchar_t* path);

/* The whole return register of an answer, as hexadecimal digits. */
static void PrintRegister(const char* name, INT_PTR value) {
  const unsigned long long bits = (unsigned long long)(ULONG_PTR)value;
  wprintf(L"%hs register: 0x%08lx%08lx\n", name, (unsigned long)(bits >> 32),
          (unsigned long)(bits & 0xffffffffu));
}

int main(int argc, char** argv) {
  wchar_t path[MAX_PATH];
  size_t length;
  HMODULE library;
  FARPROC administrator_export;
  FARPROC access_export;
  int status = 1;

  if (argc != 2) {
    fwprintf(stderr, L"usage: call_by_ordinal PATH\n");
    return 2;
  }
  length = mbstowcs(path, argv[1], MAX_PATH);
  if (length == (size_t)-1 || length >= MAX_PATH) {
    fwprintf(stderr, L"call_by_ordinal: the path is too long or not in the locale's encoding\n");
    return 2;
  }

  library = LoadLibraryW(L"Vortiss.dll");
  if (!library) {
    fwprintf(stderr, L"call_by_ordinal: cannot load Vortiss.dll, error %lu\n", GetLastError());
    return 1;
  }
  administrator_export =
      ExportByOrdinal(library, VORTISS_ORDINAL_IS_USER_ADMINISTRATOR, "IsUserAdministrator");
  access_export =
      ExportByOrdinal(library, VORTISS_ORDINAL_IS_USER_ALLOWED_ACCESS, "IsUserAllowedAccess");
  if (administrator_export && access_export) {
    /* Through void (*)(void), the type a function pointer may be converted through freely. */
    VortissIsUserAdministratorProc is_administrator =
        (VortissIsUserAdministratorProc)(void (*)(void))administrator_export;
    VortissIsUserAllowedAccessProc is_allowed =
        (VortissIsUserAllowedAccessProc)(void (*)(void))access_export;
    WholeAdministrator administrator_register =
        (WholeAdministrator)(void (*)(void))administrator_export;
    WholeAllowed allowed_register = (WholeAllowed)(void (*)(void))access_export;
    wprintf(L"IsUserAdministrator: %ls\n", is_administrator() ? L"yes" : L"no");
    wprintf(L"IsUserAllowedAccess: %ls\n", is_allowed(path) ? L"yes" : L"no");
    PrintRegister("IsUserAdministrator", administrator_register());
    PrintRegister("IsUserAllowedAccess", allowed_register(path));
    PrintRegister("IsUserAllowedAccess (no such folder)",
                  allowed_register(L"C:\\no\\such\\dir\\file"));
    status = 0;
  }
  FreeLibrary(library);
  return status;
}
