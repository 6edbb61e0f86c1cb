// The SID scheme of the host mirror: one rule turns a POSIX uid or gid into a SID and back, so
// that every host user and group, named or not, has a SID of its own.
#pragma once

#include <sys/types.h>

#include <optional>

#include "platform/standin/core/sid_value.h"

namespace standin {

// Samba's algorithmic RIDs under the computer's SID: uid n is RID 1000 + 2n, gid n is
// RID 1001 + 2n, so that users and groups never share a RID and stay clear of the built-in
// 500 and 501. An id whose RID would pass the largest DWORD is S-1-22-1-n (a user) or
// S-1-22-2-n (a group), as Samba names ids it cannot map.
SidValue HostUserSid(const SidValue& machine, uid_t uid);
SidValue HostGroupSid(const SidValue& machine, gid_t gid);
// The RID of uid or gid `id` under the computer's SID; nullopt past the largest DWORD.
std::optional<DWORD> HostUserRid(uid_t uid);
std::optional<DWORD> HostGroupRid(gid_t gid);

struct HostId {
  bool group = false;
  std::uint32_t id = 0;
};

// The POSIX id a SID of the scheme stands for; nullopt for any other SID.
std::optional<HostId> HostIdOf(const SidValue& machine, const SidValue& sid);

}  // namespace standin
