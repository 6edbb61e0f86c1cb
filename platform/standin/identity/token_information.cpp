#include "platform/standin/identity/token_information.h"

#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "platform/standin/core/acl.h"
#include "platform/standin/core/layout.h"

namespace standin {

namespace {

// The bytes of one class's answer: its record first, then the data the record points to. The
// pointers are written once the answer's place in the caller's buffer is known.
class Answer {
 public:
  explicit Answer(size_t record_size) : bytes_(record_size, 0) {}

  template <typename T>
  void Put(size_t at, const T& value) {
    WriteAt<T>(bytes_.data(), at, value);
  }
  // Appends `data` and has the pointer at `at` point to it. SIDs and ACLs are multiples of 4
  // bytes, so each lies aligned after the record.
  void PointTo(size_t at, const BYTE* data, size_t size) {
    pointers_.emplace_back(at, Append(data, size));
  }
  // Appends `size` bytes (zeros when `data` is null) and returns where they start.
  size_t Append(const BYTE* data, size_t size) {
    const size_t start = bytes_.size();
    if (data)
      bytes_.insert(bytes_.end(), data, data + size);
    else
      bytes_.resize(start + size, 0);
    return start;
  }
  // Has the pointer at `at` point to the bytes at `target`.
  void Point(size_t at, size_t target) { pointers_.emplace_back(at, target); }
  // Appends SID_AND_ATTRIBUTES records at `at` for `entries`, their SIDs after the record.
  void SidsAndAttributes(size_t at, const std::vector<std::pair<SidValue, DWORD>>& entries) {
    for (size_t i = 0; i < entries.size(); ++i) {
      const size_t record = at + i * sizeof(SID_AND_ATTRIBUTES);
      Put<DWORD>(record + offsetof(SID_AND_ATTRIBUTES, Attributes), entries[i].second);
      PointTo(record + offsetof(SID_AND_ATTRIBUTES, Sid), entries[i].first.data(),
              entries[i].first.size());
    }
  }

  size_t size() const { return bytes_.size(); }
  void WriteTo(BYTE* base) const {
    std::memcpy(base, bytes_.data(), bytes_.size());
    for (const auto& [at, target] : pointers_)
      WriteAt<const BYTE*>(base, at, base + target);
  }

