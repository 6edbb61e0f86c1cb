#include "cli/find_command.h"

#include <chrono>
#include <csignal>
#include <cwctype>
#include <optional>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "cli/console.h"
#include "cli/effective_access.h"
#include "cli/rights.h"
#include "cli/windows_path.h"

namespace {

constexpr int kDone = 0;
constexpr int kUnreadable = 1;
constexpr int kUsage = 2;
constexpr int kCannotRun = 3;
constexpr int kInterrupted = 130;  // as a shell reports a program that SIGINT ended

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) {
  g_interrupted = 1;
}

// Catches Ctrl-C while it lives, so that the walk ends between two objects.
class InterruptScope {
 public:
  InterruptScope() {
    g_interrupted = 0;
    previous_ = std::signal(SIGINT, OnInterrupt);
  }
  ~InterruptScope() { std::signal(SIGINT, previous_ == SIG_ERR ? SIG_DFL : previous_); }
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  void (*previous_)(int) = SIG_DFL;
};

bool StderrIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

// A line on standard error about once a second while the walk runs: on a terminal one line
// rewritten in place, elsewhere a line each time.
class Progress {
 public:
  Progress() : terminal_(StderrIsTerminal()), next_(Clock::now() + std::chrono::seconds(1)) {}
  ~Progress() { Finish(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Tick(unsigned long long searched, unsigned long long found) {
    if ((searched & 0xff) != 0 || Clock::now() < next_)
      return;
    next_ = Clock::now() + std::chrono::seconds(1);
    std::wcout << std::flush;
    std::wcerr << (terminal_ ? L"\r" : L"") << L"vortiss: " << searched << L" objects searched, "
               << found << L" found" << (terminal_ ? L"\x1b[K" : L"\n") << std::flush;
    shown_ = true;
  }

  // Clears the line on a terminal, so that what follows starts on a line of its own.
  void Finish() {
    if (shown_ && terminal_)
      std::wcerr << L"\r\x1b[K" << std::flush;
    shown_ = false;
  }

 private:
  using Clock = std::chrono::steady_clock;
  bool terminal_;
  bool shown_ = false;
  Clock::time_point next_;
};

// A key as given (ROOT\\SUBKEY): its root, and its subkey below the root.
struct KeyName {
  HKEY root = nullptr;
  std::wstring shown, subkey;
};

bool SameLetters(const std::wstring& a, const wchar_t* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    if (std::towupper(a[i]) != std::towupper(b[i]))
      return false;
  }
  return i == a.size() && !b[i];
}

// HKLM, HKCU or their long names in any case, then an optional subkey.
bool ParseKeyName(std::wstring text, KeyName& key) {
  while (!text.empty() && text.back() == L'\\')
    text.pop_back();
  const size_t slash = text.find(L'\\');
  const std::wstring root = text.substr(0, slash);
  key.subkey = slash == std::wstring::npos ? std::wstring() : text.substr(slash + 1);
  if (SameLetters(root, L"HKLM") || SameLetters(root, L"HKEY_LOCAL_MACHINE"))
    key.root = HKEY_LOCAL_MACHINE;
  else if (SameLetters(root, L"HKCU") || SameLetters(root, L"HKEY_CURRENT_USER"))
    key.root = HKEY_CURRENT_USER;
  else
    return false;
  key.shown = text;
  return true;
}

struct Walk {
  Walk(const AccountContext& account, ACCESS_MASK rights, bool lacks)
      : context(account), desired(rights), lacking(lacks) {}

  const AccountContext& context;
  ACCESS_MASK desired;
  bool lacking;
  unsigned long long searched = 0;
  unsigned long long found = 0;
  unsigned long long unreadable = 0;
  Progress progress;

  // Prints `path` when the account's answer is the one asked for; `reachable` says whether the
  // account may pass through the directories above it. Returns whether, as a directory, it lets
  // the account reach what lies below it.
  bool Visit(const std::wstring& path, bool reachable, bool directory) {
    ++searched;
    if (!reachable) {
      Report(path, false);
      return false;
    }
    ObjectDescriptor descriptor;
    const DWORD error = descriptor.Read(path, SE_FILE_OBJECT);
    if (error != ERROR_SUCCESS) {
      Unreadable(path, error);
      return false;
    }
    return Decide(path, descriptor.get(), directory);
  }

