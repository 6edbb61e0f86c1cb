// Learnt from Samba's posix_acls.c (classes of a POSIX ACL as entries of a Windows DACL, denials
// where POSIX cannot be said without them); the rules for each direction are our own.
#include "platform/standin/files/posix_mapping.h"

#include <algorithm>
#include <bit>
#include <map>
#include <set>

#include "platform/standin/core/ace_list.h"
#include "platform/standin/files/file_security_store.h"
#include "platform/standin/identity/token.h"
#include "platform/standin/object_security/access_check.h"
#include "platform/standin/object_security/inheritance.h"
#include "platform/standin/profile/host_ids.h"

namespace standin {

namespace {

constexpr ACCESS_MASK kEnforced =
    FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_EXECUTE;
// What writing to an object or its directory entries takes.
constexpr ACCESS_MASK kWriting =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD;
constexpr ACCESS_MASK kAddEntries = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;
constexpr DWORD kEnabledGroup = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
// Tokens are tried with every subset of the groups a descriptor names; past this many groups
// the stand-in reports what the kernel enforces instead.
constexpr size_t kMostGroupsTried = 8;

const SidValue& Everyone() {
  static const SidValue sid(1, {SECURITY_WORLD_RID});
  return sid;
}

const SidValue& Administrators() {
  static const SidValue sid(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
  return sid;
}

const SidValue& OwnerRights() {
  static const SidValue sid(3, {SECURITY_CREATOR_OWNER_RIGHTS_RID});
  return sid;
}

// The groups every host token holds: Everyone, INTERACTIVE, Authenticated Users, and Users,
// which lists the last two.
const std::vector<SidValue>& EveryHostTokensGroups() {
  static const std::vector<SidValue> sids = {
      Everyone(), SidValue(5, {SECURITY_INTERACTIVE_RID}),
      SidValue(5, {SECURITY_AUTHENTICATED_USER_RID}),
      SidValue(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS})};
  return sids;
}

// How a token may hold Administrators: root holds it, other users may hold it for deny only.
enum class AdminHold { kNone, kDenyOnly, kEnabled };

TokenData HostToken(const SidValue& user,
                    const std::vector<SidValue>& groups,
                    const std::vector<SidValue>& deny_only,
                    AdminHold admin) {
  TokenData token;
  token.user = user;
  for (const SidValue& sid : EveryHostTokensGroups())
    token.groups.emplace_back(sid, kEnabledGroup);
  for (const SidValue& sid : groups)
    token.groups.emplace_back(sid, kEnabledGroup);
  for (const SidValue& sid : deny_only)
    token.groups.emplace_back(sid, SE_GROUP_USE_FOR_DENY_ONLY);
  if (admin != AdminHold::kNone)
    token.groups.emplace_back(Administrators(), admin == AdminHold::kEnabled
                                                    ? kEnabledGroup
                                                    : DWORD{SE_GROUP_USE_FOR_DENY_ONLY});
  return token;
}

ACCESS_MASK Granted(const OwnedDescriptor& sd, const TokenData& token) {
  ACCESS_MASK granted = 0;
  const DWORD result =
      EvaluateAccess(sd.Parts(), token, MAXIMUM_ALLOWED, kFileGenericMapping, granted);
  return result == ERROR_SUCCESS ? granted : 0;
}

bool TakesPart(const AceEntry& e) {
  const bool allow_or_deny = e.type == ACCESS_ALLOWED_ACE_TYPE ||
                             e.type == ACCESS_DENIED_ACE_TYPE ||
                             e.type == ACCESS_DENIED_OBJECT_ACE_TYPE;
  return allow_or_deny && !(e.flags & INHERIT_ONLY_ACE) && !e.sid.empty();
}

// The host users and groups the entries of `sd` name, by id.
void CollectHostIds(const OwnedDescriptor& sd,
                    const SidValue& machine,
                    std::set<std::uint32_t>& users,
                    std::set<std::uint32_t>& groups) {
  for (const AceEntry& e : DaclEntries(sd).entries) {
    if (!TakesPart(e))
      continue;
    if (const auto id = HostIdOf(machine, e.sid))
      (id->group ? groups : users).insert(id->id);
  }
}

bool Names(const OwnedDescriptor& sd, const SidValue& sid) {
  const AceList dacl = DaclEntries(sd);
  return std::any_of(dacl.entries.begin(), dacl.entries.end(),
                     [&](const AceEntry& e) { return TakesPart(e) && e.sid == sid; });
}

OwnedDescriptor WithDacl(const OwnedDescriptor& sd, const AceList& dacl) {
  OwnedDescriptor out = sd;
  out.control |= SE_DACL_PRESENT;
  auto bytes = dacl.Encode();
  out.dacl = bytes ? std::move(*bytes) : AceList{}.Encode().value();
  return out;
}

// What root may do on `state` as the kernel sees it: anything its limits leave, and running a
// file only when one execute bit is set.
ACCESS_MASK RootRights(const PosixState& state) {
  const PosixPermissions& p = state.permissions;
  const unsigned any_execute = (p.owner | p.mask.value_or(p.group) | p.other) & 1;
  return RightsOfPermissions(6 | (state.directory ? 1 : any_execute), state) & kEnforced;
}

}  // namespace

ACCESS_MASK EnforcedRights(bool) {
  // FILE_LIST_DIRECTORY, FILE_ADD_FILE, FILE_ADD_SUBDIRECTORY and FILE_TRAVERSE share the bits.
  return kEnforced;
}

ACCESS_MASK RightsOfPermissions(unsigned perms, const PosixState& state) {
  const bool directory = state.directory;
  ACCESS_MASK rights = 0;
  if (perms & 4)
    rights |= FILE_GENERIC_READ;
  if (perms & 1)
    rights |= FILE_GENERIC_EXECUTE;
  if (perms & 2)
    rights |= directory ? (FILE_GENERIC_WRITE & ~kAddEntries) : FILE_GENERIC_WRITE;
  if (directory && (perms & 3) == 3)
    rights |= kAddEntries | (state.sticky ? 0 : FILE_DELETE_CHILD);
  const PosixLimits& limits = state.limits;
  if (limits.read_only || limits.immutable)
    rights &= ~kWriting;
  if (limits.append_only) {
    rights &= ~(FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                (directory ? ACCESS_MASK{FILE_DELETE_CHILD} : ACCESS_MASK{FILE_WRITE_DATA}));
  }
  if (limits.no_creation && directory)
    rights &= ~(kAddEntries | FILE_DELETE_CHILD);
  return rights;
}

unsigned PermissionsOfRights(ACCESS_MASK rights, bool directory) {
  unsigned perms = (rights & FILE_READ_DATA) ? 4 : 0;
  if (directory) {
    if (rights & FILE_ADD_FILE)
      perms |= 3;
    if (rights & FILE_TRAVERSE)
      perms |= 1;
  } else {
    if (rights & FILE_WRITE_DATA)
      perms |= 2;
    if (rights & FILE_EXECUTE)
      perms |= 1;
  }
  return perms;
}

namespace {

OwnedDescriptor Derive(const PosixState& state, const SidValue& machine) {
  const PosixPermissions& p = state.permissions;
  const BYTE flags = state.directory ? (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) : 0;
  const unsigned mask = p.mask.value_or(7);
  auto rights = [&](unsigned perms) { return RightsOfPermissions(perms, state); };

  const SidValue owner = HostUserSid(machine, state.uid);
  const SidValue group = HostGroupSid(machine, state.gid);
  std::vector<std::pair<SidValue, ACCESS_MASK>> users;
  for (const auto& [uid, perms] : p.users) {
    if (uid != state.uid)
      users.emplace_back(HostUserSid(machine, uid), rights(perms & mask));
  }
  // The owning group's entry and a named entry for the same gid both count for its members.
  std::map<std::uint32_t, unsigned> group_perms = {{state.gid, p.group & mask}};
  for (const auto& [gid, perms] : p.groups)
    group_perms[gid] |= perms & mask;
  std::vector<std::pair<SidValue, ACCESS_MASK>> groups = {{group, rights(group_perms[state.gid])}};
  for (const auto& [gid, perms] : group_perms) {
    if (gid != state.gid)
      groups.emplace_back(HostGroupSid(machine, gid), rights(perms));
  }
  const ACCESS_MASK other = rights(p.other);
  ACCESS_MASK after_users = other;
  for (const auto& g : groups)
    after_users |= g.second;

  AceList dacl;
  auto add = [&](BYTE type, const SidValue& sid, ACCESS_MASK m) {
    if (m)
      dacl.entries.push_back({type, flags, m, sid, {}});
  };
  const PosixLimits& limits = state.limits;
  // Where the kernel refuses chmod, the owner holds no implicit right to change the DACL.
  if (limits.read_only || limits.immutable || limits.append_only)
    add(ACCESS_ALLOWED_ACE_TYPE, OwnerRights(), READ_CONTROL);
  const ACCESS_MASK own = rights(p.owner);
  add(ACCESS_ALLOWED_ACE_TYPE, owner, own);
  add(ACCESS_DENIED_ACE_TYPE, owner, after_users & ~own);
  for (const auto& [sid, m] : users) {
    add(ACCESS_ALLOWED_ACE_TYPE, sid, m);
    add(ACCESS_DENIED_ACE_TYPE, sid, after_users & ~m);
  }
  // Every group's grant comes before any group's denial: a member of two groups has both.
  for (const auto& [sid, m] : groups)
    add(ACCESS_ALLOWED_ACE_TYPE, sid, m);
  for (const auto& [sid, m] : groups)
    add(ACCESS_DENIED_ACE_TYPE, sid, other & ~m);
  add(ACCESS_ALLOWED_ACE_TYPE, Everyone(), other);

  OwnedDescriptor sd;
  sd.control = SE_DACL_PRESENT;
  sd.owner.assign(owner.data(), owner.data() + owner.size());
  sd.group.assign(group.data(), group.data() + group.size());
  return WithDacl(sd, dacl);
}

}  // namespace

OwnedDescriptor DeriveDescriptor(const PosixState& state, const SidValue& machine) {
  // The descriptor follows from the state and the machine alone, and the objects of a tree
  // share a few states: each thread keeps the last one it derived.
  struct Kept {
    bool held = false;
    PosixState state;
    SidValue machine;
    OwnedDescriptor sd;
  };
  thread_local Kept kept;
  if (kept.held && kept.state == state && kept.machine == machine)
    return kept.sd;
  kept.held = false;
  OwnedDescriptor sd = Derive(state, machine);
  kept.sd = sd;
  kept.state = state;
  kept.machine = machine;
  kept.held = true;
  return sd;
}

PosixPermissions TranslateDescriptors(const std::vector<const OwnedDescriptor*>& sources,
                                      const PosixState& target,
                                      const SidValue& machine) {
  std::set<std::uint32_t> user_ids, group_ids;
  for (const OwnedDescriptor* sd : sources)
    CollectHostIds(*sd, machine, user_ids, group_ids);
  group_ids.insert(target.gid);
  // Any of these a caller may hold: denials to them count, grants do not.
  std::vector<SidValue> maybe_held;
  for (const std::uint32_t gid : group_ids)
    maybe_held.push_back(HostGroupSid(machine, gid));

  // The class of other holds none of the groups that have entries; every other class may hold
  // any of them.
  auto least = [&](const SidValue& user, bool root, const SidValue* group, bool other = false) {
    std::vector<SidValue> held, deny_only;
    if (group)
      held.push_back(*group);
    for (const SidValue& sid : maybe_held) {
      if (!other && (!group || !(sid == *group)))
        deny_only.push_back(sid);
    }
    const TokenData token =
        HostToken(user, held, deny_only, root ? AdminHold::kEnabled : AdminHold::kDenyOnly);
    ACCESS_MASK granted = ~ACCESS_MASK{0};
    for (const OwnedDescriptor* sd : sources)
      granted &= Granted(*sd, token);
    return PermissionsOfRights(granted, target.directory);
  };

  PosixPermissions out;
  out.owner = least(HostUserSid(machine, target.uid), target.uid == 0, nullptr);
  const SidValue own_group = HostGroupSid(machine, target.gid);
  out.group = least(SidValue(), false, &own_group);
  out.other = least(SidValue(), false, nullptr, true);
  unsigned mask = out.group;
  for (const std::uint32_t uid : user_ids) {
    if (uid == target.uid)
      continue;
    const unsigned perms = least(HostUserSid(machine, uid), uid == 0, nullptr);
    out.users.emplace_back(uid, perms);
    mask |= perms;
  }
  for (const std::uint32_t gid : group_ids) {
    if (gid == target.gid)
      continue;
    const SidValue sid = HostGroupSid(machine, gid);
    const unsigned perms = least(SidValue(), false, &sid);
    out.groups.emplace_back(gid, perms);
    mask |= perms;
  }
  if (out.extended())
    out.mask = mask;
  return out;
}

std::optional<std::vector<AceEntry>> ExcessDenials(const OwnedDescriptor& stored,
                                                   const PosixState& state,
                                                   const SidValue& machine) {
  // A null DACL grants everything, and cannot be denied anything.
  if (!(stored.control & SE_DACL_PRESENT) || stored.dacl.empty())
    return std::nullopt;
  const OwnedDescriptor derived = DeriveDescriptor(state, machine);
  std::set<std::uint32_t> user_ids = {state.uid, 0}, group_ids;
  CollectHostIds(stored, machine, user_ids, group_ids);
  CollectHostIds(derived, machine, user_ids, group_ids);
  if (group_ids.size() > kMostGroupsTried)
    return std::nullopt;
  std::vector<SidValue> users = {SidValue()};  // the first: a user no entry names
  for (const std::uint32_t uid : user_ids)
    users.push_back(HostUserSid(machine, uid));
  std::vector<SidValue> groups;
  for (const std::uint32_t gid : group_ids)
    groups.push_back(HostGroupSid(machine, gid));
  const SidValue root = HostUserSid(machine, 0);
  const bool admin_named = Names(stored, Administrators());

  // Every caller the host can have, as far as these entries tell callers apart, with what the
  // kernel allows it.
  struct Caller {
    TokenData token;
    ACCESS_MASK kernel;
  };
  std::vector<Caller> callers;
  for (const SidValue& user : users) {
    const bool is_root = user == root;
    std::vector<AdminHold> holds = {is_root ? AdminHold::kEnabled : AdminHold::kNone};
    if (!is_root && admin_named)
      holds.push_back(AdminHold::kDenyOnly);
    for (size_t subset = 0; subset < (size_t{1} << groups.size()); ++subset) {
      std::vector<SidValue> held;
      for (size_t i = 0; i < groups.size(); ++i) {
        if (subset & (size_t{1} << i))
          held.push_back(groups[i]);
      }
      for (const AdminHold hold : holds) {
        TokenData token = HostToken(user, held, {}, hold);
        const ACCESS_MASK kernel =
            is_root ? RootRights(state) : (Granted(derived, token) & kEnforced);
        callers.push_back({std::move(token), kernel});
      }
    }
  }

  // The entries as the class library reads them back and builds them again: allow and deny
  // entries only, each effective, the denials first.
  const AceList own = DaclEntries(stored);
  AceList rebuilt;
  for (const bool deny : {true, false}) {
    for (const AceEntry& e : own.entries) {
      if (e.type == (deny ? ACCESS_DENIED_ACE_TYPE : ACCESS_ALLOWED_ACE_TYPE))
        rebuilt.entries.push_back({e.type, 0, e.mask, e.sid, {}});
    }
  }

  std::vector<AceEntry> denials;
  auto behind = [&](const AceList& entries) {
    AceList dacl;
    dacl.revision = entries.revision;
    dacl.entries = denials;
    dacl.entries.insert(dacl.entries.end(), entries.entries.begin(), entries.entries.end());
    return WithDacl(stored, dacl);
  };
  // A denial covers every caller it was made for, so a second round finds none left.
  for (int round = 0; round < 4; ++round) {
    const OwnedDescriptor as_stored = behind(own), as_rebuilt = behind(rebuilt);
    bool excess_found = false;
    for (const Caller& caller : callers) {
      const ACCESS_MASK excess =
          (Granted(as_stored, caller.token) | Granted(as_rebuilt, caller.token)) & kEnforced &
          ~caller.kernel;
      if (!excess)
        continue;
      excess_found = true;
      const TokenData& t = caller.token;
      const size_t first_group = EveryHostTokensGroups().size();
      const bool has_group =
          t.groups.size() > first_group && !(t.groups[first_group].first == Administrators());
      const SidValue& target = !t.user.empty() ? t.user
                               : has_group     ? t.groups[first_group].first
                                               : Everyone();
      auto it = std::find_if(denials.begin(), denials.end(),
                             [&](const AceEntry& d) { return d.sid == target; });
      if (it == denials.end())
        denials.push_back({ACCESS_DENIED_ACE_TYPE, 0, excess, target, {}});
      else
        it->mask |= excess;
    }
    if (!excess_found)
      return denials;
    AceList all = own;
    all.entries.insert(all.entries.begin(), denials.begin(), denials.end());
    if (!all.Encode())
      return std::nullopt;
  }
  return std::nullopt;
}

OwnedDescriptor ReportedDescriptor(const OwnedDescriptor& stored,
                                   const PosixState& state,
                                   const SidValue& machine) {
  const auto denials = ExcessDenials(stored, state, machine);
  if (!denials)
    return DeriveDescriptor(state, machine);
  if (denials->empty())
    return stored;
  AceList dacl = DaclEntries(stored);
  dacl.entries.insert(dacl.entries.begin(), denials->begin(), denials->end());
  if (!dacl.Encode())
    return DeriveDescriptor(state, machine);
  return WithDacl(stored, dacl);
}

std::vector<ACCESS_MASK> KernelRightSets(const PosixState& state, const PosixCaller& caller) {
  const PosixPermissions& p = state.permissions;
  auto rights = [&](unsigned perms) { return RightsOfPermissions(perms, state) & kEnforced; };
  if (caller.uid == 0)
    return {RootRights(state)};
  if (caller.uid == state.uid)
    return {rights(p.owner)};
  const unsigned mask = p.mask.value_or(7);
  for (const auto& [uid, perms] : p.users) {
    if (uid == caller.uid)
      return {rights(perms & mask)};
  }
  auto holds = [&](std::uint32_t gid) {
    return std::find(caller.gids.begin(), caller.gids.end(), gid) != caller.gids.end();
  };
  std::vector<ACCESS_MASK> sets;
  if (holds(state.gid))
    sets.push_back(rights(p.group & mask));
  for (const auto& [gid, perms] : p.groups) {
    if (holds(gid))
      sets.push_back(rights(perms & mask));
  }
  if (sets.empty())
    sets.push_back(rights(p.other));
  return sets;
}

namespace {

// The token as the host builds it for the process's credentials, less any group it holds for
// deny only: what it grants can only be more than the real token's, so that a denial made for
// it covers the real token too. The token follows from the credentials and the machine alone,
// so each thread keeps the last one it built while the credentials, read anew for every
// object, stay the same.
const TokenData& ProcessHostToken(const PosixCaller& caller, const SidValue& machine) {
  struct Kept {
    bool held = false;
    SidValue machine;
    std::uint32_t uid = 0;
    std::vector<std::uint32_t> gids;
    TokenData token;
  };
  thread_local Kept kept;
  if (kept.held && kept.uid == caller.uid && kept.gids == caller.gids && kept.machine == machine)
    return kept.token;
  kept.held = false;
  std::vector<SidValue> groups;
  for (const std::uint32_t gid : caller.gids)
    groups.push_back(HostGroupSid(machine, gid));
  kept.token = HostToken(HostUserSid(machine, caller.uid), groups, {},
                         caller.uid == 0 ? AdminHold::kEnabled : AdminHold::kNone);
  kept.machine = machine;
  kept.uid = caller.uid;
  kept.gids = caller.gids;
  kept.held = true;
  return kept.token;
}

// The entry that denies the process's host token what `sd` grants it beyond what the kernel
// grants `caller` on `state`.
std::optional<AceEntry> Denial(const OwnedDescriptor& sd,
                               const PosixState& state,
                               const PosixCaller& caller,
                               const SidValue& machine) {
  const TokenData& token = ProcessHostToken(caller, machine);
  const ACCESS_MASK granted = Granted(sd, token) & kEnforced;
  const std::vector<ACCESS_MASK> sets = KernelRightSets(state, caller);
  const ACCESS_MASK* best = nullptr;
  for (const ACCESS_MASK& set : sets) {
    if (!(granted & ~set))
      return std::nullopt;
    if (!best || std::popcount(granted & set) > std::popcount(granted & *best))
      best = &set;
  }
  return AceEntry{ACCESS_DENIED_ACE_TYPE, 0, granted & ~*best, token.user, {}};
}

}  // namespace

std::optional<AceEntry> ProcessDenial(const OwnedDescriptor& sd,
                                      const PosixState& state,
                                      const SidValue& machine) {
  // The denial follows from the descriptor, the state, the credentials and the machine alone,
  // and a tree's objects share a few of each: each thread keeps the last denial it weighed. The
  // credentials are still read anew for every object.
  struct Kept {
    bool held = false;
    OwnedDescriptor sd;
    PosixState state;
    PosixCaller caller;
    SidValue machine;
    std::optional<AceEntry> denial;
  };
  thread_local Kept kept;
  const PosixCaller caller = ProcessCaller();
  if (kept.held && kept.caller.uid == caller.uid && kept.caller.gids == caller.gids &&
      kept.state == state && kept.sd == sd && kept.machine == machine)
    return kept.denial;
  kept.held = false;
  const auto denial = Denial(sd, state, caller, machine);
  kept.sd = sd;
  kept.state = state;
  kept.caller = caller;
  kept.machine = machine;
  kept.denial = denial;
  kept.held = true;
  return denial;
}

OwnedDescriptor WithDenial(const OwnedDescriptor& sd, const std::optional<AceEntry>& denial) {
  if (!denial || !(sd.control & SE_DACL_PRESENT) || sd.dacl.empty())
    return sd;
  AceList dacl = DaclEntries(sd);
  dacl.entries.insert(dacl.entries.begin(), *denial);
  return dacl.Encode() ? WithDacl(sd, dacl) : sd;
}

OwnedDescriptor WithoutReportedDenials(const OwnedDescriptor& edited,
                                       const std::vector<AceEntry>& denials) {
  if (denials.empty() || !(edited.control & SE_DACL_PRESENT) || edited.dacl.empty())
    return edited;
  AceList dacl = DaclEntries(edited);
  for (const AceEntry& denial : denials) {
    const auto it = std::find_if(dacl.entries.begin(), dacl.entries.end(), [&](const AceEntry& e) {
      return e.type == ACCESS_DENIED_ACE_TYPE && e.sid == denial.sid && e.mask == denial.mask;
    });
    if (it != dacl.entries.end())
      dacl.entries.erase(it);
  }
  return WithDacl(edited, dacl);
}

}  // namespace standin
