// The security of files and directories: GetFileSecurityW and SetFileSecurityW, and the named
// object calls, which also propagate a directory's inheritable entries to what it holds.
#include <dirent.h>
#include <sys/stat.h>

#include <cstring>

#include "platform/standin/ace_list.h"
#include "platform/standin/acl.h"
#include "platform/standin/api_support.h"
#include "platform/standin/file_system.h"
#include "platform/standin/owned_descriptor.h"
#include "platform/standin/registry.h"
#include "platform/standin/text.h"

using namespace standin;

namespace {

constexpr SECURITY_INFORMATION kParts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                        DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION;

// A file or directory named by a caller, found on the host.
struct FileObject {
  std::shared_ptr<FileSystem> files;
  WindowsPath path;
  HostLocation where;
};

DWORD FindObject(Machine& machine, LPCWSTR name, FileObject& object) {
  object.files = machine.files();
  if (const DWORD error = object.files->Resolve(name, false, object.path, object.where))
    return error;
  return object.where.exists ? ERROR_SUCCESS : static_cast<DWORD>(ERROR_FILE_NOT_FOUND);
}

// The rights reading or writing the parts `information` names needs.
ACCESS_MASK RightsFor(SECURITY_INFORMATION information, bool write) {
  ACCESS_MASK rights = 0;
  if (information & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION))
    rights |= write ? WRITE_OWNER : READ_CONTROL;
  if (information & DACL_SECURITY_INFORMATION)
    rights |= write ? WRITE_DAC : READ_CONTROL;
  return rights;
}

// The object's whole descriptor, after the caller's right to it has been checked.
DWORD ReadObject(Machine& machine,
                 const FileObject& object,
                 SECURITY_INFORMATION information,
                 OwnedDescriptor& out) {
  // No token here holds the privilege the SACL needs.
  if (information & SACL_SECURITY_INFORMATION)
    return ERROR_PRIVILEGE_NOT_HELD;
  if (object.files->ChecksDescriptors(object.path)) {
    const ACCESS_MASK rights = RightsFor(information, false);
    if (const DWORD error =
            object.files->CheckAccess(object.path, object.where, *EffectiveToken(machine), rights))
      return error;
  }
  std::vector<BYTE> bytes;
  if (const DWORD error = object.files->store().Read(object.path, object.where, bytes))
    return error;
  DescriptorParts parts;
  if (ReadSelfRelative(bytes.data(), bytes.size(), parts) != ERROR_SUCCESS)
    return ERROR_INVALID_SECURITY_DESCR;
  out = OwnedDescriptor::From(parts);
  return ERROR_SUCCESS;
}

// The owner a caller may give: itself, or a group it holds.
bool MayOwn(const TokenData& token, const std::vector<BYTE>& owner) {
  if (owner.empty())
    return false;
  const auto sid = SidValue::FromBytes(owner.data(), owner.size());
  if (!sid)
    return false;
  if (*sid == token.user)
    return true;
  for (const auto& [group, attributes] : token.groups) {
    if (group == *sid && (attributes & SE_GROUP_ENABLED))
      return true;
  }
  return false;
}

SidValue PartSid(const std::vector<BYTE>& part) {
  auto sid = SidValue::FromBytes(part.data(), part.size());
  return sid ? *sid : SidValue();
}

// The DACL a directory passes to a child: `parent`'s inheritable entries after the child's
// own ones.
std::vector<BYTE> InheritInto(const OwnedDescriptor& child, const AceList& parent, bool container) {
  const AceList own = child.dacl.empty() ? AceList{} : AceList::Decode(child.dacl.data());
  const auto inherited = InheritedEntries(parent, container, PartSid(child.owner),
                                          PartSid(child.group), kFileGenericMapping);
  auto bytes = MergeInherited(own, inherited).Encode();
  return bytes ? std::move(*bytes) : child.dacl;
}

// Calls `visit(child path, host location)` for each entry of a directory, links left out.
template <typename Visit>
void ForEachEntry(const WindowsPath& directory, const std::filesystem::path& host, Visit visit) {
  DIR* dir = ::opendir(host.c_str());
  if (!dir)
    return;
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..")
      names.push_back(name);
  }
  ::closedir(dir);
  for (const auto& name : names) {
    const auto child_host = host / name;
    struct stat st;
    if (::lstat(child_host.c_str(), &st) != 0 || S_ISLNK(st.st_mode))
      continue;
    visit(directory.child(Utf8ToWide(name)), HostLocation{child_host, true, S_ISDIR(st.st_mode)});
  }
}

