// Edits by `vortiss sd` take turns at one object: the lock is held from the load of the
// descriptor to its store, so that no editor's store undoes what another stored in between.
#pragma once

#include <memory>
#include <string>

#include "platform/win32.h"

class EditLock {
 public:
  EditLock();
  ~EditLock();
  EditLock(const EditLock&) = delete;
  EditLock& operator=(const EditLock&) = delete;

  // Waits for the other editors of the file or directory at the Windows path `path`, or of the
  // registry, and holds them off until this object goes. Returns a Win32 code.
  DWORD LockFile(const std::wstring& path);
  DWORD LockRegistry();

 private:
  struct Held;
  std::unique_ptr<Held> held_;
};
