#include "platform/standin/identity/token_information.h"

#include <cstring>

namespace standin {

namespace {

using SidEntries = std::vector<std::pair<const SidValue*, DWORD>>;

// Lays out SID_AND_ATTRIBUTES records followed by their SIDs.
void WriteSidAndAttributes(BYTE* base, size_t records_offset, const SidEntries& entries) {
  auto* records = reinterpret_cast<SID_AND_ATTRIBUTES*>(base + records_offset);
  size_t sid_offset = records_offset + entries.size() * sizeof(SID_AND_ATTRIBUTES);
  for (size_t i = 0; i < entries.size(); ++i) {
    std::memcpy(base + sid_offset, entries[i].first->data(), entries[i].first->size());
    records[i].Sid = base + sid_offset;
    records[i].Attributes = entries[i].second;
    sid_offset += entries[i].first->size();
  }
}

size_t SidsSize(const SidEntries& entries) {
  size_t size = 0;
  for (const auto& e : entries)
    size += sizeof(SID_AND_ATTRIBUTES) + e.first->size();
  return size;
}

}  // namespace

DWORD WriteTokenInformation(const TokenData& token,
                            TOKEN_INFORMATION_CLASS info_class,
                            void* buffer,
                            DWORD length,
                            DWORD& needed) {
  SidEntries entries;
  std::vector<LUID_AND_ATTRIBUTES> privileges;
  size_t size = 0;
  switch (info_class) {
    case TokenPrivileges:
      privileges = token.privileges.List();
      size =
          offsetof(TOKEN_PRIVILEGES, Privileges) + privileges.size() * sizeof(LUID_AND_ATTRIBUTES);
      break;
    case TokenUser:
      entries.emplace_back(&token.user, 0);
      size = SidsSize(entries);
      break;
    case TokenGroups:
      for (const auto& [sid, attributes] : token.groups)
        entries.emplace_back(&sid, attributes);
      size = offsetof(TOKEN_GROUPS, Groups) + SidsSize(entries);
      break;
    case TokenType:
      size = sizeof(TOKEN_TYPE);
      break;
    case TokenImpersonationLevel:
      if (token.type != TokenImpersonation)
        return ERROR_INVALID_PARAMETER;
      size = sizeof(SECURITY_IMPERSONATION_LEVEL);
      break;
    case TokenElevation:
      size = sizeof(TOKEN_ELEVATION);
      break;
    default:
      return ERROR_INVALID_PARAMETER;
  }
  needed = static_cast<DWORD>(size);
  if (length < size || !buffer)
    return ERROR_INSUFFICIENT_BUFFER;

  auto* base = static_cast<BYTE*>(buffer);
  switch (info_class) {
    case TokenPrivileges: {
      const auto count = static_cast<DWORD>(privileges.size());
      std::memcpy(base + offsetof(TOKEN_PRIVILEGES, PrivilegeCount), &count, sizeof(count));
      if (!privileges.empty())
        std::memcpy(base + offsetof(TOKEN_PRIVILEGES, Privileges), privileges.data(),
                    privileges.size() * sizeof(LUID_AND_ATTRIBUTES));
      break;
    }
    case TokenUser:
      WriteSidAndAttributes(base, 0, entries);
      break;
    case TokenGroups: {
      const auto count = static_cast<DWORD>(entries.size());
      std::memcpy(base + offsetof(TOKEN_GROUPS, GroupCount), &count, sizeof(count));
      WriteSidAndAttributes(base, offsetof(TOKEN_GROUPS, Groups), entries);
      break;
    }
    case TokenType:
      *static_cast<TOKEN_TYPE*>(buffer) = token.type;
      break;
    case TokenImpersonationLevel:
      *static_cast<SECURITY_IMPERSONATION_LEVEL*>(buffer) = token.level;
      break;
    case TokenElevation:
      static_cast<TOKEN_ELEVATION*>(buffer)->TokenIsElevated = token.elevated ? 1 : 0;
      break;
    default:
      break;
  }
  return ERROR_SUCCESS;
}

}  // namespace standin
