// Where the registry's keys and values are kept: in memory for the run of a profile machine, or
// in a SQLite database for the host. Paths are canonical: the root's name and each component
// in upper case, joined by "\" ("HKEY_LOCAL_MACHINE\SOFTWARE\EXAMPLE").
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/standin/win32api.h"

namespace standin {

struct RegistryValue {
  std::wstring name;  // as written; "" is the key's default value
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct RegistryKeyRecord {
  std::wstring name;     // the last component as written
  std::vector<BYTE> sd;  // self-relative; checked by the registry when it reads it
};

// The operations of one transaction.
class RegistryTransaction {
 public:
  virtual ~RegistryTransaction() = default;
  virtual std::optional<RegistryKeyRecord> Key(const std::wstring& path) = 0;
  // Canonical paths of the direct subkeys.
  virtual std::vector<std::wstring> Subkeys(const std::wstring& path) = 0;
  // Inserts or replaces a key; `parent` is empty for a root.
  virtual void PutKey(const std::wstring& path,
                      const std::wstring& parent,
                      const RegistryKeyRecord& key) = 0;
  // Removes a key and its values.
  virtual void RemoveKey(const std::wstring& path) = 0;
  virtual std::optional<RegistryValue> Value(const std::wstring& path,
                                             const std::wstring& name) = 0;
  virtual void PutValue(const std::wstring& path, const RegistryValue& value) = 0;
  virtual bool RemoveValue(const std::wstring& path, const std::wstring& name) = 0;
};

class RegistryBackend {
 public:
  virtual ~RegistryBackend() = default;
  // Runs `body` as one transaction: kept when it returns ERROR_SUCCESS, undone otherwise.
  // Storage failures give ERROR_REGISTRY_IO_FAILED.
  virtual DWORD Run(bool write, const std::function<DWORD(RegistryTransaction&)>& body) = 0;
};

std::unique_ptr<RegistryBackend> MakeMemoryRegistry();
// A database file shared by processes: WAL journal, synchronous FULL, every write in BEGIN
// IMMEDIATE ... COMMIT, waiting for other writers. Opened on first use in each process.
std::unique_ptr<RegistryBackend> MakeSqliteRegistry(const std::filesystem::path& file);

// The host's database: VORTISS_REGISTRY, else $XDG_DATA_HOME/vortiss/registry.db, else
// ~/.local/share/vortiss/registry.db.
std::filesystem::path HostRegistryFile();

}  // namespace standin
