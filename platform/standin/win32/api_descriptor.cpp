// Security descriptors: building absolute ones part by part, reading either form, and
// converting between the absolute and self-relative layouts.
#include <cstring>
#include <type_traits>

#include "platform/standin/core/acl_walk.h"
#include "platform/standin/core/descriptor_part.h"
#include "platform/standin/core/layout.h"
#include "platform/standin/core/security_descriptor.h"
#include "platform/standin/win32/api_support.h"

using namespace standin;

namespace {

// The control bits that SetSecurityDescriptorControl may change.
constexpr SECURITY_DESCRIPTOR_CONTROL kSettableControl =
    SE_DACL_UNTRUSTED | SE_SERVER_SECURITY | SE_DACL_AUTO_INHERIT_REQ | SE_SACL_AUTO_INHERIT_REQ |
    SE_DACL_AUTO_INHERITED | SE_SACL_AUTO_INHERITED | SE_DACL_PROTECTED | SE_SACL_PROTECTED;

// An absolute descriptor that the Set calls may change, or the error that refuses it.
DWORD CheckEditable(PSECURITY_DESCRIPTOR descriptor) {
  if (!descriptor)
    return ERROR_INVALID_PARAMETER;
  return CheckHeader(descriptor, false, ERROR_INVALID_SECURITY_DESCR);
}

// Reads the part a Get call returns, as the platform reads it: the header and that part alone,
// so that a call costs the same whatever the size of the other parts. A bad revision is the
// platform's own error; a damaged part is refused before anything is read through it.
DWORD ReadForGet(PSECURITY_DESCRIPTOR descriptor, DescriptorPart part, DescriptorParts& parts) {
  if (!descriptor)
    return ERROR_INVALID_PARAMETER;
  if (static_cast<const SECURITY_DESCRIPTOR*>(descriptor)->Revision != SECURITY_DESCRIPTOR_REVISION)
    return ERROR_UNKNOWN_REVISION;
  return ReadDescriptorPart(descriptor, part, parts);
}

void SetFlag(SECURITY_DESCRIPTOR& sd, SECURITY_DESCRIPTOR_CONTROL flag, bool on) {
  sd.Control =
      static_cast<SECURITY_DESCRIPTOR_CONTROL>(on ? sd.Control | flag : sd.Control & ~flag);
}

// A Set call: an absolute descriptor that may be changed is handed to `edit`.
template <typename Edit>
BOOL EditCall(const char* name, PSECURITY_DESCRIPTOR descriptor, Edit edit) {
  return BoolCall(name, [&](Machine&) -> DWORD {
    if (const DWORD status = CheckEditable(descriptor))
      return status;
    edit(*static_cast<SECURITY_DESCRIPTOR*>(descriptor));
    ForgetAclWalks();
    return ERROR_SUCCESS;
  });
}

// A Get call: with its outputs given (`outputs`), the parts of a descriptor that reads as one
// are handed to `read`.
template <typename Read>
[[gnu::always_inline]] inline BOOL ReadCall(const char* name,
                                            PSECURITY_DESCRIPTOR descriptor,
                                            DescriptorPart part,
                                            bool outputs,
                                            Read read) {
  return MemoryCall(name, [&]() -> DWORD {
    if (!outputs)
      return ERROR_INVALID_PARAMETER;
    DescriptorParts parts;
    if (const DWORD status = ReadForGet(descriptor, part, parts))
      return status;
    read(parts);
    return ERROR_SUCCESS;
  });
}

BOOL SetAcl(const char* name,
            PSECURITY_DESCRIPTOR descriptor,
            BOOL present,
            PACL acl,
            BOOL defaulted,
            bool dacl) {
  return EditCall(name, descriptor, [&](SECURITY_DESCRIPTOR& sd) {
    const SECURITY_DESCRIPTOR_CONTROL present_flag = dacl ? SE_DACL_PRESENT : SE_SACL_PRESENT;
    SetFlag(sd, present_flag, present != FALSE);
    if (!present)
      return;
    // Present with a null pointer is a null ACL, as the caller asked.
    (dacl ? sd.Dacl : sd.Sacl) = acl;
    SetFlag(sd, dacl ? SE_DACL_DEFAULTED : SE_SACL_DEFAULTED, defaulted != FALSE);
  });
}

[[gnu::always_inline]] inline BOOL GetAcl(const char* name,
                                          PSECURITY_DESCRIPTOR descriptor,
                                          LPBOOL present,
                                          PACL* acl,
                                          LPBOOL defaulted,
                                          bool dacl) {
  const DescriptorPart part = dacl ? DescriptorPart::kDacl : DescriptorPart::kSacl;
  return ReadCall(
      name, descriptor, part, present && acl && defaulted, [&](const DescriptorParts& parts) {
        const bool is_present = dacl ? parts.dacl_present() : parts.sacl_present();
        *present = is_present ? TRUE : FALSE;
        if (is_present) {
          *acl = reinterpret_cast<PACL>(const_cast<BYTE*>(dacl ? parts.dacl : parts.sacl));
          *defaulted =
              (parts.control & (dacl ? SE_DACL_DEFAULTED : SE_SACL_DEFAULTED)) ? TRUE : FALSE;
        }
      });
}

[[gnu::always_inline]] inline BOOL GetSid(const char* name,
                                          PSECURITY_DESCRIPTOR descriptor,
                                          PSID* sid,
                                          LPBOOL defaulted,
                                          bool owner) {
  const DescriptorPart part = owner ? DescriptorPart::kOwner : DescriptorPart::kGroup;
  return ReadCall(name, descriptor, part, sid && defaulted, [&](const DescriptorParts& parts) {
    *sid = const_cast<BYTE*>(owner ? parts.owner : parts.group);
    *defaulted = (parts.control & (owner ? SE_OWNER_DEFAULTED : SE_GROUP_DEFAULTED)) ? TRUE : FALSE;
  });
}

BOOL SetSid(const char* name,
            PSECURITY_DESCRIPTOR descriptor,
            PSID sid,
            BOOL defaulted,
            bool owner) {
  return EditCall(name, descriptor, [&](SECURITY_DESCRIPTOR& sd) {
    (owner ? sd.Owner : sd.Group) = sid;
    SetFlag(sd, owner ? SE_OWNER_DEFAULTED : SE_GROUP_DEFAULTED, defaulted != FALSE);
  });
}

}  // namespace