// Makes the entries of a directory follow its DACL, depth first; protected entries and what
// lies below them are left alone.
void Propagate(FileSystem& files,
               const WindowsPath& directory,
               const std::filesystem::path& host,
               const AceList& dacl) {
  ForEachEntry(directory, host, [&](const WindowsPath& child, const HostLocation& where) {
    std::vector<BYTE> bytes;
    DescriptorParts parts;
    if (files.store().Read(child, where, bytes) != ERROR_SUCCESS ||
        ReadSelfRelative(bytes.data(), bytes.size(), parts) != ERROR_SUCCESS ||
        (parts.control & SE_DACL_PROTECTED))
      return;
    OwnedDescriptor d = OwnedDescriptor::From(parts);
    d.dacl = InheritInto(d, dacl, where.directory);
    d.control |= SE_DACL_PRESENT | SE_DACL_AUTO_INHERITED;
    if (files.store().Write(child, where, d.SelfRelative()) != ERROR_SUCCESS)
      return;
    if (where.directory)
      Propagate(files, child, where.host, AceList::Decode(d.dacl.data()));
  });
}

// On a profile machine an entry without a descriptor of its own takes what its ancestors pass
// down when it is read. Before a directory's DACL changes without propagation, its entries
// keep the descriptors they had, as the platform stored them when they were made.
void KeepDescendants(FileSystem& files,
                     const WindowsPath& directory,
                     const std::filesystem::path& host) {
  ForEachEntry(directory, host, [&](const WindowsPath& child, const HostLocation& where) {
    std::vector<BYTE> bytes;
    if (files.store().Read(child, where, bytes) == ERROR_SUCCESS)
      files.store().Write(child, where, bytes);
    if (where.directory)
      KeepDescendants(files, child, where.host);
  });
}

// Writes the parts `information` names from `given` onto the object, with the protection
// that PROTECTED_/UNPROTECTED_DACL_SECURITY_INFORMATION ask for. With `inherit`, an
// unprotected DACL takes its parent's inheritable entries and a directory's DACL reaches its
// entries, as the named-object calls do.
DWORD WriteObject(Machine& machine,
                  const FileObject& object,
                  SECURITY_INFORMATION information,
                  const OwnedDescriptor& given,
                  bool inherit) {
  if (information & SACL_SECURITY_INFORMATION)
    return ERROR_PRIVILEGE_NOT_HELD;
  if (!object.path.volume->keeps_security())
    return ERROR_NO_SECURITY_ON_OBJECT;
  const auto token = EffectiveToken(machine);
  const bool checked = object.files->ChecksDescriptors(object.path);
  if (checked) {
    const ACCESS_MASK rights = RightsFor(information, true);
    if (const DWORD error = object.files->CheckAccess(object.path, object.where, *token, rights))
      return error;
  }
  if (information & OWNER_SECURITY_INFORMATION) {
    if (given.owner.empty() || (checked && !MayOwn(*token, given.owner)))
      return ERROR_INVALID_OWNER;
  }
  if ((information & GROUP_SECURITY_INFORMATION) && given.group.empty())
    return ERROR_INVALID_PRIMARY_GROUP;

  std::vector<BYTE> bytes;
  if (const DWORD error = object.files->store().Read(object.path, object.where, bytes))
    return error;
  DescriptorParts current_parts;
  if (ReadSelfRelative(bytes.data(), bytes.size(), current_parts) != ERROR_SUCCESS)
    return ERROR_INVALID_SECURITY_DESCR;
  OwnedDescriptor d = OwnedDescriptor::From(current_parts);
  const bool was_protected = d.control & SE_DACL_PROTECTED;
  d.Assign(given, information & kParts);

  if (information & DACL_SECURITY_INFORMATION) {
    // A DACL given as absent is a null DACL.
    d.control |= SE_DACL_PRESENT;
    bool is_protected = inherit ? was_protected : (given.control & SE_DACL_PROTECTED) != 0;
    if (information & PROTECTED_DACL_SECURITY_INFORMATION)
      is_protected = true;
    else if (information & UNPROTECTED_DACL_SECURITY_INFORMATION)
      is_protected = false;
    d.control = static_cast<SECURITY_DESCRIPTOR_CONTROL>(
        is_protected ? (d.control | SE_DACL_PROTECTED) : (d.control & ~SE_DACL_PROTECTED));
    if (inherit && !d.dacl.empty()) {
      d.control |= SE_DACL_AUTO_INHERITED;
      if (!is_protected && !object.path.is_root()) {
        FileObject parent{
            object.files, object.path.parent(), {object.where.host.parent_path(), true, true}};
        std::vector<BYTE> parent_bytes;
        DescriptorParts parent_parts;
        if (object.files->store().Read(parent.path, parent.where, parent_bytes) == ERROR_SUCCESS &&
            ReadSelfRelative(parent_bytes.data(), parent_bytes.size(), parent_parts) ==
                ERROR_SUCCESS &&
            parent_parts.dacl)
          d.dacl = InheritInto(d, AceList::Decode(parent_parts.dacl), object.where.directory);
        else
          d.dacl = InheritInto(d, AceList{}, object.where.directory);
      }
    }
  }
  if (!inherit && (information & DACL_SECURITY_INFORMATION) && object.where.directory &&
      !object.files->host_mirror())
    KeepDescendants(*object.files, object.path, object.where.host);
  if (const DWORD error = object.files->store().Write(object.path, object.where, d.SelfRelative()))
    return error;
  if (inherit && (information & DACL_SECURITY_INFORMATION) && object.where.directory &&
      !d.dacl.empty())
    Propagate(*object.files, object.path, object.where.host, AceList::Decode(d.dacl.data()));
  return ERROR_SUCCESS;
}

