#include "cli/sd_command.h"

#include <cwctype>
#include <iostream>
#include <memory>
#include <new>

#include "cli/console.h"
#include "cli/dacl_edit.h"
#include "cli/edit_lock.h"
#include "cli/privileges.h"
#include "cli/rights.h"
#include "cli/windows_path.h"
#include "security/scoped_platform.h"
#include "security/vortiss_security.h"

namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

using Verb = SdCommand::Verb;

// The privileges the platform's tools enable to take ownership and to give it to another.
const wchar_t kTakeOwnership[] = L"SeTakeOwnershipPrivilege";
const wchar_t kRestore[] = L"SeRestorePrivilege";

// The platform's text for `code` on one line, without its line break.
std::wstring PlatformText(DWORD code) {
  vortiss::ScopedLocal<wchar_t> text;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
      reinterpret_cast<LPWSTR>(text.receive()), 0, nullptr);
  std::wstring line = length != 0 && text ? std::wstring(text.get(), length) : std::wstring();
  while (!line.empty() && (line.back() == L'\n' || line.back() == L'\r' || line.back() == L' '))
    line.pop_back();
  return line;
}

// "vortiss: WHAT: error CODE: TEXT" on standard error; the status of a failure.
int Fail(const std::wstring& what, DWORD code) {
  std::wcerr << L"vortiss: " << what << L": error " << code;
  const std::wstring text = PlatformText(code);
  if (!text.empty())
    std::wcerr << L": " << text;
  std::wcerr << std::endl;
  return kFailed;
}

int Usage(const std::wstring& message) {
  std::wcerr << L"vortiss: " << message << std::endl;
  return kUsage;
}

std::wstring Quoted(const std::wstring& text) {
  return L"'" + text + L"'";
}

bool SameLetters(const std::wstring& a, const wchar_t* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    if (std::towupper(a[i]) != std::towupper(b[i]))
      return false;
  }
  return i == a.size() && !b[i];
}

// HKLM, HKCU or their long names, in any case; null for anything else.
HKEY RootKey(const std::wstring& name) {
  if (SameLetters(name, L"HKLM") || SameLetters(name, L"HKEY_LOCAL_MACHINE"))
    return HKEY_LOCAL_MACHINE;
  if (SameLetters(name, L"HKCU") || SameLetters(name, L"HKEY_CURRENT_USER"))
    return HKEY_CURRENT_USER;
  return nullptr;
}

// What the verb works on: a file or directory, a key, or a descriptor in a value.
struct Target {
  enum class Kind { kFile, kKey, kValue } kind = Kind::kFile;
  std::wstring path;  // a file's Windows path, or a key's path as given
  HKEY root = nullptr;
  std::wstring subkey;
  std::wstring value_name;

  std::wstring Describe() const {
    if (kind == Kind::kValue)
      return Quoted(path) + L" value " + Quoted(value_name);
    return Quoted(path);
  }

  std::unique_ptr<CSD> Load() const {
    switch (kind) {
      case Kind::kFile:
        return std::make_unique<CFileSD>(path);
      case Kind::kKey:
        return std::make_unique<CRegistrySD>(root, subkey);
      case Kind::kValue:
        return std::make_unique<CEmbeddedRegistrySD>(root, subkey, value_name);
    }
    return nullptr;
  }

  // A file or key as the named-object calls name it.
  std::wstring ObjectName() const {
    if (kind == Kind::kFile)
      return path;
    return std::wstring(root == HKEY_CURRENT_USER ? L"CURRENT_USER\\" : L"MACHINE\\") + subkey;
  }
  SE_OBJECT_TYPE ObjectType() const {
    return kind == Kind::kFile ? SE_FILE_OBJECT : SE_REGISTRY_KEY;
  }
  // Whether what it holds inherits: a directory or a key, and a value's descriptor as the class
  // library writes it.
  bool Container() const {
    if (kind != Kind::kFile)
      return true;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  }
};

