#include "tests/portable/walk_check.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <sstream>

#include "security/scoped_platform.h"
#include "security/sized_read.h"
#include "tests/portable/platform_facts.h"

namespace walk_check {

namespace {

// An entry of `type` in the platform's layout: header, mask, for object types the flags and
// the GUIDs they announce, then the SID.
std::vector<BYTE> Entry(BYTE type,
                        BYTE flags,
                        ACCESS_MASK mask,
                        DWORD object_flags,
                        const std::vector<BYTE>& sid) {
  const bool object = type == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
                      type == ACCESS_DENIED_OBJECT_ACE_TYPE ||
                      type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
  std::vector<BYTE> bytes(offsetof(ACCESS_ALLOWED_ACE, SidStart));
  if (object) {
    bytes.resize(offsetof(ACCESS_ALLOWED_OBJECT_ACE, ObjectType));
    std::memcpy(bytes.data() + offsetof(ACCESS_ALLOWED_OBJECT_ACE, Flags), &object_flags,
                sizeof(object_flags));
    for (DWORD bit : {DWORD{ACE_OBJECT_TYPE_PRESENT}, DWORD{ACE_INHERITED_OBJECT_TYPE_PRESENT}}) {
      if (object_flags & bit) {
        for (BYTE i = 0; i < sizeof(GUID); ++i)
          bytes.push_back(static_cast<BYTE>(0x10 + i));
      }
    }
  }
  bytes.insert(bytes.end(), sid.begin(), sid.end());
  auto* header = reinterpret_cast<ACE_HEADER*>(bytes.data());
  header->AceType = type;
  header->AceFlags = flags;
  header->AceSize = static_cast<WORD>(bytes.size());
  std::memcpy(bytes.data() + offsetof(ACCESS_ALLOWED_ACE, Mask), &mask, sizeof(mask));
  return bytes;
}

bool Denies(const std::vector<BYTE>& entry) {
  const BYTE type = reinterpret_cast<const ACE_HEADER*>(entry.data())->AceType;
  return type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_OBJECT_ACE_TYPE;
}

}  // namespace

std::string Text(const Verdict& verdict) {
  std::ostringstream text;
  if (verdict.refused)
    text << "refused, error " << verdict.result;
  else
    text << "error " << verdict.result << " granted 0x" << std::hex << verdict.granted;
  return text.str();
}

Verdict ByAccessCheck(HANDLE token, PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK desired) {
  union {
    PRIVILEGE_SET set;
    BYTE bytes[sizeof(PRIVILEGE_SET) + 8 * sizeof(LUID_AND_ATTRIBUTES)];
  } privileges;
  DWORD length = sizeof privileges;
  DWORD granted = 0;
  BOOL status = FALSE;
  SetLastError(ERROR_SUCCESS);
  if (!AccessCheck(descriptor, token, desired, const_cast<GENERIC_MAPPING*>(&kFileMapping),
                   &privileges.set, &length, &granted, &status))
    return {true, GetLastError(), 0};
  return {false, status ? static_cast<DWORD>(ERROR_SUCCESS) : GetLastError(), status ? granted : 0};
}

Verdict ByAuthz(AUTHZ_CLIENT_CONTEXT_HANDLE context,
                PSECURITY_DESCRIPTOR descriptor,
                ACCESS_MASK desired) {
  AUTHZ_ACCESS_REQUEST request = {};
  request.DesiredAccess = desired;
  DWORD error = ERROR_SUCCESS;
  ACCESS_MASK granted = 0;
  AUTHZ_ACCESS_REPLY reply = {};
  reply.ResultListLength = 1;
  reply.GrantedAccessMask = &granted;
  reply.Error = &error;
  if (!AuthzAccessCheck(0, context, &request, nullptr, descriptor, nullptr, 0, &reply, nullptr))
    return {true, GetLastError(), 0};
  return {false, error, error == ERROR_SUCCESS ? granted : 0};
}

Verdict ByWalk(const AccessSubject& subject,
               PSECURITY_DESCRIPTOR descriptor,
               ACCESS_MASK desired,
               bool authz) {
  const auto walk = WalkAccess(subject, descriptor, desired, authz ? nullptr : &kFileMapping);
  if (!walk)
    return {true, 0, 0};
  return {false, walk->result, walk->result == ERROR_SUCCESS ? walk->granted : 0};
}

std::vector<BYTE> Descriptor(std::wstring sddl, const std::wstring& user) {
  for (size_t at; (at = sddl.find(L"%U")) != std::wstring::npos;)
    sddl.replace(at, 2, user);
  vortiss::ScopedLocal<void> descriptor;
  ULONG size = 0;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                            descriptor.receive(), &size))
    return {};
  const auto* bytes = static_cast<const BYTE*>(descriptor.get());
  return std::vector<BYTE>(bytes, bytes + size);
}

