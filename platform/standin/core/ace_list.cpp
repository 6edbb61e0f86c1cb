#include "platform/standin/core/ace_list.h"

#include "platform/standin/core/acl.h"

namespace standin {

namespace {

constexpr ACCESS_MASK kGenericRights = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;

bool CarriesSidAfterMask(BYTE type) {
  return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_DENIED_ACE_TYPE ||
         type == SYSTEM_AUDIT_ACE_TYPE || type == SYSTEM_ALARM_ACE_TYPE;
}

}  // namespace

ACCESS_MASK MapGenericRights(ACCESS_MASK mask, const GENERIC_MAPPING& mapping) {
  if (mask & GENERIC_READ)
    mask |= mapping.GenericRead;
  if (mask & GENERIC_WRITE)
    mask |= mapping.GenericWrite;
  if (mask & GENERIC_EXECUTE)
    mask |= mapping.GenericExecute;
  if (mask & GENERIC_ALL)
    mask |= mapping.GenericAll;
  return mask & ~kGenericRights;
}

AceList AceList::Decode(const BYTE* acl) {
  AceList list;
  if (!acl)
    return list;
  const AclView view(acl);
  list.revision = view.revision();
  for (const AceView ace : view) {
    AceEntry entry;
    entry.type = ace.type();
    entry.flags = ace.flags();
    if (ace.size() >= sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD))
      entry.mask = ace.mask();
    std::optional<SidValue> sid;
    if (CarriesSidAfterMask(entry.type))
      sid = SidValue::FromBytes(ace.sid(), ace.size() - (ace.sid() - ace.data()));
    if (sid)
      entry.sid = *sid;
    else
      entry.raw.assign(ace.data(), ace.data() + ace.size());
    list.entries.push_back(std::move(entry));
  }
  return list;
}

std::optional<std::vector<BYTE>> AceList::Encode() const {
  AclBuilder acl(revision);
  for (const auto& e : entries) {
    if (!e.raw.empty())
      acl.AppendCopy(e.raw.data(), e.raw.size(), e.flags);
    else
      acl.Append(e.type, e.flags, e.mask, e.sid);
  }
  return std::move(acl).Finish();
}

}  // namespace standin
