// The security descriptor definition language (SDDL): "O:BAG:SYD:PAI(A;OICI;FA;;;BA)" read
// into a self-relative descriptor, and descriptors written back in the form the platform
// writes. Both return a Win32 error code (ERROR_SUCCESS when they succeed).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/standin/core/security_descriptor.h"
#include "platform/standin/core/sid_aliases.h"

namespace standin {

// Parses `text` into self-relative bytes (parts in the platform's order). Errors:
// ERROR_INVALID_PARAMETER (a component other than O, G, D, S, or one given twice),
// ERROR_INVALID_SID (owner or group), ERROR_INVALID_ACL (anything inside D: or S:).
DWORD ParseSddl(std::wstring_view text, const AliasDomains& domains, std::vector<BYTE>& descriptor);

// Writes the parts that `information` selects, with SID aliases where one exists and access
// rights by the names the platform uses. Errors: ERROR_INVALID_ACL for an entry type that has
// no SDDL form here.
DWORD WriteSddl(const DescriptorParts& parts,
                SECURITY_INFORMATION information,
                const AliasDomains& domains,
                std::wstring& text);

}  // namespace standin
