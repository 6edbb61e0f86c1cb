// The registry calls. They return their code and never touch the last error; parameter checks
// come in the order the platform makes them (Wine's kernelbase/registry.c, checked on Windows).
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/standin/core/acl_walk.h"
#include "platform/standin/core/text.h"
#include "platform/standin/object_security/object_security.h"
#include "platform/standin/registry/key_paths.h"
#include "platform/standin/win32/api_support.h"
#include "platform/standin/win32/handles.h"

using namespace standin;

namespace {

bool IsPredefined(HKEY key) {
  return RootPath(key).has_value();
}

// The key a handle stands for, with the access the handle holds.
DWORD Resolve(Machine& machine, HKEY key, OpenedKey& out) {
  if (const auto root = RootPath(key)) {
    out.path = *root;
    // A predefined handle is opened with the most the root grants; a root that grants nothing
    // still leads to the keys below it.
    machine.registry().RootAccess(*EffectiveToken(machine), *root, out.granted);
    return ERROR_SUCCESS;
  }
  if (!key)
    return ERROR_INVALID_HANDLE;
  const auto handle = std::dynamic_pointer_cast<RegistryKeyHandle>(
      machine.FindHandle(reinterpret_cast<HANDLE>(key)));
  if (!handle)
    return ERROR_INVALID_HANDLE;
  out = *handle;
  return ERROR_SUCCESS;
}

// The key a handle stands for, when the handle holds every right of `needed`.
DWORD ResolveFor(Machine& machine, HKEY key, ACCESS_MASK needed, OpenedKey& out) {
  if (const DWORD error = Resolve(machine, key, out))
    return error;
  return (out.granted & needed) == needed ? ERROR_SUCCESS : static_cast<DWORD>(ERROR_ACCESS_DENIED);
}

HKEY AddKeyHandle(Machine& machine, OpenedKey opened) {
  return reinterpret_cast<HKEY>(
      machine.AddHandle(std::make_shared<RegistryKeyHandle>(std::move(opened))));
}

bool IsString(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Copies a value's data as RegQueryValueEx does: ERROR_MORE_DATA, the buffer left as it was,
// when it does not fit; a string stored without its terminator gets one (of `unit` bytes) when
// there is room.
LSTATUS CopyValue(DWORD type,
                  const std::vector<BYTE>& bytes,
                  LPBYTE data,
                  DWORD room,
                  size_t unit) {
  const DWORD size = static_cast<DWORD>(bytes.size());
  if (room < size)
    return ERROR_MORE_DATA;
  if (size) {
    std::memcpy(data, bytes.data(), size);
    ForgetAclWalks();  // a value may hold a descriptor
  }
  if (IsString(type) && size >= unit && room - size >= unit &&
      std::any_of(data + size - unit, data + size, [](BYTE b) { return b != 0; }))
    std::memset(data + size, 0, unit);
  return ERROR_SUCCESS;
}

// A wide string's code units as the bytes the registry keeps, and back.
std::vector<BYTE> WideBytes(std::wstring_view text) {
  const auto* bytes = reinterpret_cast<const BYTE*>(text.data());
  return std::vector<BYTE>(bytes, bytes + text.size() * sizeof(WCHAR));
}

std::wstring WideOf(const std::vector<BYTE>& bytes) {
  std::wstring text(bytes.size() / sizeof(WCHAR), L'\0');
  if (!text.empty())
    std::memcpy(text.data(), bytes.data(), text.size() * sizeof(WCHAR));
  return text;
}

// An ANSI name handed to a wide service: null stays null.
class WideName {
 public:
  explicit WideName(LPCSTR name) : null_(!name), text_(name ? AnsiToWide(name) : std::wstring()) {}
  LPCWSTR get() const { return null_ ? nullptr : text_.c_str(); }

 private:
  bool null_;
  std::wstring text_;
};

DWORD OpenKey(Machine& machine, HKEY key, LPCWSTR subkey, REGSAM access, PHKEY result) {
  // A predefined root opened again is the same pseudo-handle.
  if (result && (!subkey || !*subkey) && IsPredefined(key)) {
    *result = key;
    return ERROR_SUCCESS;
  }
  if (key == HKEY_CLASSES_ROOT && subkey && *subkey == L'\\')
    ++subkey;
  if (!result)
    return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  OpenedKey base, opened;
  if (const DWORD error = Resolve(machine, key, base))
    return error;
  if (const DWORD error = machine.registry().Open(*EffectiveToken(machine), base.path,
                                                  subkey ? subkey : L"", access, opened))
    return error;
  *result = AddKeyHandle(machine, std::move(opened));
  return ERROR_SUCCESS;
}

// The name of subkey `index`, as the handle lists its subkeys.
DWORD EnumKey(Machine& machine, HKEY key, DWORD index, std::wstring& found) {
  OpenedKey ref;
  if (const DWORD error = ResolveFor(machine, key, KEY_ENUMERATE_SUB_KEYS, ref))
    return error;
  // A handle keeps the names it listed from index 0; a predefined root lists afresh.
  auto handle = std::dynamic_pointer_cast<RegistryKeyHandle>(
      machine.FindHandle(reinterpret_cast<HANDLE>(key)));
  std::vector<std::wstring> listed;
  std::vector<std::wstring>& names = handle ? handle->subkeys : listed;
  if (!handle || index == 0 || names.empty()) {
    if (const DWORD error = machine.registry().Subkeys(ref.path, names))
      return error;
  }
  if (index >= names.size())
    return ERROR_NO_MORE_ITEMS;
  found = names[index];
  return ERROR_SUCCESS;
}

DWORD CreateKey(Machine& machine,
                HKEY key,
                LPCWSTR subkey,
                DWORD reserved,
                REGSAM access,
                LPSECURITY_ATTRIBUTES security,
                PHKEY result,
                LPDWORD disposition) {
  if (!result)
    return ERROR_BADKEY;
  if (reserved)
    return ERROR_INVALID_PARAMETER;
  OpenedKey base, opened;
  if (const DWORD error = Resolve(machine, key, base))
    return error;
  std::optional<OwnedDescriptor> given;
  if (security && security->lpSecurityDescriptor) {
    given.emplace();
    if (ReadCallerDescriptor(security->lpSecurityDescriptor, *given) != ERROR_SUCCESS)
      return ERROR_INVALID_SECURITY_DESCR;
  }
  DWORD how = 0;
  if (const DWORD error =
          machine.registry().Create(*EffectiveToken(machine), base.path, subkey ? subkey : L"",
                                    access, given ? &*given : nullptr, opened, how))
    return error;
  *result = AddKeyHandle(machine, std::move(opened));
  if (disposition)
    *disposition = how;
  return ERROR_SUCCESS;
}

DWORD DeleteKey(Machine& machine, HKEY key, LPCWSTR subkey) {
  if (!subkey)
    return ERROR_INVALID_PARAMETER;
  OpenedKey base, opened;
  if (const DWORD error = Resolve(machine, key, base))
    return error;
  if (const DWORD error =
          machine.registry().Open(*EffectiveToken(machine), base.path, subkey, DELETE, opened))
    return error;
  return machine.registry().DeleteKey(opened.path);
}

// The value `name` of a key, as RegQueryValueEx reads it: the checks it makes first, then the
// value. `length` is cleared before the query when there is no buffer.
DWORD QueryValue(Machine& machine,
                 HKEY key,
                 LPCWSTR name,
                 LPDWORD reserved,
                 LPBYTE data,
                 LPDWORD length,
                 RegistryValue& value) {
  if ((data && !length) || reserved)
    return ERROR_INVALID_PARAMETER;
  OpenedKey ref;
  if (const DWORD error = Resolve(machine, key, ref))
    return error;
  if (!data && length)
    *length = 0;
  if (!(ref.granted & KEY_QUERY_VALUE))
    return ERROR_ACCESS_DENIED;
  return machine.registry().QueryValue(ref.path, name ? name : L"", value);
}

// Hands out a value read by QueryValue: its type, its data when a buffer is given, its size.
LSTATUS HandOutValue(DWORD type,
                     const std::vector<BYTE>& bytes,
                     LPDWORD type_out,
                     LPBYTE data,
                     LPDWORD length,
                     size_t unit) {
  const LSTATUS status = data ? CopyValue(type, bytes, data, *length, unit) : ERROR_SUCCESS;
  if (type_out)
    *type_out = type;
  if (length)
    *length = static_cast<DWORD>(bytes.size());
  return status;
}

// Data the platform cannot read: none where bytes are promised, or an address in the first
// 64 KiB, which no process maps.
bool Unreadable(const BYTE* data, DWORD length) {
  return data ? reinterpret_cast<std::uintptr_t>(data) < 0x10000 : length != 0;
}

DWORD SetValue(Machine& machine, HKEY key, LPCWSTR name, DWORD type, std::vector<BYTE> data) {
  OpenedKey ref;
  if (const DWORD error = ResolveFor(machine, key, KEY_SET_VALUE, ref))
    return error;
  RegistryValue value;
  value.name = name ? name : L"";
  value.type = type;
  value.data = std::move(data);
  return machine.registry().SetValue(ref.path, value);
}

}  // namespace

extern "C" {

LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subkey, DWORD, REGSAM access, PHKEY result) {
  return static_cast<LSTATUS>(StatusCall("RegOpenKeyExW", [&](Machine& machine) -> DWORD {
    return OpenKey(machine, key, subkey, access, result);
  }));
}

LSTATUS WINAPI RegOpenKeyA(HKEY key, LPCSTR subkey, PHKEY result) {
  return static_cast<LSTATUS>(StatusCall("RegOpenKeyA", [&](Machine& machine) -> DWORD {
    if (!result)
      return ERROR_INVALID_PARAMETER;
    // No name: the key itself, the very handle given.
    if (!subkey || !*subkey) {
      *result = key;
      return ERROR_SUCCESS;
    }
    // No key to name it in: the result is left as it was.
    if (!key)
      return ERROR_INVALID_HANDLE;
    const WideName wide(subkey);
    return OpenKey(machine, key, wide.get(), MAXIMUM_ALLOWED, result);
  }));
}

LSTATUS WINAPI RegEnumKeyExW(HKEY key,
                             DWORD index,
                             LPWSTR name,
                             LPDWORD name_size,
                             LPDWORD reserved,
                             LPWSTR class_name,
                             LPDWORD class_size,
                             PFILETIME last_write) {
  return static_cast<LSTATUS>(StatusCall("RegEnumKeyExW", [&](Machine& machine) -> DWORD {
    if (!name || !name_size || reserved)
      return ERROR_INVALID_PARAMETER;
    std::wstring found;
    if (const DWORD error = EnumKey(machine, key, index, found))
      return error;
    if (found.size() + 1 > *name_size)
      return ERROR_MORE_DATA;
    std::copy(found.begin(), found.end(), name);
    name[found.size()] = 0;
    *name_size = static_cast<DWORD>(found.size());
    // Keys carry no class, and the store keeps no write times.
    if (class_name && class_size && *class_size > 0)
      class_name[0] = 0;
    if (class_size)
      *class_size = 0;
    if (last_write)
      *last_write = FILETIME{};
    return ERROR_SUCCESS;
  }));
}

LSTATUS WINAPI RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD name_size) {
  return static_cast<LSTATUS>(StatusCall("RegEnumKeyA", [&](Machine& machine) -> DWORD {
    if (!name)
      return ERROR_INVALID_PARAMETER;
    std::wstring found;
    if (const DWORD error = EnumKey(machine, key, index, found))
      return error;
    if (found.size() + 1 > name_size)
      return ERROR_MORE_DATA;
    const std::string narrow = WideToAnsi(found);
    std::copy(narrow.begin(), narrow.end(), name);
    name[narrow.size()] = 0;
    return ERROR_SUCCESS;
  }));
}

