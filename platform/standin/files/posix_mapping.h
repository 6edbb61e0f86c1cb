// The mapping between a host object's POSIX state and its Windows descriptor, in both
// directions: the descriptor the kernel's rules amount to, the mode and ACL a descriptor
// amounts to, and what the stand-in reports of a stored descriptor so that it never grants more
// than the kernel allows.
#pragma once

#include <optional>
#include <vector>

#include "platform/standin/core/ace_list.h"
#include "platform/standin/core/owned_descriptor.h"
#include "platform/standin/core/sid_value.h"
#include "platform/standin/files/posix_state.h"

namespace standin {

// The rights the kernel decides on the host: reading, writing and running a file; listing,
// adding files and directories to, and searching a directory. Any other right of a descriptor
// is kept in its stored copy only.
ACCESS_MASK EnforcedRights(bool directory);

// The rights one class's permissions (rwx as 4, 2, 1) give on `state`'s object, within what
// its limits leave. On a directory, adding entries needs write and search together.
ACCESS_MASK RightsOfPermissions(unsigned perms, const PosixState& state);

// The permissions a grant of `rights` stands for. POSIX says less than the platform: write on
// a file also appends, and write and search on a directory add files and directories alike, so
// that FILE_WRITE_DATA and FILE_ADD_FILE are what write stands for. On a directory search comes
// with the right to add files, as the platform's traverse bypass would give it.
unsigned PermissionsOfRights(ACCESS_MASK rights, bool directory);

// The descriptor that says what the kernel enforces on `state`: the owner class alone for the
// owner, named users alone for themselves, the group class (limited by the mask) for members of
// its groups, other for everyone else. Each class's grant is followed by a denial of what the
// classes after it would add, so that no Everyone entry gives a class what POSIX withholds.
// Owner and group are the host's SIDs of the uid and gid (under `machine`).
OwnedDescriptor DeriveDescriptor(const PosixState& state, const SidValue& machine);

// The mode and access ACL that give no caller more than every one of `sources` grants it, for
// `target`'s owner and group: each class takes what the sources grant the least of its
// callers, whatever other groups that caller holds. Host users in the sources become named
// users, host groups named groups.
PosixPermissions TranslateDescriptors(const std::vector<const OwnedDescriptor*>& sources,
                                      const PosixState& target,
                                      const SidValue& machine);

// The denials that keep `stored` from granting any host caller more of the enforced rights
// than the kernel allows on `state`, whether its entries are read as they are or as the class
// library rebuilds them (denials first, nothing inherit-only). Each names the caller's user
// where an entry can, else its first group, else Everyone. nullopt when no denials can say it
// (a null DACL, too many groups to try): the derived descriptor is reported then.
std::optional<std::vector<AceEntry>> ExcessDenials(const OwnedDescriptor& stored,
                                                   const PosixState& state,
                                                   const SidValue& machine);

// What the stand-in reports of a stored descriptor that is still fresh: the descriptor behind
// its excess denials (none, mostly), else the derived one.
OwnedDescriptor ReportedDescriptor(const OwnedDescriptor& stored,
                                   const PosixState& state,
                                   const SidValue& machine);

// The sets of enforced rights (EnforcedRights) the kernel lets `caller` ask for on `state`'s
// object, each of which it may ask for whole: one for root, the owner, a named user and other;
// in the group class one for each entry that matches, since POSIX wants a single entry to
// hold every bit asked for. Rights that no set holds together are never granted together.
std::vector<ACCESS_MASK> KernelRightSets(const PosixState& state, const PosixCaller& caller);

// The denial that makes `sd` exact for this process's own token: where it grants the token
// enforced rights that no one of the kernel's sets holds together (a caller whose groups match
// two group-class entries holding part each), a denial to the token's user of what lies
// beyond the set that holds the most of them. nullopt when `sd` grants no more than one set.
std::optional<AceEntry> ProcessDenial(const OwnedDescriptor& sd,
                                      const PosixState& state,
                                      const SidValue& machine);

// `sd` with `denial`, when there is one, as its first entry.
OwnedDescriptor WithDenial(const OwnedDescriptor& sd, const std::optional<AceEntry>& denial);

// `edited` without `denials`, the ones reporting added: an edit hands back what it was shown,
// and they are no part of what anyone set. A denial goes only where the edit kept one for the
// same account with the same rights.
OwnedDescriptor WithoutReportedDenials(const OwnedDescriptor& edited,
                                       const std::vector<AceEntry>& denials);

}  // namespace standin