extern "C" {

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) {
  return BoolCall("InitializeSecurityDescriptor", [&](Machine&) -> DWORD {
    if (!descriptor)
      return ERROR_INVALID_PARAMETER;
    if (revision != SECURITY_DESCRIPTOR_REVISION)
      return ERROR_UNKNOWN_REVISION;
    std::memset(descriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    static_cast<SECURITY_DESCRIPTOR*>(descriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    ForgetAclWalks();
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor,
                                       PSID owner,
                                       BOOL defaulted) {
  return SetSid("SetSecurityDescriptorOwner", descriptor, owner, defaulted, true);
}

BOOL WINAPI SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR descriptor,
                                       PSID group,
                                       BOOL defaulted) {
  return SetSid("SetSecurityDescriptorGroup", descriptor, group, defaulted, false);
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor,
                                      BOOL present,
                                      PACL dacl,
                                      BOOL defaulted) {
  return SetAcl("SetSecurityDescriptorDacl", descriptor, present, dacl, defaulted, true);
}

BOOL WINAPI SetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR descriptor,
                                      BOOL present,
                                      PACL sacl,
                                      BOOL defaulted) {
  return SetAcl("SetSecurityDescriptorSacl", descriptor, present, sacl, defaulted, false);
}

BOOL WINAPI SetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor,
                                         SECURITY_DESCRIPTOR_CONTROL mask,
                                         SECURITY_DESCRIPTOR_CONTROL bits) {
  return BoolCall("SetSecurityDescriptorControl", [&](Machine&) -> DWORD {
    if (!descriptor || (mask & ~kSettableControl) || (bits & ~mask))
      return ERROR_INVALID_PARAMETER;
    // Either form: the control word sits at the same place in both.
    const auto control = static_cast<SECURITY_DESCRIPTOR_CONTROL>(
        (DescriptorControl(descriptor) & ~mask) | (bits & mask));
    WriteAt(descriptor, offsetof(SECURITY_DESCRIPTOR_RELATIVE, Control), control);
    ForgetAclWalks();
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor,
                                       PSID* owner,
                                       LPBOOL defaulted) {
  return GetSid("GetSecurityDescriptorOwner", descriptor, owner, defaulted, true);
}

BOOL WINAPI GetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR descriptor,
                                       PSID* group,
                                       LPBOOL defaulted) {
  return GetSid("GetSecurityDescriptorGroup", descriptor, group, defaulted, false);
}

BOOL WINAPI GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor,
                                      LPBOOL present,
                                      PACL* dacl,
                                      LPBOOL defaulted) {
  return GetAcl("GetSecurityDescriptorDacl", descriptor, present, dacl, defaulted, true);
}

BOOL WINAPI GetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR descriptor,
                                      LPBOOL present,
                                      PACL* sacl,
                                      LPBOOL defaulted) {
  return GetAcl("GetSecurityDescriptorSacl", descriptor, present, sacl, defaulted, false);
}

