// What the handles of the Win32 layer stand for: tokens, open files, directory listings and
// registry keys, each held in the machine's handle table.
#pragma once

#include <memory>
#include <vector>

#include "platform/standin/files/file_system.h"
#include "platform/standin/identity/token.h"
#include "platform/standin/machine/machine.h"
#include "platform/standin/registry/registry.h"

namespace standin {

struct TokenHandle : HandleObject {
  std::shared_ptr<const TokenData> token;
  DWORD access = 0;
};

// An open file; closing the handle closes the file.
struct FileHandle : HandleObject {
  FileHandle(std::shared_ptr<OpenFile> file, std::weak_ptr<FileSystem> files);
  ~FileHandle() override;
  std::shared_ptr<OpenFile> file;
  std::weak_ptr<FileSystem> files;
};

// A directory listing taken when the enumeration began.
struct FindListing : HandleObject {
  std::vector<WIN32_FIND_DATAW> entries;
  size_t next = 0;
};

// An open key, as a registry HKEY stands for it.
struct RegistryKeyHandle : HandleObject, OpenedKey {
  explicit RegistryKeyHandle(OpenedKey key) : OpenedKey(std::move(key)) {}
  // The subkeys' names as RegEnumKeyExW listed them from index 0, so that an enumeration reads
  // the store once.
  std::vector<std::wstring> subkeys;
};

}  // namespace standin
