// Test and benchmark support: the library's trace sent to /dev/null through the same kind of
// buffer the standard wide streams use when synchronized with stdio, so that writes from many
// threads at once are as safe as on the real std::wcout and std::wcerr.
#pragma once

#include <cstdio>
#include <iostream>

#include <ext/stdio_sync_filebuf.h>

class DiscardedTrace {
 public:
  DiscardedTrace()
      : file_(std::fopen("/dev/null", "w")),
        buffer_(file_),
        old_out_(std::wcout.rdbuf(&buffer_)),
        old_err_(std::wcerr.rdbuf(&buffer_)) {}
  ~DiscardedTrace() {
    std::wcout.rdbuf(old_out_);
    std::wcerr.rdbuf(old_err_);
    std::fclose(file_);
  }
  DiscardedTrace(const DiscardedTrace&) = delete;
  DiscardedTrace& operator=(const DiscardedTrace&) = delete;

 private:
  std::FILE* file_;
  __gnu_cxx::stdio_sync_filebuf<wchar_t> buffer_;
  std::wstreambuf* old_out_;
  std::wstreambuf* old_err_;
};