LSTATUS WINAPI RegCreateKeyExW(HKEY key,
                               LPCWSTR subkey,
                               DWORD reserved,
                               LPWSTR,
                               DWORD,
                               REGSAM access,
                               LPSECURITY_ATTRIBUTES security,
                               PHKEY result,
                               LPDWORD disposition) {
  return static_cast<LSTATUS>(StatusCall("RegCreateKeyExW", [&](Machine& machine) -> DWORD {
    return CreateKey(machine, key, subkey, reserved, access, security, result, disposition);
  }));
}

LSTATUS WINAPI RegCreateKeyA(HKEY key, LPCSTR subkey, PHKEY result) {
  return static_cast<LSTATUS>(StatusCall("RegCreateKeyA", [&](Machine& machine) -> DWORD {
    if (!result)
      return ERROR_INVALID_PARAMETER;
    const WideName wide(subkey);
    return CreateKey(machine, key, wide.get(), 0, MAXIMUM_ALLOWED, nullptr, result, nullptr);
  }));
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
  return static_cast<LSTATUS>(StatusCall("RegCloseKey", [&](Machine& machine) -> DWORD {
    if (!key)
      return ERROR_INVALID_HANDLE;
    if (reinterpret_cast<std::uintptr_t>(key) >= 0x80000000u)
      return ERROR_SUCCESS;  // predefined handles are never closed
    const auto handle = reinterpret_cast<HANDLE>(key);
    if (!std::dynamic_pointer_cast<RegistryKeyHandle>(machine.FindHandle(handle)) ||
        !machine.RemoveHandle(handle))
      return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
  }));
}

