#include "platform/standin/file_system.h"

#include <unistd.h>

#include <algorithm>

#include "platform/standin/access_check.h"
#include "platform/standin/ace_list.h"
#include "platform/standin/api_support.h"
#include "platform/standin/owned_descriptor.h"

namespace standin {

namespace {

constexpr ACCESS_MASK kReadAccess = FILE_READ_DATA | FILE_EXECUTE;
constexpr ACCESS_MASK kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA;

// Whether two opens of one file can stand together, as the platform's share modes say.
bool Compatible(ACCESS_MASK access, DWORD share, ACCESS_MASK held_access, DWORD held_share) {
  auto refused = [](ACCESS_MASK a, DWORD s) {
    return ((a & kReadAccess) && !(s & FILE_SHARE_READ)) ||
           ((a & kWriteAccess) && !(s & FILE_SHARE_WRITE)) ||
           ((a & DELETE) && !(s & FILE_SHARE_DELETE));
  };
  return !refused(access, held_share) && !refused(held_access, share);
}

bool TakesPartInSharing(ACCESS_MASK access) {
  return access & (kReadAccess | kWriteAccess | DELETE);
}

}  // namespace

FileHandle::FileHandle(std::shared_ptr<OpenFile> f, std::weak_ptr<FileSystem> fs)
    : file(std::move(f)), files(std::move(fs)) {}

FileHandle::~FileHandle() {
  if (auto fs = files.lock())
    fs->Closed(*file);
  if (file->fd >= 0)
    ::close(file->fd);
}

FileSystem::FileSystem(const MachineDescription& description,
                       const AccountDatabase& accounts,
                       const SidValue& process_user)
    : host_mirror_(description.host_mirror),
      volumes_(description),
      store_(description, accounts, volumes_, process_user) {
  std::error_code ec;
  const auto cwd = std::filesystem::current_path(ec);
  if (auto form = ec ? std::nullopt : volumes_.WindowsFormOf(cwd))
    current_directory_ = *form;
  else
    current_directory_ = std::wstring(1, volumes_.volumes().front().letter) + L":\\";
}

std::wstring FileSystem::current_directory() const {
  std::lock_guard lock(mutex_);
  return current_directory_;
}

void FileSystem::set_current_directory(std::wstring directory) {
  std::lock_guard lock(mutex_);
  current_directory_ = std::move(directory);
}

DWORD FileSystem::Resolve(std::wstring_view path,
                          bool wildcards,
                          WindowsPath& windows,
                          HostLocation& where) const {
  if (const DWORD error = volumes_.Parse(path, current_directory(), wildcards, windows))
    return error;
  return Locate(windows, where);
}

DWORD FileSystem::CheckAccess(const WindowsPath& path,
                              const HostLocation& where,
                              const TokenData& token,
                              ACCESS_MASK desired) const {
  std::vector<BYTE> sd;
  if (const DWORD error = store_.Read(path, where, sd))
    return error;
  DescriptorParts parts;
  if (ReadSelfRelative(sd.data(), sd.size(), parts) != ERROR_SUCCESS)
    return ERROR_INVALID_SECURITY_DESCR;
  ACCESS_MASK granted = 0;
  return EvaluateAccess(parts, token, desired, kFileGenericMapping, granted);
}

DWORD FileSystem::CheckDelete(const WindowsPath& path,
                              const HostLocation& where,
                              const TokenData& token) const {
  const DWORD own = CheckAccess(path, where, token, DELETE);
  if (own != ERROR_ACCESS_DENIED || path.is_root())
    return own;
  const WindowsPath parent = path.parent();
  HostLocation parent_where{where.host.parent_path(), true, true};
  const DWORD child = CheckAccess(parent, parent_where, token, FILE_DELETE_CHILD);
  return child == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

DWORD FileSystem::CheckCreate(const WindowsPath& path,
                              const TokenData& token,
                              bool directory) const {
  if (path.is_root())
    return ERROR_ACCESS_DENIED;
  const WindowsPath parent = path.parent();
  HostLocation parent_where;
  if (const DWORD error = Locate(parent, parent_where))
    return error;
  return CheckAccess(parent, parent_where, token,
                     directory ? FILE_ADD_SUBDIRECTORY : FILE_ADD_FILE);
}

void FileSystem::InheritOnHost(const WindowsPath& path, const HostLocation& where) {
  if (!host_mirror_ || path.is_root() || !path.volume->keeps_security())
    return;
  const WindowsPath parent = path.parent();
  const HostLocation parent_where{where.host.parent_path(), true, true};
  std::vector<BYTE> parent_bytes, own_bytes;
  DescriptorParts parent_parts, own_parts;
  if (!store_.HoldsStored(parent_where) ||
      store_.Read(parent, parent_where, parent_bytes) != ERROR_SUCCESS ||
      ReadSelfRelative(parent_bytes.data(), parent_bytes.size(), parent_parts) != ERROR_SUCCESS ||
      !parent_parts.dacl || store_.Read(path, where, own_bytes) != ERROR_SUCCESS ||
      ReadSelfRelative(own_bytes.data(), own_bytes.size(), own_parts) != ERROR_SUCCESS)
    return;
  OwnedDescriptor d = OwnedDescriptor::From(own_parts);
  const auto owner = SidValue::FromBytes(d.owner.data(), d.owner.size());
  const auto group = SidValue::FromBytes(d.group.data(), d.group.size());
  const auto inherited = InheritedEntries(AceList::Decode(parent_parts.dacl), where.directory,
                                          owner ? *owner : SidValue(), group ? *group : SidValue(),
                                          kFileGenericMapping);
  // Nothing to inherit: the entry keeps what its mode bits give, as the default DACL would.
  if (inherited.empty())
    return;
  auto dacl = MergeInherited(AceList{}, inherited).Encode();
  if (!dacl)
    return;
  d.dacl = std::move(*dacl);
  d.control |= SE_DACL_PRESENT | SE_DACL_AUTO_INHERITED;
  store_.Write(path, where, d.SelfRelative());
}

DWORD FileSystem::CheckSharing(const std::filesystem::path& host,
                               ACCESS_MASK access,
                               DWORD share) const {
  if (!TakesPartInSharing(access))
    return ERROR_SUCCESS;
  std::lock_guard lock(mutex_);
  for (const auto& weak : open_) {
    const auto held = weak.lock();
    if (!held || held->host != host || !TakesPartInSharing(held->access))
      continue;
    if (!Compatible(access, share, held->access, held->share))
      return ERROR_SHARING_VIOLATION;
  }
  return ERROR_SUCCESS;
}

void FileSystem::Register(const std::shared_ptr<OpenFile>& file) {
  std::lock_guard lock(mutex_);
  std::erase_if(open_, [](const std::weak_ptr<OpenFile>& w) { return w.expired(); });
  open_.push_back(file);
}

void FileSystem::Closed(const OpenFile& file) {
  {
    std::lock_guard lock(mutex_);
    std::erase_if(open_, [&](const std::weak_ptr<OpenFile>& w) {
      const auto f = w.lock();
      return !f || f.get() == &file;
    });
  }
  if (file.delete_on_close && ::unlink(file.host.c_str()) == 0)
    store_.Forget(file.path);
}

void SetMachineCurrentDirectory(std::wstring directory) {
  CurrentMachine()->files()->set_current_directory(std::move(directory));
}

}  // namespace standin
