#include "platform/standin/files/host_descriptors.h"

#include <unistd.h>

#include "platform/standin/files/file_security_store.h"
#include "platform/standin/files/posix_mapping.h"
#include "platform/standin/files/posix_state.h"
#include "platform/standin/profile/host_ids.h"

namespace standin {

namespace {

std::optional<SidValue> SidOf(const std::vector<BYTE>& part) {
  if (part.empty())
    return std::nullopt;
  return SidValue::FromBytes(part.data(), part.size());
}

bool Fresh(const std::filesystem::path& host, const PosixState& state) {
  const auto fingerprint = ReadFingerprint(host);
  return fingerprint && *fingerprint == Fingerprint(state);
}

}  // namespace

DWORD ReadHostDescriptor(const std::filesystem::path& host,
                         const OwnedDescriptor* stored,
                         const SidValue& machine,
                         OwnedDescriptor& sd,
                         const PosixReadHints& hints) {
  PosixState state;
  if (const DWORD error = ReadPosixState(host, state, hints))
    return error;
  OwnedDescriptor reported = stored && Fresh(host, state)
                                 ? ReportedDescriptor(*stored, state, machine)
                                 : DeriveDescriptor(state, machine);
  const auto denial = ProcessDenial(reported, state, machine);
  sd = denial ? WithDenial(reported, denial) : std::move(reported);
  return ERROR_SUCCESS;
}

bool HoldsFreshDescriptor(const std::filesystem::path& host) {
  PosixState state;
  return ReadPosixState(host, state) == ERROR_SUCCESS && Fresh(host, state);
}

DWORD WriteHostDescriptor(const std::filesystem::path& host,
                          const OwnedDescriptor* stored,
                          const OwnedDescriptor& edited,
                          PosixWrite scope,
                          const SidValue& machine) {
  PosixState state;
  if (const DWORD error = ReadPosixState(host, state))
    return error;
  if (!MayChangePermissions(state))
    return ERROR_ACCESS_DENIED;
  // The descriptor the edit started from, and the denials its report added, which no one set.
  OwnedDescriptor previous = DeriveDescriptor(state, machine);
  std::vector<AceEntry> denials;
  if (stored && Fresh(host, state)) {
    previous = ReportedDescriptor(*stored, state, machine);
    if (const auto excess = ExcessDenials(*stored, state, machine))
      denials = *excess;
  }
  if (const auto denial = ProcessDenial(previous, state, machine))
    denials.push_back(*denial);
  const OwnedDescriptor sd = WithoutReportedDenials(edited, denials);

  // A new owner or group is the kernel's when it is a host account, and the descriptor's alone
  // otherwise; giving the object away takes root's right to do so.
  std::optional<std::uint32_t> new_uid, new_gid;
  const auto owner = SidOf(sd.owner);
  if (owner && !(sd.owner == previous.owner)) {
    const auto id = HostIdOf(machine, *owner);
    const bool own_self = id && !id->group && id->id == ::geteuid();
    if (!own_self && !MayChangeOwner())
      return ERROR_INVALID_OWNER;
    if (id && !id->group && id->id != state.uid)
      new_uid = id->id;
  }
  const auto group = SidOf(sd.group);
  if (group && !(sd.group == previous.group)) {
    const auto id = HostIdOf(machine, *group);
    if (id && id->group && id->id != state.gid)
      new_gid = id->id;
  }
  if (new_uid || new_gid) {
    if (const DWORD error = ChangePosixOwner(host, new_uid, new_gid))
      return error;
    if (const DWORD error = ReadPosixState(host, state))
      return error;
  }

  const OwnedDescriptor enforced = DeriveDescriptor(state, machine);
  std::vector<const OwnedDescriptor*> sources = {&sd};
  if (scope == PosixWrite::kNarrowOnly)
    sources.push_back(&enforced);
  PosixState wanted = state;
  wanted.permissions = TranslateDescriptors(sources, state, machine);

  // The kernel lets only a caller who may write the object set its user attributes: an owner
  // who took that right from itself, and may change the mode, has it back for the edit.
  if (::geteuid() == state.uid && ::geteuid() != 0 && !(state.permissions.owner & 2)) {
    PosixPermissions writable = state.permissions;
    writable.owner |= 2;
    if (const DWORD error = WritePosixPermissions(host, state, writable))
      return error;
    state.permissions = writable;
  }

  // The descriptor and its fingerprint go first: should the mode or ACL then fail to change,
  // the fingerprint no longer matches and the descriptor counts as stale.
  const std::vector<BYTE> bytes = sd.SelfRelative();
  if (const DWORD error =
          WriteAttribute(host, kDescriptorAttribute, std::string(bytes.begin(), bytes.end())))
    return error;
  if (const DWORD error = WriteAttribute(host, kPosixAttribute, Fingerprint(wanted)))
    return error;
  if (wanted.permissions == state.permissions)
    return ERROR_SUCCESS;
  return WritePosixPermissions(host, state, wanted.permissions);
}

}  // namespace standin
