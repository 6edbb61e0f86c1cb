// The loader's part: the module entry point is called on load and unload, as Windows calls it.
#include "platform/standin/win32api.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

namespace {

int g_module_marker;

HINSTANCE ThisModule() {
  return &g_module_marker;
}

[[gnu::constructor]] void ProcessAttach() {
  DllMain(ThisModule(), DLL_PROCESS_ATTACH, nullptr);
}

[[gnu::destructor]] void ProcessDetach() {
  DllMain(ThisModule(), DLL_PROCESS_DETACH, nullptr);
}

}  // namespace
