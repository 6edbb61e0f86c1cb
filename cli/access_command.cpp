#include "cli/access_command.h"

#include <iostream>
#include <vector>

#include "cli/console.h"
#include "cli/effective_access.h"
#include "cli/rights.h"

namespace {

constexpr int kYes = 0;
constexpr int kNo = 1;
constexpr int kUsage = 2;
constexpr int kCannotRun = 3;

// What the write check asks of a path's descriptor, and how it maps generic rights.
constexpr ACCESS_MASK kWriteCheckRights = FILE_READ_DATA | FILE_WRITE_DATA;
constexpr GENERIC_MAPPING kWriteCheckMapping = {FILE_READ_DATA, FILE_WRITE_DATA, 0,
                                                kWriteCheckRights};

void PrintLines(const std::vector<std::wstring>& lines) {
  for (const std::wstring& line : lines)
    std::wcout << line << L'\n';
  std::wcout << std::flush;
}

int CannotRun(const std::wstring& what, DWORD error) {
  std::wcerr << L"vortiss: " << what << L": error " << error << std::endl;
  return kCannotRun;
}

}  // namespace

void AddAccessOptions(CLI::App& access, AccessOptions& options) {
  CLI::Option* as =
      access.add_option("--as", options.as, "Answer for ACCOUNT (a name, DOMAIN\\name or S-1-...)")
          ->option_text("ACCOUNT");
  access
      .add_option("--rights", options.rights,
                  "The rights to ask for ACCOUNT: a number or SDDL rights (default: read and "
                  "write data, as the write check asks)")
      ->option_text("RIGHTS")
      ->needs(as);
  access.add_flag("--explain", options.explain,
                  "After the answer, print the entries that decided it");
}

int RunAccessAs(const std::wstring& path, const AccessOptions& options) {
  ACCESS_MASK desired = kWriteCheckRights;
  if (!options.rights.empty()) {
    const auto rights = ParseRights(options.rights);
    if (!rights) {
      std::wcerr << L"vortiss: bad rights '" << WideFromUtf8(options.rights) << L"'" << std::endl;
      return kUsage;
    }
    desired = *rights;
  }
  const std::wstring account = WideFromUtf8(options.as);
  if (account.empty()) {
    std::wcerr << L"vortiss: an empty ACCOUNT names no one: give a name such as 'Everyone'"
               << std::endl;
    return kUsage;
  }
  const AccountContext context(account);
  if (!context.valid()) {
    if (context.error() == ERROR_NONE_MAPPED) {
      std::wcerr << L"vortiss: no account '" << account << L"'" << std::endl;
      return kUsage;
    }
    return CannotRun(L"cannot make an access context for '" + account + L"'", context.error());
  }
  DWORD error = ERROR_SUCCESS;
  if (!Reachable(context, path, error)) {
    if (error != ERROR_SUCCESS)
      return CannotRun(L"cannot read a directory above '" + path + L"'", error);
    std::wcout << L"answer: no\n";
    if (options.explain)
      std::wcout << L"explain: " << context.name()
                 << L" may not traverse a directory above the object\n";
    std::wcout << std::flush;
    return kNo;
  }
  ObjectDescriptor descriptor;
  if ((error = descriptor.Read(path, SE_FILE_OBJECT)) != ERROR_SUCCESS)
    return CannotRun(L"cannot read the descriptor of '" + path + L"'", error);
  ACCESS_MASK granted = 0;
  const DWORD result = context.Check(descriptor.get(), desired, granted);
  if (result != ERROR_SUCCESS && result != ERROR_ACCESS_DENIED)
    return CannotRun(L"the access check failed for '" + path + L"'", result);
  const bool yes = result == ERROR_SUCCESS;
  std::wcout << (yes ? L"answer: yes" : L"answer: no") << L'\n';
  if (options.explain) {
    std::wcout << L"explain: " << context.name() << L" asks " << MaskText(desired) << L", granted "
               << MaskText(granted) << L'\n';
    PrintLines(ExplainLines(context.get(), descriptor.get(), desired, nullptr));
  }
  std::wcout << std::flush;
  return yes ? kYes : kNo;
}

void ExplainOwnAccess(const std::wstring& path) {
  ObjectDescriptor descriptor;
  if (const DWORD error = descriptor.Read(path, SE_FILE_OBJECT)) {
    std::wcout << L"explain: cannot read the descriptor of '" << path << L"': error " << error
               << std::endl;
    return;
  }
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    std::wcout << L"explain: cannot open the process token: error " << GetLastError() << std::endl;
    return;
  }
  const auto lines = ExplainLines(token, descriptor.get(), kWriteCheckRights, &kWriteCheckMapping);
  CloseHandle(token);
  PrintLines(lines);
  // The write check falls back on creating a file when the entries leave rights missing.
  if (lines.back() != L"explain: missing " + MaskText(0))
    std::wcout << L"explain: the entries leave rights missing, so the answer came from creating "
                  L"a probe file"
               << std::endl;
}
