// The editing operations of CSD: grants, denials, revocations, the owner, and the dump.
#include <algorithm>
#include <iostream>

#include "security/csd.h"

namespace {

// Deletes and erases the first entry for `sid`; false when there is none.
bool RemoveFirst(std::vector<CVisa*>& visas, PSID sid) {
  const auto it = std::find_if(visas.begin(), visas.end(), VisaFinder(sid));
  if (it == visas.end())
    return false;
  VisaDeleter()(*it);
  visas.erase(it);
  return true;
}

void Append(std::vector<CVisa*>& visas, PSID sid, DWORD mask) {
  visas.reserve(visas.size() + 1);  // so that the push below cannot throw and lose the entry
  visas.push_back(new CVisa(sid, mask, std::wstring()));
}

}  // namespace

int CSD::DenyAccess(CSid* account, DWORD mask) {
  RemoveFirst(visasAllowed, account->GetPSid());
  RemoveFirst(visasDenied, account->GetPSid());
  Append(visasDenied, account->GetPSid(), mask);
  nLastError = Synchronize(0);
  return nLastError;
}

int CSD::AllowAccess(CSid* account, DWORD mask) {
  RemoveFirst(visasAllowed, account->GetPSid());
  Append(visasAllowed, account->GetPSid(), mask);
  return Synchronize(0);
}

int CSD::RevokeDenial(CSid* account) {
  if (!RemoveFirst(visasDenied, account->GetPSid()))
    return 0;
  return Synchronize(0);
}

int CSD::RevokeAllowance(CSid* account) {
  if (!RemoveFirst(visasAllowed, account->GetPSid()))
    return 0;
  return Synchronize(0);
}

int CSD::RevokeAllDenials() {
  DeleteAll(visasDenied);
  return Synchronize(0);
}

int CSD::RevokeAllAllowances() {
  DeleteAll(visasAllowed);
  return Synchronize(0);
}

int CSD::SetOwner(CSid* account) {
  sidOwner = CSid(account->GetPSid(), std::wstring());
  return Synchronize(0);
}

bool CSD::IsDenied(const CSid* account) const {
  return std::any_of(visasDenied.begin(), visasDenied.end(), VisaFinder(account->GetPSid()));
}

bool CSD::IsAllowed(const CSid* account) const {
  return std::any_of(visasAllowed.begin(), visasAllowed.end(), VisaFinder(account->GetPSid()));
}

int CSD::DenyAccess(std::wstring account, DWORD mask) {
  CSid sid(account, std::wstring());
  return DenyAccess(&sid, mask);
}

int CSD::AllowAccess(std::wstring account, DWORD mask) {
  CSid sid(account, std::wstring());
  return AllowAccess(&sid, mask);
}

int CSD::RevokeDenial(std::wstring account) {
  CSid sid(account, std::wstring());
  return RevokeDenial(&sid);
}

int CSD::RevokeAllowance(std::wstring account) {
  CSid sid(account, std::wstring());
  return RevokeAllowance(&sid);
}

int CSD::SetOwner(std::wstring account) {
  CSid sid(account, std::wstring());
  sidOwner = sid;
  return Synchronize(0);
}

int CSD::Dump() {
  std::wcout << L"\t\tOwner: " << sidOwner.GetDomainName() << L"\\" << sidOwner.GetAccountName()
             << std::endl;
  for (const CVisa* visa : visasDenied) {
    std::wcout << L"\t\tAccess denied to: " << visa->GetSid().GetDomainName() << L"\\"
               << visa->GetSid().GetAccountName() << std::endl;
  }
  for (const CVisa* visa : visasAllowed) {
    std::wcout << L"\t\tAccess granted to: " << visa->GetSid().GetDomainName() << L"\\"
               << visa->GetSid().GetAccountName() << std::endl;
  }
  return 0;
}
