// The host as a Windows machine: its name, its POSIX users and groups as local accounts, and
// root with the members of the administrative groups as Administrators.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>

#include "platform/standin/core/text.h"
#include "platform/standin/profile/host_ids.h"
#include "platform/standin/profile/profile.h"

namespace standin {

namespace {

bool IsReservedName(const std::wstring& name) {
  static const wchar_t* const kReserved[] = {L"Administrator",
                                             L"Guest",
                                             L"Administrators",
                                             L"Users",
                                             L"Guests",
                                             L"Power Users",
                                             L"Backup Operators",
                                             L"Remote Desktop Users",
                                             L"Everyone",
                                             L"SYSTEM",
                                             L"INTERACTIVE",
                                             L"NETWORK",
                                             L"Authenticated Users",
                                             L"CREATOR OWNER"};
  for (const wchar_t* r : kReserved) {
    if (NamesEqual(name, r))
      return true;
  }
  return false;
}

bool Usable(const std::wstring& name) {
  return !name.empty() && name.find(L'\\') == std::wstring::npos && name.size() < 256;
}

// The names of the computer's accounts, compared as the platform compares them.
class NameTable {
 public:
  // Takes the first of `candidates` that is usable, not reserved and not yet taken.
  std::optional<std::wstring> Take(std::initializer_list<std::wstring> candidates) {
    for (const auto& name : candidates) {
      if (Usable(name) && !IsReservedName(name) && taken_.insert(UpperCase(name)).second)
        return name;
    }
    return std::nullopt;
  }

 private:
  std::set<std::wstring> taken_;
};

}  // namespace

std::filesystem::path HostRegistryFile() {
  if (const char* file = std::getenv("VORTISS_REGISTRY"); file && *file)
    return file;
  std::filesystem::path data;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg)
    data = xdg;
  else if (const char* home = std::getenv("HOME"); home && *home)
    data = std::filesystem::path(home) / ".local" / "share";
  else
    data = "/tmp";
  return data / "vortiss" / "registry.db";
}

MachineDescription HostMirrorDescription() {
  MachineDescription d;
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof host - 1) == 0 && host[0])
    d.computer = Utf8ToWide(host);
  d.elevated = geteuid() == 0;
  d.registry_database = HostRegistryFile();
  d.host_mirror = true;

  // Every user and group takes the RID of the host's SID scheme; a name that cannot be used as
  // it is gives way to one made from the id, so that each still resolves by name.
  NameTable names;
  std::map<uid_t, std::wstring> user_names;
  std::map<gid_t, std::vector<std::wstring>> primary_members;
  setpwent();
  while (passwd* pw = getpwent()) {
    const auto rid = HostUserRid(pw->pw_uid);
    if (!rid || user_names.count(pw->pw_uid))
      continue;
    const auto name = names.Take({Utf8ToWide(pw->pw_name), L"uid" + std::to_wstring(pw->pw_uid)});
    if (!name)
      continue;
    user_names[pw->pw_uid] = *name;
    d.users.push_back({*name, rid});
    primary_members[pw->pw_gid].push_back(*name);
  }
  endpwent();

  const uid_t euid = geteuid();
  if (!user_names.count(euid)) {
    // A uid without a passwd entry still runs as an account of its own.
    const std::wstring name = names.Take({L"uid" + std::to_wstring(euid)}).value_or(L"uid");
    user_names[euid] = name;
    d.users.push_back({name, HostUserRid(euid)});
  }
  d.user = d.computer + L"\\" + user_names[euid];

  GroupDescription administrators{L"Administrators", {}, std::nullopt};
  auto add_admin = [&](const std::wstring& name) {
    for (const auto& m : administrators.members) {
      if (m == name)
        return;
    }
    administrators.members.push_back(name);
  };
  if (user_names.count(0))
    add_admin(user_names[0]);

  std::set<std::wstring> user_set;
  for (const auto& [uid, name] : user_names)
    user_set.insert(name);
  std::set<gid_t> group_ids;
  setgrent();
  while (group* gr = getgrent()) {
    std::vector<std::wstring> members;
    for (char** m = gr->gr_mem; m && *m; ++m) {
      const std::wstring member = Utf8ToWide(*m);
      if (user_set.count(member))
        members.push_back(member);
    }
    for (const auto& member : primary_members[gr->gr_gid])
      members.push_back(member);
    const std::string narrow = gr->gr_name;
    if (narrow == "sudo" || narrow == "wheel" || narrow == "admin") {
      for (const auto& m : members)
        add_admin(m);
    }
    const auto rid = HostGroupRid(gr->gr_gid);
    if (!rid || !group_ids.insert(gr->gr_gid).second)
      continue;
    // A group shares its name with a user as often as not (a user's own group): such a group,
    // and one that would shadow a built-in name, is told apart by its kind.
    const std::wstring own = Utf8ToWide(gr->gr_name);
    const auto name = names.Take({own, own + L" (group)", L"gid" + std::to_wstring(gr->gr_gid)});
    if (!name)
      continue;
    GroupDescription g{*name, {}, rid};
    for (const auto& m : members) {
      if (std::find(g.members.begin(), g.members.end(), m) == g.members.end())
        g.members.push_back(m);
    }
    d.groups.push_back(std::move(g));
  }
  endgrent();

  // The token holds the groups the kernel gives this process, each of them an account.
  std::vector<std::uint32_t> gids = {static_cast<std::uint32_t>(getegid())};
  const int count = getgroups(0, nullptr);
  if (count > 0) {
    std::vector<gid_t> supplementary(static_cast<size_t>(count));
    const int got = getgroups(count, supplementary.data());
    for (int i = 0; i < got; ++i)
      gids.push_back(supplementary[static_cast<size_t>(i)]);
  }
  std::vector<std::uint32_t> held;
  for (const std::uint32_t gid : gids) {
    if (std::find(held.begin(), held.end(), gid) != held.end())
      continue;
    held.push_back(gid);
    const auto rid = HostGroupRid(gid);
    if (rid && group_ids.insert(gid).second) {
      if (const auto name = names.Take({L"gid" + std::to_wstring(gid)}))
        d.groups.push_back({*name, {}, rid});
    }
  }
  d.token_gids = std::move(held);
  d.groups.insert(d.groups.begin(), std::move(administrators));
  return d;
}

}  // namespace standin