BOOL WINAPI GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor,
                                         PSECURITY_DESCRIPTOR_CONTROL control,
                                         LPDWORD revision) {
  return BoolCall("GetSecurityDescriptorControl", [&](Machine&) -> DWORD {
    if (!descriptor || !control || !revision)
      return ERROR_INVALID_PARAMETER;
    // The revision is reported even when it is one the platform does not know.
    *revision = static_cast<const SECURITY_DESCRIPTOR*>(descriptor)->Revision;
    if (*revision != SECURITY_DESCRIPTOR_REVISION)
      return ERROR_UNKNOWN_REVISION;
    *control = DescriptorControl(descriptor);
    return ERROR_SUCCESS;
  });
}

DWORD WINAPI GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR descriptor) {
  EnterCall("GetSecurityDescriptorLength");
  // The call cannot fail; a descriptor that does not read as one has no length.
  DescriptorParts parts;
  if (ReadDescriptor(descriptor, parts) != ERROR_SUCCESS)
    return 0;
  const size_t header = (DescriptorControl(descriptor) & SE_SELF_RELATIVE)
                            ? sizeof(SECURITY_DESCRIPTOR_RELATIVE)
                            : sizeof(SECURITY_DESCRIPTOR);
  return static_cast<DWORD>(header + PartsLength(parts));
}

BOOL WINAPI IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor) {
  return BoolCall("IsValidSecurityDescriptor", [&](Machine&) -> DWORD {
    DescriptorParts parts;
    return ReadDescriptor(descriptor, parts) == ERROR_SUCCESS
               ? ERROR_SUCCESS
               : static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR);
  });
}

BOOL WINAPI MakeSelfRelativeSD(PSECURITY_DESCRIPTOR absolute,
                               PSECURITY_DESCRIPTOR self_relative,
                               LPDWORD length) {
  return BoolCall("MakeSelfRelativeSD", [&](Machine&) -> DWORD {
    if (!absolute || !length)
      return ERROR_INVALID_PARAMETER;
    if (DescriptorControl(absolute) & SE_SELF_RELATIVE)
      return ERROR_BAD_DESCRIPTOR_FORMAT;
    DescriptorParts parts;
    if (const DWORD status = ReadAbsolute(absolute, parts))
      return status;
    const DWORD needed =
        static_cast<DWORD>(sizeof(SECURITY_DESCRIPTOR_RELATIVE) + PartsLength(parts));
    if (*length < needed) {
      *length = needed;
      return ERROR_INSUFFICIENT_BUFFER;
    }
    if (!self_relative)
      return ERROR_INVALID_PARAMETER;
    WriteSelfRelative(parts, self_relative);
    ForgetAclWalks();
    return ERROR_SUCCESS;
  });
}

