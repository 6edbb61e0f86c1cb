// IsUserAllowedAccess on directories the test makes: the answer, the probe file that it leaves
// behind (none), and the paths where it must say no.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "checks/exports.h"
#include "tests/portable/platform_facts.h"

namespace {

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

TEST(AccessExport, OwnScratchDirectoryIsWritableAndNoProbeIsLeft) {
  portable::ScratchDirectory scratch;
  for (const std::wstring& path : {scratch.path() + L"\\", scratch.path() + L"\\some-file.txt"}) {
    portable::TraceCapture trace;
    EXPECT_TRUE(IsUserAllowedAccess(path.c_str()));
    EXPECT_FALSE(Exists(scratch.path() + L"\\test.txt"));
  }
}

TEST(AccessExport, ProbeLeavesSomeoneElsesFileAlone) {
  portable::ScratchDirectory scratch;
  const std::wstring existing = scratch.path() + L"\\test.txt";
  const HANDLE file = CreateFileW(existing.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  portable::TraceCapture trace;
  EXPECT_TRUE(IsUserAllowedAccess((scratch.path() + L"\\").c_str()));
  EXPECT_TRUE(Exists(existing));
}

TEST(AccessExport, NoPathOrAMissingDirectoryIsNo) {
  portable::ScratchDirectory scratch;
  portable::TraceCapture trace;
  EXPECT_FALSE(IsUserAllowedAccess(nullptr));
  EXPECT_FALSE(IsUserAllowedAccess((scratch.path() + L"\\absent\\").c_str()));
  EXPECT_FALSE(Exists(scratch.path() + L"\\absent"));
}

// Callers that read the whole return register as an integer (NSIS's `i`, a BOOL prototype) see
// the same 0 or 1 as those that read the one-byte boolean.
TEST(AccessExport, EveryAnswerFillsTheWholeReturnRegister) {
  // Through void (*)(), the type a function pointer may be converted through freely.
  using Untyped = void (*)();
  using WideAdministrator = std::intptr_t(WINAPIV*)();
  using WideAccess = std::intptr_t(WINAPIV*)(const wchar_t*);
  const auto administrator =
      reinterpret_cast<WideAdministrator>(reinterpret_cast<Untyped>(&IsUserAdministrator));
  const auto access = reinterpret_cast<WideAccess>(reinterpret_cast<Untyped>(&IsUserAllowedAccess));
  portable::ScratchDirectory scratch;
  portable::TraceCapture trace;
  const std::intptr_t admin = administrator();
  EXPECT_TRUE(admin == 0 || admin == 1) << admin;
  EXPECT_EQ(admin, IsUserAdministrator() ? 1 : 0);
  const std::wstring writable = scratch.path() + L"\\";
  const std::wstring missing = scratch.path() + L"\\absent\\file";
  EXPECT_EQ(access(writable.c_str()), 1);
  EXPECT_EQ(access(missing.c_str()), 0);
  EXPECT_EQ(access(nullptr), 0);
}

}  // namespace
