#include "platform/standin/profile/host_ids.h"

#include <limits>

namespace standin {

namespace {

constexpr std::uint64_t kFirstRid = 1000;
constexpr std::uint64_t kUnixAuthority = 22;
constexpr DWORD kUnixUsers = 1;
constexpr DWORD kUnixGroups = 2;

std::optional<DWORD> RidOf(std::uint64_t id, std::uint64_t parity) {
  const std::uint64_t rid = kFirstRid + parity + 2 * id;
  if (rid > std::numeric_limits<DWORD>::max())
    return std::nullopt;
  return static_cast<DWORD>(rid);
}

}  // namespace

std::optional<DWORD> HostUserRid(uid_t uid) {
  return RidOf(uid, 0);
}

std::optional<DWORD> HostGroupRid(gid_t gid) {
  return RidOf(gid, 1);
}

SidValue HostUserSid(const SidValue& machine, uid_t uid) {
  if (const auto rid = HostUserRid(uid))
    return machine.Child(*rid);
  return SidValue(kUnixAuthority, {kUnixUsers, static_cast<DWORD>(uid)});
}

SidValue HostGroupSid(const SidValue& machine, gid_t gid) {
  if (const auto rid = HostGroupRid(gid))
    return machine.Child(*rid);
  return SidValue(kUnixAuthority, {kUnixGroups, static_cast<DWORD>(gid)});
}

std::optional<HostId> HostIdOf(const SidValue& machine, const SidValue& sid) {
  if (sid.empty())
    return std::nullopt;
  if (sid.authority() == kUnixAuthority && sid.sub_authority_count() == 2) {
    const DWORD kind = sid.sub_authority(0);
    if (kind == kUnixUsers || kind == kUnixGroups)
      return HostId{kind == kUnixGroups, sid.sub_authority(1)};
    return std::nullopt;
  }
  if (machine.empty() || sid.sub_authority_count() != machine.sub_authority_count() + 1 ||
      !(sid.Parent() == machine))
    return std::nullopt;
  const DWORD rid = sid.last_rid();
  if (rid < kFirstRid)
    return std::nullopt;
  const DWORD offset = rid - static_cast<DWORD>(kFirstRid);
  return HostId{(offset & 1) != 0, offset / 2};
}

}  // namespace standin
