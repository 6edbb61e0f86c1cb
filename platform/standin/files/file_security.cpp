#include "platform/standin/files/file_security.h"

#include <dirent.h>
#include <sys/stat.h>

#include "platform/standin/core/text.h"
#include "platform/standin/object_security/object_security.h"

namespace standin {

namespace {

// A file or directory named by a caller, found on the host.
struct FileObject {
  WindowsPath path;
  HostLocation where;
};

DWORD FindObject(const FileSystem& files, std::wstring_view name, FileObject& object) {
  return files.ResolveExisting(name, object.path, object.where);
}

// The entries of a directory as an inheritance tree; links are left out.
class FileTree {
 public:
  explicit FileTree(FileSystem& files) : files_(files) {}

  std::vector<FileObject> Children(const FileObject& directory) const {
    std::vector<FileObject> children;
    DIR* dir = ::opendir(directory.where.host.c_str());
    if (!dir)
      return children;
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..")
        names.push_back(name);
    }
    ::closedir(dir);
    for (const auto& name : names) {
      const auto host = directory.where.host / name;
      struct stat st;
      if (::lstat(host.c_str(), &st) != 0 || S_ISLNK(st.st_mode))
        continue;
      children.push_back(
          {directory.path.child(Utf8ToWide(name)), HostLocation{host, true, S_ISDIR(st.st_mode)}});
    }
    return children;
  }
  bool IsContainer(const FileObject& object) const { return object.where.directory; }
  DWORD Read(const FileObject& object, OwnedDescriptor& sd) const {
    return files_.store().Read(object.path, object.where, sd);
  }
  // What a directory passes on may narrow what an entry's mode and ACL allow, never widen it.
  DWORD Write(const FileObject& object, const OwnedDescriptor& sd) const {
    return files_.store().Write(object.path, object.where, sd, PosixWrite::kNarrowOnly);
  }
  // Files have no transactions: what cannot be read or written is passed over.
  bool StopOnError() const { return false; }

 private:
  FileSystem& files_;
};

// On a profile machine an entry without a descriptor of its own takes what its ancestors pass
// down when it is read. Before a directory's DACL changes without propagation, its entries
// keep the descriptors they had, as the platform stored them when they were made.
void KeepDescendants(FileSystem& files, const FileTree& tree, const FileObject& directory) {
  for (const FileObject& child : tree.Children(directory)) {
    OwnedDescriptor sd;
    if (tree.Read(child, sd) == ERROR_SUCCESS)
      files.store().Write(child.path, child.where, sd);
    if (child.where.directory)
      KeepDescendants(files, tree, child);
  }
}

}  // namespace

DWORD ReadFileSecurity(FileSystem& files,
                       std::wstring_view name,
                       const TokenData& token,
                       SECURITY_INFORMATION information,
                       OwnedDescriptor& sd) {
  // The statx that finds the object is its state's too.
  FileObject object;
  struct statx located {};
  if (const DWORD error = files.ResolveExisting(name, object.path, object.where, &located))
    return error;
  // The SACL needs SeSecurityPrivilege enabled, whatever the descriptor says.
  if ((information & SACL_SECURITY_INFORMATION) &&
      !TokenPrivilegeEnabled(token, SE_SECURITY_PRIVILEGE))
    return ERROR_PRIVILEGE_NOT_HELD;
  if (files.ChecksDescriptors(object.path)) {
    if (const DWORD error =
            files.CheckAccess(object.path, object.where, token, RightsFor(information, false)))
      return error;
  }
  OwnedDescriptor whole;
  if (const DWORD error = files.store().Read(object.path, object.where, whole,
                                             located.stx_mask ? &located : nullptr))
    return error;
  sd = std::move(whole).Select(information);
  return ERROR_SUCCESS;
}

DWORD WriteFileSecurity(FileSystem& files,
                        std::wstring_view name,
                        const TokenData& token,
                        SECURITY_INFORMATION information,
                        const OwnedDescriptor& given,
                        bool by_name) {
  FileObject object;
  if (const DWORD error = FindObject(files, name, object))
    return error;
  if ((information & SACL_SECURITY_INFORMATION) &&
      !TokenPrivilegeEnabled(token, SE_SECURITY_PRIVILEGE))
    return ERROR_PRIVILEGE_NOT_HELD;
  if (!object.path.volume->keeps_security())
    return ERROR_NO_SECURITY_ON_OBJECT;
  const bool checked = files.ChecksDescriptors(object.path);
  if (checked) {
    if (const DWORD error =
            files.CheckAccess(object.path, object.where, token, RightsFor(information, true)))
      return error;
  }
  if (information & OWNER_SECURITY_INFORMATION) {
    const auto owner = SidValue::FromBytes(given.owner.data(), given.owner.size());
    if (!owner || (checked && !MayOwn(token, *owner)))
      return ERROR_INVALID_OWNER;
  }
  if ((information & GROUP_SECURITY_INFORMATION) && given.group.empty())
    return ERROR_INVALID_PRIMARY_GROUP;

  OwnedDescriptor sd;
  if (const DWORD error = files.store().Read(object.path, object.where, sd))
    return error;
  const bool dacl = information & DACL_SECURITY_INFORMATION;
  if (!by_name) {
    ApplyByHandle(sd, given, information, kFileGenericMapping);
    // The platform stores what it is given; entries that read their descriptor from their
    // ancestors keep the one they had.
    if (dacl && object.where.directory && !files.host_mirror() &&
        !files.store().HoldsStored(object.where))
      KeepDescendants(files, FileTree(files), object);
    return files.store().Write(object.path, object.where, sd);
  }

  // On the host only a directory that holds a descriptor of its own passes entries on: mode
  // bits and ACLs are no entries to inherit.
  AceList parent_dacl;
  bool has_parent = false;
  if (!object.path.is_root()) {
    const HostLocation parent_where{object.where.host.parent_path(), true, true};
    OwnedDescriptor parent;
    if ((!files.host_mirror() || files.store().HoldsStored(parent_where)) &&
        files.store().Read(object.path.parent(), parent_where, parent) == ERROR_SUCCESS) {
      parent_dacl = DaclEntries(parent);
      has_parent = true;
    }
  }
  if (const DWORD error = ApplyByName(sd, given, information, has_parent ? &parent_dacl : nullptr,
                                      object.where.directory, kFileGenericMapping))
    return error;
  if (const DWORD error = files.store().Write(object.path, object.where, sd))
    return error;
  if (dacl && object.where.directory && !sd.dacl.empty()) {
    FileTree tree(files);
    PropagateInheritance(tree, object, DaclEntries(sd), kFileGenericMapping);
  }
  return ERROR_SUCCESS;
}

}  // namespace standin
