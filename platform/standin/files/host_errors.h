// The platform's codes for failed host calls: one table from errno to Win32, so that every
// service reports the same host failure the same way.
#pragma once

#include "platform/standin/win32api.h"

namespace standin {

// What a failed host call was about, where the same errno means something else.
enum class HostCall {
  kPath,       // a file or directory reached by name
  kAttribute,  // the extended attribute that holds a stored descriptor
  // The same attribute on a device, FIFO or socket, which the host gives none.
  kSpecialFileAttribute,
  // ntfs-3g's attribute that holds an NTFS volume's own descriptor.
  kNtfsDescriptor,
};

// The Win32 code for `error` (an errno value) from a host call of kind `call`; an errno the
// table does not know is ERROR_GEN_FAILURE, never a success.
DWORD HostError(int error, HostCall call = HostCall::kPath);

}  // namespace standin
