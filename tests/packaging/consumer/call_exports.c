/* Calls Vortiss's two exports through vortiss.h, linked against the library (an import library
 * on Windows), and prints their answers.
 * Usage: call_exports PATH */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <vortiss.h>

int main(int argc, char** argv) {
  wchar_t path[512];
  size_t length;
  bool administrator;
  bool allowed;

  if (argc != 2) {
    fwprintf(stderr, L"usage: call_exports PATH\n");
    return 2;
  }
  length = mbstowcs(path, argv[1], sizeof path / sizeof path[0]);
  if (length == (size_t)-1 || length >= sizeof path / sizeof path[0]) {
    fwprintf(stderr, L"call_exports: the path is too long or not in the locale's encoding\n");
    return 2;
  }

  administrator = IsUserAdministrator();
  wprintf(L"IsUserAdministrator: %ls\n", administrator ? L"yes" : L"no");
  allowed = IsUserAllowedAccess(path);
  wprintf(L"IsUserAllowedAccess: %ls\n", allowed ? L"yes" : L"no");
  return 0;
}
