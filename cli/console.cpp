#include "cli/console.h"

#include <clocale>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <langinfo.h>

#include <cstdio>
#include <iostream>
#include <streambuf>

#include "platform/standin/core/text.h"
#endif

#ifndef _WIN32
namespace {

// A wide stream's text written to a C stream as UTF-8, the bytes a host name was read from
// written back as they were: a name that is not UTF-8 is printed as the host holds it, where
// the locale's conversion would fail and silence the stream.
class HostTextBuffer : public std::wstreambuf {
 public:
  HostTextBuffer(std::wostream& stream, FILE* target)
      : stream_(stream), target_(target), previous_(stream.rdbuf(this)) {}
  ~HostTextBuffer() override {
    sync();
    stream_.rdbuf(previous_);
  }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof()))
      return traits_type::not_eof(c);
    const wchar_t w = traits_type::to_char_type(c);
    return Write(&w, 1) ? c : traits_type::eof();
  }
  std::streamsize xsputn(const wchar_t* text, std::streamsize count) override {
    return Write(text, static_cast<size_t>(count)) ? count : 0;
  }
  int sync() override { return std::fflush(target_) == 0 ? 0 : -1; }

 private:
  bool Write(const wchar_t* text, size_t count) {
    const std::string bytes = standin::WideToUtf8(std::wstring_view(text, count));
    return std::fwrite(bytes.data(), 1, bytes.size(), target_) == bytes.size();
  }

  std::wostream& stream_;
  FILE* target_;
  std::wstreambuf* previous_;
};

}  // namespace
#endif

void UseConsoleLocale() {
#ifdef _WIN32
  // The wide streams write UTF-16 text to the console and UTF-8 elsewhere.
  std::setlocale(LC_ALL, ".UTF-8");
#else
  if (!std::setlocale(LC_ALL, ""))
    std::setlocale(LC_ALL, "C");
  // In the plain C locale the wide streams fail on the first non-ASCII name.
  const char* codeset = nl_langinfo(CODESET);
  if (std::strcmp(codeset, "UTF-8") != 0 && std::strcmp(codeset, "utf8") != 0) {
    if (!std::setlocale(LC_CTYPE, "C.UTF-8"))
      std::setlocale(LC_CTYPE, "en_US.UTF-8");
  }
  // They last until the end of the program and then hand the streams back.
  static HostTextBuffer out(std::wcout, stdout);
  static HostTextBuffer err(std::wcerr, stderr);
#endif
}

std::wstring WideFromUtf8(const std::string& text) {
#ifdef _WIN32
  if (text.empty())
    return {};
  const int chars =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(chars), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), chars);
  return wide;
#else
  return standin::Utf8ToWide(text);
#endif
}
