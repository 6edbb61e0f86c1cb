#include "cli/sd_command.h"

#include <cwctype>
#include <iostream>
#include <memory>
#include <new>

#include "cli/console.h"
#include "cli/edit_lock.h"
#include "cli/rights.h"
#include "cli/windows_path.h"
#include "security/scoped_platform.h"
#include "security/vortiss_security.h"

namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

using Verb = SdCommand::Verb;

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
      return 1;
  }
  return 0;
}

// The descriptor in SDDL: owner, group and DACL, the parts that `descriptor` has.
bool ToSddl(void* descriptor, std::wstring& sddl) {
  vortiss::ScopedLocal<wchar_t> text;
  if (!descriptor ||
      !ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor, SDDL_REVISION_1,
          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
          text.receive(), nullptr)) {
    return false;
  }
  sddl = text.get();
  return true;
}

// Dump's lines, then the SDDL line.
int Print(CSD& sd, void* descriptor, const Target& target) {
  std::wstring sddl;
  if (!ToSddl(descriptor, sddl)) {
    const DWORD error = descriptor ? ::GetLastError() : static_cast<DWORD>(sd.GetLastError());
    return Fail(L"cannot convert the descriptor of " + target.Describe() + L" to SDDL",
                error ? error : ERROR_INVALID_SECURITY_DESCR);
  }
  sd.Dump();
  std::wcout << L"sddl: " << sddl << std::endl;
  return kDone;
}

// Applies the edit to the model through the operations by account name.
int ApplyEdit(CSD& sd, Verb verb, const std::wstring& account, DWORD mask) {
  switch (verb) {
    case Verb::kGrant:
      return sd.AllowAccess(account, mask);
    case Verb::kDeny:
      return sd.DenyAccess(account, mask);
    case Verb::kRevoke:
      if (const int result = sd.RevokeAllowance(account))
        return result;
      return sd.RevokeDenial(account);
    case Verb::kOwner:
      return sd.SetOwner(account);
    case Verb::kShow:
      break;
  }
  return 0;
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
    target.path = ToWindowsPath(arguments.front());
    arguments.erase(arguments.begin());
  }
  const size_t wanted = OwnArguments(options.verb);
  if (arguments.size() != wanted) {
    return Usage(L"sd " + WideFromUtf8(options.command->get_name()) + L" takes " +
                 std::to_wstring(wanted) + L" argument(s) after its target, not " +
                 std::to_wstring(arguments.size()));
  }

  DWORD mask = 0;
  if (options.verb == Verb::kGrant || options.verb == Verb::kDeny) {
    const auto rights = ParseRights(arguments[1]);
    if (!rights)
      return Fail(L"bad rights " + Quoted(WideFromUtf8(arguments[1])), ERROR_INVALID_PARAMETER);
    mask = *rights;
  }

  // Other editors of the target wait from this load to the store.
  EditLock lock;
  if (options.verb != Verb::kShow) {
    const bool file = target.kind == Target::Kind::kFile;
    if (const DWORD locked = file ? lock.LockFile(target.path) : lock.LockRegistry())
      return Fail(L"cannot lock " + target.Describe() + L" for editing", locked);
  }
  const std::unique_ptr<CSD> sd = target.Load();
  if (!sd->IsValid() || sd->GetLastError() != 0)
    return Fail(L"cannot read the descriptor of " + target.Describe(), sd->GetLastError());
  if (options.verb == Verb::kShow)
    return Print(*sd, sd->GetCurrentAbsoluteSD(), target);

  // The account is resolved before the model changes, so that nothing is written for a name
  // that the platform does not know.
  const std::wstring account = WideFromUtf8(arguments[0]);
  int edited = 0;
  try {
    CSid resolved(account, std::wstring());
    edited = ApplyEdit(*sd, options.verb, account, mask);
  } catch (int) {
    const DWORD error = ::GetLastError();
    return Fail(L"cannot resolve account " + Quoted(account), error ? error : ERROR_NONE_MAPPED);
  }
  if (edited != 0)
    return Fail(L"cannot build the descriptor of " + target.Describe(), edited);

  // CFileSD writes a file's DACL only; the owner goes first, so that a refused owner leaves the
  // file as it was.
  if (options.verb == Verb::kOwner && target.kind == Target::Kind::kFile &&
      !SetFileSecurityW(target.path.c_str(), OWNER_SECURITY_INFORMATION, sd->GetAbsoluteSD())) {
    return Fail(L"cannot write the owner of " + target.Describe(), ::GetLastError());
  }
  if (const int written = sd->SecureObject(!options.no_inherit))
    return Fail(L"cannot write the descriptor of " + target.Describe(), written);
  return Print(*sd, sd->GetAbsoluteSD(), target);
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
    if (options.verb != Verb::kShow) {
      command->add_flag("--no-inherit", options.no_inherit,
                        "Protect the DACL from its parent's inheritable entries");
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
