// CFileSD: the descriptor of one file or directory, read at construction (owner and DACL) and
// written back by SecureObject, with the directory's entries made to follow.
#pragma once

#include <string>

#include "security/csd.h"

class CFileSD : public CSD {
 public:
  // Reads the descriptor of `path`; a failed read shows in IsValid and GetLastError.
  explicit CFileSD(const std::wstring& path);
  CFileSD(const CFileSD& other);
  // Carries `other`'s descriptor, bound to `path`; reads nothing.
  CFileSD(const CFileSD& other, std::wstring path);
  ~CFileSD() override;
  CFileSD& operator=(const CFileSD& other);

  // Writes the DACL to the object; `bInherit` true leaves it open to its parent's inheritable
  // entries, false protects it. A directory's entries follow.
  int SecureObject(bool bInherit) override;

 protected:
  int Initialize() override;
  // Re-applies the object's DACL, protected or not, so that the platform propagates it.
  int SetInheritance(bool bInherit);

 private:
  std::wstring strPath;
};