// Reads a caller's descriptor of either form into owned parts.
DWORD ReadGiven(PSECURITY_DESCRIPTOR descriptor, OwnedDescriptor& out) {
  if (!descriptor)
    return ERROR_NOACCESS;
  DescriptorParts parts;
  if (ReadDescriptor(descriptor, parts) != ERROR_SUCCESS)
    return ERROR_INVALID_SECURITY_DESCR;
  out = OwnedDescriptor::From(parts);
  return ERROR_SUCCESS;
}

// The object types the named-object calls serve; registry keys are yet to come.
bool ServedType(SE_OBJECT_TYPE type) {
  switch (type) {
    case SE_FILE_OBJECT:
      return true;
    default:
      return false;
  }
}

}  // namespace

extern "C" {

BOOL WINAPI GetFileSecurityW(LPCWSTR name,
                             SECURITY_INFORMATION requested,
                             PSECURITY_DESCRIPTOR descriptor,
                             DWORD length,
                             LPDWORD needed) {
  auto call = EnterCall("GetFileSecurityW");
  if (call.fault)
    return FailWith(*call.fault);
  if (!name)
    return FailWith(ERROR_INVALID_PARAMETER);
  if (!needed)
    return FailWith(ERROR_NOACCESS);
  FileObject object;
  if (const DWORD error = FindObject(*call.machine, name, object))
    return FailWith(error);
  OwnedDescriptor d;
  if (const DWORD error = ReadObject(*call.machine, object, requested, d))
    return FailWith(error);
  const std::vector<BYTE> bytes = d.Select(requested).SelfRelative();
  *needed = static_cast<DWORD>(bytes.size());
  if (length < bytes.size() || !descriptor)
    return FailWith(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(descriptor, bytes.data(), bytes.size());
  return TRUE;
}

BOOL WINAPI SetFileSecurityW(LPCWSTR name,
                             SECURITY_INFORMATION information,
                             PSECURITY_DESCRIPTOR descriptor) {
  auto call = EnterCall("SetFileSecurityW");
  if (call.fault)
    return FailWith(*call.fault);
  if (!name)
    return FailWith(ERROR_INVALID_PARAMETER);
  OwnedDescriptor given;
  if (const DWORD error = ReadGiven(descriptor, given))
    return FailWith(error);
  FileObject object;
  if (const DWORD error = FindObject(*call.machine, name, object))
    return FailWith(error);
  if (const DWORD error = WriteObject(*call.machine, object, information, given, false))
    return FailWith(error);
  return TRUE;
}

DWORD WINAPI GetNamedSecurityInfoW(LPCWSTR name,
                                   SE_OBJECT_TYPE type,
                                   SECURITY_INFORMATION information,
                                   PSID* owner,
                                   PSID* group,
                                   PACL* dacl,
                                   PACL* sacl,
                                   PSECURITY_DESCRIPTOR* descriptor) {
  auto call = EnterCall("GetNamedSecurityInfoW");
  if (call.fault)
    return *call.fault;
  if (type == SE_REGISTRY_KEY)
    return GetRegistryNamedSecurity(*call.machine, name, information, owner, group, dacl, sacl,
                                    descriptor);
  // The parts point into the descriptor, which the caller must take to free it.
  if (!name || !descriptor || !ServedType(type))
    return ERROR_INVALID_PARAMETER;
  FileObject object;
  if (const DWORD error = FindObject(*call.machine, name, object))
    return error;
  OwnedDescriptor d;
  if (const DWORD error = ReadObject(*call.machine, object, information, d))
    return error;
  const std::vector<BYTE> bytes = d.Select(information).SelfRelative();
  auto* out = static_cast<BYTE*>(call.machine->Allocate(BufferKind::kLocal, bytes.size()));
  if (!out)
    return ERROR_NOT_ENOUGH_MEMORY;
  std::memcpy(out, bytes.data(), bytes.size());
  SECURITY_DESCRIPTOR_RELATIVE header;
  std::memcpy(&header, out, sizeof(header));
  auto at = [&](DWORD offset) -> BYTE* { return offset ? out + offset : nullptr; };
  if (owner && (information & OWNER_SECURITY_INFORMATION))
    *owner = at(header.Owner);
  if (group && (information & GROUP_SECURITY_INFORMATION))
    *group = at(header.Group);
  if (dacl && (information & DACL_SECURITY_INFORMATION))
    *dacl = reinterpret_cast<PACL>(at(header.Dacl));
  if (sacl && (information & SACL_SECURITY_INFORMATION))
    *sacl = reinterpret_cast<PACL>(at(header.Sacl));
  *descriptor = out;
  return ERROR_SUCCESS;
}

DWORD WINAPI SetNamedSecurityInfoW(LPWSTR name,
                                   SE_OBJECT_TYPE type,
                                   SECURITY_INFORMATION information,
                                   PSID owner,
                                   PSID group,
                                   PACL dacl,
                                   PACL sacl) {
  auto call = EnterCall("SetNamedSecurityInfoW");
  if (call.fault)
    return *call.fault;
  if (type == SE_REGISTRY_KEY)
    return SetRegistryNamedSecurity(*call.machine, name, information, owner, group, dacl, sacl);
  if (!name || !ServedType(type))
    return ERROR_INVALID_PARAMETER;
  OwnedDescriptor given;
  if (information & OWNER_SECURITY_INFORMATION) {
    if (!owner || !SidHeaderValid(owner))
      return ERROR_INVALID_PARAMETER;
    const auto* bytes = static_cast<const BYTE*>(owner);
    given.owner.assign(bytes, bytes + SidLengthFor(bytes[1]));
  }
  if (information & GROUP_SECURITY_INFORMATION) {
    if (!group || !SidHeaderValid(group))
      return ERROR_INVALID_PARAMETER;
    const auto* bytes = static_cast<const BYTE*>(group);
    given.group.assign(bytes, bytes + SidLengthFor(bytes[1]));
  }
  if (information & DACL_SECURITY_INFORMATION) {
    given.control |= SE_DACL_PRESENT;
    if (dacl) {
      const auto* bytes = reinterpret_cast<const BYTE*>(dacl);
      if (!AclValid(bytes, dacl->AclSize))
        return ERROR_INVALID_ACL;
      given.dacl.assign(bytes, bytes + dacl->AclSize);
    }
  }
  if ((information & SACL_SECURITY_INFORMATION) && sacl)
    return ERROR_PRIVILEGE_NOT_HELD;
  FileObject object;
  if (const DWORD error = FindObject(*call.machine, name, object))
    return error;
  return WriteObject(*call.machine, object, information, given, true);
}

}  // extern "C"
