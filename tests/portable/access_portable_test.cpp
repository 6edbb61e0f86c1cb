// IsUserAllowedAccess on directories the test makes: the answer, the probe file that it leaves
// behind (none), and the paths where it must say no.
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

}  // namespace
