#include "cli/access_command.h"

#include <iostream>
#include <vector>

#include "cli/account_context.h"
#include "cli/admin_command.h"
#include "cli/explanation.h"
#include "cli/report.h"
#include "cli/rights.h"
#include "cli/target.h"
#include "platform/host.h"

namespace {

// What the write check asks of a path's descriptor, and how it maps generic rights.
constexpr ACCESS_MASK kWriteCheckRights = FILE_READ_DATA | FILE_WRITE_DATA;
constexpr GENERIC_MAPPING kWriteCheckMapping = {FILE_READ_DATA, FILE_WRITE_DATA, 0,
                                                kWriteCheckRights};

void PrintLines(const std::vector<std::wstring>& lines) {
  for (const std::wstring& line : lines)
    std::wcout << line << L'\n';
  std::wcout << std::flush;
}

// The lines that explain the caller's own check of `target`, after its answer.
void ExplainOwnAccess(const Target& target) {
  ObjectDescriptor descriptor;
  if (const DWORD error = target.Read(descriptor)) {
    std::wcout << L"explain: cannot read the descriptor of " << target.Describe() << L": error "
               << error << std::endl;
    return;
  }
  vortiss::ScopedHandle token;
  DWORD error = ERROR_SUCCESS;
  std::optional<AccessSubject> subject;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.receive()))
    subject = AccessSubject::OfToken(token.get(), error);
  else
    error = GetLastError();
  if (!subject) {
    std::wcout << L"explain: cannot read the process token: error " << error << std::endl;
    return;
  }
  const auto lines = ExplainLines(
      *subject, WalkAccess(*subject, descriptor.get(), kWriteCheckRights, &kWriteCheckMapping));
  PrintLines(lines);
  // The write check falls back on creating a file when the entries leave rights missing.
  if (lines.back() != L"explain: missing " + MaskText(0))
    std::wcout << L"explain: the entries leave rights missing, so the answer came from creating "
                  L"a probe file"
               << std::endl;
}

}  // namespace

AccessCommand::AccessCommand(CLI::App& app)
    : Command(app.add_subcommand("access",
                                 "May the user create and write files in the directory of PATH?")) {
  command_->add_option("PATH", path_, kFileHelp)->required();
  as_option_ =
      command_->add_option("--as", as_, "Answer for ACCOUNT (a name, DOMAIN\\name or S-1-...)")
          ->option_text("ACCOUNT");
  command_
      ->add_option("--rights", rights_,
                   "The rights to ask for ACCOUNT: a number or SDDL rights (default: read and "
                   "write data, as the write check asks)")
      ->option_text("RIGHTS")
      ->needs(as_option_);
  command_->add_flag("--explain", explain_, "After the answer, print the entries that decided it");
}

int AccessCommand::Run() const {
  std::wstring refusal;
  const auto target = Target::File(path_, refusal);
  if (!target)
    return Usage(refusal);
  if (as_option_->count() > 0) {
    // --as answers through Authz in this process, without the library.
    try {
      return RunAs(*target);
    } catch (const std::exception& e) {
      Say(host::WideFromUtf8(e.what()));
      return kCannotRun;
    }
  }
  return RunOwn(*target);
}

int AccessCommand::RunOwn(const Target& target) const {
  const host::Library library;
  if (!library.loaded()) {
    Say(library.error());
    return kCannotRun;
  }
  using AccessCheck = bool (*)(const wchar_t*);
  auto check = reinterpret_cast<AccessCheck>(library.Export("IsUserAllowedAccess"));
  if (!check) {
    Say(L"the library has no IsUserAllowedAccess");
    return kCannotRun;
  }
  const int answer = Answer(check(target.path.c_str()));
  if (explain_)
    ExplainOwnAccess(target);
  return answer;
}

int AccessCommand::RunAs(const Target& target) const {
  ACCESS_MASK desired = kWriteCheckRights;
  if (!rights_.empty()) {
    const auto rights = ParseRights(rights_);
    if (!rights)
      return Usage(L"bad rights " + Quoted(host::WideFromUtf8(rights_)));
    desired = *rights;
  }
  const std::wstring account = host::WideFromUtf8(as_);
  if (account.empty())
    return EmptyAccount();
  const AccountContext context(account);
  if (!context.valid()) {
    if (context.error() == ERROR_NONE_MAPPED)
      return Usage(L"no account " + Quoted(account));
    return Fail(L"cannot make an access context for " + Quoted(account), context.error(),
                kCannotRun);
  }
  DWORD error = ERROR_SUCCESS;
  if (!Reachable(context, target, error)) {
    if (error != ERROR_SUCCESS)
      return Fail(L"cannot read a directory above " + target.Describe(), error, kCannotRun);
    std::wcout << L"answer: no\n";
    if (explain_)
      std::wcout << L"explain: " << context.name()
                 << L" may not traverse a directory above the object\n";
    std::wcout << std::flush;
    return kNo;
  }
  ObjectDescriptor descriptor;
  if ((error = target.Read(descriptor)) != ERROR_SUCCESS)
    return Fail(L"cannot read the descriptor of " + target.Describe(), error, kCannotRun);
  ACCESS_MASK granted = 0;
  const DWORD result = context.Check(descriptor.get(), desired, granted);
  if (result != ERROR_SUCCESS && result != ERROR_ACCESS_DENIED)
    return Fail(L"the access check failed for " + target.Describe(), result, kCannotRun);
  const bool yes = result == ERROR_SUCCESS;
  std::wcout << (yes ? L"answer: yes" : L"answer: no") << L'\n';
  if (explain_) {
    std::wcout << L"explain: " << context.name() << L" asks " << MaskText(desired) << L", granted "
               << MaskText(granted) << L'\n';
    PrintLines(ExplainLines(context.subject(),
                            WalkAccess(context.subject(), descriptor.get(), desired, nullptr)));
  }
  std::wcout << std::flush;
  return yes ? kYes : kNo;
}
