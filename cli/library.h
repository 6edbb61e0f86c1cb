// The Vortiss library, loaded at run time as a person's program would load it.
#pragma once

#include <string>

class VortissLibrary {
 public:
  using AdministratorCheck = bool (*)();
  using AccessCheck = bool (*)(const wchar_t*);

  // Loads the library that sits beside this program (or the one VORTISS_LIBRARY names).
  VortissLibrary();
  ~VortissLibrary();
  VortissLibrary(const VortissLibrary&) = delete;
  VortissLibrary& operator=(const VortissLibrary&) = delete;

  bool loaded() const { return handle_ != nullptr; }
  // Why loading failed, for the message on standard error.
  const std::wstring& error() const { return error_; }
  // An export by name, or null when the library has none of that name.
  void* Export(const char* name) const;

 private:
  void* handle_ = nullptr;
  std::wstring error_;
};
