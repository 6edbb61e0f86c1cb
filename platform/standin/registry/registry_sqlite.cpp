// The host's registry in a SQLite database. Each write is one IMMEDIATE transaction, so that
// other processes see it whole or not at all; the WAL journal with synchronous FULL keeps every
// committed write when a process dies, and lets readers go on while another process writes.
// Nothing is written before the first write: the schema comes with it, so that a database this
// process may only read is read as it is. A database that is damaged, or holds what is no
// registry, is reported and left untouched. The connection belongs to the process that opened
// it: a forked child opens its own.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "platform/standin/core/text.h"
#include "platform/standin/files/host_errors.h"
#include "platform/standin/registry/registry_backend.h"

namespace standin {

namespace {

constexpr int kBusyTimeoutMs = 30000;

constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS reg_keys("
    "  path TEXT PRIMARY KEY, parent TEXT NOT NULL, name TEXT NOT NULL, sd BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS reg_keys_parent ON reg_keys(parent);"
    "CREATE TABLE IF NOT EXISTS reg_values("
    "  key TEXT NOT NULL, uname TEXT NOT NULL, name TEXT NOT NULL, type INTEGER NOT NULL,"
    "  data BLOB NOT NULL, PRIMARY KEY(key, uname));";

// Statements that read every column the registry uses: they prepare only on its own layout.
constexpr const char* kLayoutProbes[] = {
    "SELECT path, parent, name, sd FROM reg_keys LIMIT 0",
    "SELECT key, uname, name, type, data FROM reg_values LIMIT 0",
};

// A failed SQLite call: its result code, the host's errno behind it, and SQLite's own text.
struct SqliteFailure {
  int code;
  int system_error;
  std::string message;
};

SqliteFailure FailureOf(sqlite3* db, int code) {
  return {code, db ? sqlite3_system_errno(db) : 0, db ? sqlite3_errmsg(db) : sqlite3_errstr(code)};
}

// The registry's code for a failed SQLite call.
DWORD RegistryError(const SqliteFailure& failure) {
  switch (failure.code & 0xFF) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
    case SQLITE_ERROR:  // a statement that does not fit the database's layout
      return ERROR_BADDB;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ERROR_LOCK_VIOLATION;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return ERROR_ACCESS_DENIED;
    case SQLITE_FULL:
      return ERROR_DISK_FULL;
    case SQLITE_NOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_CANTOPEN:
      if (failure.system_error == EACCES || failure.system_error == EPERM)
        return HostError(failure.system_error);
      return ERROR_REGISTRY_IO_FAILED;
    default:
      return ERROR_REGISTRY_IO_FAILED;
  }
}

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (const int rc = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); rc != SQLITE_OK)
      throw FailureOf(db, rc);
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Text(int index, const std::wstring& text) {
    const std::string utf8 = WideToUtf8(text);
    Check(sqlite3_bind_text(stmt_, index, utf8.data(), static_cast<int>(utf8.size()),
                            SQLITE_TRANSIENT));
    return *this;
  }
  Statement& Blob(int index, const std::vector<BYTE>& bytes) {
    // An empty vector still binds a (zero-length) blob, never NULL.
    static const BYTE kNothing = 0;
    Check(sqlite3_bind_blob(stmt_, index, bytes.empty() ? &kNothing : bytes.data(),
                            static_cast<int>(bytes.size()), SQLITE_TRANSIENT));
    return *this;
  }
  Statement& Int(int index, DWORD value) {
    Check(sqlite3_bind_int64(stmt_, index, value));
    return *this;
  }

  // True while a row is there.
  bool Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW)
      return true;
    if (rc == SQLITE_DONE)
      return false;
    throw FailureOf(sqlite3_db_handle(stmt_), rc);
  }

  std::wstring ColumnText(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    const int bytes = sqlite3_column_bytes(stmt_, column);
    return text ? Utf8ToWide(std::string_view(text, static_cast<size_t>(bytes))) : std::wstring();
  }
  std::vector<BYTE> ColumnBlob(int column) const {
    const auto* data = static_cast<const BYTE*>(sqlite3_column_blob(stmt_, column));
    const int bytes = sqlite3_column_bytes(stmt_, column);
    return data ? std::vector<BYTE>(data, data + bytes) : std::vector<BYTE>();
  }
  DWORD ColumnInt(int column) const {
    return static_cast<DWORD>(sqlite3_column_int64(stmt_, column));
  }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK)
      throw FailureOf(sqlite3_db_handle(stmt_), rc);
  }
  sqlite3_stmt* stmt_ = nullptr;
};

class SqliteTransaction : public RegistryTransaction {
 public:
  explicit SqliteTransaction(sqlite3* db) : db_(db) {}

  bool HasKey(const std::wstring& path) override {
    Statement s(db_, "SELECT 1 FROM reg_keys WHERE path = ?1");
    s.Text(1, path);
    return s.Step();
  }

