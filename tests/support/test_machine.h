// Test support: machines installed from profile text, and the library's trace captured.
#pragma once

#include <iosfwd>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

// Installs the machine that `json` (a machine profile) describes; fails the test if refused.
void InstallProfile(std::string_view json);

// Captures what is written to std::wcout and std::wcerr while it lives.
class TraceCapture {
 public:
  TraceCapture();
  ~TraceCapture();
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  std::wstring out() const { return out_.str(); }
  std::wstring err() const { return err_.str(); }
  std::vector<std::wstring> out_lines() const { return Lines(out_.str()); }
  std::vector<std::wstring> err_lines() const { return Lines(err_.str()); }

  static std::vector<std::wstring> Lines(const std::wstring& text);

 private:
  std::wostringstream out_;
  std::wostringstream err_;
  std::wstreambuf* old_out_;
  std::wstreambuf* old_err_;
};
