// The host's registry in a SQLite database. Each write is one IMMEDIATE transaction, so that
// other processes see it whole or not at all; the WAL journal with synchronous FULL keeps every
// committed write when a process dies. The connection belongs to the process that opened it: a
// forked child opens its own.
#include <sqlite3.h>
#include <unistd.h>

#include <mutex>
#include <stdexcept>
#include <system_error>

#include "platform/standin/core/text.h"
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

struct SqliteFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK)
      throw SqliteFailure(sqlite3_errmsg(db));
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
    throw SqliteFailure(sqlite3_errmsg(sqlite3_db_handle(stmt_)));
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
      throw SqliteFailure(sqlite3_errmsg(sqlite3_db_handle(stmt_)));
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

void Execute(sqlite3* db, const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string text = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    throw SqliteFailure(text);
  }
}

class SqliteRegistry : public RegistryBackend {
 public:
  explicit SqliteRegistry(std::filesystem::path file) : file_(std::move(file)) {}

  ~SqliteRegistry() override {
    // A connection inherited through fork belongs to the parent.
    if (db_ && pid_ == getpid())
      sqlite3_close(db_);
  }

  DWORD Run(bool write, const std::function<DWORD(RegistryTransaction&)>& body) override {
    std::lock_guard lock(mutex_);
    try {
      Open();
    } catch (const std::exception&) {
      return ERROR_REGISTRY_IO_FAILED;
    }
    try {
      Execute(db_, write ? "BEGIN IMMEDIATE" : "BEGIN");
    } catch (const SqliteFailure&) {
      return ERROR_REGISTRY_IO_FAILED;
    }
    DWORD result;
    try {
      SqliteTransaction tx(db_);
      result = body(tx);
      if (result == ERROR_SUCCESS) {
        Execute(db_, "COMMIT");
        return ERROR_SUCCESS;
      }
    } catch (const SqliteFailure&) {
      result = ERROR_REGISTRY_IO_FAILED;
    }
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return result;
  }

 private:
  void Open() {
    if (db_ && pid_ == getpid())
      return;
    db_ = nullptr;  // a parent's connection is left alone, never used nor closed here
    std::error_code ignored;
    std::filesystem::create_directories(file_.parent_path(), ignored);
    sqlite3* db = nullptr;
    const int rc =
        sqlite3_open_v2(file_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
      sqlite3_close(db);
      throw SqliteFailure("cannot open the registry database");
    }
    try {
      sqlite3_busy_timeout(db, kBusyTimeoutMs);
      Execute(db, "PRAGMA journal_mode=WAL");
      Execute(db, "PRAGMA synchronous=FULL");
      Execute(db, "BEGIN IMMEDIATE");
      Execute(db, kSchema);
      Execute(db, "COMMIT");
    } catch (...) {
      sqlite3_close(db);
      throw;
    }
    db_ = db;
    pid_ = getpid();
  }

  const std::filesystem::path file_;
  std::mutex mutex_;
  sqlite3* db_ = nullptr;
  pid_t pid_ = 0;
};

}  // namespace

std::unique_ptr<RegistryBackend> MakeSqliteRegistry(const std::filesystem::path& file) {
  return std::make_unique<SqliteRegistry>(file);
}

}  // namespace standin
