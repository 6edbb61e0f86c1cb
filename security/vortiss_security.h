// The Vortiss class library for Windows security: accounts and security descriptors.
#pragma once

#include "security/csid.h"
