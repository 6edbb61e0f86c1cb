#include "platform/standin/files/host_errors.h"

#include <cerrno>

namespace standin {

namespace {

struct ErrnoCode {
  int error;
  DWORD code;
};

// As Samba maps errno to NT status, taken on to the Win32 codes Windows reports for them.
const ErrnoCode kPathErrors[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {ELOOP, ERROR_PATH_NOT_FOUND},
    {EEXIST, ERROR_FILE_EXISTS},
    {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EROFS, ERROR_WRITE_PROTECT},
    {ENOSPC, ERROR_DISK_FULL},
    {EDQUOT, ERROR_DISK_FULL},
    {EFBIG, ERROR_DISK_FULL},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {ENOTSUP, ERROR_NOT_SUPPORTED},
    {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EBUSY, ERROR_SHARING_VIOLATION},
    {ETXTBSY, ERROR_SHARING_VIOLATION},
    {EIO, ERROR_IO_DEVICE},
    {EINVAL, ERROR_INVALID_PARAMETER},
};

// An attribute that does not fit (the host's room for attributes, or its largest value) is a
// full attribute table, as NTFS reports an extended attribute too large for it.
const ErrnoCode kAttributeErrors[] = {
    {ENOSPC, ERROR_EA_TABLE_FULL},
    {E2BIG, ERROR_EA_TABLE_FULL},
};

// The host keeps user attributes off devices, FIFOs and sockets.
const ErrnoCode kSpecialFileAttributeErrors[] = {
    {EPERM, ERROR_NOT_SUPPORTED},
};

// ntfs-3g: no descriptor to give, and one it refuses to store.
const ErrnoCode kNtfsDescriptorErrors[] = {
    {ENODATA, ERROR_NO_SECURITY_ON_OBJECT},
    {EINVAL, ERROR_INVALID_SECURITY_DESCR},
};

template <size_t N>
bool Find(const ErrnoCode (&table)[N], int error, DWORD& code) {
  for (const auto& entry : table) {
    if (entry.error == error) {
      code = entry.code;
      return true;
    }
  }
  return false;
}

}  // namespace

DWORD HostError(int error, HostCall call) {
  DWORD code = ERROR_GEN_FAILURE;
  if (call == HostCall::kSpecialFileAttribute && Find(kSpecialFileAttributeErrors, error, code))
    return code;
  if (call == HostCall::kNtfsDescriptor && Find(kNtfsDescriptorErrors, error, code))
    return code;
  if (call != HostCall::kPath && Find(kAttributeErrors, error, code))
    return code;
  Find(kPathErrors, error, code);
  return code;
}

}  // namespace standin
