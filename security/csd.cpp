#include "security/csd.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace {

// An access-allowed or access-denied entry is its header and mask, then the SID.
constexpr DWORD kAceFixedPart = offsetof(ACCESS_ALLOWED_ACE, SidStart);
// Children and child containers inherit every entry a build writes.
constexpr BYTE kBuiltEntryFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

void Release(BYTE*& buffer) {
  delete[] buffer;
  buffer = nullptr;
}

}  // namespace

CSD::CSD()
    : bValid(1),
      nLastError(0),
      pSelfRelativeSD(nullptr),
      pAbsoluteSD(nullptr),
      pDacl(nullptr),
      pOwnerSid(nullptr),
      pGroupSid(nullptr),
      pSacl(nullptr),
      sidOwner(std::wstring(), std::wstring()),
      sidGroup(std::wstring(), std::wstring()),
      dwSelfRelativeLength(0) {}

CSD::CSD(const CSD& other) : CSD() {
  CopyFrom(other);
}

CSD& CSD::operator=(const CSD& other) {
  // A descriptor assigned to itself stays as it is.
  if (this == &other)
    return *this;
  ReleaseAll();
  bValid = 1;
  // The target becomes the source: its own entries go first.
  DeleteAll(visasDenied);
  DeleteAll(visasAllowed);
  CopyFrom(other);
  return *this;
}

CSD::~CSD() {
  DeleteAll(visasDenied);
  DeleteAll(visasAllowed);
  ReleaseAll();
}

void CSD::CopyFrom(const CSD& source) {
  // Being copied rebuilds the source's buffers from its unchanged model.
  CSD& from = const_cast<CSD&>(source);
  if (!from.GetAbsoluteSD()) {
    // The source's model cannot be made into a descriptor; copy the model itself so that
    // nothing is lost, and carry the build's error.
    sidOwner = from.sidOwner;
    sidGroup = from.sidGroup;
    for (const CVisa* v : from.visasDenied)
      visasDenied.push_back(new CVisa(*v));
    for (const CVisa* v : from.visasAllowed)
      visasAllowed.push_back(new CVisa(*v));
    nLastError = from.nLastError;
    return;
  }
  // The self-relative form is what the source's build wrote; its length is that build's.
  const DWORD length = from.dwSelfRelativeLength;
  std::memcpy(ReceiveSelfRelative(length), from.pSelfRelativeSD, length);
  LoadSelfRelative();
}

void CSD::DeleteAll(std::vector<CVisa*>& visas) {
  std::for_each(visas.begin(), visas.end(), VisaDeleter());
  visas.clear();
}

void CSD::ReleaseAbsolute() {
  Release(pAbsoluteSD);
  Release(pDacl);
  Release(pOwnerSid);
  Release(pGroupSid);
  Release(pSacl);
}

void CSD::ReleaseAll() {
  Release(pSelfRelativeSD);
  ReleaseAbsolute();
  dwSelfRelativeLength = 0;
}

void* CSD::GetAbsoluteSD() {
  Synchronize(0);
  return pAbsoluteSD;
}

void* CSD::GetCurrentAbsoluteSD() {
  return pAbsoluteSD;
}

PACL CSD::GetDACL() {
  return reinterpret_cast<PACL>(pDacl);
}

CSid* CSD::GetOwner() {
  return &sidOwner;
}

CSid* CSD::GetGroup() {
  return &sidGroup;
}

int CSD::IsValid() const {
  return bValid;
}

int CSD::GetLastError() const {
  return nLastError;
}

int CSD::Synchronize(int bFromSelfRelative) {
  return bFromSelfRelative ? ReadBack() : Build();
}

BYTE* CSD::ReceiveSelfRelative(DWORD length) {
  delete[] pSelfRelativeSD;
  pSelfRelativeSD = nullptr;
  pSelfRelativeSD = new BYTE[length ? length : 1];
  return pSelfRelativeSD;
}

int CSD::LoadSelfRelative() {
  nLastError = Synchronize(1);
  if (nLastError != 0)
    bValid = 0;
  return nLastError;
}

int CSD::FailLoad(int error) {
  Release(pSelfRelativeSD);
  nLastError = error;
  bValid = 0;
  return nLastError;
}

int CSD::FailBuild(DWORD error) {
  ReleaseAll();
  nLastError = static_cast<int>(error);
  return nLastError;
}

