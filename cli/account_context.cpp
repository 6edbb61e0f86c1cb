#include "cli/account_context.h"

#include <vector>

#include "cli/explanation.h"
#include "security/csid.h"

AccountContext::AccountContext(const std::wstring& account) {
  std::vector<BYTE> sid;
  try {
    const CSid resolved(account, std::wstring());
    PSID raw = resolved.GetPSid();
    if (raw && IsValidSid(raw))
      sid.assign(static_cast<const BYTE*>(raw), static_cast<const BYTE*>(raw) + GetLengthSid(raw));
  } catch (int) {
    error_ = GetLastError() ? GetLastError() : static_cast<DWORD>(ERROR_NONE_MAPPED);
    return;
  }
  if (sid.empty()) {
    error_ = ERROR_NONE_MAPPED;
    return;
  }
  name_ = AccountName(sid.data());
  if (!AuthzInitializeResourceManager(AUTHZ_RM_FLAG_NO_AUDIT, nullptr, nullptr, nullptr, L"vortiss",
                                      manager_.receive())) {
    error_ = GetLastError();
    return;
  }
  if (!AuthzInitializeContextFromSid(AUTHZ_COMPUTE_PRIVILEGES, sid.data(), manager_.get(), nullptr,
                                     LUID{}, nullptr, context_.receive())) {
    error_ = GetLastError();
    return;
  }
  subject_ = AccessSubject::OfContext(context_.get(), error_);
  LUID change_notify{};
  bypasses_traverse_ = subject_ &&
                       LookupPrivilegeValueW(nullptr, L"SeChangeNotifyPrivilege", &change_notify) &&
                       subject_->PrivilegeEnabled(change_notify.LowPart);
}

DWORD AccountContext::Check(PSECURITY_DESCRIPTOR descriptor,
                            ACCESS_MASK desired,
                            ACCESS_MASK& granted) const {
  AUTHZ_ACCESS_REQUEST request = {};
  request.DesiredAccess = desired;
  DWORD error = ERROR_SUCCESS;
  granted = 0;
  AUTHZ_ACCESS_REPLY reply = {};
  reply.ResultListLength = 1;
  reply.GrantedAccessMask = &granted;
  reply.Error = &error;
  if (!AuthzAccessCheck(0, context_.get(), &request, nullptr, descriptor, nullptr, 0, &reply,
                        nullptr))
    return GetLastError();
  return error;
}

bool Reachable(const AccountContext& context, const Target& target, DWORD& error) {
  error = ERROR_SUCCESS;
  if (context.bypasses_traverse())
    return true;
  for (auto above = target.Parent(); above; above = above->Parent()) {
    ObjectDescriptor descriptor;
    if ((error = above->Read(descriptor)) != ERROR_SUCCESS)
      return false;
    ACCESS_MASK granted = 0;
    const DWORD result = context.Check(descriptor.get(), FILE_TRAVERSE, granted);
    if (result != ERROR_SUCCESS) {
      error = result == ERROR_ACCESS_DENIED ? ERROR_SUCCESS : result;
      return false;
    }
  }
  return true;
}
