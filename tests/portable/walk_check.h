// Holding the host's access walk to the platform's checks: the verdict of the walk beside that of
// AccessCheck (for a token) or AuthzAccessCheck (for a client context) on one descriptor, and
// random descriptors and requests built from the SIDs a subject holds.
#pragma once

#include <random>
#include <string>
#include <vector>

#include "cli/access_walk.h"

namespace walk_check {

// A check's verdict: the error of the check (ERROR_SUCCESS granted, ERROR_ACCESS_DENIED,
// ERROR_PRIVILEGE_NOT_HELD, ...) with the rights granted; `refused` when the call itself failed
// (or, for the walk, when it would not walk).
struct Verdict {
  bool refused;
  DWORD result;
  ACCESS_MASK granted;
  bool operator==(const Verdict&) const = default;
};

std::string Text(const Verdict& verdict);

// The file mapping, as AccessCheck is asked with it here.
inline constexpr GENERIC_MAPPING kFileMapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE,
                                                 FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};

Verdict ByAccessCheck(HANDLE token, PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK desired);
Verdict ByAuthz(AUTHZ_CLIENT_CONTEXT_HANDLE context,
                PSECURITY_DESCRIPTOR descriptor,
                ACCESS_MASK desired);
// The walk for `subject`, as AccessCheck (`authz` false, the file mapping) or AuthzAccessCheck.
Verdict ByWalk(const AccessSubject& subject,
               PSECURITY_DESCRIPTOR descriptor,
               ACCESS_MASK desired,
               bool authz);

// The self-relative descriptor of `sddl`, where "%U" stands for `user`'s SID text; empty when
// the platform refuses it.
std::vector<BYTE> Descriptor(std::wstring sddl, const std::wstring& user);

// The SIDs of a token's user and groups, every group whatever its attributes.
std::vector<std::vector<BYTE>> SidsOf(HANDLE token);

// Random descriptors (owner, group, DACL) and requests. `held` are the SIDs the subject holds
// (its user first); the pool adds OWNER RIGHTS, CREATOR OWNER, Everyone and a stranger.
class RandomPairs {
 public:
  // `wine` keeps to what Wine's AccessCheck weighs as Windows does (see the .cpp).
  RandomPairs(unsigned seed, std::vector<std::vector<BYTE>> held, bool wine);

  // A descriptor in absolute form, valid until the next call.
  PSECURITY_DESCRIPTOR NextDescriptor();
  // The rights asked: specific, standard and the audit bit, sometimes MAXIMUM_ALLOWED or none.
  ACCESS_MASK NextDesired();
  // Whether a privilege is to be enabled for the next pair.
  bool Coin() { return Pick(2) == 1; }
  // The SDDL of the last descriptor, for a failure's message.
  std::wstring LastText() const;

 private:
  size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random_); }
  ACCESS_MASK RandomMask(bool in_entry);
  std::vector<BYTE> RandomEntry();

  std::mt19937 random_;
  std::vector<std::vector<BYTE>> held_;
  std::vector<std::vector<BYTE>> pool_;
  bool wine_;
  SECURITY_DESCRIPTOR descriptor_ = {};
  std::vector<BYTE> acl_;
};

}  // namespace walk_check
