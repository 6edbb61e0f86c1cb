#include "cli/find_command.h"

#include <chrono>
#include <csignal>
#include <iostream>
#include <iterator>
#include <optional>
#include <vector>

#include "cli/access_walk.h"
#include "cli/account_context.h"
#include "cli/report.h"
#include "cli/rights.h"
#include "cli/target.h"
#include "platform/host.h"
#include "security/scoped_platform.h"
#include "security/sized_read.h"

namespace {

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

// A line on standard error about once a second while the walk runs: on a terminal one line
// rewritten in place, elsewhere a line each time.
class Progress {
 public:
  Progress()
      : terminal_(host::StandardErrorIsTerminal()), next_(Clock::now() + std::chrono::seconds(1)) {}
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

bool IsDirectory(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
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

  // Whether the account holds `rights` on `descriptor`: ERROR_SUCCESS, ERROR_ACCESS_DENIED or
  // the code of a check that failed. The walk decides, with the rights everything allowed in
  // `allowed`; AuthzAccessCheck where the walk leaves it to the platform (a conditional entry,
  // a descriptor the walk cannot read).
  DWORD Holds(PSECURITY_DESCRIPTOR descriptor,
              ACCESS_MASK rights,
              std::optional<ACCESS_MASK>& allowed) const {
    const auto walk = WalkAccess(context.subject(), descriptor, rights, nullptr);
    ACCESS_MASK granted = 0;
    if (!walk || walk->conditional)
      return context.Check(descriptor, rights, granted);
    // Every entry was weighed unless the walk stopped before them.
    if (walk->null_dacl)
      allowed = ~ACCESS_MASK{0};
    else if (rights != 0 && walk->result != ERROR_PRIVILEGE_NOT_HELD)
      allowed = walk->allowed;
    return walk->result;
  }

  // Reports the account's answer on `descriptor`; for a directory, whether it may traverse it.
  bool Decide(const std::wstring& path, PSECURITY_DESCRIPTOR descriptor, bool directory) {
    std::optional<ACCESS_MASK> allowed;
    DWORD error = Holds(descriptor, desired, allowed);
    if (error == ERROR_SUCCESS || error == ERROR_ACCESS_DENIED) {
      Report(path, error == ERROR_SUCCESS);
      if (!directory || context.bypasses_traverse())
        return true;
      if (allowed)
        return (*allowed & FILE_TRAVERSE) != 0;
      error = Holds(descriptor, FILE_TRAVERSE, allowed);
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
      const vortiss::ScopedFind listing(find);
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
      // In listing order: the first directory listed is the next one walked.
      pending.insert(pending.end(), std::make_move_iterator(below.rbegin()),
                     std::make_move_iterator(below.rend()));
    }
  }

  // Visits the key `top` and every key below it, each read through its own handle. Keys have
  // no traverse check: a key is reached by its whole path.
  void RunKeys(const Target& top) {
    struct Pending {
      std::wstring shown, subkey;
    };
    std::vector<Pending> pending = {{top.path, top.subkey}};
    while (!pending.empty() && !g_interrupted) {
      const Pending key = std::move(pending.back());
      pending.pop_back();
      ++searched;
      vortiss::ScopedKey opened;
      LSTATUS status = RegOpenKeyExW(top.root, key.subkey.c_str(), 0,
                                     READ_CONTROL | KEY_ENUMERATE_SUB_KEYS, opened.receive());
      if (status != ERROR_SUCCESS) {
        Unreadable(key.shown, static_cast<DWORD>(status));
        continue;
      }
      const SECURITY_INFORMATION information =
          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
      std::vector<BYTE> descriptor;
      status = static_cast<LSTATUS>(
          vortiss::ReadSized(descriptor, [&](BYTE* data, DWORD size, DWORD* needed) -> DWORD {
            *needed = size;
            return static_cast<DWORD>(RegGetKeySecurity(opened.get(), information, data, needed));
          }));
      if (status == ERROR_SUCCESS)
        Decide(key.shown, descriptor.data(), false);
      else
        Unreadable(key.shown, static_cast<DWORD>(status));
      std::vector<Pending> below;
      for (DWORD index = 0; !g_interrupted; ++index) {
        wchar_t name[256];
        DWORD size = 256;
        status =
            RegEnumKeyExW(opened.get(), index, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS)
          break;
        const std::wstring child(name, size);
        below.push_back(
            {key.shown + L"\\" + child, key.subkey.empty() ? child : key.subkey + L"\\" + child});
      }
      opened.reset();
      if (status != ERROR_SUCCESS && status != ERROR_NO_MORE_ITEMS && !g_interrupted)
        Unreadable(key.shown + L"\\*", static_cast<DWORD>(status));
      pending.insert(pending.end(), std::make_move_iterator(below.rbegin()),
                     std::make_move_iterator(below.rend()));
    }
  }
};

}  // namespace

FindCommand::FindCommand(CLI::App& sd)
    : Command(sd.add_subcommand("find",
                                "List every file and directory under ROOT (or key under --key) "
                                "where ACCOUNT holds RIGHTS (--not: lacks them)")) {
  CLI::Option* root = command_->add_option("ROOT", root_, kFileHelp);
  CLI::Option* key = command_->add_option("--key", key_, "A registry key and its subkeys")
                         ->option_text("ROOT\\SUBKEY");
  root->excludes(key);
  command_->add_option("--as", as_, "The account: a name, DOMAIN\\name or S-1-...")
      ->option_text("ACCOUNT")
      ->required();
  command_
      ->add_option("--rights", rights_, "A number (decimal or 0x hex) or SDDL rights (FW, KW, ...)")
      ->option_text("RIGHTS")
      ->required();
  command_->add_flag("--not", lacking_, "List the objects where ACCOUNT lacks RIGHTS instead");
}

int FindCommand::Run() const {
  const auto rights = ParseRights(rights_);
  if (!rights)
    return Usage(L"bad rights " + Quoted(host::WideFromUtf8(rights_)));
  const std::wstring account = host::WideFromUtf8(as_);
  if (account.empty())
    return EmptyAccount();
  if (root_.empty() == key_.empty())
    return Usage(L"give ROOT, or --key ROOT\\SUBKEY");
  std::wstring refusal;
  const auto top = key_.empty() ? Target::File(root_, refusal) : Target::Key(key_, true, refusal);
  if (!top)
    return Usage(refusal);
  try {
    const AccountContext context(account);
    if (!context.valid())
      return Fail(L"cannot make an access context for " + Quoted(account), context.error(),
                  context.error() == ERROR_NONE_MAPPED ? kUsage : kCannotRun);
    InterruptScope interrupt;
    Walk walk(context, *rights, lacking_);
    if (top->kind == Target::Kind::kFile) {
      DWORD error = ERROR_SUCCESS;
      const bool reachable = Reachable(context, *top, error);
      if (error != ERROR_SUCCESS)
        return Fail(L"cannot read a directory above " + top->Describe(), error, kCannotRun);
      walk.Run(top->path, reachable);
    } else {
      walk.RunKeys(*top);
    }
    std::wcout << std::flush;
    walk.progress.Finish();
    if (g_interrupted) {
      Say(L"interrupted after " + std::to_wstring(walk.searched) + L" objects, " +
          std::to_wstring(walk.found) + L" found");
      return kInterrupted;
    }
    return walk.unreadable ? kUnreadable : kDone;
  } catch (const std::exception& e) {
    Say(host::WideFromUtf8(e.what()));
    return kCannotRun;
  }
}
