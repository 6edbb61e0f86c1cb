#include "checks/membership.h"

#include <iostream>
#include <new>
#include <stdexcept>
#include <utility>

#include "security/scoped_platform.h"
#include "security/system_message.h"

namespace {

// Raises a failed enumeration status as std::runtime_error with the system's text for it.
[[noreturn]] void ThrowStatus(NET_API_STATUS status) {
  const vortiss::SystemMessage<char> message(status);
  if (message.found())
    throw std::runtime_error(message.text());
  throw std::runtime_error("Unknown Error");
}

}  // namespace

user_in_group_iterator_2::user_in_group_iterator_2() : index(0), entries(0), current(nullptr) {}

user_in_group_iterator_2::user_in_group_iterator_2(LPCWSTR group)
    : index(0), entries(0), current(nullptr) {
  setup(nullptr, group);
}

user_in_group_iterator_2::~user_in_group_iterator_2() = default;

void user_in_group_iterator_2::setup(LPCWSTR server, LPCWSTR group) {
  DWORD read = 0;
  DWORD total = 0;
  DWORD_PTR resume = 0;
  const NET_API_STATUS status =
      NetLocalGroupGetMembers(server, group, 2, reinterpret_cast<LPBYTE*>(buffer.receive()),
                              MAX_PREFERRED_LENGTH, &read, &total, &resume);
  if (status != NERR_Success) {
    buffer.reset();
    ThrowStatus(status);
  }
  if (read > 0) {
    entries = read;
    current = &buffer.get()[index];
  } else {
    buffer.reset();
  }
}

user_in_group_iterator_2& user_in_group_iterator_2::operator++() {
  ++index;
  if (index < entries) {
    current = &buffer.get()[index];
  } else {
    buffer.reset();
    current = nullptr;
    index = 0;
    entries = 0;
  }
  return *this;
}

bool user_in_group_iterator_2::operator==(const user_in_group_iterator_2& other) const {
  if (current && other.current) {
    return EqualSid(current->lgrmi2_sid, other.current->lgrmi2_sid) &&
           wcscmp(current->lgrmi2_domainandname, other.current->lgrmi2_domainandname) == 0 &&
           current->lgrmi2_sidusage == other.current->lgrmi2_sidusage;
  }
  return !current && !other.current && index == other.index && entries == other.entries &&
         buffer.get() == other.buffer.get();
}

bool user_in_group_iterator_2::operator!=(const user_in_group_iterator_2& other) const {
  return !(*this == other);
}

LOCALGROUP_MEMBERS_INFO_2* user_in_group_iterator_2::operator*() const {
  return current;
}

user_in_globalgroup_iterator::user_in_globalgroup_iterator() : index(0), entries(0) {}

user_in_globalgroup_iterator::user_in_globalgroup_iterator(LPCWSTR group) : index(0), entries(0) {
  const std::wstring name = group;
  const size_t slash = name.find(L'\\');
  const std::wstring domain_part = slash == std::wstring::npos ? name : name.substr(0, slash);
  const std::wstring group_part = slash == std::wstring::npos ? name : name.substr(slash + 1);
  domain = domain_part;

  // The controller's name is released when the constructor ends, also when setup throws.
  vortiss::ScopedNetApiBuffer controller;
  if (NetGetDCName(nullptr, domain_part.c_str(), controller.receive()) == NERR_Success)
    setup(reinterpret_cast<LPCWSTR>(controller.get()), group_part.c_str());
  else
    domain.clear();
}

user_in_globalgroup_iterator::~user_in_globalgroup_iterator() = default;

void user_in_globalgroup_iterator::setup(LPCWSTR server, LPCWSTR group) {
  DWORD read = 0;
  DWORD total = 0;
  DWORD_PTR resume = 0;
  // Held here until the first name is made: a constructor that throws has no destructor to
  // release what its members hold, so the records become the iterator's only after that.
  vortiss::ScopedNetApiRecords<GROUP_USERS_INFO_0> received;
  const NET_API_STATUS status =
      NetGroupGetUsers(server, group, 0, reinterpret_cast<LPBYTE*>(received.receive()),
                       MAX_PREFERRED_LENGTH, &read, &total, &resume);
  if (status != NERR_Success) {
    received.reset();
    ThrowStatus(status);
  }
  if (read > 0) {
    current = domain + L"\\" + received.get()[index].grui0_name;
    entries = read;
    buffer = std::move(received);
  } else {
    received.reset();
    domain.clear();
  }
}