std::vector<std::vector<BYTE>> SidsOf(HANDLE token) {
  std::vector<std::vector<BYTE>> sids;
  std::vector<BYTE> user, groups;
  auto read = [&](TOKEN_INFORMATION_CLASS which, std::vector<BYTE>& buffer) {
    return vortiss::ReadSized(buffer, [&](BYTE* data, DWORD size, DWORD* needed) -> DWORD {
      return GetTokenInformation(token, which, data, size, needed) ? ERROR_SUCCESS : GetLastError();
    });
  };
  if (read(TokenUser, user) != ERROR_SUCCESS || read(TokenGroups, groups) != ERROR_SUCCESS)
    return sids;
  auto copy = [](PSID sid) {
    const auto* bytes = static_cast<const BYTE*>(sid);
    return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid));
  };
  sids.push_back(copy(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid));
  const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(groups.data());
  for (DWORD i = 0; i < list->GroupCount; ++i)
    sids.push_back(copy(list->Groups[i].Sid));
  return sids;
}

// Under Wine the pairs keep to what its AccessCheck weighs as Windows does. Wine gives an owner
// every standard right and ignores OWNER RIGHTS entries; lets a later deny take rights granted
// earlier (and stops at the first deny that names a right asked for); under MAXIMUM_ALLOWED
// takes every denied right; takes the audit bit from entries; grants the audit right on a null
// DACL without the privilege; and refuses a DACL with an object or a callback entry (error 998),
// reading every entry's SID right after its mask. So there: owners the subject does not hold, no
// OWNER RIGHTS, denials first, no MAXIMUM_ALLOWED, no object or callback entries, no audit bit in
// entries or requests.
RandomPairs::RandomPairs(unsigned seed, std::vector<std::vector<BYTE>> held, bool wine)
    : random_(seed), held_(std::move(held)), wine_(wine) {
  pool_ = held_;
  for (const wchar_t* text : {L"S-1-3-0", L"S-1-1-0", L"S-1-5-21-9-9-9-4242"})
    pool_.push_back(portable::SidBytes(text));
  if (!wine_)
    pool_.push_back(portable::SidBytes(L"S-1-3-4"));
  // A held SID's twin in another domain: the same length and last sub-authority, told apart only
  // by the whole SID.
  for (const auto& sid : held_) {
    if (sid.size() >= 16) {
      std::vector<BYTE> twin = sid;
      twin[twin.size() - 8] ^= 1;
      pool_.push_back(std::move(twin));
      break;
    }
  }
}

ACCESS_MASK RandomPairs::RandomMask(bool in_entry) {
  static const ACCESS_MASK kBits[] = {FILE_READ_DATA,       FILE_WRITE_DATA,
                                      FILE_APPEND_DATA,     FILE_EXECUTE,
                                      FILE_READ_ATTRIBUTES, DELETE,
                                      READ_CONTROL,         WRITE_DAC,
                                      WRITE_OWNER,          SYNCHRONIZE,
                                      GENERIC_READ,         GENERIC_WRITE,
                                      GENERIC_ALL,          ACCESS_SYSTEM_SECURITY};
  // Entries hold generic rights; requests of AccessCheck may not.
  const size_t kinds = in_entry ? std::size(kBits) - (wine_ ? 1 : 0) : std::size(kBits) - 4;
  ACCESS_MASK mask = 0;
  const size_t count = 1 + Pick(4);
  for (size_t i = 0; i < count; ++i)
    mask |= kBits[Pick(kinds)];
  if (!in_entry && !wine_ && Pick(10) == 0)
    mask |= ACCESS_SYSTEM_SECURITY;
  return mask;
}

