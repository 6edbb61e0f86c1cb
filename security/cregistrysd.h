// Registry descriptors: CRegistrySD, the descriptor of a registry key; CEmbeddedRegistrySD, a
// descriptor kept as data in a REG_BINARY value. Neither keeps a key open between operations.
#pragma once

#include <string>

#include "security/csd.h"

class CRegistrySD : public CSD {
 public:
  // Loads the owner and DACL of `root`\`subkey`; a null root or an empty path leaves the object
  // invalid with error 87, without touching the registry. The root is borrowed.
  CRegistrySD(HKEY root, const std::wstring& subkey);
  CRegistrySD(const CRegistrySD& other);
  CRegistrySD& operator=(const CRegistrySD& other);
  ~CRegistrySD() override;

  // Writes the owner and the DACL; `bInherit` true lets the key inherit from its parent.
  int SecureObject(bool bInherit) override;

 protected:
  int Initialize() override;
  // Re-applies the key's DACL, protected or not, so that the platform recomputes inheritance.
  int SetInheritance(bool bInherit);

 private:
  // Writes one part (owner or DACL) of the absolute descriptor to the key.
  int WritePart(REGSAM access, SECURITY_INFORMATION part, bool* refused);

  std::wstring strSubKey;
  HKEY hRootKey;
};

class CEmbeddedRegistrySD : public CSD {
 public:
  // Loads the descriptor stored in the value `name` of `root`\`subkey`. A key or value that
  // cannot be read leaves the object valid with the error in GetLastError; bytes that are no
  // valid descriptor leave it invalid.
  CEmbeddedRegistrySD(HKEY root, const std::wstring& subkey, const std::wstring& name);
  CEmbeddedRegistrySD(const CEmbeddedRegistrySD&) = delete;
  CEmbeddedRegistrySD& operator=(const CEmbeddedRegistrySD&) = delete;
  ~CEmbeddedRegistrySD() override;

  // Builds the descriptor from the model and stores it as REG_BINARY; the key must exist.
  int SecureObject(bool bInherit) override;

 protected:
  int Initialize() override;

 private:
  std::wstring strSubKey;
  std::wstring strValueName;
  HKEY hRootKey;
  DWORD dwValueType;
};