  // Reports the account's answer on `descriptor`; for a directory, whether it may traverse it.
  bool Decide(const std::wstring& path, PSECURITY_DESCRIPTOR descriptor, bool directory) {
    ACCESS_MASK granted = 0;
    DWORD error = context.Check(descriptor, desired, granted);
    if (error == ERROR_SUCCESS || error == ERROR_ACCESS_DENIED) {
      Report(path, error == ERROR_SUCCESS);
      if (!directory || context.bypasses_traverse())
        return true;
      error = context.Check(descriptor, FILE_TRAVERSE, granted);
      if (error == ERROR_SUCCESS || error == ERROR_ACCESS_DENIED)
        return error == ERROR_SUCCESS;
    }
    Unreadable(path, error);
    return false;
  }

  void Report(const std::wstring& path, bool holds) {
    if (holds != lacking) {
      ++found;
      std::wcout << path << L'\n';
    }
    progress.Tick(searched, found);
  }

  void Unreadable(const std::wstring& path, DWORD error) {
    ++unreadable;
    std::wcout << L"unreadable: " << path << L": error " << error << L'\n';
    progress.Tick(searched, found);
  }

  // Visits `root` and everything below it, directory by directory, each object once; whether
  // the account reaches an object is carried down from its directory, never read again.
  void Run(const std::wstring& root, bool root_reachable) {
    const bool root_directory = IsDirectory(GetFileAttributesW(root.c_str()));
    struct Pending {
      std::wstring path;
      bool reachable;  // the account reaches what is listed in it
    };
    std::vector<Pending> pending;
    const bool through = Visit(root, root_reachable, root_directory);
    if (root_directory)
      pending.push_back({root, through});
    while (!pending.empty() && !g_interrupted) {
      const Pending directory = std::move(pending.back());
      pending.pop_back();
      const std::wstring prefix = directory.path.empty() || directory.path.back() != L'\\'
                                      ? directory.path + L'\\'
                                      : directory.path;
      WIN32_FIND_DATAW data;
      const HANDLE find = FindFirstFileW((prefix + L'*').c_str(), &data);
      if (find == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND)
          Unreadable(prefix + L'*', error);
        continue;
      }
      std::vector<Pending> below;
      do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
          continue;
        const std::wstring path = prefix + name;
        // A link to a directory is not followed, so that no loop can hold the walk.
        const bool walk_into = IsDirectory(data.dwFileAttributes) &&
                               !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
        const bool through = Visit(path, directory.reachable, walk_into);
        if (walk_into)
          below.push_back({path, through});
      } while (!g_interrupted && FindNextFileW(find, &data));
      FindClose(find);
      // In listing order: the first directory listed is the next one walked.
      pending.insert(pending.end(), std::make_move_iterator(below.rbegin()),
                     std::make_move_iterator(below.rend()));
    }
  }

  // Visits the key `shown` (ROOT\\SUBKEY as given) and every key below it, each read through
  // its own handle. Keys have no traverse check: a key is reached by its whole path.
  void RunKeys(HKEY root, const std::wstring& shown, std::wstring subkey) {
    struct Pending {
      std::wstring shown, subkey;
    };
    std::vector<Pending> pending = {{shown, std::move(subkey)}};
    while (!pending.empty() && !g_interrupted) {
      const Pending key = std::move(pending.back());
      pending.pop_back();
      ++searched;
      HKEY opened = nullptr;
      LSTATUS status = RegOpenKeyExW(root, key.subkey.c_str(), 0,
                                     READ_CONTROL | KEY_ENUMERATE_SUB_KEYS, &opened);
      if (status != ERROR_SUCCESS) {
        Unreadable(key.shown, static_cast<DWORD>(status));
        continue;
      }
      const SECURITY_INFORMATION information =
          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
      DWORD length = 0;
      std::vector<BYTE> descriptor;
      status = RegGetKeySecurity(opened, information, nullptr, &length);
      if (status == ERROR_INSUFFICIENT_BUFFER) {
        descriptor.resize(length);
        status = RegGetKeySecurity(opened, information, descriptor.data(), &length);
      }
      if (status == ERROR_SUCCESS)
        Decide(key.shown, descriptor.data(), false);
      else
        Unreadable(key.shown, static_cast<DWORD>(status));
      std::vector<Pending> below;
      for (DWORD index = 0; !g_interrupted; ++index) {
        wchar_t name[256];
        DWORD size = 256;
        status = RegEnumKeyExW(opened, index, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS)
          break;
        const std::wstring child(name, size);
        below.push_back(
            {key.shown + L"\\" + child, key.subkey.empty() ? child : key.subkey + L"\\" + child});
      }
      RegCloseKey(opened);
      if (status != ERROR_SUCCESS && status != ERROR_NO_MORE_ITEMS && !g_interrupted)
        Unreadable(key.shown + L"\\*", static_cast<DWORD>(status));
      pending.insert(pending.end(), std::make_move_iterator(below.rbegin()),
                     std::make_move_iterator(below.rend()));
    }
  }

  static bool IsDirectory(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  }
};

}  // namespace

