#include "cli/report.h"

#include <iostream>

#include "security/system_message.h"

namespace {

// The platform's text for `code` on one line, without its line break.
std::wstring PlatformText(DWORD code) {
  const vortiss::SystemMessage<wchar_t> message(code);
  std::wstring line(message.text() ? message.text() : L"", message.length());
  while (!line.empty() && (line.back() == L'\n' || line.back() == L'\r' || line.back() == L' '))
    line.pop_back();
  return line;
}

}  // namespace

void Say(const std::wstring& message) {
  std::wcout << std::flush;
  std::wcerr << L"vortiss: " << message << std::endl;
}

void SayError(const std::wstring& what, DWORD code) {
  const std::wstring text = PlatformText(code);
  Say(what + L": error " + std::to_wstring(code) + (text.empty() ? L"" : L": " + text));
}

int Usage(const std::wstring& message) {
  Say(message);
  return kUsage;
}

int Fail(const std::wstring& what, DWORD code, int status) {
  SayError(what, code);
  return status;
}

int EmptyAccount() {
  return Usage(L"an empty ACCOUNT names no one: give a name such as 'Everyone'");
}

std::wstring Quoted(const std::wstring& text) {
  return L"'" + text + L"'";
}