LSTATUS WINAPI RegDeleteKeyW(HKEY key, LPCWSTR subkey) {
  return static_cast<LSTATUS>(StatusCall(
      "RegDeleteKeyW", [&](Machine& machine) -> DWORD { return DeleteKey(machine, key, subkey); }));
}

LSTATUS WINAPI RegDeleteKeyA(HKEY key, LPCSTR subkey) {
  return static_cast<LSTATUS>(StatusCall("RegDeleteKeyA", [&](Machine& machine) -> DWORD {
    const WideName wide(subkey);
    return DeleteKey(machine, key, wide.get());
  }));
}

LSTATUS WINAPI RegDeleteValueW(HKEY key, LPCWSTR name) {
  return static_cast<LSTATUS>(StatusCall("RegDeleteValueW", [&](Machine& machine) -> DWORD {
    OpenedKey ref;
    if (const DWORD error = ResolveFor(machine, key, KEY_SET_VALUE, ref))
      return error;
    return machine.registry().DeleteValue(ref.path, name ? name : L"");
  }));
}

LSTATUS WINAPI RegGetKeySecurity(HKEY key,
                                 SECURITY_INFORMATION information,
                                 PSECURITY_DESCRIPTOR descriptor,
                                 LPDWORD length) {
  return static_cast<LSTATUS>(StatusCall("RegGetKeySecurity", [&](Machine& machine) -> DWORD {
    if (!length)
      return ERROR_INVALID_PARAMETER;
    OpenedKey ref;
    if (const DWORD error = ResolveFor(machine, key, RightsFor(information, false), ref))
      return error;
    OwnedDescriptor read;
    if (const DWORD error = machine.registry().GetSecurity(ref.path, information, read))
      return error;
    DWORD size = 0;
    const DWORD error = CopyOut(read, descriptor, *length, size);
    if (error != ERROR_NOACCESS)
      *length = size;
    return error;
  }));
}

