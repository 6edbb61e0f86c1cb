// The host boundary as the stand-in plays it: profiles checked before the library runs,
// POSIX paths on the drive of the host's root, UTF-8 streams that keep a host name's own bytes,
// the library by dlopen, and advisory locks between editors.
#include "platform/host.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <langinfo.h>
#include <limits.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <new>
#include <streambuf>
#include <vector>

#include "platform/standin/core/text.h"
#include "platform/standin/files/volumes.h"
#include "platform/standin/machine/machine.h"

namespace host {

namespace {

namespace fs = std::filesystem;

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

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    const size_t slash = path.find('/', start);
    const size_t end = slash == std::string::npos ? path.size() : slash;
    if (end > start)
      parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// The directory as the kernel reaches it, links resolved; nothing when it cannot be reached.
std::optional<std::vector<std::string>> Resolved(const std::vector<std::string>& directory) {
  std::string text = "/";
  for (const auto& part : directory)
    text += part + "/";
  char* real = ::realpath(text.c_str(), nullptr);
  if (!real)
    return std::nullopt;
  const std::string resolved = real;
  std::free(real);
  return Components(resolved);
}

// The drive of the host's root, as the stand-in's volumes name it when no profile maps it.
const std::wstring& HostRootDrive() {
  static const std::wstring drive = [] {
    const standin::VolumeTable volumes{standin::MachineDescription{}};
    return std::wstring(1, volumes.volumes().front().letter) + L":";
  }();
  return drive;
}

}  // namespace

std::wstring PreparePlatform(const std::string& machine, const std::string& debug_log) {
  std::string profile = machine;
  if (profile.empty()) {
    if (const char* inherited = std::getenv("VORTISS_MACHINE"))
      profile = inherited;
  }
  if (!profile.empty()) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(profile, ec);
    try {
      standin::CheckProfile(absolute);
    } catch (const standin::ProfileError& e) {
      return L"machine profile " + WideFromUtf8(profile) + L" refused: " + WideFromUtf8(e.what());
    } catch (const std::bad_alloc&) {
      return L"machine profile " + WideFromUtf8(profile) +
             L" refused: out of memory while reading it";
    }
    setenv("VORTISS_MACHINE", absolute.c_str(), 1);
  }
  if (!debug_log.empty()) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(debug_log, ec);
    // The log is opened as the library will open it, without waiting on a FIFO that nobody
    // reads; a path it cannot append to is refused now rather than ignored later.
    const int log =
        ::open(absolute.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (ec || log < 0) {
      const int error = ec ? ec.value() : errno;
      return L"cannot append the debugger output to " + WideFromUtf8(debug_log) + L": " +
             WideFromUtf8(std::strerror(error));
    }
    ::close(log);
    setenv("VORTISS_DEBUG_LOG", absolute.c_str(), 1);
  }
  return {};
}

void UseConsoleLocale() {
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
}

std::wstring WideFromUtf8(const std::string& text) {
  return standin::Utf8ToWide(text);
}

bool StandardErrorIsTerminal() {
  return isatty(STDERR_FILENO) != 0;
}

std::optional<std::wstring> WindowsPathOf(const std::string& path, std::wstring& refusal) {
  const bool windows_form =
      (path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':') ||
      (!path.empty() && path[0] == '\\');
  if (path.empty() || windows_form)
    return WideFromUtf8(path);
  std::string absolute = path;
  if (absolute[0] != '/') {
    std::error_code ec;
    absolute = fs::current_path(ec).string() + "/" + absolute;
  }
  const bool trailing_separator = absolute.back() == '/';
  std::vector<std::string> parts = Components(absolute);
  // The last name is looked up as it is; "." and ".." belong to the directory.
  std::optional<std::string> name;
  if (!trailing_separator && !parts.empty() && parts.back() != "." && parts.back() != "..") {
    name = parts.back();
    parts.pop_back();
  }
  // The longest part of the directory the kernel can reach is resolved; below it nothing
  // exists, so "." and ".." there lead nowhere, and are left out rather than undone as text.
  std::vector<std::string> directory;
  size_t reached = parts.size();
  while (true) {
    const std::vector<std::string> head(parts.begin(), parts.begin() + reached);
    if (auto resolved = Resolved(head)) {
      directory = std::move(*resolved);
      break;
    }
    if (reached == 0)
      break;
    --reached;
  }
  for (size_t i = reached; i < parts.size(); ++i) {
    if (parts[i] != "." && parts[i] != "..")
      directory.push_back(parts[i]);
  }
  if (name)
    directory.push_back(*name);

  bool verbatim = false;
  std::wstring windows = HostRootDrive();
  for (const auto& part : directory) {
    const std::wstring wide = WideFromUtf8(part);
    if (wide.find(L'\\') != std::wstring::npos) {
      refusal = L"'" + WideFromUtf8(path) + L"' holds the name '" + wide +
                L"': Windows cannot spell a backslash in a name";
      return std::nullopt;
    }
    verbatim = verbatim || wide.back() == L'.' || wide.back() == L' ';
    windows += L"\\" + wide;
  }
  if (directory.empty() || trailing_separator)
    windows += L"\\";
  return verbatim ? L"\\\\?\\" + windows : windows;
}

struct Library::Loaded {
  explicit Loaded(void* opened) : handle(opened) {}
  Loaded(const Loaded&) = delete;
  Loaded& operator=(const Loaded&) = delete;
  ~Loaded() { dlclose(handle); }
  void* handle;
};

Library::Library() {
  std::string file;
  if (const char* explicit_path = std::getenv("VORTISS_LIBRARY"); explicit_path && *explicit_path) {
    file = explicit_path;
  } else {
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    file = "libvortiss.so";
    if (length > 0) {
      const std::string path(self, static_cast<size_t>(length));
      file = path.substr(0, path.rfind('/') + 1) + file;
    }
  }
  if (void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    loaded_ = std::make_unique<Loaded>(handle);
  } else {
    const char* why = dlerror();
    error_ = WideFromUtf8(why ? why : ("cannot load " + file).c_str());
  }
}

Library::~Library() = default;

void* Library::Export(const char* name) const {
  return loaded_ ? dlsym(loaded_->handle, name) : nullptr;
}

// The host's editors share an advisory lock on the object's file, or on the registry
// database's lock file.
struct EditLock::Held {
  standin::HostLock lock;
};

EditLock::EditLock() = default;
EditLock::~EditLock() = default;

DWORD EditLock::LockFile(const std::wstring& path) {
  held_ = std::make_unique<Held>();
  return standin::LockFileForEdit(path, held_->lock);
}

DWORD EditLock::LockRegistry() {
  held_ = std::make_unique<Held>();
  return standin::LockRegistryForEdit(held_->lock);
}

}  // namespace host