BOOL WINAPI MakeAbsoluteSD(PSECURITY_DESCRIPTOR self_relative,
                           PSECURITY_DESCRIPTOR absolute,
                           LPDWORD absolute_length,
                           PACL dacl,
                           LPDWORD dacl_length,
                           PACL sacl,
                           LPDWORD sacl_length,
                           PSID owner,
                           LPDWORD owner_length,
                           PSID group,
                           LPDWORD group_length) {
  return BoolCall("MakeAbsoluteSD", [&](Machine&) -> DWORD {
    if (!self_relative || !absolute_length || !dacl_length || !sacl_length || !owner_length ||
        !group_length)
      return ERROR_INVALID_PARAMETER;
    if (!(DescriptorControl(self_relative) & SE_SELF_RELATIVE))
      return ERROR_BAD_DESCRIPTOR_FORMAT;
    DescriptorParts parts;
    if (const DWORD status = ReadSelfRelative(self_relative, kUnknownLength, parts))
      return status;

    const DWORD need_owner = static_cast<DWORD>(SidBytes(parts.owner));
    const DWORD need_group = static_cast<DWORD>(SidBytes(parts.group));
    const DWORD need_dacl = static_cast<DWORD>(AclBytes(parts.dacl));
    const DWORD need_sacl = static_cast<DWORD>(AclBytes(parts.sacl));
    if (!absolute || *absolute_length < sizeof(SECURITY_DESCRIPTOR) || *owner_length < need_owner ||
        *group_length < need_group || *dacl_length < need_dacl || *sacl_length < need_sacl) {
      // The platform reports every size, so that one more call succeeds.
      *absolute_length = sizeof(SECURITY_DESCRIPTOR);
      *owner_length = need_owner;
      *group_length = need_group;
      *dacl_length = need_dacl;
      *sacl_length = need_sacl;
      return ERROR_INSUFFICIENT_BUFFER;
    }
    // Room without a buffer: a present ACL must never turn into a null one here.
    if ((need_owner && !owner) || (need_group && !group) || (need_dacl && !dacl) ||
        (need_sacl && !sacl))
      return ERROR_INVALID_PARAMETER;

    SECURITY_DESCRIPTOR out{};
    out.Revision = parts.revision;
    out.Sbz1 = parts.sbz1;
    out.Control = parts.control;
    // Each part goes into the caller's buffer for it, and the descriptor points there.
    auto place = [](const BYTE* part, void* buffer, DWORD bytes, auto& field) {
      if (!part)
        return;
      std::memmove(buffer, part, bytes);
      field = static_cast<std::remove_reference_t<decltype(field)>>(buffer);
    };
    place(parts.owner, owner, need_owner, out.Owner);
    place(parts.group, group, need_group, out.Group);
    place(parts.dacl, dacl, need_dacl, out.Dacl);
    place(parts.sacl, sacl, need_sacl, out.Sacl);
    std::memcpy(absolute, &out, sizeof(out));
    ForgetAclWalks();
    return ERROR_SUCCESS;
  });
}

BOOLEAN WINAPI RtlValidRelativeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor,
                                                  ULONG length,
                                                  SECURITY_INFORMATION required) {
  auto call = EnterCall("RtlValidRelativeSecurityDescriptor");
  if (call.fault) {
    SetLastError(*call.fault);
    return FALSE;
  }
  // An ntdll call: it answers without touching the last error.
  DescriptorParts parts;
  if (!descriptor || ReadSelfRelative(descriptor, length, parts) != ERROR_SUCCESS)
    return FALSE;
  // A DACL or SACL may be missing even when asked for; an owner or group may not.
  if ((required & OWNER_SECURITY_INFORMATION) && !parts.owner)
    return FALSE;
  if ((required & GROUP_SECURITY_INFORMATION) && !parts.group)
    return FALSE;
  return TRUE;
}

}  // extern "C"
