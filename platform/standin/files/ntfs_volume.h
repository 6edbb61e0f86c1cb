// Windows' own descriptors on an NTFS volume mounted with ntfs-3g. ntfs-3g exposes each file's
// self-relative descriptor, as the volume's $Secure stream holds it, in the extended attribute
// "system.ntfs_acl"; there descriptors are read and written as they are, never derived from
// the modes ntfs-3g makes up for POSIX callers, and never kept by the stand-in.
#pragma once

#include <filesystem>

#include "platform/standin/core/owned_descriptor.h"

namespace standin {

inline constexpr char kNtfsDescriptorAttribute[] = "system.ntfs_acl";

// True when the existing object `host` lies on an ntfs-3g mount: a FUSE file system that
// answers ntfs-3g's own attribute of file attributes. This alone decides where a descriptor
// comes from.
bool OnNtfsVolume(const std::filesystem::path& host);

// The descriptor in `bytes`, checked within their length. Errors: ERROR_NO_SECURITY_ON_OBJECT
// for none, ERROR_INVALID_SECURITY_DESCR for bytes that are no valid self-relative descriptor.
DWORD DecodeNtfsDescriptor(const BYTE* bytes, size_t size, OwnedDescriptor& sd);

// The volume's descriptor of `host`. Errors: those of DecodeNtfsDescriptor, ERROR_IO_DEVICE
// where ntfs-3g cannot read it (the root of a new volume), ERROR_ACCESS_DENIED.
DWORD ReadNtfsDescriptor(const std::filesystem::path& host, OwnedDescriptor& sd);

// `sd` as a read-only mount enforces it: every write refused to everyone, the owner's implicit
// right to change the DACL included, ahead of what the disk's entries grant. A null DACL
// becomes one that grants everyone all the rest.
OwnedDescriptor WithoutWriting(const OwnedDescriptor& sd);

// Writes `sd` as the volume's descriptor of `host`, whole. ntfs-3g takes it from the owner or
// root only (ERROR_ACCESS_DENIED) and refuses a descriptor it cannot store
// (ERROR_INVALID_SECURITY_DESCR).
DWORD WriteNtfsDescriptor(const std::filesystem::path& host, const OwnedDescriptor& sd);

}  // namespace standin
