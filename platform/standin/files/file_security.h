// The security of files and directories as callers read and write it: the caller's right to
// each part is checked, and a DACL set by name reaches what a directory holds.
#pragma once

#include <string_view>

#include "platform/standin/files/file_system.h"

namespace standin {

// The parts `information` names of the descriptor of `name`. Errors: those of the path,
// ERROR_FILE_NOT_FOUND, ERROR_PRIVILEGE_NOT_HELD for the SACL, ERROR_ACCESS_DENIED.
DWORD ReadFileSecurity(FileSystem& files,
                       std::wstring_view name,
                       const TokenData& token,
                       SECURITY_INFORMATION information,
                       OwnedDescriptor& sd);

// Writes the parts `information` names from `given`. By handle (SetFileSecurityW) the parts
// are written as they are given; by name (SetNamedSecurityInfoW) an unprotected DACL takes
// its parent's inheritable entries and a directory's DACL reaches its entries. Errors: those
// of the path, ERROR_PRIVILEGE_NOT_HELD for the SACL, ERROR_NO_SECURITY_ON_OBJECT,
// ERROR_ACCESS_DENIED, ERROR_INVALID_OWNER, ERROR_INVALID_PRIMARY_GROUP.
DWORD WriteFileSecurity(FileSystem& files,
                        std::wstring_view name,
                        const TokenData& token,
                        SECURITY_INFORMATION information,
                        const OwnedDescriptor& given,
                        bool by_name);

}  // namespace standin