// Splits ROOT\SUBKEY; a message and false for an unknown root or a missing subkey.
bool ParseKey(const std::string& text, Target& target) {
  const std::wstring wide = WideFromUtf8(text);
  const size_t slash = wide.find(L'\\');
  target.path = wide;
  target.root = RootKey(wide.substr(0, slash));
  if (!target.root) {
    Usage(L"unknown registry root in " + Quoted(wide) +
          L": give HKLM, HKCU, HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER");
    return false;
  }
  if (slash == std::wstring::npos || slash + 1 == wide.size()) {
    Usage(L"no subkey in " + Quoted(wide) + L": give ROOT\\SUBKEY");
    return false;
  }
  target.subkey = wide.substr(slash + 1);
  return true;
}

// The number of arguments a verb takes after its target.
size_t OwnArguments(Verb verb) {
  switch (verb) {
    case Verb::kShow:
      return 0;
    case Verb::kGrant:
    case Verb::kDeny:
      return 2;
    case Verb::kRevoke:
    case Verb::kOwner:
    case Verb::kSet:
      return 1;
  }
  return 0;
}

// The descriptor in SDDL: owner, group and DACL, the parts that `descriptor` has.
DWORD ToSddl(void* descriptor, std::wstring& sddl) {
  vortiss::ScopedLocal<wchar_t> text;
  if (!descriptor)
    return ERROR_INVALID_SECURITY_DESCR;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor, SDDL_REVISION_1,
          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
          text.receive(), nullptr))
    return ::GetLastError();
  sddl = text.get();
  return ERROR_SUCCESS;
}

// The DACL of a descriptor; null for none or a null DACL.
PACL DaclOf(void* descriptor, bool* protect = nullptr) {
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!descriptor || !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
    return nullptr;
  if (protect) {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    *protect = GetSecurityDescriptorControl(descriptor, &control, &revision) &&
               (control & SE_DACL_PROTECTED);
  }
  return present ? dacl : nullptr;
}

// The account of a SID as Dump names it.
std::wstring NameOf(PSID sid) {
  return CSid(sid, std::wstring()).GetQualifiedName();
}

// What Dump's manner of line says of an entry type the model does not hold.
std::wstring EntryText(BYTE type) {
  switch (type) {
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
      return L"Object access granted to: ";
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
      return L"Object access denied to: ";
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
      return L"Conditional access granted to: ";
    case ACCESS_DENIED_CALLBACK_ACE_TYPE:
      return L"Conditional access denied to: ";
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
      return L"Conditional object access granted to: ";
    case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
      return L"Conditional object access denied to: ";
    default:
      return L"Entry of type " + std::to_wstring(type) + L" for: ";
  }
}

// A line, in Dump's manner, for each entry the model does not hold.
void PrintOtherEntries(void* descriptor) {
  for (const DaclEntry& entry : ReadEntries(DaclOf(descriptor))) {
    const BYTE type = entry.type();
    if (type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_DENIED_ACE_TYPE)
      continue;
    std::wcout << L"\t\t" << EntryText(type)
               << (entry.sid() ? NameOf(entry.sid()) : std::wstring(L"(no account)")) << std::endl;
  }
}

// The descriptor as read from the object: Dump's lines, a line for each entry the model does
// not hold, then the SDDL line (or, with `sddl_only`, the SDDL alone).
int Print(CSD& sd, void* descriptor, const Target& target, bool sddl_only) {
  std::wstring sddl;
  const DWORD converted = ToSddl(descriptor, sddl);
  if (sddl_only) {
    if (converted != ERROR_SUCCESS)
      return Fail(L"cannot convert the descriptor of " + target.Describe() + L" to SDDL",
                  converted);
    std::wcout << sddl << std::endl;
    return kDone;
  }
  sd.Dump();
  PrintOtherEntries(descriptor);
  if (converted != ERROR_SUCCESS) {
    // What the platform cannot write as SDDL is still shown above.
    Fail(L"the descriptor of " + target.Describe() + L" has no SDDL form here", converted);
    return kDone;
  }
  std::wcout << L"sddl: " << sddl << std::endl;
  return kDone;
}

