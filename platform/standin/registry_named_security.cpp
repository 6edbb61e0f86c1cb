// Registry keys by name for GetNamedSecurityInfoW and SetNamedSecurityInfoW: "MACHINE\...",
// "CURRENT_USER\...", "CLASSES_ROOT\...", "USERS\..."; any other name is refused with
// ERROR_INVALID_PARAMETER, as the platform's name parsing does.
#include <cstring>

#include "platform/standin/acl.h"
#include "platform/standin/api_support.h"
#include "platform/standin/registry.h"

namespace standin {

namespace {

DWORD OpenByName(Machine& machine,
                 const TokenData& token,
                 LPCWSTR name,
                 ACCESS_MASK access,
                 RegistryKeyHandle& opened) {
  if (!name)
    return ERROR_INVALID_PARAMETER;
  std::wstring_view rest;
  const auto root = Registry::RootOfObjectName(name, rest);
  if (!root)
    return ERROR_INVALID_PARAMETER;
  return machine.registry().Open(token, *Registry::RootPath(*root), rest, access, opened);
}

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

DWORD GetRegistryNamedSecurity(Machine& machine,
                               LPCWSTR name,
                               SECURITY_INFORMATION information,
                               PSID* owner,
                               PSID* group,
                               PACL* dacl,
                               PACL* sacl,
                               PSECURITY_DESCRIPTOR* descriptor) {
  // The parts point into the descriptor, so the caller must take it to free them.
  if (!descriptor)
    return ERROR_INVALID_PARAMETER;
  const auto token = EffectiveToken(machine);
  RegistryKeyHandle key;
  if (const DWORD opened = OpenByName(machine, *token, name, RightsFor(information, false), key);
      opened != ERROR_SUCCESS)
    return opened;
  std::vector<BYTE> sd;
  if (const DWORD read = machine.registry().GetSecurity(key.path, information, sd);
      read != ERROR_SUCCESS)
    return read;
  auto* out = static_cast<BYTE*>(machine.Allocate(BufferKind::kLocal, sd.size()));
  if (!out)
    return ERROR_NOT_ENOUGH_MEMORY;
  std::memcpy(out, sd.data(), sd.size());
  DescriptorParts parts;
  ReadSelfRelative(out, sd.size(), parts);
  if (owner)
    *owner = (information & OWNER_SECURITY_INFORMATION) ? const_cast<BYTE*>(parts.owner) : nullptr;
  if (group)
    *group = (information & GROUP_SECURITY_INFORMATION) ? const_cast<BYTE*>(parts.group) : nullptr;
  if (dacl)
    *dacl = (information & DACL_SECURITY_INFORMATION)
                ? reinterpret_cast<PACL>(const_cast<BYTE*>(parts.dacl))
                : nullptr;
  if (sacl)
    *sacl = (information & SACL_SECURITY_INFORMATION)
                ? reinterpret_cast<PACL>(const_cast<BYTE*>(parts.sacl))
                : nullptr;
  *descriptor = out;
  return ERROR_SUCCESS;
}

DWORD SetRegistryNamedSecurity(Machine& machine,
                               LPCWSTR name,
                               SECURITY_INFORMATION information,
                               PSID owner,
                               PSID group,
                               PACL dacl,
                               PACL sacl) {
  OwnedDescriptor given;
  if (information & OWNER_SECURITY_INFORMATION) {
    const size_t size = owner ? CheckedSidLength(owner, SECURITY_MAX_SID_SIZE) : 0;
    if (!size)
      return owner ? ERROR_INVALID_SID : ERROR_INVALID_PARAMETER;
    given.owner.assign(static_cast<BYTE*>(owner), static_cast<BYTE*>(owner) + size);
  }
  if (information & GROUP_SECURITY_INFORMATION) {
    const size_t size = group ? CheckedSidLength(group, SECURITY_MAX_SID_SIZE) : 0;
    if (!size)
      return group ? ERROR_INVALID_SID : ERROR_INVALID_PARAMETER;
    given.group.assign(static_cast<BYTE*>(group), static_cast<BYTE*>(group) + size);
  }
  if (information & DACL_SECURITY_INFORMATION) {
    given.control |= SE_DACL_PRESENT;  // a null pointer sets a null DACL
    if (dacl) {
      if (!AclValid(dacl, dacl->AclSize))
        return ERROR_INVALID_ACL;
      given.dacl.assign(reinterpret_cast<BYTE*>(dacl),
                        reinterpret_cast<BYTE*>(dacl) + dacl->AclSize);
    }
  }
  if (information & SACL_SECURITY_INFORMATION) {
    given.control |= SE_SACL_PRESENT;
    if (sacl) {
      if (!AclValid(sacl, sacl->AclSize))
        return ERROR_INVALID_ACL;
      given.sacl.assign(reinterpret_cast<BYTE*>(sacl),
                        reinterpret_cast<BYTE*>(sacl) + sacl->AclSize);
    }
  }
  const auto token = EffectiveToken(machine);
  RegistryKeyHandle key;
  if (const DWORD opened = OpenByName(machine, *token, name, RightsFor(information, true), key);
      opened != ERROR_SUCCESS)
    return opened;
  return machine.registry().SetSecurityWithInheritance(*token, key.path, information, given);
}

}  // namespace standin
