#include "tests/portable/platform_facts.h"

#include <atomic>
#include <filesystem>
#include <iostream>

#include "security/scoped_platform.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace portable {

bool RunningUnderWine() {
#ifdef _WIN32
  // Wine's ntdll exports its version; Windows' does not.
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

std::wstring SidText(PSID sid) {
  vortiss::ScopedLocal<wchar_t> text;
  if (!sid || !ConvertSidToStringSidW(sid, text.receive()))
    return {};
  return text.get();
}

std::vector<BYTE> SidBytes(const wchar_t* text) {
  vortiss::ScopedLocal<void> sid;
  if (!ConvertStringSidToSidW(text, sid.receive()))
    return {};
  const auto* bytes = static_cast<const BYTE*>(sid.get());
  return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid.get()));
}

std::wstring ProcessUserSidText() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
    return {};
  vortiss::ScopedHandle owned(token);
  union {
    TOKEN_USER user;
    BYTE bytes[512];
  } buffer;
  DWORD length = sizeof buffer;
  if (!GetTokenInformation(token, TokenUser, buffer.bytes, length, &length))
    return {};
  return SidText(buffer.user.User.Sid);
}

std::wstring OwnerAndDaclText(PSECURITY_DESCRIPTOR descriptor) {
  vortiss::ScopedLocal<wchar_t> text;
  if (!descriptor ||
      !ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
          text.receive(), nullptr))
    return {};
  return text.get();
}

TraceCapture::TraceCapture()
    : old_out_(std::wcout.rdbuf(out_.rdbuf())), old_err_(std::wcerr.rdbuf(err_.rdbuf())) {}

TraceCapture::~TraceCapture() {
  std::wcout.rdbuf(old_out_);
  std::wcerr.rdbuf(old_err_);
}

std::vector<std::wstring> TraceCapture::Lines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  std::wistringstream in(text);
  for (std::wstring line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

namespace {

std::string UniqueName() {
  static std::atomic<int> count{0};
#ifdef _WIN32
  const unsigned long process = GetCurrentProcessId();
#else
  const unsigned long process = static_cast<unsigned long>(getpid());
#endif
  return "vortiss-portable-" + std::to_string(process) + "-" + std::to_string(count++);
}

// The stand-in's Windows knows the host's "/" as drive Z:.
std::wstring WindowsPathOf(const std::filesystem::path& path) {
#ifdef _WIN32
  return path.wstring();
#else
  std::wstring windows = L"Z:";
  for (const char c : path.string())
    windows += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
  return windows;
#endif
}

}  // namespace

ScratchDirectory::ScratchDirectory() {
  const std::filesystem::path path = std::filesystem::temp_directory_path() / UniqueName();
  std::filesystem::create_directory(path);
  host_path_ = path.string();
  windows_path_ = WindowsPathOf(path);
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(host_path_, ignored);
}

}  // namespace portable