std::vector<BYTE> RandomPairs::RandomEntry() {
  struct Kind {
    BYTE type;
    DWORD object_flags;
    int weight;
  };
  const Kind kinds[] = {
      {ACCESS_ALLOWED_ACE_TYPE, 0, 45},
      {ACCESS_DENIED_ACE_TYPE, 0, 30},
      {ACCESS_DENIED_OBJECT_ACE_TYPE, 0, wine_ ? 0 : 5},
      {ACCESS_DENIED_OBJECT_ACE_TYPE, ACE_OBJECT_TYPE_PRESENT, wine_ ? 0 : 3},
      {ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0, wine_ ? 0 : 3},
      {ACCESS_ALLOWED_OBJECT_ACE_TYPE, ACE_INHERITED_OBJECT_TYPE_PRESENT, wine_ ? 0 : 3},
      {ACCESS_ALLOWED_CALLBACK_ACE_TYPE, 0, wine_ ? 0 : 3},
      {SYSTEM_AUDIT_ACE_TYPE, 0, 2},
  };
  int total = 0;
  for (const Kind& k : kinds)
    total += k.weight;
  int roll = static_cast<int>(Pick(static_cast<size_t>(total)));
  const Kind* kind = &kinds[0];
  for (const Kind& k : kinds) {
    if (roll < k.weight) {
      kind = &k;
      break;
    }
    roll -= k.weight;
  }
  BYTE flags = 0;
  if (Pick(5) == 0)
    flags |= INHERIT_ONLY_ACE;
  if (Pick(3) == 0)
    flags |= OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  if (Pick(4) == 0)
    flags |= INHERITED_ACE;
  return Entry(kind->type, flags, RandomMask(true), kind->object_flags, pool_[Pick(pool_.size())]);
}

PSECURITY_DESCRIPTOR RandomPairs::NextDescriptor() {
  InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION);
  const std::vector<BYTE>& stranger = pool_[held_.size() + 2];
  const std::vector<BYTE>* owner = &stranger;
  if (!wine_ && Pick(3) != 0)
    owner = &held_[Pick(held_.size())];
  SetSecurityDescriptorOwner(&descriptor_, const_cast<BYTE*>(owner->data()), FALSE);
  SetSecurityDescriptorGroup(&descriptor_, const_cast<BYTE*>(pool_[Pick(pool_.size())].data()),
                             FALSE);
  const size_t shape = Pick(20);
  if (shape == 0)
    return &descriptor_;  // no DACL
  if (shape == 1) {
    SetSecurityDescriptorDacl(&descriptor_, TRUE, nullptr, FALSE);  // a null DACL
    return &descriptor_;
  }
  std::vector<std::vector<BYTE>> entries(shape == 2 ? 0 : 1 + Pick(8));
  for (auto& entry : entries)
    entry = RandomEntry();
  if (wine_)
    std::stable_partition(entries.begin(), entries.end(), Denies);
  size_t size = sizeof(ACL);
  for (const auto& entry : entries)
    size += entry.size();
  acl_.assign(size, 0);
  auto* acl = reinterpret_cast<PACL>(acl_.data());
  InitializeAcl(acl, static_cast<DWORD>(size), ACL_REVISION_DS);
  for (auto& entry : entries)
    AddAce(acl, ACL_REVISION_DS, MAXDWORD, entry.data(), static_cast<DWORD>(entry.size()));
  SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE);
  return &descriptor_;
}

ACCESS_MASK RandomPairs::NextDesired() {
  const size_t shape = Pick(12);
  if (shape == 0)
    return 0;
  if (shape == 1 && !wine_)
    return MAXIMUM_ALLOWED | (Pick(2) ? RandomMask(false) : 0);
  return RandomMask(false);
}

std::wstring RandomPairs::LastText() const {
  vortiss::ScopedLocal<wchar_t> text;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
          const_cast<SECURITY_DESCRIPTOR*>(&descriptor_), SDDL_REVISION_1,
          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
          text.receive(), nullptr))
    return L"(no SDDL form)";
  return text.get();
}

}  // namespace walk_check
