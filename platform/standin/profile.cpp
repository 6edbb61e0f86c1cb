#include "platform/standin/profile.h"

#include <cctype>
#include <fstream>
#include <limits>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/standin/machine.h"
#include "platform/standin/text.h"

namespace standin {

namespace {

using Json = nlohmann::ordered_json;

const char* TypeName(const Json& j) {
  return j.type_name();
}

void Expect(bool ok, const std::string& key, const std::string& what) {
  if (!ok)
    throw ProfileError(key, what);
}

std::wstring String(const Json& j, const std::string& key) {
  Expect(j.is_string(), key, std::string("must be a string, not ") + TypeName(j));
  return Utf8ToWide(j.get<std::string>());
}

DWORD Number(const Json& j, const std::string& key) {
  Expect(j.is_number_unsigned() || (j.is_number_integer() && j.get<long long>() >= 0), key,
         std::string("must be a non-negative integer, not ") + TypeName(j));
  const auto value = j.get<unsigned long long>();
  Expect(value <= std::numeric_limits<DWORD>::max(), key, "is too large");
  return static_cast<DWORD>(value);
}

const Json& Object(const Json& j, const std::string& key) {
  Expect(j.is_object(), key, std::string("must be an object, not ") + TypeName(j));
  return j;
}

const Json& Array(const Json& j, const std::string& key) {
  Expect(j.is_array(), key, std::string("must be an array, not ") + TypeName(j));
  return j;
}

std::vector<UserDescription> Users(const Json& j, const std::string& key) {
  std::vector<UserDescription> users;
  size_t i = 0;
  for (const auto& u : Array(j, key)) {
    const std::string ukey = key + "[" + std::to_string(i++) + "]";
    if (u.is_string()) {
      users.push_back({Utf8ToWide(u.get<std::string>()), std::nullopt});
      continue;
    }
    Object(u, ukey);
    UserDescription user;
    bool named = false;
    for (const auto& [field, value] : u.items()) {
      if (field == "name")
        user.name = String(value, ukey + ".name"), named = true;
      else if (field == "rid")
        user.rid = Number(value, ukey + ".rid");
      else
        throw ProfileError(ukey + "." + field, "unknown key");
    }
    Expect(named, ukey + ".name", "is missing");
    users.push_back(user);
  }
  return users;
}

std::vector<GroupDescription> Groups(const Json& j, const std::string& key) {
  std::vector<GroupDescription> groups;
  for (const auto& [name, members] : Object(j, key).items()) {
    const std::string gkey = key + "." + name;
    GroupDescription group{Utf8ToWide(name), {}};
    size_t i = 0;
    for (const auto& m : Array(members, gkey))
      group.members.push_back(String(m, gkey + "[" + std::to_string(i++) + "]"));
    groups.push_back(std::move(group));
  }
  return groups;
}

DomainDescription Domain(const std::string& name, const Json& j, const std::string& key) {
  DomainDescription domain;
  domain.name = Utf8ToWide(name);
  for (const auto& [field, value] : Object(j, key).items()) {
    const std::string fkey = key + "." + field;
    if (field == "sid")
      domain.sid = String(value, fkey);
    else if (field == "controller")
      domain.controller = String(value, fkey);
    else if (field == "users")
      domain.users = Users(value, fkey);
    else if (field == "groups")
      domain.groups = Groups(value, fkey);
    else
      throw ProfileError(fkey, "unknown key");
  }
  return domain;
}

// "0100ff" to its bytes.
std::vector<BYTE> HexBytes(const Json& j, const std::string& key) {
  Expect(j.is_string(), key, std::string("must be a string, not ") + TypeName(j));
  const std::string text = j.get<std::string>();
  Expect(text.size() % 2 == 0, key, "hex digits come in pairs");
  std::vector<BYTE> bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    Expect(std::isxdigit(static_cast<unsigned char>(text[i])) &&
               std::isxdigit(static_cast<unsigned char>(text[i + 1])),
           key, "must hold hex digits only");
    bytes.push_back(static_cast<BYTE>(std::stoi(text.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// "HKLM\\Software\\Example" to {"sddl", "values": {name: {"sddl" | "hex", "type"}}}; the paths
// and SDDL are checked when the machine is built.
std::vector<RegistryKeyDescription> RegistryKeys(const Json& j, const std::string& key) {
  std::vector<RegistryKeyDescription> keys;
  for (const auto& [path, value] : Object(j, key).items()) {
    const std::string kkey = key + "." + path;
    RegistryKeyDescription k;
    k.path = Utf8ToWide(path);
    for (const auto& [field, v] : Object(value, kkey).items()) {
      const std::string fkey = kkey + "." + field;
      if (field == "sddl") {
        k.sddl = String(v, fkey);
      } else if (field == "values") {
        for (const auto& [name, data] : Object(v, fkey).items()) {
          const std::string vkey = fkey + "." + name;
          RegistryValueDescription value_description;
          value_description.name = Utf8ToWide(name);
          for (const auto& [part, p] : Object(data, vkey).items()) {
            const std::string pkey = vkey + "." + part;
            if (part == "sddl")
              value_description.sddl = String(p, pkey);
            else if (part == "hex")
              value_description.bytes = HexBytes(p, pkey);
            else if (part == "type")
              value_description.type = Number(p, pkey);
            else
              throw ProfileError(pkey, "unknown key");
          }
          Expect(data.contains("sddl") != data.contains("hex"), vkey,
                 "needs either \"sddl\" or \"hex\"");
          k.values.push_back(std::move(value_description));
        }
      } else {
        throw ProfileError(fkey, "unknown key");
      }
    }
    keys.push_back(std::move(k));
  }
  return keys;
}

FaultDescription Fault(const Json& j, const std::string& key) {
  FaultDescription fault;
  bool has_call = false, has_error = false;
  for (const auto& [field, value] : Object(j, key).items()) {
    const std::string fkey = key + "." + field;
    if (field == "call") {
      Expect(value.is_string(), fkey, "must be a string");
      fault.call = value.get<std::string>();
      Expect(IsFaultableCall(fault.call), fkey,
             "'" + fault.call + "' is no platform call that can fail");
      has_call = true;
    } else if (field == "error") {
      fault.error = Number(value, fkey);
      has_error = true;
    } else if (field == "skip") {
      fault.skip = Number(value, fkey);
    } else if (field == "times") {
      fault.times = Number(value, fkey);
    } else {
      throw ProfileError(fkey, "unknown key");
    }
  }
  Expect(has_call, key + ".call", "is missing");
  Expect(has_error, key + ".error", "is missing");
  return fault;
}

// "C:" to {"path": host directory, "fs": file system name}.
std::vector<VolumeDescription> Volumes(const Json& j,
                                       const std::string& key,
                                       const std::filesystem::path& base_directory) {
  std::vector<VolumeDescription> volumes;
  for (const auto& [drive, value] : Object(j, key).items()) {
    const std::string vkey = key + "." + drive;
    Expect(
        drive.size() == 2 && drive[1] == ':' && std::isalpha(static_cast<unsigned char>(drive[0])),
        vkey, "a drive is a letter and a colon, such as \"C:\"");
    VolumeDescription volume;
    volume.letter = static_cast<wchar_t>(std::toupper(static_cast<unsigned char>(drive[0])));
    for (const auto& v : volumes)
      Expect(v.letter != volume.letter, vkey, "the drive is given twice");
    bool has_path = false;
    for (const auto& [field, v] : Object(value, vkey).items()) {
      const std::string fkey = vkey + "." + field;
      if (field == "path") {
        Expect(v.is_string() && !v.get<std::string>().empty(), fkey, "must be a non-empty string");
        volume.directory = base_directory / std::filesystem::path(v.get<std::string>());
        has_path = true;
      } else if (field == "fs") {
        volume.file_system = String(v, fkey);
        Expect(!volume.file_system.empty() && volume.file_system.size() < MAX_PATH, fkey,
               "must name a file system");
      } else {
        throw ProfileError(fkey, "unknown key");
      }
    }
    Expect(has_path, vkey + ".path", "is missing");
    volumes.push_back(std::move(volume));
  }
  return volumes;
}

// Windows path to SDDL; the SDDL is parsed when the machine is built, with its accounts.
std::vector<std::pair<std::wstring, std::wstring>> Security(const Json& j, const std::string& key) {
  std::vector<std::pair<std::wstring, std::wstring>> entries;
  for (const auto& [path, sddl] : Object(j, key).items()) {
    const std::string pkey = key + "." + path;
    const bool absolute = path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
                          path[1] == ':' && (path[2] == '\\' || path[2] == '/');
    Expect(absolute, pkey, "must be a full Windows path such as C:\\Data");
    entries.emplace_back(Utf8ToWide(path), String(sddl, pkey));
  }
  return entries;
}

}  // namespace

MachineDescription ParseProfile(std::string_view text,
                                const std::filesystem::path& base_directory) {
  Json root;
  try {
    root = Json::parse(text);
  } catch (const Json::exception& e) {
    // Syntax errors, and numbers too large for any type (out_of_range, not parse_error).
    throw ProfileError("profile", std::string("not valid JSON: ") + e.what());
  }
  Object(root, "profile");
  MachineDescription d;
  d.base_directory = base_directory;
  for (const auto& [key, value] : root.items()) {
    if (key == "computer") {
      d.computer = String(value, key);
    } else if (key == "machine_sid") {
      d.machine_sid = String(value, key);
    } else if (key == "version") {
      for (const auto& [field, v] : Object(value, key).items()) {
        if (field == "major")
          d.version_major = Number(v, key + ".major");
        else if (field == "minor")
          d.version_minor = Number(v, key + ".minor");
        else
          throw ProfileError(key + "." + field, "unknown key");
      }
    } else if (key == "user") {
      d.user = String(value, key);
    } else if (key == "elevated") {
      Expect(value.is_boolean(), key, "must be true or false");
      d.elevated = value.get<bool>();
    } else if (key == "users") {
      d.users = Users(value, key);
    } else if (key == "groups") {
      d.groups = Groups(value, key);
    } else if (key == "names") {
      for (const auto& [sid, name] : Object(value, key).items())
        d.names.emplace_back(Utf8ToWide(sid), String(name, key + "." + sid));
    } else if (key == "domains") {
      for (const auto& [name, domain] : Object(value, key).items())
        d.domains.push_back(Domain(name, domain, key + "." + name));
    } else if (key == "faults") {
      size_t i = 0;
      for (const auto& f : Array(value, key)) {
        d.faults.push_back(Fault(f, key + "[" + std::to_string(i) + "]"));
        ++i;
      }
    } else if (key == "messages") {
      for (const auto& [code, message] : Object(value, key).items()) {
        const std::string mkey = key + "." + code;
        char* end = nullptr;
        const unsigned long long n = std::strtoull(code.c_str(), &end, 10);
        // Digits only: strtoull alone would take a sign or leading blanks too.
        Expect(!code.empty() && code.find_first_not_of("0123456789") == std::string::npos &&
                   *end == '\0' && n <= 0xFFFFFFFFull,
               mkey, "a message code must be a decimal number");
        if (message.is_null())
          d.messages.emplace_back(static_cast<DWORD>(n), std::nullopt);
        else
          d.messages.emplace_back(static_cast<DWORD>(n), String(message, mkey));
      }
    } else if (key == "volumes") {
      d.volumes = Volumes(value, key, base_directory);
    } else if (key == "security") {
      d.security = Security(value, key);
    } else if (key == "registry") {
      d.registry = RegistryKeys(value, key);
    } else {
      // An empty name is shown quoted, so that the refusal still names a key.
      throw ProfileError(key.empty() ? std::string("\"\"") : key, "unknown key");
    }
  }
  return d;
}

MachineDescription LoadProfile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in)
    throw ProfileError("profile", "cannot read " + file.string());
  std::ostringstream text;
  text << in.rdbuf();
  return ParseProfile(text.str(), std::filesystem::absolute(file).parent_path());
}

void CheckProfile(const std::filesystem::path& file) {
  Machine machine(LoadProfile(file));
}

}  // namespace standin
