// The group membership test: an account against a local group, its member groups, the four
// well-known groups that hold everyone, and domain groups listed on a controller.
#pragma once

#include <string>

#include "platform/win32.h"
#include "security/csid.h"
#include "security/scoped_platform.h"

// True when `account` is a member of the group named `group` (a local group, or DOMAIN\group).
// Exceptions of the standard family never leave it.
bool IsUserInGroup(const CSid& account, LPCWSTR group);

// Members of a local group of the local computer, at member information level 2.
class user_in_group_iterator_2 {
 public:
  // The end iterator.
  user_in_group_iterator_2();
  // Stands on the group's first member, or at the end; throws std::runtime_error with the
  // system's text when the group cannot be enumerated.
  explicit user_in_group_iterator_2(LPCWSTR group);
  virtual ~user_in_group_iterator_2();
  user_in_group_iterator_2(const user_in_group_iterator_2&) = delete;
  user_in_group_iterator_2& operator=(const user_in_group_iterator_2&) = delete;

  user_in_group_iterator_2& operator++();
  bool operator==(const user_in_group_iterator_2& other) const;
  bool operator!=(const user_in_group_iterator_2& other) const;
  // The current record, owned by the iterator; null at the end.
  LOCALGROUP_MEMBERS_INFO_2* operator*() const;

 private:
  void setup(LPCWSTR server, LPCWSTR group);

  vortiss::ScopedNetApiRecords<LOCALGROUP_MEMBERS_INFO_2> buffer;
  DWORD index;
  DWORD entries;
  LOCALGROUP_MEMBERS_INFO_2* current;
};

// Users of a domain (global) group written DOMAIN\group, listed on a controller of the domain.
class user_in_globalgroup_iterator {
 public:
  // The end iterator.
  user_in_globalgroup_iterator();
  // Stands on the group's first user as DOMAIN\user, or at the end when no controller is found
  // or the group has no users; throws std::runtime_error when the users cannot be listed.
  explicit user_in_globalgroup_iterator(LPCWSTR group);
  virtual ~user_in_globalgroup_iterator();
  user_in_globalgroup_iterator(const user_in_globalgroup_iterator&) = delete;
  user_in_globalgroup_iterator& operator=(const user_in_globalgroup_iterator&) = delete;

  user_in_globalgroup_iterator& operator++();
  bool operator==(const user_in_globalgroup_iterator& other) const;
  bool operator!=(const user_in_globalgroup_iterator& other) const;
  // The current user's qualified name; empty at the end.
  std::wstring operator*() const;

 private:
  void setup(LPCWSTR server, LPCWSTR group);

  vortiss::ScopedNetApiRecords<GROUP_USERS_INFO_0> buffer;
  DWORD index;
  DWORD entries;
  std::wstring current;
  std::wstring domain;
};
