// CVisa: one entry of a descriptor's deny or allow list, an account and its access mask; and the
// two function objects over such lists.
#pragma once

#include <string>

#include "platform/win32.h"
#include "security/csid.h"

class CVisa {
 public:
  // Copies the SID and looks its names up on `system` (empty: the local computer).
  CVisa(void* sid, DWORD mask, const std::wstring& system);
  // Looks the account up by name; throws as CSid's name constructor does.
  CVisa(const std::wstring& account, DWORD mask, const std::wstring& system);

  const CSid& GetSid() const { return sidAccount; }
  DWORD GetMask() const { return dwMask; }

 private:
  CSid sidAccount;
  DWORD dwMask;
};

// Accepts the entries whose SID equals `pSid`, which the caller keeps alive during the search.
class VisaFinder {
 public:
  explicit VisaFinder(void* sid) : pSid(sid) {}
  bool operator()(const CVisa* visa) const;

 private:
  void* pSid;
};

// Deletes an entry that a list owns.
struct VisaDeleter {
  void operator()(CVisa* visa) const { delete visa; }
};
