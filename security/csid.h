// CSid: an account, as its own copy of a SID with the account and domain names that the
// platform's lookup gives for it.
#pragma once

#include <string>

#include "platform/win32.h"

class CSid {
 public:
  // Copies `sid` and looks up its names on `system` (empty: the local computer); a SID without
  // names gets "Unknown Account" and "Unknown Domain". Never throws for a failed lookup.
  CSid(PSID sid, const std::wstring& system);
  // Looks the account up by name (empty: "SYSTEM"); a DOMAIN\ prefix asks that domain's
  // controller. Throws an int of value -1 when the name cannot be resolved.
  CSid(const std::wstring& account, const std::wstring& system);
  CSid(const CSid& other);
  ~CSid();
  CSid& operator=(const CSid& other);

  // True when the SIDs are equal; names play no part.
  bool operator==(const CSid& other) const;

  // The SID, owned by this object and valid while it lives unassigned.
  PSID GetPSid();
  PSID GetPSid() const;
  const std::wstring GetAccountName() const;
  const std::wstring GetDomainName() const;
  // Domain, a backslash, account.
  std::wstring GetQualifiedName() const;

 private:
  PSID m_pSid;
  std::wstring m_strAccountName;
  std::wstring m_strDomainName;
};

// The well-known groups that count every account as a member.
CSid GetEveryoneSid();
CSid GetInteractiveSid();
CSid GetAuthenticatedUsersSid();
CSid GetTerminalServerUsersSid();
