// Where the registry's keys and values are kept: in memory for the run of a profile machine, or
// in a SQLite database for the host. Paths are canonical (see key_paths.h). A store hands over
// a key's descriptor parsed and checked, never its bytes.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/standin/core/owned_descriptor.h"
#include "platform/standin/files/host_lock.h"

namespace standin {

struct RegistryValue {
  std::wstring name;  // as written; "" is the key's default value
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct RegistryKeyRecord {
  std::wstring name;  // the last component as written
  OwnedDescriptor sd;
};

// The operations of one transaction.
class RegistryTransaction {
 public:
  virtual ~RegistryTransaction() = default;
  virtual bool HasKey(const std::wstring& path) = 0;
  // Errors: ERROR_FILE_NOT_FOUND, ERROR_BADDB when the stored descriptor is damaged.
  virtual DWORD Key(const std::wstring& path, RegistryKeyRecord& key) = 0;
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
  // Storage failures give the registry's codes: ERROR_BADDB for a damaged store,
  // ERROR_REGISTRY_IO_FAILED for one that cannot be read or written, ERROR_ACCESS_DENIED,
  // ERROR_LOCK_VIOLATION, ERROR_DISK_FULL.
  virtual DWORD Run(bool write, const std::function<DWORD(RegistryTransaction&)>& body) = 0;
  // The lock that every editor of the store's keys and values in other processes takes from
  // the load of a descriptor to its store; none for a store of this process alone.
  virtual DWORD LockForEdit(HostLock&) { return ERROR_SUCCESS; }
};

std::unique_ptr<RegistryBackend> MakeMemoryRegistry();
// A database file shared by processes: WAL journal, so that readers never wait for a writer;
// synchronous FULL; every write in BEGIN IMMEDIATE ... COMMIT, waiting for other writers. Opened
// on first use in each process, and written first by the first write. A failure is reported on
// standard error with the database's path and SQLite's text; the call returns its code. The
// edit lock is the file beside it, FILE.lock.
std::unique_ptr<RegistryBackend> MakeSqliteRegistry(const std::filesystem::path& file);

}  // namespace standin