// Loads the target's descriptor; a missing value is a new one, as the class library makes it.
int Load(const Target& target, std::unique_ptr<CSD>& sd, bool for_edit) {
  sd = target.Load();
  const bool missing_value = target.kind == Target::Kind::kValue && sd->IsValid() &&
                             sd->GetLastError() == ERROR_FILE_NOT_FOUND;
  if (for_edit && missing_value) {
    // The class's empty descriptor: owner and group SYSTEM and no entries, stored as a new
    // REG_BINARY value when written.
    if (!sd->GetAbsoluteSD())
      return Fail(L"cannot build a descriptor for " + target.Describe(), sd->GetLastError());
    return kDone;
  }
  if (!sd->IsValid() || sd->GetLastError() != 0)
    return Fail(L"cannot read the descriptor of " + target.Describe(), sd->GetLastError());
  return kDone;
}

// Shows the descriptor the target has now.
int Show(const Target& target, bool sddl_only) {
  std::unique_ptr<CSD> sd;
  if (const int loaded = Load(target, sd, false))
    return loaded;
  return Print(*sd, sd->GetCurrentAbsoluteSD(), target, sddl_only);
}

// Writes a whole descriptor, of either form, into the target value as REG_BINARY.
DWORD WriteValue(const Target& target, PSECURITY_DESCRIPTOR descriptor) {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!GetSecurityDescriptorControl(descriptor, &control, &revision))
    return ::GetLastError();
  std::vector<BYTE> bytes;
  if (control & SE_SELF_RELATIVE) {
    const auto* start = static_cast<const BYTE*>(descriptor);
    bytes.assign(start, start + GetSecurityDescriptorLength(descriptor));
  } else {
    DWORD length = 0;
    if (!MakeSelfRelativeSD(descriptor, nullptr, &length) &&
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
      return ::GetLastError();
    bytes.resize(length);
    if (!MakeSelfRelativeSD(descriptor, bytes.data(), &length))
      return ::GetLastError();
  }
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExW(target.root, target.subkey.c_str(), 0, KEY_SET_VALUE, &key);
  if (status != ERROR_SUCCESS)
    return static_cast<DWORD>(status);
  status = RegSetValueExW(key, target.value_name.c_str(), 0, REG_BINARY, bytes.data(),
                          static_cast<DWORD>(bytes.size()));
  RegCloseKey(key);
  return static_cast<DWORD>(status);
}

// A descriptor of its own for a value: `owner` and `group` (either may be null), `acl` as the
// DACL, the DACL's inheritance bits of `control`, protected or not.
struct BuiltDescriptor {
  SECURITY_DESCRIPTOR descriptor = {};
  DWORD Build(PSID owner, PSID group, PACL acl, SECURITY_DESCRIPTOR_CONTROL control, bool protect) {
    constexpr SECURITY_DESCRIPTOR_CONTROL kKept = SE_DACL_AUTO_INHERITED | SE_DACL_AUTO_INHERIT_REQ;
    const auto bits = static_cast<SECURITY_DESCRIPTOR_CONTROL>((control & kKept) |
                                                               (protect ? SE_DACL_PROTECTED : 0));
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        (owner && !SetSecurityDescriptorOwner(&descriptor, owner, FALSE)) ||
        (group && !SetSecurityDescriptorGroup(&descriptor, group, FALSE)) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor, kKept | SE_DACL_PROTECTED, bits))
      return ::GetLastError();
    return ERROR_SUCCESS;
  }
};

// Writes the owner of a file or key by name, with the privileges the platform's tools enable.
DWORD WriteOwner(const Target& target, PSID owner) {
  PrivilegeScope privileges({kTakeOwnership, kRestore});
  std::wstring name = target.ObjectName();
  return SetNamedSecurityInfoW(name.data(), target.ObjectType(), OWNER_SECURITY_INFORMATION, owner,
                               nullptr, nullptr, nullptr);
}

