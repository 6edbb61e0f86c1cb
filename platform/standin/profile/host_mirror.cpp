// The host as a Windows machine: its name, its POSIX users and groups as local accounts, and
// root with the members of the administrative groups as Administrators.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>
#include <set>

#include "platform/standin/core/text.h"
#include "platform/standin/profile/profile.h"

namespace standin {

namespace {

// Algorithmic user RIDs as Samba assigns them, clear of the built-in 500 and 501; groups take
// the RIDs between them.
DWORD UserRid(uid_t uid) {
  return 1000 + 2 * static_cast<DWORD>(uid);
}

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

  std::map<uid_t, std::wstring> user_names;
  std::set<std::wstring> taken;  // upper-cased names of local accounts
  std::map<gid_t, std::vector<std::wstring>> primary_members;
  setpwent();
  while (passwd* pw = getpwent()) {
    const std::wstring name = Utf8ToWide(pw->pw_name);
    if (!Usable(name) || IsReservedName(name) || user_names.count(pw->pw_uid) ||
        !taken.insert(UpperCase(name)).second)
      continue;
    user_names[pw->pw_uid] = name;
    d.users.push_back({name, UserRid(pw->pw_uid)});
    primary_members[pw->pw_gid].push_back(name);
  }
  endpwent();

  const uid_t euid = geteuid();
  if (!user_names.count(euid)) {
    // A uid without a passwd entry still runs as an account of its own.
    const std::wstring name = L"uid" + std::to_wstring(euid);
    user_names[euid] = name;
    taken.insert(UpperCase(name));
    d.users.push_back({name, UserRid(euid)});
  }
  d.user = d.computer + L"\\" + user_names[euid];

  GroupDescription administrators{L"Administrators", {}};
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
  std::set<std::wstring> group_names;
  setgrent();
  while (group* gr = getgrent()) {
    const std::wstring name = Utf8ToWide(gr->gr_name);
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
    // A group shares its name with a user as often as not; such a group, and one that would
    // shadow a built-in name, is left out rather than refused.
    if (!Usable(name) || IsReservedName(name) || taken.count(UpperCase(name)) ||
        !group_names.insert(UpperCase(name)).second)
      continue;
    GroupDescription g{name, {}};
    for (const auto& m : members) {
      if (std::find(g.members.begin(), g.members.end(), m) == g.members.end())
        g.members.push_back(m);
    }
    d.groups.push_back(std::move(g));
  }
  endgrent();
  d.groups.insert(d.groups.begin(), std::move(administrators));
  return d;
}

}  // namespace standin
