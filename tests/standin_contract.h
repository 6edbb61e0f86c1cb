// Shared pieces of the stand-in's contract tests: a fixture that installs a fresh machine per
// case and checks that the case released every platform buffer and handle, and SID helpers.
#pragma once

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "platform/standin/machine/machine.h"
#include "platform/win32.h"
#include "tests/portable/platform_facts.h"
#include "tests/support/test_machine.h"

using portable::AllBytesAre;
using portable::kSentinelError;

class StandinTest : public ::testing::Test {
 protected:
  // The profile each case starts from.
  virtual std::string_view Profile() const { return "{}"; }

  void SetUp() override { InstallProfile(Profile()); }

  void TearDown() override {
    const auto live = standin::LiveResourcesNow();
    EXPECT_EQ(live.net_api_buffers, 0u) << "NetApi buffers leaked";
    EXPECT_EQ(live.local_buffers, 0u) << "LocalAlloc buffers leaked";
    EXPECT_EQ(live.sids, 0u) << "SIDs leaked";
    EXPECT_EQ(live.handles, 0u) << "handles leaked";
  }
};

// The bytes of the SID that `text` (S-1-... or an SDDL alias) denotes; empty when refused.
inline std::vector<BYTE> SidBytes(const wchar_t* text) {
  PSID sid = nullptr;
  if (!ConvertStringSidToSidW(text, &sid))
    return {};
  std::vector<BYTE> bytes(static_cast<const BYTE*>(sid),
                          static_cast<const BYTE*>(sid) + GetLengthSid(sid));
  LocalFree(sid);
  return bytes;
}

// The string form of a SID; empty when refused.
inline std::wstring SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text))
    return {};
  std::wstring result(text);
  LocalFree(text);
  return result;
}

// The SID that LookupAccountNameW gives for `name` on the local computer; empty when none.
inline std::vector<BYTE> SidOfAccount(const wchar_t* name) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sid_bytes = sizeof(sid);
  wchar_t domain[256];
  DWORD domain_chars = 256;
  SID_NAME_USE use;
  if (!LookupAccountNameW(nullptr, name, sid, &sid_bytes, domain, &domain_chars, &use))
    return {};
  return std::vector<BYTE>(sid, sid + sid_bytes);
}