LSTATUS WINAPI RegSetKeySecurity(HKEY key,
                                 SECURITY_INFORMATION information,
                                 PSECURITY_DESCRIPTOR descriptor) {
  return static_cast<LSTATUS>(StatusCall("RegSetKeySecurity", [&](Machine& machine) -> DWORD {
    if (!(information & kDescriptorParts) || !descriptor)
      return ERROR_INVALID_PARAMETER;
    OpenedKey ref;
    if (const DWORD error = ResolveFor(machine, key, RightsFor(information, true), ref))
      return error;
    OwnedDescriptor given;
    if (ReadCallerDescriptor(descriptor, given) != ERROR_SUCCESS)
      return ERROR_INVALID_SECURITY_DESCR;
    return machine.registry().SetSecurity(*EffectiveToken(machine), ref.path,
                                          information & kDescriptorParts, given);
  }));
}

LSTATUS WINAPI RegQueryValueExW(HKEY key,
                                LPCWSTR name,
                                LPDWORD reserved,
                                LPDWORD type,
                                LPBYTE data,
                                LPDWORD length) {
  return static_cast<LSTATUS>(StatusCall("RegQueryValueExW", [&](Machine& machine) -> DWORD {
    RegistryValue value;
    if (const DWORD error = QueryValue(machine, key, name, reserved, data, length, value))
      return error;
    return static_cast<DWORD>(
        HandOutValue(value.type, value.data, type, data, length, sizeof(WCHAR)));
  }));
}

LSTATUS WINAPI RegQueryValueExA(HKEY key,
                                LPCSTR name,
                                LPDWORD reserved,
                                LPDWORD type,
                                LPBYTE data,
                                LPDWORD length) {
  return static_cast<LSTATUS>(StatusCall("RegQueryValueExA", [&](Machine& machine) -> DWORD {
    const WideName wide(name);
    RegistryValue value;
    if (const DWORD error = QueryValue(machine, key, wide.get(), reserved, data, length, value))
      return error;
    // Strings come back in the ANSI code page, one byte for each character.
    if (IsString(value.type)) {
      const std::string narrow = WideToAnsi(WideOf(value.data));
      value.data.assign(narrow.begin(), narrow.end());
    }
    return static_cast<DWORD>(HandOutValue(value.type, value.data, type, data, length, 1));
  }));
}

LSTATUS WINAPI
RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data, DWORD length) {
  return static_cast<LSTATUS>(StatusCall("RegSetValueExW", [&](Machine& machine) -> DWORD {
    if (Unreadable(data, length))
      return ERROR_NOACCESS;
    return SetValue(machine, key, name, type,
                    length ? std::vector<BYTE>(data, data + length) : std::vector<BYTE>());
  }));
}

LSTATUS WINAPI
RegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE* data, DWORD length) {
  return static_cast<LSTATUS>(StatusCall("RegSetValueExA", [&](Machine& machine) -> DWORD {
    if (Unreadable(data, length))
      return ERROR_NOACCESS;
    std::vector<BYTE> bytes = length ? std::vector<BYTE>(data, data + length) : std::vector<BYTE>();
    // Strings are kept wide: each ANSI byte one character.
    if (IsString(type))
      bytes = WideBytes(
          AnsiToWide(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())));
    const WideName wide(name);
    return SetValue(machine, key, wide.get(), type, std::move(bytes));
  }));
}

}  // extern "C"
