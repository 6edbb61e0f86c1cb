// The platform boundary: the Windows API as checks/ and security/ see it.
// On Windows the system headers; elsewhere the stand-in platform's declarations of the same subset.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <lm.h>
#include <aclapi.h>
#include <sddl.h>
#include <authz.h>

// ntdll's check of a self-relative descriptor of known length, which the SDK headers leave to
// the driver kit.
extern "C" __declspec(dllimport) BOOLEAN NTAPI
    RtlValidRelativeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor,
                                       ULONG length,
                                       SECURITY_INFORMATION required);
#else
#include "standin/win32api.h"
#endif