user_in_globalgroup_iterator& user_in_globalgroup_iterator::operator++() {
  ++index;
  if (index < entries) {
    current = domain + L"\\" + buffer.get()[index].grui0_name;
  } else {
    buffer.reset();
    index = 0;
    entries = 0;
    current.clear();
    domain.clear();
  }
  return *this;
}

bool user_in_globalgroup_iterator::operator==(const user_in_globalgroup_iterator& other) const {
  return index == other.index && entries == other.entries && buffer.get() == other.buffer.get() &&
         current == other.current && domain == other.domain;
}

bool user_in_globalgroup_iterator::operator!=(const user_in_globalgroup_iterator& other) const {
  return !(*this == other);
}

std::wstring user_in_globalgroup_iterator::operator*() const {
  return current;
}

bool IsUserInGroup(const CSid& account, LPCWSTR group) {
  std::wcout << L"Checking group " << group << L" for user " << account.GetQualifiedName()
             << std::endl;
  try {
    user_in_group_iterator_2 it(group);
    user_in_group_iterator_2 end;
    while (it != end) {
      const LOCALGROUP_MEMBERS_INFO_2* r = *it;
      std::wcout << L"Found group member " << r->lgrmi2_domainandname << std::endl;
      if (r->lgrmi2_sidusage == SidTypeGroup || r->lgrmi2_sidusage == SidTypeWellKnownGroup) {
        // Each well-known SID is built the first time its comparison is reached.
        static const CSid sidEveryone = GetEveryoneSid();
        if (EqualSid(r->lgrmi2_sid, sidEveryone.GetPSid())) {
          std::wcout << L"Good - found Everyone SID" << std::endl;
          return true;
        }
        static const CSid sidInteractive = GetInteractiveSid();
        if (EqualSid(r->lgrmi2_sid, sidInteractive.GetPSid())) {
          std::wcout << L"Good - found Interactive SID" << std::endl;
          return true;
        }
        static const CSid sidAuthenticated = GetAuthenticatedUsersSid();
        if (EqualSid(r->lgrmi2_sid, sidAuthenticated.GetPSid())) {
          std::wcout << L"Good - found Authenticated Users SID" << std::endl;
          return true;
        }
        static const CSid sidTerminal = GetTerminalServerUsersSid();
        if (EqualSid(r->lgrmi2_sid, sidTerminal.GetPSid())) {
          std::wcout << L"Good - found Terminal Server Users SID" << std::endl;
          return true;
        }
        if (IsUserInGroup(account, r->lgrmi2_domainandname))
          return true;
      } else if (EqualSid(account.GetPSid(), r->lgrmi2_sid)) {
        std::wcout << L"Good - matched user in group " << r->lgrmi2_domainandname
                   << L" to supplied user name " << account.GetQualifiedName() << std::endl;
        return true;
      }
      ++it;
    }
    std::wcout << L"User not in local group " << group << std::endl;
    return false;
  } catch (const std::bad_alloc&) {
    // Running out of memory says nothing about the group: the caller's check fails with it.
    throw;
  } catch (const std::exception& local_failure) {
    OutputDebugStringA(local_failure.what());
  }

  // The name is no local group that can be enumerated: read it as DOMAIN\group.
  try {
    user_in_globalgroup_iterator it(group);
    user_in_globalgroup_iterator end;
    std::wcout << L"Checking global group " << group << std::endl;
    const std::wstring qualified = account.GetQualifiedName();
    while (it != end) {
      const std::wstring n = *it;
      std::wcout << L"Found group member " << n << std::endl;
      if (_wcsicmp(n.c_str(), qualified.c_str()) == 0) {
        std::wcout << L"Good - found match in global group" << std::endl;
        return true;
      }
      ++it;
    }
    std::wcout << L"User not in global group " << group << std::endl;
    return false;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& domain_failure) {
    OutputDebugStringA(domain_failure.what());
    return false;
  }
}
