// The Vortiss class library for Windows security: accounts and security descriptors.
#pragma once

#include "security/cfilesd.h"
#include "security/cregistrysd.h"
#include "security/csd.h"
#include "security/csid.h"
#include "security/cvisa.h"
