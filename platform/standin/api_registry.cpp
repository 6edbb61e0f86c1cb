// The registry calls. They return their code and never touch the last error; parameter checks
// come in the order the platform makes them (Wine's kernelbase/registry.c, checked on Windows).
#include <cstring>

#include "platform/standin/api_support.h"
#include "platform/standin/registry.h"

namespace standin {

namespace {

// The key a handle stands for, with the access the handle holds.
struct KeyReference {
  std::wstring path;
  ACCESS_MASK granted = 0;
};

bool IsPredefined(HKEY key) {
  return Registry::RootPath(key).has_value();
}

DWORD Resolve(Machine& machine, const TokenData& token, HKEY key, KeyReference& out) {
  if (const auto root = Registry::RootPath(key)) {
    out.path = *root;
    // A predefined handle is opened with the most the root grants; a root that grants nothing
    // still leads to the keys below it.
    machine.registry().RootAccess(token, *root, out.granted);
    return ERROR_SUCCESS;
  }
  if (!key)
    return ERROR_INVALID_HANDLE;
  const auto handle = std::dynamic_pointer_cast<RegistryKeyHandle>(
      machine.FindHandle(reinterpret_cast<HANDLE>(key)));
  if (!handle)
    return ERROR_INVALID_HANDLE;
  out.path = handle->path;
  out.granted = handle->granted;
  return ERROR_SUCCESS;
}

HKEY AddKeyHandle(Machine& machine, const RegistryKeyHandle& opened) {
  return reinterpret_cast<HKEY>(machine.AddHandle(std::make_shared<RegistryKeyHandle>(opened)));
}

bool IsString(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// The rights a handle needs to read or write the parts `information` names.
ACCESS_MASK RightsFor(SECURITY_INFORMATION information, bool write) {
  ACCESS_MASK rights = 0;
  if (information & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION))
    rights |= write ? WRITE_OWNER : READ_CONTROL;
  if (information & DACL_SECURITY_INFORMATION)
    rights |= write ? WRITE_DAC : READ_CONTROL;
  if (information & SACL_SECURITY_INFORMATION)
    rights |= ACCESS_SYSTEM_SECURITY;
  return rights;
}

}  // namespace

}  // namespace standin

using namespace standin;

