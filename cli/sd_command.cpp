#include "cli/sd_command.h"

#include <iostream>
#include <memory>
#include <new>
#include <optional>

#include "cli/dacl_edit.h"
#include "cli/descriptor_print.h"
#include "cli/descriptor_writes.h"
#include "cli/report.h"
#include "cli/rights.h"
#include "cli/target.h"
#include "platform/host.h"
#include "security/scoped_platform.h"
#include "security/vortiss_security.h"

namespace {

using Verb = SdCommand::Verb;

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

// Everything a null DACL lets everyone do to an object of the target's kind.
ACCESS_MASK FullAccess(const Target& target) {
  switch (target.kind) {
    case Target::Kind::kFile:
      return FILE_ALL_ACCESS;
    case Target::Kind::kKey:
      return KEY_ALL_ACCESS;
    case Target::Kind::kValue:
      break;
  }
  return GENERIC_ALL;
}

// Loads the target's descriptor; with `for_edit`, a missing value is a new one, as the class
// library makes it, and `missing` says so.
int Load(const Target& target, std::unique_ptr<CSD>& sd, bool for_edit, bool* missing = nullptr) {
  sd = target.Open();
  const bool missing_value = target.kind == Target::Kind::kValue && sd->IsValid() &&
                             sd->GetLastError() == ERROR_FILE_NOT_FOUND;
  if (missing)
    *missing = missing_value;
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
  return PrintDescriptor(*sd, sd->GetCurrentAbsoluteSD(), target, sddl_only);
}

// The nearest object above the target whose own inheritable entry gives `account` something.
std::optional<Target> InheritingParent(const Target& target, PSID account) {
  for (auto above = target.Parent(); above; above = above->Parent()) {
    ObjectDescriptor descriptor;
    if (above->Read(descriptor) != ERROR_SUCCESS)
      return std::nullopt;
    for (const DaclEntry& e : Dacl::Of(descriptor.get()).entries) {
      if (!e.inherited() && e.type() == ACCESS_ALLOWED_ACE_TYPE &&
          (e.flags() & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) && e.sid() &&
          EqualSid(e.sid(), account))
        return above;
    }
  }
  return std::nullopt;
}

// After a revocation: whether `account` still holds an inherited grant on the target as `sd`
// shows it, and from where.
void NoteInheritedGrant(const Target& target, CSD& sd, const CSid& account) {
  if (target.kind == Target::Kind::kValue ||
      !InheritedGrantFor(Dacl::Of(sd.GetCurrentAbsoluteSD()).entries, account.GetPSid()))
    return;
  const auto parent = InheritingParent(target, account.GetPSid());
  Say(account.GetQualifiedName() + L" keeps access inherited from " +
      (parent ? Quoted(parent->path) : std::wstring(L"a parent")));
}

// Prints the target's descriptor after a write that succeeded. One that can no longer be read
// back (the edit took the reader's own access away) is said on standard error: the edit is done.
int ShowWritten(const Target& target, const std::wstring& part, const CSid* revoked) {
  std::unique_ptr<CSD> after = target.Open();
  if (!after->IsValid() || after->GetLastError() != 0) {
    SayError(
        L"the " + part + L" of " + target.Describe() + L" was written, but cannot be read back",
        after->GetLastError());
    return kDone;
  }
  PrintDescriptor(*after, after->GetCurrentAbsoluteSD(), target, false);
  if (revoked)
    NoteInheritedGrant(target, *after, *revoked);
  return kDone;
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

DaclEdit EditOf(Verb verb) {
  switch (verb) {
    case Verb::kGrant:
      return DaclEdit::kGrant;
    case Verb::kDeny:
      return DaclEdit::kDeny;
    case Verb::kRevoke:
      return DaclEdit::kRevoke;
    default:
      return DaclEdit::kNone;
  }
}

// The change a verb makes to the DACL of the target.
DaclChange ChangeOf(const Target& target,
                    const SdCommand::VerbOptions& options,
                    PSID account,
                    ACCESS_MASK mask) {
  DaclChange change;
  change.edit = EditOf(options.verb);
  change.account = account;
  change.mask = mask;
  change.flags = target.Container() ? OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE : 0;
  change.full_access = FullAccess(target);
  if (options.no_inherit || options.inherit)
    change.protect = options.no_inherit;
  change.whole = target.kind == Target::Kind::kValue;
  return change;
}

// Why a revocation finds nothing of the account's to take away.
std::wstring NothingToRevoke(const Target& target, const Dacl& current, const CSid& account) {
  if (current.null)
    return L"nothing to revoke: " + target.Describe() +
           L" has a null DACL, which lets everyone do everything";
  return L"nothing to revoke: " + account.GetQualifiedName() + L" has no entry of its own in " +
         target.Describe();
}

// Writes what an edit changed of `current`: a value's whole descriptor, or a file's or key's
// owner (`owner`, unless null) and DACL. The status.
int WriteEdit(const Target& target,
              PSECURITY_DESCRIPTOR current,
              const DaclEditResult& edit,
              PSID owner) {
  std::vector<BYTE> acl;
  if (!edit.written.null) {
    if (const DWORD built = BuildAcl(edit.written.entries, acl))
      return Fail(L"cannot build the descriptor of " + target.Describe(), built);
  }
  PACL written = edit.written.null ? nullptr : reinterpret_cast<PACL>(acl.data());
  if (target.kind == Target::Kind::kValue) {
    PSID current_owner = nullptr, group = nullptr;
    BOOL defaulted = FALSE;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorOwner(current, &current_owner, &defaulted);
    GetSecurityDescriptorGroup(current, &group, &defaulted);
    GetSecurityDescriptorControl(current, &control, &revision);
    ValueDescriptor built;
    DWORD error =
        built.Build(owner ? owner : current_owner, group, written, control, edit.written.protect);
    if (error == ERROR_SUCCESS)
      error = WriteValue(target, built.get());
    if (error != ERROR_SUCCESS)
      return Fail(L"cannot write the descriptor of " + target.Describe(), error);
    return kDone;
  }
  if (owner) {
    if (const DWORD error = WriteOwner(target, owner))
      return Fail(L"cannot write the owner of " + target.Describe(), error);
  }
  if (edit.changed) {
    if (const DWORD error = WriteDacl(target, written, edit.written.protect))
      return Fail(L"cannot write the descriptor of " + target.Describe(), error);
  }
  return kDone;
}

// grant, deny, revoke and owner: the explicit entries change as the verb says, everything else
// stays as it was, and the platform adds what the parent passes on. An edit that changes
// nothing writes nothing.
int Edit(const Target& target,
         const SdCommand::VerbOptions& options,
         const std::wstring& account,
         ACCESS_MASK mask) {
  std::unique_ptr<CSid> resolved;
  if (const int status = Resolve(account, resolved))
    return status;
  std::unique_ptr<CSD> sd;
  bool missing = false;
  if (const int loaded = Load(target, sd, true, &missing))
    return loaded;
  void* current = sd->GetCurrentAbsoluteSD();
  const PSID sid = resolved->GetPSid();
  const Dacl dacl = Dacl::Of(current);
  const DaclEditResult edit = EditDacl(dacl, ChangeOf(target, options, sid, mask));
  if (edit.nothing_to_revoke)
    Say(NothingToRevoke(target, dacl, *resolved));
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  GetSecurityDescriptorOwner(current, &owner, &defaulted);
  const PSID new_owner =
      options.verb == Verb::kOwner && !(owner && EqualSid(owner, sid)) ? sid : nullptr;
  const CSid* revoked = options.verb == Verb::kRevoke ? resolved.get() : nullptr;
  if (!edit.changed && !new_owner) {
    // What the object holds is what the edit would leave.
    if (!missing) {
      PrintDescriptor(*sd, current, target, false);
      if (revoked)
        NoteInheritedGrant(target, *sd, *revoked);
    }
    return kDone;
  }
  if (const int written = WriteEdit(target, current, edit, new_owner))
    return written;
  return ShowWritten(target, edit.changed ? L"descriptor" : L"owner", revoked);
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
    return ShowWritten(target, L"descriptor", nullptr);
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
    const bool protect =
        options.no_inherit || (!options.inherit && Dacl::Of(descriptor.get()).protect);
    if (const DWORD error = WriteDacl(target, dacl, protect))
      return Fail(L"cannot write the descriptor of " + target.Describe(), error);
  }
  return ShowWritten(target, L"descriptor", nullptr);
}

int RunVerb(const SdCommand::VerbOptions& options) {
  std::optional<Target> target;
  std::wstring refusal;
  std::vector<std::string> arguments = options.arguments;
  if (!options.key.empty()) {
    target = Target::Key(options.key, false, refusal);
  } else if (!options.value.empty()) {
    target = Target::Value(options.value[0], options.value[1], refusal);
  } else {
    if (arguments.empty())
      return Usage(L"no target: give a path, --key ROOT\\SUBKEY or --value ROOT\\SUBKEY NAME");
    target = Target::File(arguments.front(), refusal);
    arguments.erase(arguments.begin());
  }
  if (!target)
    return Usage(refusal);
  const size_t wanted = OwnArguments(options.verb);
  if (arguments.size() != wanted) {
    return Usage(L"sd " + host::WideFromUtf8(options.command->get_name()) + L" takes " +
                 std::to_wstring(wanted) + L" argument(s) after its target, not " +
                 std::to_wstring(arguments.size()));
  }
  if (options.verb == Verb::kShow)
    return Show(*target, options.sddl);

  // Other editors of the target wait from this load to the store.
  host::EditLock lock;
  const DWORD locked =
      target->kind == Target::Kind::kFile ? lock.LockFile(target->path) : lock.LockRegistry();
  if (locked)
    return Fail(L"cannot lock " + target->Describe() + L" for editing", locked);
  if (options.verb == Verb::kSet)
    return Set(*target, options, host::WideFromUtf8(arguments[0]));

  const std::wstring account = host::WideFromUtf8(arguments[0]);
  if (account.empty())
    return EmptyAccount();
  DWORD mask = 0;
  if (options.verb == Verb::kGrant || options.verb == Verb::kDeny) {
    const auto rights = ParseRights(arguments[1]);
    if (!rights)
      return Fail(L"bad rights " + Quoted(host::WideFromUtf8(arguments[1])),
                  ERROR_INVALID_PARAMETER);
    mask = *rights;
  }
  return Edit(*target, options, account, mask);
}

}  // namespace