  DWORD Key(const std::wstring& path, RegistryKeyRecord& key) override {
    Statement s(db_, "SELECT name, sd FROM reg_keys WHERE path = ?1");
    s.Text(1, path);
    if (!s.Step())
      return ERROR_FILE_NOT_FOUND;
    // The bytes come from a file: checked within their length, or the hive is damaged.
    const std::vector<BYTE> bytes = s.ColumnBlob(1);
    DescriptorParts parts;
    if (ReadSelfRelative(bytes.data(), bytes.size(), parts) != ERROR_SUCCESS)
      return ERROR_BADDB;
    key = {s.ColumnText(0), OwnedDescriptor::From(parts)};
    return ERROR_SUCCESS;
  }

  std::vector<std::wstring> Subkeys(const std::wstring& path) override {
    Statement s(db_, "SELECT path FROM reg_keys WHERE parent = ?1 ORDER BY path");
    s.Text(1, path);
    std::vector<std::wstring> out;
    while (s.Step())
      out.push_back(s.ColumnText(0));
    return out;
  }

  void PutKey(const std::wstring& path,
              const std::wstring& parent,
              const RegistryKeyRecord& key) override {
    Statement s(db_, "INSERT OR REPLACE INTO reg_keys(path, parent, name, sd) VALUES(?1,?2,?3,?4)");
    s.Text(1, path).Text(2, parent).Text(3, key.name).Blob(4, key.sd.SelfRelative()).Step();
  }

  void RemoveKey(const std::wstring& path) override {
    Statement(db_, "DELETE FROM reg_values WHERE key = ?1").Text(1, path).Step();
    Statement(db_, "DELETE FROM reg_keys WHERE path = ?1").Text(1, path).Step();
  }

  std::optional<RegistryValue> Value(const std::wstring& path, const std::wstring& name) override {
    Statement s(db_, "SELECT name, type, data FROM reg_values WHERE key = ?1 AND uname = ?2");
    s.Text(1, path).Text(2, UpperCase(name));
    if (!s.Step())
      return std::nullopt;
    return RegistryValue{s.ColumnText(0), s.ColumnInt(1), s.ColumnBlob(2)};
  }

  void PutValue(const std::wstring& path, const RegistryValue& value) override {
    Statement s(db_,
                "INSERT OR REPLACE INTO reg_values(key, uname, name, type, data) "
                "VALUES(?1,?2,?3,?4,?5)");
    s.Text(1, path).Text(2, UpperCase(value.name)).Text(3, value.name).Int(4, value.type);
    s.Blob(5, value.data).Step();
  }

  bool RemoveValue(const std::wstring& path, const std::wstring& name) override {
    Statement(db_, "DELETE FROM reg_values WHERE key = ?1 AND uname = ?2")
        .Text(1, path)
        .Text(2, UpperCase(name))
        .Step();
    return sqlite3_changes(db_) > 0;
  }

 private:
  sqlite3* db_;
};

// A database that holds nothing yet, as a reader sees it: no keys, no values.
class EmptyTransaction : public RegistryTransaction {
 public:
  bool HasKey(const std::wstring&) override { return false; }
  DWORD Key(const std::wstring&, RegistryKeyRecord&) override { return ERROR_FILE_NOT_FOUND; }
  std::vector<std::wstring> Subkeys(const std::wstring&) override { return {}; }
  void PutKey(const std::wstring&, const std::wstring&, const RegistryKeyRecord&) override {}
  void RemoveKey(const std::wstring&) override {}
  std::optional<RegistryValue> Value(const std::wstring&, const std::wstring&) override {
    return std::nullopt;
  }
  void PutValue(const std::wstring&, const RegistryValue&) override {}
  bool RemoveValue(const std::wstring&, const std::wstring&) override { return false; }
};

void Execute(sqlite3* db, const char* sql) {
  if (const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr); rc != SQLITE_OK)
    throw FailureOf(db, rc);
}

// What the database holds: nothing yet, the registry's tables, or something else.
enum class Layout { kEmpty, kRegistry };

Layout ReadLayout(sqlite3* db) {
  std::set<std::string> tables;
  Statement s(db, "SELECT name FROM sqlite_master WHERE type = 'table'");
  while (s.Step())
    tables.insert(WideToUtf8(s.ColumnText(0)));
  if (tables.empty())
    return Layout::kEmpty;
  if (!tables.count("reg_keys") || !tables.count("reg_values"))
    throw SqliteFailure{SQLITE_FORMAT, 0, "the database holds tables of another program"};
  for (const char* probe : kLayoutProbes)
    Statement(db, probe);
  return Layout::kRegistry;
}

class SqliteRegistry : public RegistryBackend {
 public:
  explicit SqliteRegistry(std::filesystem::path file) : file_(std::move(file)) {}

  ~SqliteRegistry() override {
    // A connection inherited through fork belongs to the parent.
    if (db_ && pid_ == getpid())
      sqlite3_close(db_);
  }

  DWORD LockForEdit(HostLock& lock) override {
    std::error_code ignored;
    std::filesystem::create_directories(file_.parent_path(), ignored);
    return lock.Take(file_.string() + ".lock", true);
  }

