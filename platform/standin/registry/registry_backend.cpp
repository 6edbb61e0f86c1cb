// The in-memory registry of a profile machine.
#include "platform/standin/registry/registry_backend.h"

#include <map>
#include <mutex>

#include "platform/standin/core/text.h"

namespace standin {

namespace {

struct StoredKey {
  std::wstring parent;
  RegistryKeyRecord record;
};

struct MemoryState {
  std::map<std::wstring, StoredKey> keys;
  // By key path and upper-cased value name.
  std::map<std::pair<std::wstring, std::wstring>, RegistryValue> values;
};

class MemoryTransaction : public RegistryTransaction {
 public:
  explicit MemoryTransaction(MemoryState& state) : state_(state) {}

  bool HasKey(const std::wstring& path) override { return state_.keys.count(path) != 0; }

  DWORD Key(const std::wstring& path, RegistryKeyRecord& key) override {
    const auto it = state_.keys.find(path);
    if (it == state_.keys.end())
      return ERROR_FILE_NOT_FOUND;
    key = it->second.record;
    return ERROR_SUCCESS;
  }

  std::vector<std::wstring> Subkeys(const std::wstring& path) override {
    std::vector<std::wstring> out;
    for (auto it = state_.keys.lower_bound(path + L"\\");
         it != state_.keys.end() && it->first.starts_with(path + L"\\"); ++it) {
      if (it->second.parent == path)
        out.push_back(it->first);
    }
    return out;
  }

  void PutKey(const std::wstring& path,
              const std::wstring& parent,
              const RegistryKeyRecord& key) override {
    state_.keys[path] = {parent, key};
  }

  void RemoveKey(const std::wstring& path) override {
    state_.keys.erase(path);
    auto it = state_.values.lower_bound({path, L""});
    while (it != state_.values.end() && it->first.first == path)
      it = state_.values.erase(it);
  }

  std::optional<RegistryValue> Value(const std::wstring& path, const std::wstring& name) override {
    const auto it = state_.values.find({path, UpperCase(name)});
    if (it == state_.values.end())
      return std::nullopt;
    return it->second;
  }

  void PutValue(const std::wstring& path, const RegistryValue& value) override {
    state_.values[{path, UpperCase(value.name)}] = value;
  }

  bool RemoveValue(const std::wstring& path, const std::wstring& name) override {
    return state_.values.erase({path, UpperCase(name)}) != 0;
  }

 private:
  MemoryState& state_;
};

class MemoryRegistry : public RegistryBackend {
 public:
  DWORD Run(bool write, const std::function<DWORD(RegistryTransaction&)>& body) override {
    std::lock_guard lock(mutex_);
    if (!write) {
      MemoryTransaction tx(state_);
      return body(tx);
    }
    // Writes work on a copy that replaces the state only when the whole body succeeds.
    MemoryState copy = state_;
    MemoryTransaction tx(copy);
    const DWORD result = body(tx);
    if (result == ERROR_SUCCESS)
      state_ = std::move(copy);
    return result;
  }

 private:
  std::mutex mutex_;
  MemoryState state_;
};

}  // namespace

std::unique_ptr<RegistryBackend> MakeMemoryRegistry() {
  return std::make_unique<MemoryRegistry>();
}

}  // namespace standin