SdCommand::SdCommand(CLI::App& app)
    : Command(app.add_subcommand("sd",
                                 "Show or edit the security descriptor of a file, directory, "
                                 "registry key or registry value")) {
  command_->require_subcommand(1, 1);
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
    CLI::App* command = command_->add_subcommand(texts[i].name, texts[i].description);
    options.command = command;
    command
        ->add_option("ARGUMENTS", options.arguments,
                     std::string("TARGET: ") + kFileHelp +
                         ", unless --key or --value names one. RIGHTS: a number (decimal or 0x "
                         "hex) or SDDL rights (FA, FR, FW, FX, GA, GR, GW, GX, KA, KR, KW, RC, "
                         "WD, WO, ...)")
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
  for (const VerbOptions& options : verbs_) {
    if (options.command->parsed())
      return true;
  }
  return false;
}

int SdCommand::Run() const {
  try {
    for (const VerbOptions& options : verbs_) {
      if (options.command->parsed())
        return RunVerb(options);
    }
  } catch (const std::bad_alloc&) {
    Say(L"out of memory");
    return kFailed;
  } catch (const std::exception& e) {
    Say(host::WideFromUtf8(e.what()));
    return kFailed;
  } catch (int) {
    // The account lookup behind a descriptor's default owner and group.
    return Fail(L"cannot resolve the SYSTEM account", ::GetLastError());
  }
  return kUsage;
}