  DWORD Run(bool write, const std::function<DWORD(RegistryTransaction&)>& body) override {
    std::lock_guard lock(mutex_);
    try {
      if (!write && !Exists()) {
        // Nothing written yet: a read finds nothing, and creates nothing.
        EmptyTransaction empty;
        return body(empty);
      }
      Open(write);
      return write ? Write(body) : Read(body);
    } catch (const SqliteFailure& failure) {
      Report(failure);
      return RegistryError(failure);
    }
  }

 private:
  // False only when there is no file yet; a file that cannot be looked at is left to SQLite to
  // report.
  bool Exists() const {
    struct stat st;
    return (db_ && pid_ == getpid()) || ::stat(file_.c_str(), &st) == 0 || errno != ENOENT;
  }

  // Opens the connection on first use; a write may create the file, a read never does.
  void Open(bool write) {
    if (db_ && pid_ == getpid())
      return;
    db_ = nullptr;  // a parent's connection is left alone, never used nor closed here
    if (write) {
      std::error_code ignored;
      std::filesystem::create_directories(file_.parent_path(), ignored);
    }
    // Opened for writing where the host allows it, else for reading only.
    const int flags = SQLITE_OPEN_READWRITE | (write ? SQLITE_OPEN_CREATE : 0);
    sqlite3* db = nullptr;
    if (const int rc = sqlite3_open_v2(file_.c_str(), &db, flags, nullptr); rc != SQLITE_OK) {
      const SqliteFailure failure = FailureOf(db, rc);
      sqlite3_close(db);
      throw failure;
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // The journal's files stay when the last connection closes: a process that may not create
    // them can still read the database through them.
    int persist = 1;
    sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    db_ = db;
    pid_ = getpid();
    wal_ = false;
    try {
      Execute(db_, "PRAGMA synchronous=FULL");
    } catch (...) {
      sqlite3_close(db_);
      db_ = nullptr;
      throw;
    }
  }

  // The journal is set by the first write, once the file is known to be a registry or empty:
  // a reader never changes the file, and neither does a writer that finds another program's.
  void UseWal() {
    Execute(db_, "BEGIN");
    try {
      ReadLayout(db_);
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    // The pragma answers with the mode in force, the old one when it could not change it.
    Statement pragma(db_, "PRAGMA journal_mode=WAL");
    if (!pragma.Step() || pragma.ColumnText(0) != L"wal")
      throw SqliteFailure{SQLITE_BUSY, 0, "database is locked"};
    wal_ = true;
  }

  // Starts a write transaction. Setting the journal raises a read lock to a write lock, which
  // SQLite refuses at once, without waiting, while another process writes: a refusal before
  // anything is written is tried again until the busy timeout.
  void BeginWrite() {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    for (;;) {
      try {
        if (!wal_)
          UseWal();
        Execute(db_, "BEGIN IMMEDIATE");
        return;
      } catch (const SqliteFailure& failure) {
        if ((failure.code & 0xFF) != SQLITE_BUSY || std::chrono::steady_clock::now() >= deadline)
          throw;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  DWORD Read(const std::function<DWORD(RegistryTransaction&)>& body) {
    Execute(db_, "BEGIN");
    DWORD result;
    try {
      if (ReadLayout(db_) == Layout::kEmpty) {
        EmptyTransaction empty;
        result = body(empty);
      } else {
        SqliteTransaction tx(db_);
        result = body(tx);
      }
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return result;
  }

  DWORD Write(const std::function<DWORD(RegistryTransaction&)>& body) {
    BeginWrite();
    try {
      if (ReadLayout(db_) == Layout::kEmpty)
        Execute(db_, kSchema);
      SqliteTransaction tx(db_);
      const DWORD result = body(tx);
      if (result == ERROR_SUCCESS) {
        Execute(db_, "COMMIT");
        return ERROR_SUCCESS;
      }
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      return result;
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

  // The registry calls return codes only; what SQLite said, and of which file, goes to
  // standard error, once for each new text.
  void Report(const SqliteFailure& failure) {
    const std::string line =
        "vortiss: registry database " + file_.string() + ": " + failure.message + "\n";
    if (line == last_report_)
      return;
    last_report_ = line;
    // Written to the descriptor itself: the host's wide streams own stderr's orientation.
    for (size_t written = 0; written < line.size();) {
      const ssize_t n = ::write(STDERR_FILENO, line.data() + written, line.size() - written);
      if (n <= 0 && errno != EINTR)
        break;
      written += n > 0 ? static_cast<size_t>(n) : 0;
    }
  }

  const std::filesystem::path file_;
  std::mutex mutex_;
  sqlite3* db_ = nullptr;
  pid_t pid_ = 0;
  bool wal_ = false;
  std::string last_report_;
};

}  // namespace

std::unique_ptr<RegistryBackend> MakeSqliteRegistry(const std::filesystem::path& file) {
  return std::make_unique<SqliteRegistry>(file);
}

}  // namespace standin
