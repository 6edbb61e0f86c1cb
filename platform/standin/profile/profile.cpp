#include "platform/standin/profile/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>
#include <new>

#include <nlohmann/json.hpp>

#include "platform/standin/core/text.h"
#include "platform/standin/profile/faultable_calls.h"

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

// Reads one field of an object: its value, and the key that names it.
using FieldReader = std::function<void(const Json&, const std::string&)>;
using FieldReaders = std::vector<std::pair<std::string_view, FieldReader>>;

// The key of `field` within `key`; at the top level the field's own name, an empty one shown
// quoted so that a refusal still names a key.
std::string FieldKey(const std::string& key, const std::string& field) {
  if (!key.empty())
    return key + "." + field;
  return field.empty() ? std::string("\"\"") : field;
}

// Reads an object's fields, each with the reader of its name; any other name is refused, and
// so is the object without one of `required`.
void ReadFields(const Json& j,
                const std::string& key,
                const FieldReaders& readers,
                std::initializer_list<std::string_view> required = {}) {
  Expect(j.is_object(), key.empty() ? "profile" : key,
         std::string("must be an object, not ") + TypeName(j));
  for (const auto& item : j.items()) {
    const std::string& field = item.key();
    const std::string fkey = FieldKey(key, field);
    const auto reader = std::find_if(readers.begin(), readers.end(),
                                     [&](const auto& r) { return r.first == field; });
    if (reader == readers.end())
      throw ProfileError(fkey, "unknown key");
    reader->second(item.value(), fkey);
  }
  for (const std::string_view name : required)
    Expect(j.contains(name), FieldKey(key, std::string(name)), "is missing");
}

// Calls `read(name, value, key)` for each member of an object.
template <typename Read>
void ForEachMember(const Json& j, const std::string& key, Read read) {
  for (const auto& [name, value] : Object(j, key).items())
    read(name, value, key + "." + name);
}

// Calls `read(value, key)` for each element of an array.
template <typename Read>
void ForEachElement(const Json& j, const std::string& key, Read read) {
  size_t i = 0;
  for (const auto& value : Array(j, key))
    read(value, key + "[" + std::to_string(i++) + "]");
}

std::vector<UserDescription> Users(const Json& j, const std::string& key) {
  std::vector<UserDescription> users;
  ForEachElement(j, key, [&](const Json& u, const std::string& ukey) {
    UserDescription user;
    if (u.is_string()) {
      user.name = Utf8ToWide(u.get<std::string>());
    } else {
      ReadFields(u, ukey,
                 {{"name", [&](const Json& v, const std::string& k) { user.name = String(v, k); }},
                  {"rid", [&](const Json& v, const std::string& k) { user.rid = Number(v, k); }}},
                 {"name"});
    }
    users.push_back(std::move(user));
  });
  return users;
}

std::vector<GroupDescription> Groups(const Json& j, const std::string& key) {
  std::vector<GroupDescription> groups;
  ForEachMember(j, key, [&](const std::string& name, const Json& members, const std::string& gkey) {
    GroupDescription group{Utf8ToWide(name), {}};
    ForEachElement(members, gkey, [&](const Json& m, const std::string& mkey) {
      group.members.push_back(String(m, mkey));
    });
    groups.push_back(std::move(group));
  });
  return groups;
}

