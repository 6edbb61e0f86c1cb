// Why an access check decided as it did, as `access --explain` prints it: the owner's implicit
// rights, the privileges used, each DACL entry that applied with the SID it matched through and
// how the account holds that SID, and the bits still missing.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/access_walk.h"

// The account's qualified name as the lookup reports it ("Everyone", "CORP\carol"), or the SID's
// text where no lookup names it.
std::wstring AccountName(PSID sid);

// The mask as the explanation writes it: 0x followed by eight hex digits.
std::wstring MaskText(ACCESS_MASK mask);

// The lines that explain `walk` (nothing: the descriptor could not be walked) for `subject`.
std::vector<std::wstring> ExplainLines(const AccessSubject& subject,
                                       const std::optional<AccessWalk>& walk);

// How `subject` holds `group`, as names from its user to the group: found in the member lists
// of local groups and the user lists of domain groups, which IsUserInGroup reads, through the
// groups the subject holds. Empty when no list shows it (a group every logon holds, such as
// Everyone) or the group is the user.
std::vector<std::wstring> MembershipPath(const AccessSubject& subject, PSID group);

// "CORP\carol through CORP\Domain Admins, a member of BUILTIN\Administrators".
std::wstring PathText(const std::vector<std::wstring>& path);