extern "C" {

LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subkey, DWORD, REGSAM access, PHKEY result) {
  auto call = EnterCall("RegOpenKeyExW");
  if (call.fault)
    return static_cast<LSTATUS>(*call.fault);
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
  const auto token = EffectiveToken(*call.machine);
  KeyReference base;
  if (const DWORD resolved = Resolve(*call.machine, *token, key, base); resolved != ERROR_SUCCESS)
    return static_cast<LSTATUS>(resolved);
  RegistryKeyHandle opened;
  const DWORD status =
      call.machine->registry().Open(*token, base.path, subkey ? subkey : L"", access, opened);
  if (status != ERROR_SUCCESS)
    return static_cast<LSTATUS>(status);
  *result = AddKeyHandle(*call.machine, opened);
  return ERROR_SUCCESS;
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
  auto call = EnterCall("RegCreateKeyExW");
  if (call.fault)
    return static_cast<LSTATUS>(*call.fault);
  if (!result)
    return ERROR_BADKEY;
  if (reserved)
    return ERROR_INVALID_PARAMETER;
  const auto token = EffectiveToken(*call.machine);
  KeyReference base;
  if (const DWORD resolved = Resolve(*call.machine, *token, key, base); resolved != ERROR_SUCCESS)
    return static_cast<LSTATUS>(resolved);
  std::optional<OwnedDescriptor> given;
  if (security && security->lpSecurityDescriptor) {
    DescriptorParts parts;
    if (ReadDescriptor(security->lpSecurityDescriptor, parts) != ERROR_SUCCESS)
      return ERROR_INVALID_SECURITY_DESCR;
    given = OwnedDescriptor::From(parts);
  }
  RegistryKeyHandle opened;
  DWORD how = 0;
  const DWORD status =
      call.machine->registry().Create(*token, base.path, base.granted, subkey ? subkey : L"",
                                      access, given ? &*given : nullptr, opened, how);
  if (status != ERROR_SUCCESS)
    return static_cast<LSTATUS>(status);
  *result = AddKeyHandle(*call.machine, opened);
  if (disposition)
    *disposition = how;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
  auto call = EnterCall("RegCloseKey");
  if (call.fault)
    return static_cast<LSTATUS>(*call.fault);
  if (!key)
    return ERROR_INVALID_HANDLE;
  if (reinterpret_cast<std::uintptr_t>(key) >= 0x80000000u)
    return ERROR_SUCCESS;  // predefined handles are never closed
  const auto handle = std::dynamic_pointer_cast<RegistryKeyHandle>(
      call.machine->FindHandle(reinterpret_cast<HANDLE>(key)));
  if (!handle || !call.machine->RemoveHandle(reinterpret_cast<HANDLE>(key)))
    return ERROR_INVALID_HANDLE;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteKeyW(HKEY key, LPCWSTR subkey) {
  auto call = EnterCall("RegDeleteKeyW");
  if (call.fault)
    return static_cast<LSTATUS>(*call.fault);
  if (!subkey)
    return ERROR_INVALID_PARAMETER;
  const auto token = EffectiveToken(*call.machine);
  KeyReference base;
  if (const DWORD resolved = Resolve(*call.machine, *token, key, base); resolved != ERROR_SUCCESS)
    return static_cast<LSTATUS>(resolved);
  RegistryKeyHandle opened;
  Registry& registry = call.machine->registry();
  if (const DWORD status = registry.Open(*token, base.path, subkey, DELETE, opened);
      status != ERROR_SUCCESS)
    return static_cast<LSTATUS>(status);
  return static_cast<LSTATUS>(registry.DeleteKey(opened.path));
}

LSTATUS WINAPI RegDeleteValueW(HKEY key, LPCWSTR name) {
  auto call = EnterCall("RegDeleteValueW");
  if (call.fault)
    return static_cast<LSTATUS>(*call.fault);
  const auto token = EffectiveToken(*call.machine);
  KeyReference ref;
  if (const DWORD resolved = Resolve(*call.machine, *token, key, ref); resolved != ERROR_SUCCESS)
    return static_cast<LSTATUS>(resolved);
  if (!(ref.granted & KEY_SET_VALUE))
    return ERROR_ACCESS_DENIED;
  return static_cast<LSTATUS>(call.machine->registry().DeleteValue(ref.path, name ? name : L""));
}

LSTATUS WINAPI RegGetKeySecurity(HKEY key,
                                 SECURITY_INFORMATION information,
                                 PSECURITY_DESCRIPTOR descriptor,
                                 LPDWORD length) {
  auto call = EnterCall("RegGetKeySecurity");
  if (call.fault)
    return static_cast<LSTATUS>(*call.fault);
  if (!length)
    return ERROR_INVALID_PARAMETER;
  const auto token = EffectiveToken(*call.machine);
  KeyReference ref;
  if (const DWORD resolved = Resolve(*call.machine, *token, key, ref); resolved != ERROR_SUCCESS)
    return static_cast<LSTATUS>(resolved);
  const ACCESS_MASK needed = RightsFor(information, false);
  if ((ref.granted & needed) != needed)
    return ERROR_ACCESS_DENIED;
  std::vector<BYTE> sd;
  if (const DWORD status = call.machine->registry().GetSecurity(ref.path, information, sd);
      status != ERROR_SUCCESS)
    return static_cast<LSTATUS>(status);
  if (*length < sd.size()) {
    *length = static_cast<DWORD>(sd.size());
    return ERROR_INSUFFICIENT_BUFFER;
  }
  if (!descriptor)
    return ERROR_NOACCESS;
  std::memcpy(descriptor, sd.data(), sd.size());
  *length = static_cast<DWORD>(sd.size());
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetKeySecurity(HKEY key,
                                 SECURITY_INFORMATION information,
                                 PSECURITY_DESCRIPTOR descriptor) {
  auto call = EnterCall("RegSetKeySecurity");
  if (call.fault)
    return static_cast<LSTATUS>(*call.fault);
  const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                     DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;
  if (!(information & parts) || !descriptor)
    return ERROR_INVALID_PARAMETER;
  const auto token = EffectiveToken(*call.machine);
  KeyReference ref;
  if (const DWORD resolved = Resolve(*call.machine, *token, key, ref); resolved != ERROR_SUCCESS)
    return static_cast<LSTATUS>(resolved);
  const ACCESS_MASK needed = RightsFor(information, true);
  if ((ref.granted & needed) != needed)
    return ERROR_ACCESS_DENIED;
  DescriptorParts given;
  if (ReadDescriptor(descriptor, given) != ERROR_SUCCESS)
    return ERROR_INVALID_SECURITY_DESCR;
  return static_cast<LSTATUS>(call.machine->registry().SetSecurity(
      *token, ref.path, information & parts, OwnedDescriptor::From(given)));
}

LSTATUS WINAPI RegQueryValueExW(HKEY key,
                                LPCWSTR name,
                                LPDWORD reserved,
                                LPDWORD type,
                                LPBYTE data,
                                LPDWORD length) {
  auto call = EnterCall("RegQueryValueExW");
  if (call.fault)
    return static_cast<LSTATUS>(*call.fault);
  if ((data && !length) || reserved)
    return ERROR_INVALID_PARAMETER;
  const auto token = EffectiveToken(*call.machine);
  KeyReference ref;
  if (const DWORD resolved = Resolve(*call.machine, *token, key, ref); resolved != ERROR_SUCCESS)
    return static_cast<LSTATUS>(resolved);
  // Without a buffer the length is cleared before the query, as the platform does.
  if (!data && length)
    *length = 0;
  if (!(ref.granted & KEY_QUERY_VALUE))
    return ERROR_ACCESS_DENIED;
  RegistryValue value;
  if (const DWORD status = call.machine->registry().QueryValue(ref.path, name ? name : L"", value);
      status != ERROR_SUCCESS)
    return static_cast<LSTATUS>(status);
  const DWORD size = static_cast<DWORD>(value.data.size());
  LSTATUS status = ERROR_SUCCESS;
  if (data) {
    if (*length < size) {
      status = ERROR_MORE_DATA;  // the buffer is left as it was
    } else {
      if (size)
        std::memcpy(data, value.data.data(), size);
      // A string stored without its terminator gets one when there is room.
      if (IsString(value.type) && size >= sizeof(WCHAR) && *length - size >= sizeof(WCHAR)) {
        WCHAR last;
        std::memcpy(&last, data + size - sizeof(WCHAR), sizeof(WCHAR));
        if (last) {
          const WCHAR zero = 0;
          std::memcpy(data + size, &zero, sizeof(WCHAR));
        }
      }
    }
  }
  if (type)
    *type = value.type;
  if (length)
    *length = size;
  return status;
}

LSTATUS WINAPI
RegSetValueExW(HKEY key, LPCWSTR name, DWORD, DWORD type, const BYTE* data, DWORD length) {
  auto call = EnterCall("RegSetValueExW");
  if (call.fault)
    return static_cast<LSTATUS>(*call.fault);
  if (!data && length)
    return ERROR_NOACCESS;
  const auto token = EffectiveToken(*call.machine);
  KeyReference ref;
  if (const DWORD resolved = Resolve(*call.machine, *token, key, ref); resolved != ERROR_SUCCESS)
    return static_cast<LSTATUS>(resolved);
  if (!(ref.granted & KEY_SET_VALUE))
    return ERROR_ACCESS_DENIED;
  RegistryValue value;
  value.name = name ? name : L"";
  value.type = type;
  if (length)
    value.data.assign(data, data + length);
  return static_cast<LSTATUS>(call.machine->registry().SetValue(ref.path, value));
}

}  // extern "C"
