// The security of named objects: GetNamedSecurityInfoW and SetNamedSecurityInfoW for files and
// directories, and for registry keys by their object names ("MACHINE\...", "CURRENT_USER\...",
// "CLASSES_ROOT\...", "USERS\..."; any other name is refused with ERROR_INVALID_PARAMETER, as
// the platform's name parsing does).
#include <cstring>

#include "platform/standin/core/acl.h"
#include "platform/standin/files/file_security.h"
#include "platform/standin/object_security/object_security.h"
#include "platform/standin/registry/key_paths.h"
#include "platform/standin/win32/api_support.h"

using namespace standin;

namespace {

DWORD OpenKeyByName(Machine& machine,
                    const TokenData& token,
                    LPCWSTR name,
                    ACCESS_MASK access,
                    OpenedKey& opened) {
  if (!name)
    return ERROR_INVALID_PARAMETER;
  std::wstring_view rest;
  const auto root = RootOfObjectName(name, rest);
  if (!root)
    return ERROR_INVALID_PARAMETER;
  return machine.registry().Open(token, *RootPath(*root), rest, access, opened);
}

// A SID a caller gives; false when it is not one.
bool TakeSid(PSID sid, std::vector<BYTE>& out) {
  const size_t size = sid ? CheckedSidLength(sid, SECURITY_MAX_SID_SIZE) : 0;
  if (!size)
    return false;
  out.assign(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + size);
  return true;
}

// An ACL a caller gives, as a present part; null is a null ACL.
bool TakeAcl(PACL acl, std::vector<BYTE>& out) {
  if (!acl)
    return true;
  if (!AclValid(acl, acl->AclSize))
    return false;
  out.assign(reinterpret_cast<BYTE*>(acl), reinterpret_cast<BYTE*>(acl) + acl->AclSize);
  return true;
}

}  // namespace

extern "C" {

DWORD WINAPI GetNamedSecurityInfoW(LPCWSTR name,
                                   SE_OBJECT_TYPE type,
                                   SECURITY_INFORMATION information,
                                   PSID* owner,
                                   PSID* group,
                                   PACL* dacl,
                                   PACL* sacl,
                                   PSECURITY_DESCRIPTOR* descriptor) {
  return StatusCall("GetNamedSecurityInfoW", [&](Machine& machine) -> DWORD {
    // The parts point into the descriptor, which the caller must take to free it.
    if (!descriptor || (type != SE_FILE_OBJECT && type != SE_REGISTRY_KEY))
      return ERROR_INVALID_PARAMETER;
    const auto token = EffectiveToken(machine);
    OwnedDescriptor sd;
    if (type == SE_REGISTRY_KEY) {
      OpenedKey key;
      if (const DWORD error =
              OpenKeyByName(machine, *token, name, RightsFor(information, false), key))
        return error;
      if (const DWORD error = machine.registry().GetSecurity(key.path, information, sd))
        return error;
    } else {
      if (!name)
        return ERROR_INVALID_PARAMETER;
      if (const DWORD error = ReadFileSecurity(*machine.files(), name, *token, information, sd))
        return error;
    }
    // The descriptor goes to the caller, who frees it with LocalFree; the parts point into it.
    const std::vector<BYTE> bytes = sd.SelfRelative();
    auto* out = static_cast<BYTE*>(machine.Allocate(BufferKind::kLocal, bytes.size()));
    if (!out)
      return ERROR_NOT_ENOUGH_MEMORY;
    std::memcpy(out, bytes.data(), bytes.size());
    DescriptorParts parts;
    ReadSelfRelative(out, bytes.size(), parts);
    auto part = [&](SECURITY_INFORMATION wanted, const BYTE* p) {
      return (information & wanted) ? const_cast<BYTE*>(p) : nullptr;
    };
    if (owner)
      *owner = part(OWNER_SECURITY_INFORMATION, parts.owner);
    if (group)
      *group = part(GROUP_SECURITY_INFORMATION, parts.group);
    if (dacl)
      *dacl = reinterpret_cast<PACL>(part(DACL_SECURITY_INFORMATION, parts.dacl));
    if (sacl)
      *sacl = reinterpret_cast<PACL>(part(SACL_SECURITY_INFORMATION, parts.sacl));
    *descriptor = out;
    return ERROR_SUCCESS;
  });
}

DWORD WINAPI SetNamedSecurityInfoW(LPWSTR name,
                                   SE_OBJECT_TYPE type,
                                   SECURITY_INFORMATION information,
                                   PSID owner,
                                   PSID group,
                                   PACL dacl,
                                   PACL sacl) {
  return StatusCall("SetNamedSecurityInfoW", [&](Machine& machine) -> DWORD {
    if (type != SE_FILE_OBJECT && type != SE_REGISTRY_KEY)
      return ERROR_INVALID_PARAMETER;
    const bool key = type == SE_REGISTRY_KEY;
    if (!key && !name)
      return ERROR_INVALID_PARAMETER;
    OwnedDescriptor given;
    if ((information & OWNER_SECURITY_INFORMATION) && !TakeSid(owner, given.owner))
      return (key && owner) ? ERROR_INVALID_SID : ERROR_INVALID_PARAMETER;
    if ((information & GROUP_SECURITY_INFORMATION) && !TakeSid(group, given.group))
      return (key && group) ? ERROR_INVALID_SID : ERROR_INVALID_PARAMETER;
    if (information & DACL_SECURITY_INFORMATION) {
      given.control |= SE_DACL_PRESENT;  // a null pointer sets a null DACL
      if (!TakeAcl(dacl, given.dacl))
        return ERROR_INVALID_ACL;
    }
    if (information & SACL_SECURITY_INFORMATION) {
      given.control |= SE_SACL_PRESENT;
      if (!TakeAcl(sacl, given.sacl))
        return ERROR_INVALID_ACL;
    }
    const auto token = EffectiveToken(machine);
    if (!key)
      return WriteFileSecurity(*machine.files(), name, *token, information, given, true);
    OpenedKey opened;
    if (const DWORD error =
            OpenKeyByName(machine, *token, name, RightsFor(information, true), opened))
      return error;
    return machine.registry().SetSecurityWithInheritance(*token, opened.path, information, given);
  });
}

}  // extern "C"