// Writes the DACL of a file or key by name: the platform adds what the parent passes on unless
// it is protected.
DWORD WriteDacl(const Target& target, PACL acl, bool protect) {
  std::wstring name = target.ObjectName();
  const SECURITY_INFORMATION information =
      DACL_SECURITY_INFORMATION |
      (protect ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
  return SetNamedSecurityInfoW(name.data(), target.ObjectType(), information, nullptr, nullptr, acl,
                               nullptr);
}

// The protection an edit leaves: as it was, unless --no-inherit or --inherit asks.
bool ProtectionAfter(const SdCommand::VerbOptions& options, bool current) {
  if (options.no_inherit)
    return true;
  if (options.inherit)
    return false;
  return current;
}

// The nearest object above the target whose own inheritable entry gives `account` something;
// empty when none is found.
std::wstring InheritingParent(const Target& target, PSID account) {
  std::wstring name = target.ObjectName();
  std::wstring shown = target.path;
  while (true) {
    const size_t cut = name.find_last_of(L"\\/");
    const size_t shown_cut = shown.find_last_of(L"\\/");
    if (cut == std::wstring::npos || shown_cut == std::wstring::npos)
      return {};
    name.resize(cut);
    shown.resize(shown_cut);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const std::wstring object = name.size() == 2 && name[1] == L':' ? name + L"\\" : name;
    const DWORD read =
        GetNamedSecurityInfoW(object.c_str(), target.ObjectType(), DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, &dacl, nullptr, &descriptor);
    vortiss::ScopedLocal<void> owned(descriptor);
    if (read != ERROR_SUCCESS)
      return {};
    for (const DaclEntry& e : ReadEntries(dacl)) {
      if (!e.inherited() && e.type() == ACCESS_ALLOWED_ACE_TYPE &&
          (e.flags() & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) && e.sid() &&
          EqualSid(e.sid(), account))
        return shown.size() == 2 && shown[1] == L':' ? shown + L"\\" : shown;
    }
  }
}

// The account an edit names; a message and a status when it names none.
int Resolve(const std::wstring& account, std::unique_ptr<CSid>& resolved) {
  try {
    resolved = std::make_unique<CSid>(account, std::wstring());
  } catch (int) {
    const DWORD error = ::GetLastError();
    return Fail(L"cannot resolve account " + Quoted(account), error ? error : ERROR_NONE_MAPPED);
  }
  return kDone;
}

// grant, deny, revoke and owner: the explicit entries change as the verb says, everything else
// stays as it was, and the platform adds what the parent passes on.
int Edit(const Target& target,
         const SdCommand::VerbOptions& options,
         const std::wstring& account,
         ACCESS_MASK mask) {
  std::unique_ptr<CSid> resolved;
  if (const int status = Resolve(account, resolved))
    return status;
  std::unique_ptr<CSD> sd;
  if (const int loaded = Load(target, sd, true))
    return loaded;
  void* current = sd->GetCurrentAbsoluteSD();
  bool was_protected = false;
  std::vector<DaclEntry> entries = ReadEntries(DaclOf(current, &was_protected));
  const bool protect = ProtectionAfter(options, was_protected);
  const PSID sid = resolved->GetPSid();

  if (options.verb != Verb::kOwner) {
    const DaclEdit edit = options.verb == Verb::kGrant  ? DaclEdit::kGrant
                          : options.verb == Verb::kDeny ? DaclEdit::kDeny
                                                        : DaclEdit::kRevoke;
    const BYTE flags = target.Container() ? OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE : 0;
    EditEntries(entries, edit, sid, mask, flags);
  }
  // A file or key names only its own entries, unless they are to stand alone from now on: then
  // what it inherited is kept as entries of its own.
  const bool whole = target.kind == Target::Kind::kValue;
  std::vector<DaclEntry> written;
  for (DaclEntry e : entries) {
    if (e.inherited() && !whole) {
      if (!protect || was_protected)
        continue;
      e.set_flags(e.flags() & ~INHERITED_ACE);
    }
    written.push_back(std::move(e));
  }
  std::vector<BYTE> acl;
  if (const DWORD built = BuildAcl(written, acl))
    return Fail(L"cannot build the descriptor of " + target.Describe(), built);

  if (whole) {
    PSID owner = nullptr, group = nullptr;
    BOOL defaulted = FALSE;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorOwner(current, &owner, &defaulted);
    GetSecurityDescriptorGroup(current, &group, &defaulted);
    GetSecurityDescriptorControl(current, &control, &revision);
    BuiltDescriptor built;
    DWORD error = built.Build(options.verb == Verb::kOwner ? sid : owner, group,
                              reinterpret_cast<PACL>(acl.data()), control, protect);
    if (error == ERROR_SUCCESS)
      error = WriteValue(target, &built.descriptor);
    if (error != ERROR_SUCCESS)
      return Fail(L"cannot write the descriptor of " + target.Describe(), error);
    return Show(target, false);
  }
  if (options.verb == Verb::kOwner) {
    if (const DWORD error = WriteOwner(target, sid))
      return Fail(L"cannot write the owner of " + target.Describe(), error);
  }
  if (options.verb != Verb::kOwner || options.no_inherit || options.inherit) {
    if (const DWORD error = WriteDacl(target, reinterpret_cast<PACL>(acl.data()), protect))
      return Fail(L"cannot write the descriptor of " + target.Describe(), error);
  }
  const int shown = Show(target, false);
  if (shown == kDone && options.verb == Verb::kRevoke) {
    std::unique_ptr<CSD> after;
    if (Load(target, after, false) == kDone &&
        InheritedGrantFor(ReadEntries(DaclOf(after->GetCurrentAbsoluteSD())), sid)) {
      const std::wstring parent = InheritingParent(target, sid);
      std::wcerr << L"vortiss: " << resolved->GetQualifiedName() << L" keeps access inherited from "
                 << (parent.empty() ? std::wstring(L"a parent") : Quoted(parent)) << std::endl;
    }
  }
  return shown;
}

// set: a whole descriptor from SDDL; a file or key takes its owner and DACL, a value all of it.
int Set(const Target& target, const SdCommand::VerbOptions& options, const std::wstring& text) {
  vortiss::ScopedLocal<void> descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          text.c_str(), SDDL_REVISION_1,
          reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.receive()), nullptr))
    return Fail(L"invalid descriptor " + Quoted(text), ::GetLastError());
  if (!IsValidSecurityDescriptor(descriptor.get()))
    return Fail(L"invalid descriptor " + Quoted(text), ::GetLastError());
  if (target.kind == Target::Kind::kValue) {
    if (const DWORD error = WriteValue(target, descriptor.get()))
      return Fail(L"cannot write the descriptor of " + target.Describe(), error);
    return Show(target, false);
  }
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted);
  if (owner) {
    if (const DWORD error = WriteOwner(target, owner))
      return Fail(L"cannot write the owner of " + target.Describe(), error);
  }
  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted) && present) {
    bool protect = false;
    DaclOf(descriptor.get(), &protect);
    if (const DWORD error = WriteDacl(target, dacl, ProtectionAfter(options, protect)))
      return Fail(L"cannot write the descriptor of " + target.Describe(), error);
  }
  return Show(target, false);
}