DomainDescription Domain(const std::string& name, const Json& j, const std::string& key) {
  DomainDescription domain;
  domain.name = Utf8ToWide(name);
  ReadFields(
      j, key,
      {{"sid", [&](const Json& v, const std::string& k) { domain.sid = String(v, k); }},
       {"controller",
        [&](const Json& v, const std::string& k) { domain.controller = String(v, k); }},
       {"users", [&](const Json& v, const std::string& k) { domain.users = Users(v, k); }},
       {"groups", [&](const Json& v, const std::string& k) { domain.groups = Groups(v, k); }}});
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

// {"sddl" | "hex", "type"}: a value's data, given one way or the other.
RegistryValueDescription RegistryValue(const std::string& name,
                                       const Json& j,
                                       const std::string& key) {
  RegistryValueDescription value;
  value.name = Utf8ToWide(name);
  ReadFields(j, key,
             {{"sddl", [&](const Json& v, const std::string& k) { value.sddl = String(v, k); }},
              {"hex", [&](const Json& v, const std::string& k) { value.bytes = HexBytes(v, k); }},
              {"type", [&](const Json& v, const std::string& k) { value.type = Number(v, k); }}});
  Expect(j.contains("sddl") != j.contains("hex"), key, "needs either \"sddl\" or \"hex\"");
  return value;
}

// "HKLM\\Software\\Example" to {"sddl", "values": {name: value}}; the paths and SDDL are
// checked when the machine is built.
std::vector<RegistryKeyDescription> RegistryKeys(const Json& j, const std::string& key) {
  std::vector<RegistryKeyDescription> keys;
  ForEachMember(j, key, [&](const std::string& path, const Json& value, const std::string& kkey) {
    RegistryKeyDescription k;
    k.path = Utf8ToWide(path);
    ReadFields(value, kkey,
               {{"sddl", [&](const Json& v, const std::string& f) { k.sddl = String(v, f); }},
                {"values", [&](const Json& v, const std::string& f) {
                   ForEachMember(
                       v, f,
                       [&](const std::string& name, const Json& data, const std::string& vkey) {
                         k.values.push_back(RegistryValue(name, data, vkey));
                       });
                 }}});
    keys.push_back(std::move(k));
  });
  return keys;
}

FaultDescription Fault(const Json& j, const std::string& key) {
  FaultDescription fault;
  ReadFields(j, key,
             {{"call",
               [&](const Json& v, const std::string& k) {
                 Expect(v.is_string(), k, "must be a string");
                 fault.call = v.get<std::string>();
                 Expect(IsFaultableCall(fault.call), k,
                        "'" + fault.call + "' is no platform call that can fail");
               }},
              {"error", [&](const Json& v, const std::string& k) { fault.error = Number(v, k); }},
              {"skip", [&](const Json& v, const std::string& k) { fault.skip = Number(v, k); }},
              {"times", [&](const Json& v, const std::string& k) { fault.times = Number(v, k); }}},
             {"call", "error"});
  return fault;
}

// "C:" to {"path": host directory, "fs": file system name}.
std::vector<VolumeDescription> Volumes(const Json& j,
                                       const std::string& key,
                                       const std::filesystem::path& base_directory) {
  std::vector<VolumeDescription> volumes;
  ForEachMember(j, key, [&](const std::string& drive, const Json& value, const std::string& vkey) {
    Expect(
        drive.size() == 2 && drive[1] == ':' && std::isalpha(static_cast<unsigned char>(drive[0])),
        vkey, "a drive is a letter and a colon, such as \"C:\"");
    VolumeDescription volume;
    volume.letter = static_cast<wchar_t>(std::toupper(static_cast<unsigned char>(drive[0])));
    for (const auto& v : volumes)
      Expect(v.letter != volume.letter, vkey, "the drive is given twice");
    ReadFields(value, vkey,
               {{"path",
                 [&](const Json& v, const std::string& k) {
                   Expect(v.is_string() && !v.get<std::string>().empty(), k,
                          "must be a non-empty string");
                   // A host path ends at its first NUL.
                   Expect(v.get<std::string>().find('\0') == std::string::npos, k,
                          "a host path holds no NUL");
                   volume.directory = base_directory / std::filesystem::path(v.get<std::string>());
                 }},
                {"fs",
                 [&](const Json& v, const std::string& k) {
                   volume.file_system = String(v, k);
                   Expect(!volume.file_system.empty() && volume.file_system.size() < MAX_PATH &&
                              !HasControlCharacter(volume.file_system),
                          k, "must name a file system");
                 }}},
               {"path"});
    volumes.push_back(std::move(volume));
  });
  return volumes;
}

// Windows path to SDDL; the SDDL is parsed when the machine is built, with its accounts.
std::vector<std::pair<std::wstring, std::wstring>> Security(const Json& j, const std::string& key) {
  std::vector<std::pair<std::wstring, std::wstring>> entries;
  ForEachMember(j, key, [&](const std::string& path, const Json& sddl, const std::string& pkey) {
    const bool absolute = path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
                          path[1] == ':' && (path[2] == '\\' || path[2] == '/');
    Expect(absolute, pkey, "must be a full Windows path such as C:\\Data");
    Expect(!HasControlCharacter(Utf8ToWide(path)), pkey,
           "a Windows path holds no control character");
    entries.emplace_back(Utf8ToWide(path), String(sddl, pkey));
  });
  return entries;
}

// Message codes to texts; null removes a code's text.
std::vector<std::pair<DWORD, std::optional<std::wstring>>> Messages(const Json& j,
                                                                    const std::string& key) {
  std::vector<std::pair<DWORD, std::optional<std::wstring>>> messages;
  ForEachMember(j, key, [&](const std::string& code, const Json& message, const std::string& mkey) {
    char* end = nullptr;
    const unsigned long long n = std::strtoull(code.c_str(), &end, 10);
    // Digits only: strtoull alone would take a sign or leading blanks too.
    Expect(!code.empty() && code.find_first_not_of("0123456789") == std::string::npos &&
               *end == '\0' && n <= 0xFFFFFFFFull,
           mkey, "a message code must be a decimal number");
    messages.emplace_back(static_cast<DWORD>(n),
                          message.is_null() ? std::nullopt : std::optional(String(message, mkey)));
  });
  return messages;
}

std::atomic<char*> g_reserve{nullptr};

// Gives the reserve back and fails the allocation that found no memory.
void ReleaseReserve() {
  delete[] g_reserve.exchange(nullptr);
  throw std::bad_alloc();
}

// The parsed document frees itself with a stack that its destructor allocates, and an
// allocation that fails in a destructor ends the process. While a profile is read, room for that
// stack is put aside, and given back by the first allocation that finds no memory, so that the
// document can be freed and the failure reported.
class MemoryReserve {
 public:
  // A document takes at least two bytes of text a value, and the stack 16 bytes a value, twice
  // over as it grows.
  explicit MemoryReserve(size_t text_bytes) {
    delete[] g_reserve.exchange(new char[16 * text_bytes + 65536]);
    previous_ = std::set_new_handler(&ReleaseReserve);
  }
  ~MemoryReserve() {
    std::set_new_handler(previous_);
    delete[] g_reserve.exchange(nullptr);
  }
  MemoryReserve(const MemoryReserve&) = delete;
  MemoryReserve& operator=(const MemoryReserve&) = delete;

 private:
  std::new_handler previous_ = nullptr;
};

// Profiles are small; anything larger is no machine anyone meant to describe.
constexpr size_t kMaxProfileBytes = 16 * 1024 * 1024;

class ReadableFile {
 public:
  explicit ReadableFile(int fd) : fd_(fd) {}
  ~ReadableFile() {
    if (fd_ >= 0)
      ::close(fd_);
  }
  ReadableFile(const ReadableFile&) = delete;
  ReadableFile& operator=(const ReadableFile&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Why `st` is no file a profile can be read from; null when it is one.
const char* Unreadable(const struct stat& st) {
  if (S_ISDIR(st.st_mode))
    return "is a directory, not a profile";
  if (!S_ISREG(st.st_mode))
    return "is a device, FIFO or socket, not a profile";
  if (static_cast<std::uintmax_t>(st.st_size) > kMaxProfileBytes)
    return "is larger than 16 MiB";
  return nullptr;
}

// The whole text of a regular file of at most kMaxProfileBytes. A directory, device or FIFO is
// refused before it is opened for reading, so that nothing waits on it or reads it without end.
std::string ReadProfileText(const std::filesystem::path& file) {
  const std::string name = "'" + file.string() + "'";
  auto refuse = [&](const std::string& why) { throw ProfileError("profile", name + " " + why); };
  struct stat st;
  if (::stat(file.c_str(), &st) != 0)
    refuse(std::string("cannot be read: ") + std::strerror(errno));
  if (const char* why = Unreadable(st))
    refuse(why);
  // Opened without waiting, and checked again: the name may have changed in between.
  const ReadableFile in(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (in.get() < 0)
    refuse(std::string("cannot be read: ") + std::strerror(errno));
  if (::fstat(in.get(), &st) != 0)
    refuse(std::string("cannot be read: ") + std::strerror(errno));
  if (const char* why = Unreadable(st))
    refuse(why);
  std::string text(static_cast<size_t>(st.st_size), '\0');
  size_t filled = 0;
  while (true) {
    if (filled == text.size()) {
      // A file that grew since it was looked at is read on, up to the limit.
      if (text.size() > kMaxProfileBytes)
        refuse("is larger than 16 MiB");
      text.resize(std::min(text.size() + 65536, kMaxProfileBytes + 1));
    }
    const ssize_t got = ::read(in.get(), text.data() + filled, text.size() - filled);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      refuse(std::string("cannot be read: ") + std::strerror(errno));
    if (got == 0)
      break;
    filled += static_cast<size_t>(got);
  }
  text.resize(filled);
  return text;
}

}  // namespace

MachineDescription ParseProfile(std::string_view text,
                                const std::filesystem::path& base_directory) {
  const MemoryReserve reserve(text.size());
  Json root;
  try {
    root = Json::parse(text);
  } catch (const Json::exception& e) {
    // Syntax errors, and numbers too large for any type (out_of_range, not parse_error).
    throw ProfileError("profile", std::string("not valid JSON: ") + e.what());
  }
  MachineDescription d;
  d.base_directory = base_directory;
  ReadFields(
      root, "",
      {{"computer", [&](const Json& v, const std::string& k) { d.computer = String(v, k); }},
       {"machine_sid", [&](const Json& v, const std::string& k) { d.machine_sid = String(v, k); }},
       {"version",
        [&](const Json& v, const std::string& k) {
          ReadFields(v, k,
                     {{"major", [&](const Json& n,
                                    const std::string& f) { d.version_major = Number(n, f); }},
                      {"minor", [&](const Json& n, const std::string& f) {
                         d.version_minor = Number(n, f);
                       }}});
        }},
       {"user", [&](const Json& v, const std::string& k) { d.user = String(v, k); }},
       {"elevated",
        [&](const Json& v, const std::string& k) {
          Expect(v.is_boolean(), k, "must be true or false");
          d.elevated = v.get<bool>();
        }},
       {"users", [&](const Json& v, const std::string& k) { d.users = Users(v, k); }},
       {"groups", [&](const Json& v, const std::string& k) { d.groups = Groups(v, k); }},
       {"names",
        [&](const Json& v, const std::string& k) {
          ForEachMember(v, k, [&](const std::string& sid, const Json& name, const std::string& nk) {
            d.names.emplace_back(Utf8ToWide(sid), String(name, nk));
          });
        }},
       {"domains",
        [&](const Json& v, const std::string& k) {
          ForEachMember(v, k,
                        [&](const std::string& name, const Json& domain, const std::string& dk) {
                          d.domains.push_back(Domain(name, domain, dk));
                        });
        }},
       {"domain", [&](const Json& v, const std::string& k) { d.domain = String(v, k); }},
       {"faults",
        [&](const Json& v, const std::string& k) {
          ForEachElement(v, k, [&](const Json& f, const std::string& fk) {
            d.faults.push_back(Fault(f, fk));
          });
        }},
       {"messages", [&](const Json& v, const std::string& k) { d.messages = Messages(v, k); }},
       {"volumes",
        [&](const Json& v, const std::string& k) { d.volumes = Volumes(v, k, base_directory); }},
       {"security", [&](const Json& v, const std::string& k) { d.security = Security(v, k); }},
       {"registry", [&](const Json& v, const std::string& k) { d.registry = RegistryKeys(v, k); }},
       {"privileges", [&](const Json& v, const std::string& k) {
          ForEachMember(v, k,
                        [&](const std::string& account, const Json& names, const std::string& ak) {
                          std::vector<std::wstring> privileges;
                          ForEachElement(names, ak, [&](const Json& n, const std::string& nk) {
                            privileges.push_back(String(n, nk));
                          });
                          d.privileges.emplace_back(Utf8ToWide(account), std::move(privileges));
                        });
        }}});
  return d;
}

MachineDescription LoadProfile(const std::filesystem::path& file) {
  return ParseProfile(ReadProfileText(file), std::filesystem::absolute(file).parent_path());
}

}  // namespace standin