int CSD::Build() {
  ReleaseAll();

  pAbsoluteSD = new BYTE[SECURITY_DESCRIPTOR_MIN_LENGTH]();
  if (!InitializeSecurityDescriptor(pAbsoluteSD, SECURITY_DESCRIPTOR_REVISION))
    return FailBuild(::GetLastError());

  if (const DWORD n = GetLengthSid(sidOwner.GetPSid())) {
    pOwnerSid = new BYTE[n];
    if (!CopySid(n, pOwnerSid, sidOwner.GetPSid()) ||
        !SetSecurityDescriptorOwner(pAbsoluteSD, pOwnerSid, FALSE))
      return FailBuild(::GetLastError());
  }
  if (const DWORD n = GetLengthSid(sidGroup.GetPSid())) {
    pGroupSid = new BYTE[n];
    if (!CopySid(n, pGroupSid, sidGroup.GetPSid()) ||
        !SetSecurityDescriptorGroup(pAbsoluteSD, pGroupSid, FALSE))
      return FailBuild(::GetLastError());
  }

  // The DACL's length: its header, then every entry with its SID. A list too long for one ACL
  // is refused by InitializeAcl, which takes 16-bit sizes.
  std::uint64_t length = sizeof(ACL);
  for (const auto* list : {&visasDenied, &visasAllowed}) {
    for (const CVisa* visa : *list) {
      const PSID sid = visa->GetSid().GetPSid();
      if (!sid)
        return FailBuild(ERROR_INVALID_SID);
      length += GetLengthSid(sid) + kAceFixedPart;
    }
  }
  const DWORD acl_length = static_cast<DWORD>(std::min<std::uint64_t>(length, MAXDWORD));
  pDacl = new BYTE[acl_length];
  const PACL dacl = reinterpret_cast<PACL>(pDacl);
  if (!InitializeAcl(dacl, acl_length, ACL_REVISION))
    return FailBuild(::GetLastError());

  // Every denial before every grant, each list in its order, each entry inherited by children.
  DWORD index = 0;
  for (const auto* list : {&visasDenied, &visasAllowed}) {
    const bool denied = list == &visasDenied;
    for (const CVisa* visa : *list) {
      const PSID sid = visa->GetSid().GetPSid();
      const BOOL added = denied ? AddAccessDeniedAce(dacl, ACL_REVISION, visa->GetMask(), sid)
                                : AddAccessAllowedAce(dacl, ACL_REVISION, visa->GetMask(), sid);
      if (!added)
        return FailBuild(::GetLastError());
      LPVOID ace = nullptr;
      if (!GetAce(dacl, index, &ace) || !ace)
        return FailBuild(::GetLastError());
      static_cast<ACE_HEADER*>(ace)->AceFlags = kBuiltEntryFlags;
      ++index;
    }
  }
  if (!SetSecurityDescriptorDacl(pAbsoluteSD, TRUE, dacl, FALSE))
    return FailBuild(::GetLastError());

  dwSelfRelativeLength = 0;
  if (!MakeSelfRelativeSD(pAbsoluteSD, nullptr, &dwSelfRelativeLength) &&
      ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return FailBuild(::GetLastError());
  if (dwSelfRelativeLength == 0)
    return FailBuild(ERROR_INVALID_SECURITY_DESCR);
  const DWORD self_relative_length = dwSelfRelativeLength;
  pSelfRelativeSD = new BYTE[self_relative_length];
  if (!MakeSelfRelativeSD(pAbsoluteSD, pSelfRelativeSD, &dwSelfRelativeLength))
    return FailBuild(::GetLastError());
  dwSelfRelativeLength = self_relative_length;

  nLastError = 0;
  return 0;
}

int CSD::ReadBack() {
  if (!pSelfRelativeSD)
    return nLastError;
  ReleaseAbsolute();

  DWORD absolute_length = 0, dacl_length = 0, sacl_length = 0, owner_length = 0, group_length = 0;
  if (MakeAbsoluteSD(pSelfRelativeSD, nullptr, &absolute_length, nullptr, &dacl_length, nullptr,
                     &sacl_length, nullptr, &owner_length, nullptr, &group_length) != 1 &&
      ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    // Bytes that cannot be converted are kept for nothing: no buffer survives them.
    nLastError = static_cast<int>(::GetLastError());
    bValid = 0;
    ReleaseAll();
    return nLastError;
  }
  auto allocate = [](DWORD n) { return n ? new BYTE[n]() : nullptr; };
  pAbsoluteSD = allocate(absolute_length);
  pDacl = allocate(dacl_length);
  pOwnerSid = allocate(owner_length);
  pGroupSid = allocate(group_length);
  pSacl = allocate(sacl_length);
  if (MakeAbsoluteSD(pSelfRelativeSD, pAbsoluteSD, &absolute_length, reinterpret_cast<PACL>(pDacl),
                     &dacl_length, reinterpret_cast<PACL>(pSacl), &sacl_length, pOwnerSid,
                     &owner_length, pGroupSid, &group_length) != 1) {
    nLastError = static_cast<int>(::GetLastError());
    bValid = 0;
    ReleaseAll();
    return nLastError;
  }

  if (pOwnerSid)
    sidOwner = CSid(pOwnerSid, std::wstring());
  if (pGroupSid)
    sidGroup = CSid(pGroupSid, std::wstring());
  if (!pDacl)
    return 0;

  const PACL dacl = reinterpret_cast<PACL>(pDacl);
  for (DWORD i = 0;; ++i) {
    LPVOID ace = nullptr;
    if (GetAce(dacl, i, &ace) != 1)
      break;
    if (!ace)
      continue;
    // Allowed and denied entries share one layout: header, mask, then the SID.
    auto* entry = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    const BYTE type = entry->Header.AceType;
    if (type != ACCESS_ALLOWED_ACE_TYPE && type != ACCESS_DENIED_ACE_TYPE)
      continue;  // other entry types are not part of the model
    auto visa = std::make_unique<CVisa>(&entry->SidStart, entry->Mask, std::wstring());
    auto& list = type == ACCESS_ALLOWED_ACE_TYPE ? visasAllowed : visasDenied;
    list.push_back(visa.get());
    visa.release();
  }
  return 0;
}