int RunVerb(const SdCommand::VerbOptions& options) {
  Target target;
  std::vector<std::string> arguments = options.arguments;
  if (!options.key.empty()) {
    target.kind = Target::Kind::kKey;
    if (!ParseKey(options.key, target))
      return kUsage;
  } else if (!options.value.empty()) {
    target.kind = Target::Kind::kValue;
    if (!ParseKey(options.value[0], target))
      return kUsage;
    target.value_name = WideFromUtf8(options.value[1]);
  } else {
    if (arguments.empty())
      return Usage(L"no target: give a path, --key ROOT\\SUBKEY or --value ROOT\\SUBKEY NAME");
    std::wstring refusal;
    const auto windows_path = ToWindowsPath(arguments.front(), refusal);
    if (!windows_path)
      return Usage(refusal);
    target.path = *windows_path;
    arguments.erase(arguments.begin());
  }
  const size_t wanted = OwnArguments(options.verb);
  if (arguments.size() != wanted) {
    return Usage(L"sd " + WideFromUtf8(options.command->get_name()) + L" takes " +
                 std::to_wstring(wanted) + L" argument(s) after its target, not " +
                 std::to_wstring(arguments.size()));
  }
  if (options.verb == Verb::kShow)
    return Show(target, options.sddl);

  // Other editors of the target wait from this load to the store.
  EditLock lock;
  const DWORD locked =
      target.kind == Target::Kind::kFile ? lock.LockFile(target.path) : lock.LockRegistry();
  if (locked)
    return Fail(L"cannot lock " + target.Describe() + L" for editing", locked);
  if (options.verb == Verb::kSet)
    return Set(target, options, WideFromUtf8(arguments[0]));

  // An empty name is almost always an unset variable in a script, never a wish for SYSTEM.
  const std::wstring account = WideFromUtf8(arguments[0]);
  if (account.empty())
    return Usage(L"an empty ACCOUNT names no one: give a name such as 'Everyone'");
  DWORD mask = 0;
  if (options.verb == Verb::kGrant || options.verb == Verb::kDeny) {
    const auto rights = ParseRights(arguments[1]);
    if (!rights)
      return Fail(L"bad rights " + Quoted(WideFromUtf8(arguments[1])), ERROR_INVALID_PARAMETER);
    mask = *rights;
  }
  return Edit(target, options, account, mask);
}

}  // namespace

