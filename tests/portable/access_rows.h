// The access-check rows that the differential program prints on both platforms and the access
// walk is held to: descriptors in SDDL against one token, each with the rights asked.
#pragma once

#include "platform/win32.h"

namespace portable {

struct AccessRow {
  const char* name;
  const wchar_t* sddl;  // %U stands for the token's user
  DWORD desired;
};

inline const AccessRow kAccessRows[] = {
    {"allowed", L"O:S-1-5-21-1-2-3-4G:SYD:(A;;0x3;;;WD)", 3},
    {"partly", L"O:S-1-5-21-1-2-3-4G:SYD:(A;;0x1;;;WD)", 3},
    {"deny-after-allow", L"O:S-1-5-21-1-2-3-4G:SYD:(A;;0x3;;;WD)(D;;0x2;;;WD)", 3},
    {"deny-first", L"O:S-1-5-21-1-2-3-4G:SYD:(D;;0x2;;;WD)(A;;0x3;;;WD)", 3},
    {"split-by-deny", L"O:S-1-5-21-1-2-3-4G:SYD:(A;;0x1;;;WD)(D;;0x3;;;WD)(A;;0x2;;;WD)", 3},
    {"empty-dacl", L"O:S-1-5-21-1-2-3-4G:SYD:", 1},
    {"no-dacl", L"O:S-1-5-21-1-2-3-4G:SY", 0x1f01ff},
    {"inherit-only", L"O:S-1-5-21-1-2-3-4G:SYD:(A;IO;0x3;;;WD)", 3},
    {"stranger", L"O:S-1-5-21-1-2-3-4G:SYD:(A;;0x3;;;S-1-5-21-1-2-3-4)", 3},
    {"nothing", L"O:S-1-5-21-1-2-3-4G:SYD:(A;;0x3;;;WD)", 0},
    {"nothing-no-dacl", L"O:S-1-5-21-1-2-3-4G:SY", 0},
    {"maximum", L"O:S-1-5-21-1-2-3-4G:SYD:(A;;0x3;;;WD)(D;;0x6;;;WD)(A;;0x4;;;WD)",
     MAXIMUM_ALLOWED},
    {"maximum-empty", L"O:S-1-5-21-1-2-3-4G:SYD:", MAXIMUM_ALLOWED},
    {"maximum-no-dacl", L"O:S-1-5-21-1-2-3-4G:SY", MAXIMUM_ALLOWED},
    {"generic-entry", L"O:S-1-5-21-1-2-3-4G:SYD:(A;;GR;;;WD)", FILE_READ_DATA},
    {"owner-implicit", L"O:%UG:SYD:", READ_CONTROL | WRITE_DAC},
    {"owner-maximum", L"O:%UG:SYD:(A;;0x1;;;WD)", MAXIMUM_ALLOWED},
    {"owner-rights", L"O:%UG:SYD:(A;;0x1;;;OW)", READ_CONTROL},
};

}  // namespace portable
