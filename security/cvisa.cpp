#include "security/cvisa.h"

CVisa::CVisa(void* sid, DWORD mask, const std::wstring& system)
    : sidAccount(sid, system), dwMask(mask) {}

CVisa::CVisa(const std::wstring& account, DWORD mask, const std::wstring& system)
    : sidAccount(account, system), dwMask(mask) {}

bool VisaFinder::operator()(const CVisa* visa) const {
  return EqualSid(pSid, visa->GetSid().GetPSid()) != FALSE;
}
