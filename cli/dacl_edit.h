// A DACL as the host edits it: its entries as they stand, explicit ones edited by account, and
// inherited ones left as the platform keeps them.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/win32.h"

// One entry of a DACL, its bytes as the platform keeps them.
class DaclEntry {
 public:
  explicit DaclEntry(std::vector<BYTE> bytes) : bytes_(std::move(bytes)) {}
  // An allowed or denied entry for `sid`.
  DaclEntry(BYTE type, BYTE flags, ACCESS_MASK mask, PSID sid);

  BYTE type() const { return header().AceType; }
  BYTE flags() const { return header().AceFlags; }
  ACCESS_MASK mask() const;
  bool inherited() const { return flags() & INHERITED_ACE; }
  // The SID the entry is for: after the mask, or after an object entry's flags and GUIDs; null
  // for a type that carries none, or an entry too short to hold one.
  PSID sid() const;
  // An allowed or denied entry, the kinds the model edits.
  bool plain() const {
    return type() == ACCESS_ALLOWED_ACE_TYPE || type() == ACCESS_DENIED_ACE_TYPE;
  }
  const std::vector<BYTE>& bytes() const { return bytes_; }
  void set_flags(BYTE flags) { reinterpret_cast<ACE_HEADER*>(bytes_.data())->AceFlags = flags; }

 private:
  const ACE_HEADER& header() const { return *reinterpret_cast<const ACE_HEADER*>(bytes_.data()); }
  std::vector<BYTE> bytes_;
};

// The entries of `dacl` in order; none for a null DACL.
std::vector<DaclEntry> ReadEntries(PACL dacl);

// `entries` as an ACL. Errors: the platform's, as the ACL calls give them.
DWORD BuildAcl(const std::vector<DaclEntry>& entries, std::vector<BYTE>& acl);

enum class DaclEdit { kGrant, kDeny, kRevoke };

// Edits the explicit entries for `account` as the platform's tools do: a grant replaces the
// account's explicit grants, a denial its explicit grants and denials, a revocation removes
// both. The new entry (with `flags`) goes where the platform's order puts it: explicit denials
// first, then explicit grants, then inherited entries. Everything else keeps its place and its
// flags.
void EditEntries(std::vector<DaclEntry>& entries,
                 DaclEdit edit,
                 PSID account,
                 ACCESS_MASK mask,
                 BYTE flags);

// True when an inherited entry of `entries` still grants `account` something.
bool InheritedGrantFor(const std::vector<DaclEntry>& entries, PSID account);
