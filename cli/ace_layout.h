// Where the parts of an access entry lie, by its type: the one reading of entry layouts that the
// edits and the access walk share.
#pragma once

#include <cstddef>

#include "platform/win32.h"

// The entry's SID, after its mask or after an object entry's flags and GUIDs; null for a type
// that carries none, or when the SID does not lie whole within the entry's AceSize.
PSID AceSid(const ACE_HEADER* ace);

// An object entry's ACE_OBJECT_TYPE_PRESENT and ACE_INHERITED_OBJECT_TYPE_PRESENT flags; 0 for
// any other entry.
DWORD AceObjectFlags(const ACE_HEADER* ace);

// The entry's access mask (every entry type keeps it right after the header).
ACCESS_MASK AceMask(const ACE_HEADER* ace);
