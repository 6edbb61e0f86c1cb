#include "platform/standin/files/ntfs_volume.h"

#include <linux/magic.h>
#include <sys/vfs.h>
#include <sys/xattr.h>

#include <cerrno>
#include <vector>

#include "platform/standin/core/ace_list.h"
#include "platform/standin/files/host_errors.h"

namespace standin {

namespace {

// ntfs-3g's attribute of a file's NTFS attributes (FILE_ATTRIBUTE_*), four bytes on every
// object of its volumes, the root included.
constexpr char kNtfsAttributesAttribute[] = "system.ntfs_attrib";

// How often a reader starts again when the descriptor changes size between its two calls.
constexpr int kReadTries = 64;

}  // namespace

bool OnNtfsVolume(const std::filesystem::path& host) {
  struct statfs fs;
  if (::statfs(host.c_str(), &fs) != 0 || static_cast<long>(fs.f_type) != FUSE_SUPER_MAGIC)
    return false;
  char attributes[4];
  return ::getxattr(host.c_str(), kNtfsAttributesAttribute, attributes, sizeof attributes) ==
         static_cast<ssize_t>(sizeof attributes);
}

DWORD DecodeNtfsDescriptor(const BYTE* bytes, size_t size, OwnedDescriptor& sd) {
  if (size == 0)
    return ERROR_NO_SECURITY_ON_OBJECT;
  // The bytes come from the disk: checked within their own length before any use.
  DescriptorParts parts;
  if (ReadSelfRelative(bytes, size, parts) != ERROR_SUCCESS)
    return ERROR_INVALID_SECURITY_DESCR;
  sd = OwnedDescriptor::From(parts);
  return ERROR_SUCCESS;
}

DWORD ReadNtfsDescriptor(const std::filesystem::path& host, OwnedDescriptor& sd) {
  std::vector<BYTE> bytes;
  for (int attempt = 0; attempt < kReadTries; ++attempt) {
    const ssize_t size = ::getxattr(host.c_str(), kNtfsDescriptorAttribute, nullptr, 0);
    if (size < 0)
      return HostError(errno, HostCall::kNtfsDescriptor);
    bytes.resize(static_cast<size_t>(size));
    const ssize_t read =
        ::getxattr(host.c_str(), kNtfsDescriptorAttribute, bytes.data(), bytes.size());
    if (read >= 0) {
      bytes.resize(static_cast<size_t>(read));
      return DecodeNtfsDescriptor(bytes.data(), bytes.size(), sd);
    }
    // Through FUSE, a descriptor that outgrew the buffer (a writer between the two calls)
    // fails with EIO, not ERANGE: the reader asks again while the size keeps changing.
    const int error = errno;
    if (error != ERANGE && error != EIO)
      return HostError(error, HostCall::kNtfsDescriptor);
    const ssize_t now = ::getxattr(host.c_str(), kNtfsDescriptorAttribute, nullptr, 0);
    if (now < 0 || now == size)
      return HostError(error, HostCall::kNtfsDescriptor);
  }
  return ERROR_SHARING_VIOLATION;
}

OwnedDescriptor WithoutWriting(const OwnedDescriptor& sd) {
  constexpr ACCESS_MASK kWriting = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                   FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                   WRITE_OWNER;
  const SidValue everyone(1, {SECURITY_WORLD_RID});
  const SidValue owner_rights(3, {SECURITY_CREATOR_OWNER_RIGHTS_RID});
  const bool null_dacl = !(sd.control & SE_DACL_PRESENT) || sd.dacl.empty();
  AceList dacl = null_dacl ? AceList{} : AceList::Decode(sd.dacl.data());
  std::vector<AceEntry> front = {{ACCESS_DENIED_ACE_TYPE, 0, kWriting, everyone, {}},
                                 {ACCESS_ALLOWED_ACE_TYPE, 0, READ_CONTROL, owner_rights, {}}};
  if (null_dacl)
    dacl.entries.push_back({ACCESS_ALLOWED_ACE_TYPE, 0, FILE_ALL_ACCESS, everyone, {}});
  dacl.entries.insert(dacl.entries.begin(), front.begin(), front.end());
  OwnedDescriptor out = sd;
  out.control |= SE_DACL_PRESENT;
  // An ACL past the largest size cannot be made: then only the two entries in front, which
  // grant nobody anything but reading the descriptor.
  auto bytes = dacl.Encode();
  if (!bytes) {
    AceList denial;
    denial.entries = front;
    bytes = denial.Encode();
  }
  out.dacl = std::move(*bytes);
  return out;
}

DWORD WriteNtfsDescriptor(const std::filesystem::path& host, const OwnedDescriptor& sd) {
  const std::vector<BYTE> bytes = sd.SelfRelative();
  if (::setxattr(host.c_str(), kNtfsDescriptorAttribute, bytes.data(), bytes.size(), 0) != 0)
    return HostError(errno, HostCall::kNtfsDescriptor);
  return ERROR_SUCCESS;
}

}  // namespace standin
