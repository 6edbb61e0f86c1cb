#include "cli/library.h"

#include "cli/console.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#include <cstdlib>
#endif

#ifdef _WIN32

VortissLibrary::VortissLibrary() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring file = L"Vortiss.dll";
  if (length > 0 && length < MAX_PATH) {
    std::wstring self(path, length);
    file = self.substr(0, self.find_last_of(L"\\/") + 1) + file;
  }
  handle_ = LoadLibraryW(file.c_str());
  if (!handle_)
    error_ = L"cannot load " + file + L", error " + std::to_wstring(GetLastError());
}

VortissLibrary::~VortissLibrary() {
  if (handle_)
    FreeLibrary(static_cast<HMODULE>(handle_));
}

void* VortissLibrary::Export(const char* name) const {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

#else

VortissLibrary::VortissLibrary() {
  std::string file;
  if (const char* explicit_path = std::getenv("VORTISS_LIBRARY"); explicit_path && *explicit_path) {
    file = explicit_path;
  } else {
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    file = "libvortiss.so";
    if (length > 0) {
      const std::string path(self, static_cast<size_t>(length));
      file = path.substr(0, path.rfind('/') + 1) + file;
    }
  }
  handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    const char* why = dlerror();
    error_ = WideFromUtf8(why ? why : ("cannot load " + file).c_str());
  }
}

VortissLibrary::~VortissLibrary() {
  if (handle_)
    dlclose(handle_);
}

void* VortissLibrary::Export(const char* name) const {
  return handle_ ? dlsym(handle_, name) : nullptr;
}

#endif
