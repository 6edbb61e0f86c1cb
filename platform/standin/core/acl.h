// Access control lists and their entries in the platform's binary layout: one view to walk and
// read them, one builder to append to them, the checks the platform applies to ACLs that come
// from outside, and the edits of the ACL calls. The edits return a Win32 error code
// (ERROR_SUCCESS when they succeed).
#pragma once

#include <cstddef>
#include <iterator>
#include <optional>
#include <vector>

#include "platform/standin/core/layout.h"
#include "platform/standin/core/sid_value.h"
#include "platform/standin/win32api.h"

namespace standin {

// The largest ACL size the platform records: 16 bits, kept a multiple of 4.
inline constexpr DWORD kMaxAclSize = 65532;

// Entry types whose SID follows the header and the mask.
bool IsPlainAceType(BYTE type);
// Object entry types: flags and the GUIDs they announce come between the mask and the SID.
bool IsObjectAceType(BYTE type);

// One entry of an ACL that AclValid accepted.
class AceView {
 public:
  explicit AceView(const BYTE* ace) : ace_(ace) {}

  const BYTE* data() const { return ace_; }
  BYTE type() const { return ace_[offsetof(ACE_HEADER, AceType)]; }
  BYTE flags() const { return ace_[offsetof(ACE_HEADER, AceFlags)]; }
  WORD size() const { return ReadAt<WORD>(ace_, offsetof(ACE_HEADER, AceSize)); }
  ACCESS_MASK mask() const { return ReadAt<ACCESS_MASK>(ace_, offsetof(ACCESS_ALLOWED_ACE, Mask)); }
  // ACE_OBJECT_TYPE_PRESENT and ACE_INHERITED_OBJECT_TYPE_PRESENT; object entries only.
  DWORD object_flags() const {
    return ReadAt<DWORD>(ace_, offsetof(ACCESS_ALLOWED_OBJECT_ACE, Flags));
  }
  // The SID the entry carries, or nullptr for entry types that carry none.
  const BYTE* sid() const;

 private:
  const BYTE* ace_;
};

// An ACL that AclValid accepted: its header, and its entries in order.
class AclView {
 public:
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = AceView;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = AceView;

    Iterator() = default;
    Iterator(const BYTE* at, WORD left) : at_(at), left_(left) {}
    AceView operator*() const { return AceView(at_); }
    Iterator& operator++() {
      at_ += AceView(at_).size();
      --left_;
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const Iterator& other) const { return left_ == other.left_; }

   private:
    const BYTE* at_ = nullptr;
    WORD left_ = 0;
  };

  explicit AclView(const void* acl) : acl_(static_cast<const BYTE*>(acl)) {}

  const BYTE* data() const { return acl_; }
  BYTE revision() const { return acl_[offsetof(ACL, AclRevision)]; }
  WORD size() const { return ReadAt<WORD>(acl_, offsetof(ACL, AclSize)); }
  WORD count() const { return ReadAt<WORD>(acl_, offsetof(ACL, AceCount)); }
  Iterator begin() const { return Iterator(acl_ + sizeof(ACL), count()); }
  Iterator end() const { return Iterator(nullptr, 0); }

 private:
  const BYTE* acl_;
};

// Builds an ACL in memory: the header, then entries appended in order.
class AclBuilder {
 public:
  explicit AclBuilder(BYTE revision = ACL_REVISION);
  // Appends an entry whose SID follows its mask.
  void Append(BYTE type, BYTE flags, ACCESS_MASK mask, const SidValue& sid);
  // Appends an object entry: its flags say which of `object` and `inherited` follow the mask.
  void AppendObject(BYTE type,
                    BYTE flags,
                    ACCESS_MASK mask,
                    const GUID* object,
                    const GUID* inherited,
                    const SidValue& sid);
  // Appends a whole entry as it stands, with `flags` in place of its own.
  void AppendCopy(const BYTE* ace, size_t size, BYTE flags);
  // Zero bytes the finished ACL keeps after its last entry, counted in its size.
  void AddUnusedRoom(size_t bytes) { unused_room_ += bytes; }
  // Raises the ACL's revision to `revision` when it is lower.
  void RaiseRevision(BYTE revision);
  // The ACL's bytes; nullopt when they pass the largest ACL or its 16-bit entry count.
  std::optional<std::vector<BYTE>> Finish() &&;
  // Bytes so far.
  size_t size() const { return bytes_.size(); }

 private:
  std::vector<BYTE> bytes_;
  size_t count_ = 0;
  size_t unused_room_ = 0;
};

// Writes an entry whose SID follows its mask at `at`; returns its size.
size_t WriteAce(BYTE* at, BYTE type, BYTE flags, ACCESS_MASK mask, const BYTE* sid);

// True when the bytes at `acl` hold a valid ACL that lies within `available` bytes: revision
// 2 to 4, a size of at least 8 that is a multiple of 4, and every entry inside that size with
// a size that is a multiple of 4 and large enough for its SID. Never reads past `available`
// nor past the ACL's own size.
bool AclValid(const void* acl, size_t available);

// InitializeAcl: a header of `length` bytes (rounded down to a multiple of 4).
DWORD CreateAcl(void* acl, DWORD length, DWORD revision);

// Appends an entry of `type` for `sid` after the ACL's last entry.
DWORD AddKnownAce(void* acl, DWORD revision, BYTE type, DWORD flags, DWORD mask, const void* sid);

// AddAce: inserts the entries of `entries` (`length` bytes) before entry `start_index`.
DWORD InsertAces(void* acl, DWORD revision, DWORD start_index, const void* entries, DWORD length);

// GetAce: the entry at `index`.
DWORD FindAce(void* acl, DWORD index, void** ace);

// DeleteAce: removes the entry at `index`, moving those after it down.
DWORD RemoveAce(void* acl, DWORD index);

// FindFirstFreeAce: the first byte after the entries, or null when none is left; false when
// an entry leaves the ACL.
bool FirstFreeByte(void* acl, void** free);

// GetAclInformation's two classes: the revision, and the entries' count and bytes.
struct AclSizeFacts {
  DWORD count = 0;
  DWORD in_use = 0;
  DWORD free = 0;
};
DWORD DescribeAcl(const void* acl, BYTE& revision, AclSizeFacts& size);

}  // namespace standin
