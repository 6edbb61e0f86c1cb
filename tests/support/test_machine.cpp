#include "tests/support/test_machine.h"

#include <iostream>

#include <gtest/gtest.h>

#include "platform/standin/machine/machine.h"
#include "platform/standin/profile/profile.h"

void InstallProfile(std::string_view json) {
  try {
    standin::InstallMachine(standin::ParseProfile(json, "."));
  } catch (const standin::ProfileError& e) {
    FAIL() << "profile refused: " << e.what();
  }
}

TraceCapture::TraceCapture()
    : old_out_(std::wcout.rdbuf(out_.rdbuf())), old_err_(std::wcerr.rdbuf(err_.rdbuf())) {}

TraceCapture::~TraceCapture() {
  std::wcout.rdbuf(old_out_);
  std::wcerr.rdbuf(old_err_);
}

std::vector<std::wstring> TraceCapture::Lines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}
