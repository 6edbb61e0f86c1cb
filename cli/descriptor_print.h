// A descriptor as `sd` prints it: the class library's Dump, a line in its manner for each entry
// the model does not hold, then the SDDL line.
#pragma once

#include <string>

#include "cli/target.h"
#include "platform/win32.h"

// The descriptor in SDDL: owner, group and DACL, the parts that `descriptor` has.
DWORD ToSddl(PSECURITY_DESCRIPTOR descriptor, std::wstring& sddl);

// Prints `sd` as read from `target` (`descriptor` its current form): Dump's lines, the entries
// the model does not hold, then "sddl: ..."; with `sddl_only`, the SDDL alone. What the
// platform cannot write as SDDL is still shown, with a line on standard error. The status.
int PrintDescriptor(CSD& sd, PSECURITY_DESCRIPTOR descriptor, const Target& target, bool sddl_only);
