#include <cwchar>
#include <iostream>
#include <string>

#include "checks/checks.h"
#include "checks/identity.h"
#include "security/cfilesd.h"
#include "security/scoped_platform.h"
#include "security/system_message.h"

namespace {

// Room for a volume name or a file system name, as the platform sizes them.
constexpr DWORD kVolumeTextChars = 260;
// The access asked for: read data and write data (on a directory: list it and add a file).
constexpr DWORD kReadWriteData = FILE_READ_DATA | FILE_WRITE_DATA;
const wchar_t kProbeName[] = L"test.txt";
// The names the probe may take, test.txt then test-1.txt, test-2.txt, ...: one is taken when a
// file of that name exists, since the probe never opens a file it did not create. Only a
// directory that holds them all answers no for want of a free name.
constexpr int kProbeNames = 65536;

// The caller's token from GetUserToken, and the self-impersonation that comes with it; both
// end on every path.
class CallerToken {
 public:
  CallerToken() : token_(GetUserToken()) {}
  ~CallerToken() { End(); }
  CallerToken(const CallerToken&) = delete;
  CallerToken& operator=(const CallerToken&) = delete;

  HANDLE get() const { return token_.get(); }
  void End() {
    if (ended_)
      return;
    ended_ = true;
    RevertToSelf();
    token_.reset();
  }

 private:
  vortiss::ScopedHandle token_;
  bool ended_ = false;
};

// The platform's text for `code` on a line of its own on standard error.
void WriteMessageText(DWORD code) {
  const vortiss::SystemMessage<wchar_t> message(code);
  if (message.found())
    std::wcerr << message.text() << std::endl;
  else
    std::wcerr << L"No message text for error " << code << std::endl;
}

void ReportSystemMessage(const wchar_t* what, DWORD code) {
  std::wcerr << what << code << std::endl;
  WriteMessageText(code);
}

// The object's own descriptor as it was read (entry flags and types untouched), with the group
// that the platform's check insists on; the rebuilt descriptor when nothing could be read.
class CheckedDescriptor {
 public:
  explicit CheckedDescriptor(CFileSD& file) {
    void* read = file.IsValid() ? file.GetCurrentAbsoluteSD() : nullptr;
    if (!read) {
      descriptor_ = file.GetAbsoluteSD();
      return;
    }
    InitializeSecurityDescriptor(&own_, SECURITY_DESCRIPTOR_REVISION);
    PSID owner = nullptr, group = nullptr;
    PACL dacl = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    GetSecurityDescriptorOwner(read, &owner, &defaulted);
    GetSecurityDescriptorGroup(read, &group, &defaulted);
    GetSecurityDescriptorDacl(read, &present, &dacl, &defaulted);
    SetSecurityDescriptorOwner(&own_, owner, FALSE);
    SetSecurityDescriptorGroup(&own_, group ? group : file.GetGroup()->GetPSid(), FALSE);
    SetSecurityDescriptorDacl(&own_, present, dacl, FALSE);
    descriptor_ = &own_;
  }
  void* get() const { return descriptor_; }

 private:
  SECURITY_DESCRIPTOR own_ = {};
  void* descriptor_ = nullptr;
};

// Creates and removes a file in `directory`; true when the platform let the caller create it.
bool Probe(const std::wstring& directory) {
  for (int attempt = 0; attempt < kProbeNames; ++attempt) {
    const std::wstring name =
        directory +
        (attempt == 0 ? std::wstring(kProbeName) : L"test-" + std::to_wstring(attempt) + L".txt");
    std::wcout << L"Attempting to create a new file - " << name << std::endl;
    // A new file only, removed by the platform when its handle closes whatever happens next.
    const HANDLE created = CreateFileW(name.c_str(), kReadWriteData, 0, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (created == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      ReportSystemMessage(L"Could not create file, error ", error);
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
        continue;  // someone else's file: leave it and try another name
      return false;
    }
    // Closing the handle removes the file; nothing reaches it by name again, since the name may
    // by then be another process's file.
    vortiss::ScopedHandle file(created);
    std::wcout << L"File created, access allowed" << std::endl;
    return true;
  }
  return false;
}

bool CheckWriteAccess(const wchar_t* path_argument, CallerToken& token) {
  const std::wstring path = path_argument;

  const size_t first_slash = path.find(L'\\');
  const std::wstring root =
      first_slash == std::wstring::npos ? std::wstring() : path.substr(0, first_slash + 1);
  wchar_t volume_name[kVolumeTextChars] = {};
  wchar_t file_system[kVolumeTextChars] = {};
  DWORD serial = 0, max_component = 0, flags = 0;
  if (GetVolumeInformationW(root.c_str(), volume_name, kVolumeTextChars, &serial, &max_component,
                            &flags, file_system, kVolumeTextChars) &&
      std::wcsstr(file_system, L"FAT")) {
    std::wcout << L"Found " << file_system
               << L" file system, security checks not implemented in FAT file systems" << std::endl;
    token.End();
    return true;
  }

  CFileSD file(path);
  if (!file.IsValid()) {
    std::wcerr << L"Invalid Security Descriptor object created for file " << path << L", error "
               << file.GetLastError() << std::endl;
    WriteMessageText(static_cast<DWORD>(file.GetLastError()));
  }

  GENERIC_MAPPING mapping = {FILE_READ_DATA, FILE_WRITE_DATA, 0, kReadWriteData};
  DWORD desired = kReadWriteData;
  MapGenericMask(&desired, &mapping);

  const CheckedDescriptor descriptor(file);
  union {
    PRIVILEGE_SET set;
    BYTE bytes[sizeof(PRIVILEGE_SET)];
  } privileges = {};
  DWORD privileges_length = sizeof privileges;
  DWORD granted = 0;
  BOOL status = FALSE;
  const BOOL checked = AccessCheck(descriptor.get(), token.get(), desired, &mapping,
                                   &privileges.set, &privileges_length, &granted, &status);
  if (!checked || !status) {
    const DWORD error = GetLastError();
    if (error != 0)
      ReportSystemMessage(L"Error in AccessCheck API, error ", error);
  }
  token.End();

  if (checked && status == 1)
    return true;
  const size_t last_slash = path.rfind(L'\\');
  return Probe(last_slash == std::wstring::npos ? std::wstring() : path.substr(0, last_slash + 1));
}

}  // namespace

extern "C" bool CheckIsUserAllowedAccess(const wchar_t* path) {
  if (!path) {
    std::wcerr << L"Error - no path given, returning false" << std::endl;
    return false;
  }
  try {
    CallerToken token;  // on an exception, its destructor ends the impersonation first
    return CheckWriteAccess(path, token);
  } catch (...) {
    // Nothing may cross the C boundary.
    try {
      std::wcerr << L"Error - IsUserAllowedAccess could not complete, returning false" << std::endl;
    } catch (...) {
    }
    return false;
  }
}