FindCommand::FindCommand(CLI::App& app) {
  CLI::App* sd = app.get_subcommand("sd");
  find_ = sd->add_subcommand("find",
                             "List every file and directory under ROOT (or key under --key) where "
                             "ACCOUNT holds RIGHTS (--not: lacks them)");
  CLI::Option* root =
      find_->add_option("ROOT", root_, "A file or directory; a POSIX path becomes Z:\\...");
  CLI::Option* key = find_->add_option("--key", key_, "A registry key and its subkeys")
                         ->option_text("ROOT\\SUBKEY");
  root->excludes(key);
  find_->add_option("--as", as_, "The account: a name, DOMAIN\\name or S-1-...")
      ->option_text("ACCOUNT")
      ->required();
  find_
      ->add_option("--rights", rights_, "A number (decimal or 0x hex) or SDDL rights (FW, KW, ...)")
      ->option_text("RIGHTS")
      ->required();
  find_->add_flag("--not", lacking_, "List the objects where ACCOUNT lacks RIGHTS instead");
}

bool FindCommand::parsed() const {
  return find_->parsed();
}

int FindCommand::Run() const {
  const auto rights = ParseRights(rights_);
  if (!rights) {
    std::wcerr << L"vortiss: bad rights '" << WideFromUtf8(rights_) << L"'" << std::endl;
    return kUsage;
  }
  const std::wstring account = WideFromUtf8(as_);
  if (account.empty()) {
    std::wcerr << L"vortiss: an empty ACCOUNT names no one: give a name such as 'Everyone'"
               << std::endl;
    return kUsage;
  }
  if (root_.empty() == key_.empty()) {
    std::wcerr << L"vortiss: give ROOT, or --key ROOT\\SUBKEY" << std::endl;
    return kUsage;
  }
  std::optional<std::wstring> root;
  KeyName key;
  if (!key_.empty()) {
    if (!ParseKeyName(WideFromUtf8(key_), key)) {
      std::wcerr << L"vortiss: unknown registry root in '" << WideFromUtf8(key_)
                 << L"': give HKLM, HKCU, HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER" << std::endl;
      return kUsage;
    }
  } else {
    std::wstring refusal;
    root = ToWindowsPath(root_, refusal);
    if (!root) {
      std::wcerr << L"vortiss: " << refusal << std::endl;
      return kUsage;
    }
  }
  try {
    const AccountContext context(account);
    if (!context.valid()) {
      std::wcerr << L"vortiss: cannot make an access context for '" << account << L"': error "
                 << context.error() << std::endl;
      return context.error() == ERROR_NONE_MAPPED ? kUsage : kCannotRun;
    }
    InterruptScope interrupt;
    Walk walk(context, *rights, lacking_);
    if (root) {
      DWORD error = ERROR_SUCCESS;
      const bool reachable = Reachable(context, *root, error);
      if (error != ERROR_SUCCESS) {
        std::wcerr << L"vortiss: cannot read a directory above '" << *root << L"': error " << error
                   << std::endl;
        return kCannotRun;
      }
      walk.Run(*root, reachable);
    } else {
      walk.RunKeys(key.root, key.shown, key.subkey);
    }
    std::wcout << std::flush;
    walk.progress.Finish();
    if (g_interrupted) {
      std::wcerr << L"vortiss: interrupted after " << walk.searched << L" objects, " << walk.found
                 << L" found" << std::endl;
      return kInterrupted;
    }
    return walk.unreadable ? kUnreadable : kDone;
  } catch (const std::exception& e) {
    std::wcout << std::flush;
    std::wcerr << L"vortiss: " << WideFromUtf8(e.what()) << std::endl;
    return kCannotRun;
  }
}
