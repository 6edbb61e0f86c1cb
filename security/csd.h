// CSD: an editable security descriptor. The model (owner, primary group, ordered deny and allow
// lists) is kept in step with the platform's absolute and self-relative descriptors: a build
// makes the descriptors from the model, a read-back makes the model from a self-relative
// descriptor. Derived classes bind it to an object and read and write that object's descriptor.
#pragma once

#include <string>
#include <vector>

#include "platform/win32.h"
#include "security/csid.h"
#include "security/cvisa.h"

class CSD {
 public:
  // Owner and group SYSTEM, both lists empty, no descriptor yet.
  CSD();
  CSD(const CSD& other);
  CSD& operator=(const CSD& other);
  virtual ~CSD();

  // Writes the descriptor to the object; `bInherit` as the derived class defines it.
  virtual int SecureObject(bool bInherit) = 0;

  // Builds the descriptors from the model and returns the absolute one; null when the build
  // failed (see GetLastError). Pointers from earlier calls are stale afterwards.
  void* GetAbsoluteSD();
  // The absolute descriptor as the last read-back or build left it, without building: right
  // after a load, the object's own descriptor, entry flags and types as the object has them.
  void* GetCurrentAbsoluteSD();
  // The DACL of the last build or read-back, without building.
  PACL GetDACL();
  CSid* GetOwner();
  CSid* GetGroup();
  // Non-zero unless reading the object's descriptor failed.
  int IsValid() const;
  // The Win32 error code of the last failure, 0 for none.
  int GetLastError() const;

  // Editing: each change to the model is followed by a build, whose result they return.
  int DenyAccess(CSid* account, DWORD mask);
  int DenyAccess(std::wstring account, DWORD mask);
  int AllowAccess(CSid* account, DWORD mask);
  int AllowAccess(std::wstring account, DWORD mask);
  int RevokeDenial(CSid* account);
  int RevokeDenial(std::wstring account);
  int RevokeAllowance(CSid* account);
  int RevokeAllowance(std::wstring account);
  int RevokeAllDenials();
  int RevokeAllAllowances();
  int SetOwner(CSid* account);
  int SetOwner(std::wstring account);
  bool IsDenied(const CSid* account) const;
  bool IsAllowed(const CSid* account) const;
  // Prints the owner, the denials and the grants on the wide standard output; returns 0.
  int Dump();

 protected:
  // Reads the object's descriptor into the model.
  virtual int Initialize() = 0;
  // 0: build the descriptors from the model; non-zero: read pSelfRelativeSD into the model.
  int Synchronize(int bFromSelfRelative);
  // A buffer of `length` bytes for the object's self-relative descriptor, in place of any
  // earlier one.
  BYTE* ReceiveSelfRelative(DWORD length);
  // Reads the self-relative descriptor received from the object into the model; a failure
  // leaves the descriptor invalid. Returns the Win32 error code, 0 for success.
  int LoadSelfRelative();
  // Gives up reading the object with `error`: no descriptor is kept, and it is invalid.
  int FailLoad(int error);

  int bValid;
  int nLastError;
  BYTE* pSelfRelativeSD;
  BYTE* pAbsoluteSD;
  BYTE* pDacl;
  BYTE* pOwnerSid;
  BYTE* pGroupSid;
  BYTE* pSacl;
  CSid sidOwner;
  CSid sidGroup;
  std::vector<CVisa*> visasDenied;
  std::vector<CVisa*> visasAllowed;
  DWORD dwSelfRelativeLength;

 private:
  int Build();
  int ReadBack();
  // Gives up a build: no half-made descriptor is left for a write to use.
  int FailBuild(DWORD error);
  void ReleaseAbsolute();
  void ReleaseAll();
  static void DeleteAll(std::vector<CVisa*>& visas);
  // Takes the descriptor of `source` (built afresh) as this one's.
  void CopyFrom(const CSD& source);
};