 private:
  std::vector<BYTE> bytes_;
  std::vector<std::pair<size_t, size_t>> pointers_;
};

Answer Dword(DWORD value) {
  Answer answer(sizeof(DWORD));
  answer.Put<DWORD>(0, value);
  return answer;
}

// TOKEN_GROUPS: the count, the records, then the SIDs.
Answer Groups(const std::vector<std::pair<SidValue, DWORD>>& groups) {
  Answer answer(offsetof(TOKEN_GROUPS, Groups) + groups.size() * sizeof(SID_AND_ATTRIBUTES));
  answer.Put<DWORD>(offsetof(TOKEN_GROUPS, GroupCount), static_cast<DWORD>(groups.size()));
  answer.SidsAndAttributes(offsetof(TOKEN_GROUPS, Groups), groups);
  return answer;
}

// A record that is one pointer to a SID (TOKEN_OWNER, TOKEN_PRIMARY_GROUP).
Answer SidPointer(const SidValue& sid) {
  Answer answer(sizeof(PSID));
  answer.PointTo(0, sid.data(), sid.size());
  return answer;
}

Answer Statistics(const TokenData& token) {
  TOKEN_STATISTICS statistics{};
  statistics.TokenId = token.id;
  statistics.AuthenticationId = token.logon_session;
  statistics.ExpirationTime.QuadPart = 0x7fffffffffffffff;  // never
  statistics.TokenType = token.type;
  statistics.ImpersonationLevel = token.level;
  // The pool for the default DACL and primary group, and what they leave of it.
  statistics.DynamicCharged = 4096;
  statistics.DynamicAvailable =
      static_cast<DWORD>(4096 - DefaultDaclOf(token).size() - PrimaryGroupOf(token).size());
  statistics.GroupCount = static_cast<DWORD>(token.groups.size());
  statistics.PrivilegeCount = static_cast<DWORD>(token.privileges.List().size());
  statistics.ModifiedId = token.id;
  Answer answer(sizeof(statistics));
  answer.Put(0, statistics);
  return answer;
}

// TOKEN_PRIVILEGES: the count, then the privileges.
Answer Privileges(const std::vector<LUID_AND_ATTRIBUTES>& privileges) {
  Answer answer(offsetof(TOKEN_PRIVILEGES, Privileges) +
                privileges.size() * sizeof(LUID_AND_ATTRIBUTES));
  answer.Put<DWORD>(offsetof(TOKEN_PRIVILEGES, PrivilegeCount),
                    static_cast<DWORD>(privileges.size()));
  for (size_t i = 0; i < privileges.size(); ++i)
    answer.Put(offsetof(TOKEN_PRIVILEGES, Privileges) + i * sizeof(LUID_AND_ATTRIBUTES),
               privileges[i]);
  return answer;
}

// TOKEN_GROUPS_AND_PRIVILEGES: the record, then the user's and groups' SID_AND_ATTRIBUTES with
// their SIDs (SidLength counts both, as a copy of them needs), then the privileges. A desktop
// logon's token restricts no SIDs.
Answer GroupsAndPrivileges(const TokenData& token) {
  std::vector<std::pair<SidValue, DWORD>> sids = {{token.user, 0}};
  sids.insert(sids.end(), token.groups.begin(), token.groups.end());
  const std::vector<LUID_AND_ATTRIBUTES> privileges = token.privileges.List();

  Answer answer(sizeof(TOKEN_GROUPS_AND_PRIVILEGES));
  const size_t records = answer.Append(nullptr, sids.size() * sizeof(SID_AND_ATTRIBUTES));
  answer.SidsAndAttributes(records, sids);
  const size_t sid_length = answer.size() - records;
  const size_t privilege_length = privileges.size() * sizeof(LUID_AND_ATTRIBUTES);
  const size_t luids =
      answer.Append(reinterpret_cast<const BYTE*>(privileges.data()), privilege_length);
  using Record = TOKEN_GROUPS_AND_PRIVILEGES;
  answer.Put<DWORD>(offsetof(Record, SidCount), static_cast<DWORD>(sids.size()));
  answer.Put<DWORD>(offsetof(Record, SidLength), static_cast<DWORD>(sid_length));
  answer.Point(offsetof(Record, Sids), records);
  answer.Put<DWORD>(offsetof(Record, PrivilegeCount), static_cast<DWORD>(privileges.size()));
  answer.Put<DWORD>(offsetof(Record, PrivilegeLength), static_cast<DWORD>(privilege_length));
  if (!privileges.empty())
    answer.Point(offsetof(Record, Privileges), luids);
  answer.Put(offsetof(Record, AuthenticationId), token.logon_session);
  return answer;
}

// The answer for `info_class`, or nullopt for a class the token does not answer.
std::optional<Answer> AnswerFor(const TokenData& token, TOKEN_INFORMATION_CLASS info_class) {
  switch (info_class) {
    case TokenUser: {
      Answer answer(sizeof(TOKEN_USER));
      answer.SidsAndAttributes(0, {{token.user, 0}});
      return answer;
    }
    case TokenGroups:
      return Groups(token.groups);
    case TokenPrivileges:
      return Privileges(token.privileges.List());
    case TokenGroupsAndPrivileges:
      return GroupsAndPrivileges(token);
    case TokenOwner:
      return SidPointer(OwnerSidOf(token));
    case TokenPrimaryGroup:
      return SidPointer(PrimaryGroupOf(token));
    case TokenDefaultDacl: {
      const std::vector<BYTE> dacl = DefaultDaclOf(token);
      Answer answer(sizeof(TOKEN_DEFAULT_DACL));
      answer.PointTo(offsetof(TOKEN_DEFAULT_DACL, DefaultDacl), dacl.data(), dacl.size());
      return answer;
    }
    case TokenSource: {
      TOKEN_SOURCE source{};
      std::memcpy(source.SourceName, "User32  ", TOKEN_SOURCE_LENGTH);
      source.SourceIdentifier = token.logon_session;
      Answer answer(sizeof(source));
      answer.Put(0, source);
      return answer;
    }
    case TokenType:
      return Dword(static_cast<DWORD>(token.type));
    case TokenImpersonationLevel:
      if (token.type != TokenImpersonation)
        return std::nullopt;
      return Dword(static_cast<DWORD>(token.level));
    case TokenStatistics:
      return Statistics(token);
    case TokenRestrictedSids:
    case TokenCapabilities:
      return Groups({});
    case TokenSessionId:
      return Dword(token.session_id);
    case TokenOrigin: {
      Answer answer(sizeof(TOKEN_ORIGIN));
      answer.Put(offsetof(TOKEN_ORIGIN, OriginatingLogonSession), kSystemLogonSession);
      return answer;
    }
    case TokenElevationType:
      return Dword(static_cast<DWORD>(ElevationTypeOf(token)));
    case TokenElevation:
      return Dword(token.elevated ? 1 : 0);
    case TokenIntegrityLevel: {
      Answer answer(sizeof(TOKEN_MANDATORY_LABEL));
      answer.SidsAndAttributes(
          offsetof(TOKEN_MANDATORY_LABEL, Label),
          {{IntegritySidOf(token), SE_GROUP_INTEGRITY | SE_GROUP_INTEGRITY_ENABLED}});
      return answer;
    }
    case TokenMandatoryPolicy:
      return Dword(TOKEN_MANDATORY_POLICY_VALID_MASK);
    case TokenLogonSid: {
      const SidValue logon = LogonSidOf(token);
      if (logon.empty())
        return std::nullopt;
      for (const auto& group : token.groups) {
        if (group.first == logon)
          return Groups({group});
      }
      return std::nullopt;
    }
    case TokenAppContainerSid:
      return Answer(sizeof(TOKEN_APPCONTAINER_INFORMATION));  // no app container: null
    // Flags and numbers that are 0 for a desktop logon's token.
    case TokenSandBoxInert:
    case TokenHasRestrictions:
    case TokenVirtualizationAllowed:
    case TokenVirtualizationEnabled:
    case TokenUIAccess:
    case TokenIsAppContainer:
    case TokenAppContainerNumber:
    case TokenIsRestricted:
      return Dword(0);
    default:
      return std::nullopt;
  }
}

}  // namespace

DWORD WriteTokenInformation(const TokenData& token,
                            TOKEN_INFORMATION_CLASS info_class,
                            void* buffer,
                            DWORD length,
                            DWORD& needed) {
  const std::optional<Answer> answer = AnswerFor(token, info_class);
  if (!answer)
    return ERROR_INVALID_PARAMETER;
  needed = static_cast<DWORD>(answer->size());
  if (length < answer->size() || !buffer)
    return ERROR_INSUFFICIENT_BUFFER;
  answer->WriteTo(static_cast<BYTE*>(buffer));
  return ERROR_SUCCESS;
}

}  // namespace standin
