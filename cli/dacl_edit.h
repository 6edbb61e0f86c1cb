// A DACL as the host edits it: its entries as they stand, explicit ones edited by account, and
// inherited ones left as the platform keeps them. A null DACL (everyone may do everything) is
// kept apart from an empty one (no one may do anything).
#pragma once

#include <optional>
#include <vector>

#include "platform/win32.h"

// One entry of a DACL, its bytes as the platform keeps them.
class DaclEntry {
 public:
  explicit DaclEntry(std::vector<BYTE> bytes) : bytes_(std::move(bytes)) {}
  // An allowed or denied entry for `sid`.
  DaclEntry(BYTE type, BYTE flags, ACCESS_MASK mask, PSID sid);

  BYTE type() const { return header()->AceType; }
  BYTE flags() const { return header()->AceFlags; }
  ACCESS_MASK mask() const;
  bool inherited() const { return flags() & INHERITED_ACE; }
  // The SID the entry is for; null for a type that carries none, or one that does not fit.
  PSID sid() const;
  // An allowed or denied entry, the kinds the model edits.
  bool plain() const {
    return type() == ACCESS_ALLOWED_ACE_TYPE || type() == ACCESS_DENIED_ACE_TYPE;
  }
  const std::vector<BYTE>& bytes() const { return bytes_; }
  void set_flags(BYTE flags) { reinterpret_cast<ACE_HEADER*>(bytes_.data())->AceFlags = flags; }
  bool operator==(const DaclEntry& other) const { return bytes_ == other.bytes_; }

 private:
  const ACE_HEADER* header() const { return reinterpret_cast<const ACE_HEADER*>(bytes_.data()); }
  std::vector<BYTE> bytes_;
};

// A descriptor's DACL: null (absent, or present with no ACL) or its entries, and whether it is
// protected from its parent's entries.
struct Dacl {
  bool null = false;
  bool protect = false;
  std::vector<DaclEntry> entries;

  static Dacl Of(PSECURITY_DESCRIPTOR descriptor);
  bool operator==(const Dacl& other) const = default;
};

// `entries` as an ACL. Errors: the platform's, as the ACL calls give them.
DWORD BuildAcl(const std::vector<DaclEntry>& entries, std::vector<BYTE>& acl);

enum class DaclEdit { kNone, kGrant, kDeny, kRevoke };

// An edit of one account's entries.
struct DaclChange {
  DaclEdit edit = DaclEdit::kNone;
  PSID account = nullptr;
  ACCESS_MASK mask = 0;  // what a grant allows or a denial denies
  BYTE flags = 0;        // the inheritance flags of a new entry
  // The rights a null DACL stands for on this kind of object, given to Everyone with `flags`
  // when a grant or a denial makes the DACL explicit.
  ACCESS_MASK full_access = GENERIC_ALL;
  // --no-inherit (true) or --inherit (false); nothing keeps the protection as it is.
  std::optional<bool> protect;
  // The DACL is written whole, inherited entries with it (a value); otherwise only what the
  // object holds of its own goes back, and the platform adds what the parent passes on.
  bool whole = false;
};

// What an edit of a DACL writes.
struct DaclEditResult {
  Dacl written;                    // the DACL to write
  bool changed = false;            // whether it differs from what the object holds now
  bool nothing_to_revoke = false;  // a revocation found no entry of the account's own
};

// Edits `current` as the platform's tools do. A grant replaces the account's explicit grants, a
// denial its explicit grants and denials, a revocation removes both; the new entry goes where
// the platform's order puts it (explicit denials first, then explicit grants, then inherited
// entries), and everything else keeps its place and its flags. A grant or a denial on a null
// DACL first makes it the explicit entry it stands for; a revocation leaves it null.
DaclEditResult EditDacl(const Dacl& current, const DaclChange& change);

// True when an inherited entry of `entries` still grants `account` something.
bool InheritedGrantFor(const std::vector<DaclEntry>& entries, PSID account);