SdCommand::SdCommand(CLI::App& app) {
  sd_ = app.add_subcommand("sd",
                           "Show or edit the security descriptor of a file, directory, "
                           "registry key or registry value");
  sd_->require_subcommand(1, 1);
  struct VerbText {
    Verb verb;
    const char* name;
    const char* description;
    const char* arguments;
  };
  const VerbText texts[] = {
      {Verb::kShow, "show", "Print the descriptor", "[TARGET]"},
      {Verb::kGrant, "grant", "Allow ACCOUNT the RIGHTS, replacing its earlier grant",
       "[TARGET] ACCOUNT RIGHTS"},
      {Verb::kDeny, "deny", "Deny ACCOUNT the RIGHTS, in place of any grant or denial",
       "[TARGET] ACCOUNT RIGHTS"},
      {Verb::kRevoke, "revoke", "Remove ACCOUNT's grant and denial", "[TARGET] ACCOUNT"},
      {Verb::kOwner, "owner", "Make ACCOUNT the owner", "[TARGET] ACCOUNT"},
      {Verb::kSet, "set", "Apply a whole descriptor given in SDDL", "[TARGET] SDDL"},
  };
  for (size_t i = 0; i < verbs_.size(); ++i) {
    VerbOptions& options = verbs_[i];
    options.verb = texts[i].verb;
    CLI::App* command = sd_->add_subcommand(texts[i].name, texts[i].description);
    options.command = command;
    command
        ->add_option("ARGUMENTS", options.arguments,
                     "TARGET: a file or directory (a POSIX path becomes Z:\\...), unless --key or "
                     "--value names one. RIGHTS: a number (decimal or 0x hex) or SDDL rights "
                     "(FA, FR, FW, FX, GA, GR, GW, GX, KA, KR, KW, RC, WD, WO, ...)")
        ->option_text(texts[i].arguments);
    CLI::Option* key =
        command->add_option("--key", options.key, "A registry key")->option_text("ROOT\\SUBKEY");
    CLI::Option* value =
        command->add_option("--value", options.value, "A descriptor stored in a registry value")
            ->expected(2)
            ->allow_extra_args(false)
            ->option_text("ROOT\\SUBKEY NAME");
    key->excludes(value);
    if (options.verb == Verb::kShow) {
      command->add_flag("--sddl", options.sddl, "Print the descriptor's SDDL alone");
    } else {
      CLI::Option* no_inherit = command->add_flag(
          "--no-inherit", options.no_inherit,
          "Protect the DACL from its parent's entries, keeping what it inherited as its own");
      CLI::Option* inherit = command->add_flag(
          "--inherit", options.inherit, "Let the DACL take its parent's inheritable entries again");
      no_inherit->excludes(inherit);
    }
  }
}

bool SdCommand::parsed() const {
  return sd_->parsed();
}

int SdCommand::Run() const {
  try {
    for (const VerbOptions& options : verbs_) {
      if (options.command->parsed())
        return RunVerb(options);
    }
  } catch (const std::bad_alloc&) {
    std::wcerr << L"vortiss: out of memory" << std::endl;
    return kFailed;
  } catch (const std::exception& e) {
    std::wcerr << L"vortiss: " << WideFromUtf8(e.what()) << std::endl;
    return kFailed;
  } catch (int) {
    // The account lookup behind a descriptor's default owner and group.
    return Fail(L"cannot resolve the SYSTEM account", ::GetLastError());
  }
  return kUsage;
}
