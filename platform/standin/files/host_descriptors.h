// The descriptors of host objects on the host mirror. A descriptor is what the kernel enforces,
// unless one stored beside the object (an extended attribute) is still fresh: written against
// the POSIX state the object has now. An edit writes what POSIX can express into the mode and
// the access ACL, and keeps the whole descriptor beside it with the fingerprint of that state.
#pragma once

#include <filesystem>

#include "platform/standin/core/owned_descriptor.h"
#include "platform/standin/core/sid_value.h"
#include "platform/standin/files/posix_state.h"

namespace standin {

// How an edit reaches the kernel: an edit of the object itself writes all that POSIX can say;
// what inheritance brings to an object only narrows what its mode and ACL allow, since the
// kernel passes nothing on to objects that exist already.
enum class PosixWrite { kWhole, kNarrowOnly };

// The descriptor of `host`: `stored` (already validated) when it is fresh, reported so that it
// grants no caller more than the kernel allows; else the one derived from the POSIX state. For
// this process's own token it is exact (ProcessDenial) whatever groups the process holds.
// `hints` holds what the kernel told of the object just before. Errors: those of reading it.
DWORD ReadHostDescriptor(const std::filesystem::path& host,
                         const OwnedDescriptor* stored,
                         const SidValue& machine,
                         OwnedDescriptor& sd,
                         const PosixReadHints& hints = {});

// Whether `host` holds a stored descriptor that is still fresh.
bool HoldsFreshDescriptor(const std::filesystem::path& host);

// Writes `sd` over the object's descriptor (`stored`, already validated, when one is kept). As
// the kernel's rules say: only the owner or root (CAP_FOWNER) changes a descriptor, else
// ERROR_ACCESS_DENIED; only root (CAP_CHOWN) gives ownership away, else ERROR_INVALID_OWNER.
// An owner that is no host user is kept in the stored descriptor only. Other errors: those of
// the host (ERROR_WRITE_PROTECT, ERROR_NOT_SUPPORTED, ...).
DWORD WriteHostDescriptor(const std::filesystem::path& host,
                          const OwnedDescriptor* stored,
                          const OwnedDescriptor& sd,
                          PosixWrite scope,
                          const SidValue& machine);

}  // namespace standin
