#include "security/csid.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "security/scoped_platform.h"

namespace {

// A new heap block holding a copy of `sid`.
PSID CopyOfSid(PSID sid) {
  const DWORD length = GetLengthSid(sid);
  auto block = std::make_unique<BYTE[]>(length);
  CopySid(length, block.get(), sid);
  return block.release();
}

// The text in a lookup buffer, up to its terminator and never past the buffer's end.
std::wstring TextOf(const std::vector<wchar_t>& buffer) {
  return std::wstring(buffer.begin(), std::find(buffer.begin(), buffer.end(), L'\0'));
}

void FreeSidBlock(PSID sid) {
  delete[] static_cast<BYTE*>(sid);
}

CSid WellKnownSid(SID_IDENTIFIER_AUTHORITY authority, DWORD rid, const wchar_t* fallback_name) {
  vortiss::ScopedSid sid;
  if (!AllocateAndInitializeSid(&authority, 1, rid, 0, 0, 0, 0, 0, 0, 0, sid.receive()))
    return CSid(std::wstring(fallback_name), std::wstring());
  return CSid(sid.get(), std::wstring());
}

}  // namespace

CSid::CSid(PSID sid, const std::wstring& system) : m_pSid(CopyOfSid(sid)) {
  try {
    const LPCWSTR system_name = system.c_str();
    DWORD name_chars = 0;
    DWORD domain_chars = 0;
    SID_NAME_USE use;
    LookupAccountSidW(system_name, m_pSid, nullptr, &name_chars, nullptr, &domain_chars, &use);
    std::vector<wchar_t> name(name_chars);
    std::vector<wchar_t> domain(domain_chars);
    if (LookupAccountSidW(system_name, m_pSid, name_chars ? name.data() : nullptr, &name_chars,
                          domain_chars ? domain.data() : nullptr, &domain_chars, &use)) {
      m_strAccountName = TextOf(name);
      m_strDomainName = TextOf(domain);
    } else {
      m_strAccountName = L"Unknown Account";
      m_strDomainName = L"Unknown Domain";
    }
  } catch (...) {
    FreeSidBlock(m_pSid);
    throw;
  }
}

CSid::CSid(const std::wstring& account, const std::wstring& system) : m_pSid(nullptr) {
  std::wstring account_name = account;
  std::wstring system_name = system;
  if (account_name.empty())
    account_name = L"SYSTEM";

  const size_t slash = account_name.find(L'\\');
  if (slash != std::wstring::npos) {
    const std::wstring domain = account_name.substr(0, slash);
    vortiss::ScopedNetApiBuffer controller;
    if (NetGetDCName(nullptr, domain.c_str(), controller.receive()) == NERR_Success)
      system_name = reinterpret_cast<LPCWSTR>(controller.get());
  }

  DWORD sid_bytes = 0;
  DWORD domain_chars = 0;
  SID_NAME_USE use;
  LookupAccountNameW(system_name.c_str(), account_name.c_str(), nullptr, &sid_bytes, nullptr,
                     &domain_chars, &use);
  auto sid = std::make_unique<BYTE[]>(sid_bytes);
  std::vector<wchar_t> domain(domain_chars);
  if (!LookupAccountNameW(system_name.c_str(), account_name.c_str(), sid.get(), &sid_bytes,
                          domain_chars ? domain.data() : nullptr, &domain_chars, &use)) {
    OutputDebugStringW(L"LookupAccountName failed, throwing exception from CSid constructor!");
    throw -1;
  }
  m_strAccountName = account_name;
  m_strDomainName = TextOf(domain);
  m_pSid = sid.release();
}

// The names first: a copy that fails on them must not leave the SID block behind.
CSid::CSid(const CSid& other)
    : m_pSid(nullptr),
      m_strAccountName(other.m_strAccountName),
      m_strDomainName(other.m_strDomainName) {
  m_pSid = CopyOfSid(other.m_pSid);
}

CSid::~CSid() {
  FreeSidBlock(m_pSid);
}

CSid& CSid::operator=(const CSid& other) {
  // Copy before releasing, so that self-assignment and a failed allocation leave this intact.
  std::unique_ptr<BYTE[]> copy(static_cast<BYTE*>(CopyOfSid(other.m_pSid)));
  std::wstring account = other.m_strAccountName;
  std::wstring domain = other.m_strDomainName;
  FreeSidBlock(m_pSid);
  m_pSid = copy.release();
  m_strAccountName = std::move(account);
  m_strDomainName = std::move(domain);
  return *this;
}

bool CSid::operator==(const CSid& other) const {
  return EqualSid(m_pSid, other.m_pSid) != FALSE;
}

PSID CSid::GetPSid() {
  return m_pSid;
}

PSID CSid::GetPSid() const {
  return m_pSid;
}

const std::wstring CSid::GetAccountName() const {
  return m_strAccountName;
}

const std::wstring CSid::GetDomainName() const {
  return m_strDomainName;
}

std::wstring CSid::GetQualifiedName() const {
  return m_strDomainName + L"\\" + m_strAccountName;
}

CSid GetEveryoneSid() {
  return WellKnownSid(SECURITY_WORLD_SID_AUTHORITY, SECURITY_WORLD_RID, L"Everyone");
}

CSid GetInteractiveSid() {
  return WellKnownSid(SECURITY_NT_AUTHORITY, SECURITY_INTERACTIVE_RID, L"Interactive");
}

CSid GetAuthenticatedUsersSid() {
  return WellKnownSid(SECURITY_NT_AUTHORITY, SECURITY_AUTHENTICATED_USER_RID,
                      L"Authenticated Users");
}

CSid GetTerminalServerUsersSid() {
  return WellKnownSid(SECURITY_NT_AUTHORITY, SECURITY_TERMINAL_SERVER_RID,
                      L"Terminal Server Users");
}
