#include "platform/db/sqlite_session.h"

#include <sqlite3.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "platform/db/lock_wait.h"
#include "runtime/error.h"
#include "runtime/faults.h"

namespace tsa::db {

namespace {

constexpr std::string_view kScheme = "sqlite:";
constexpr size_t kStatementExcerpt = 200;
constexpr size_t kCachedStatements = 128;
constexpr size_t kSeenStatements = 512;

struct CloseDb {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
struct FinalizeStmt {
  void operator()(sqlite3_stmt* stmt) const noexcept { sqlite3_finalize(stmt); }
};
using DbPtr = std::unique_ptr<sqlite3, CloseDb>;
using StmtPtr = std::unique_ptr<sqlite3_stmt, FinalizeStmt>;

// Resets a statement when its use ends, so that no statement keeps a read
// transaction open or holds on to bound texts.
class StmtUse {
 public:
  explicit StmtUse(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~StmtUse() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  StmtUse(const StmtUse&) = delete;
  StmtUse& operator=(const StmtUse&) = delete;

 private:
  sqlite3_stmt* stmt_;
};

bool OnlyBlanks(const char* p) {
  for (; *p; ++p)
    if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n' && *p != ';') return false;
  return true;
}

// Writers of one database file in this process queue on its gate before
// they ask SQLite for its write lock. SQLite's own wait polls with growing
// sleeps, so a writer that just committed takes the lock again while the
// others sleep; the gate hands it to the next waiter at once. Other
// processes still meet SQLite's wait.
std::shared_ptr<std::timed_mutex> WriterGateFor(const std::string& path) {
  static std::mutex mutex;
  static std::unordered_map<std::string, std::weak_ptr<std::timed_mutex>> gates;
  std::lock_guard lock(mutex);
  auto& slot = gates[path];
  auto gate = slot.lock();
  if (!gate) {
    gate = std::make_shared<std::timed_mutex>();
    slot = gate;
  }
  return gate;
}

std::string Excerpt(std::string_view sql) {
  if (sql.size() <= kStatementExcerpt) return std::string(sql);
  return std::string(sql.substr(0, kStatementExcerpt)) + "...";
}

// How long any statement waits for another connection's lock.
int BusyTimeoutMs() { return static_cast<int>(LockWait().count()); }

[[noreturn]] void RaiseStatement(int code, const std::string& message, std::string_view sql) {
  int32_t number = (code & 0xff) == SQLITE_CONSTRAINT ? err::DbConstraintViolation : err::DbStatementFailed;
  // A lock not granted in time: nothing was done, and trying again may work.
  if ((code & 0xff) == SQLITE_BUSY) number = err::DatabaseBusy;
  std::string description = message;
  if (!sql.empty()) description += " in statement: " + Excerpt(sql);
  Raise(number, {}, description);
}

class SqliteSession final : public Session {
 public:
  SqliteSession(DbPtr db, std::string path, bool walSyncedHere)
      : db_(std::move(db)), path_(std::move(path)), gate_(WriterGateFor(path_)), walSyncedHere_(walSyncedHere) {
    Identify(dev_, ino_);
  }

  const Dialect& dialect() const override { return kSQLite; }

  int64_t Execute(const std::string& sql, const std::vector<Value>& params) override {
    return Statement(sql, params, nullptr);
  }

  ResultSet Query(const std::string& sql, const std::vector<Value>& params) override {
    ResultSet result;
    Statement(sql, params, &result);
    return result;
  }

  void Begin() override {
    commitInDoubt_ = false;
    Faultable(faults::Call::Statement, "BEGIN IMMEDIATE");
    // Writers of this process queue on the gate, then meet other processes
    // at SQLite's lock; both waits together end at one deadline
    // (platform/db/lock_wait.h), so that a writer holding another file's
    // gate never waits here for ever either.
    const auto start = std::chrono::steady_clock::now();
    LockWaitSlot slot;
    auto waited = [&] {
      return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    };
    std::unique_lock gated(*gate_, std::defer_lock);
    if (!gated.try_lock_until(slot.Deadline())) RaiseBusy("the database's write lock", waited());
    sqlite3_busy_timeout(db_.get(), static_cast<int>(slot.Remaining().count()));
    try {
      Run("BEGIN IMMEDIATE", {}, nullptr);
    } catch (const Error& e) {
      sqlite3_busy_timeout(db_.get(), BusyTimeoutMs());
      if (e.number() == err::DatabaseBusy) RaiseBusy("the database's write lock", waited());
      throw;
    }
    sqlite3_busy_timeout(db_.get(), BusyTimeoutMs());
    slot.Granted();
    gated_ = std::move(gated);
  }
  // In WAL mode a deferred transaction reads its snapshot while another
  // connection writes.
  void BeginRead() override {
    Faultable(faults::Call::Statement, "BEGIN DEFERRED");
    Run("BEGIN DEFERRED", {}, nullptr);
  }

  void ProbeWrite(int timeoutMs, const std::string&) override {
    sqlite3_busy_timeout(db_.get(), timeoutMs);
    try {
      Run("BEGIN IMMEDIATE", {}, nullptr);
    } catch (...) {
      sqlite3_busy_timeout(db_.get(), BusyTimeoutMs());
      throw;
    }
    sqlite3_busy_timeout(db_.get(), BusyTimeoutMs());
    Rollback();
  }
  void Commit() override {
    // A commit that fails leaves the transaction open; the caller rolls
    // it back.
    Faultable(faults::Call::Commit, "COMMIT");
    const bool wrote = sqlite3_txn_state(db_.get(), nullptr) == SQLITE_TXN_WRITE;
    Run("COMMIT", {}, nullptr);
    // The commit is in the log; the next writer may go on while it is
    // made durable here, before the caller learns of it.
    if (gated_.owns_lock()) gated_.unlock();
    if (wrote) SyncLog();
  }

  bool CommitInDoubt() const noexcept override { return commitInDoubt_; }

  void Rollback() noexcept override {
    if (InTransaction()) sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    if (gated_.owns_lock()) gated_.unlock();
  }

  bool InTransaction() const override { return sqlite3_get_autocommit(db_.get()) == 0; }

  // A session stays usable while its file is the one it opened: a file
  // removed or replaced behind its back would swallow every write.
  bool Healthy() override {
    dev_t dev{};
    ino_t ino{};
    return Identify(dev, ino) && dev == dev_ && ino == ino_;
  }

 private:
  bool Identify(dev_t& dev, ino_t& ino) const {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) return false;
    dev = st.st_dev;
    ino = st.st_ino;
    return true;
  }

  // A caller's statement. One that writes outside a transaction commits by
  // itself, so its log is synced as a commit's is.
  int64_t Statement(const std::string& sql, const std::vector<Value>& params, ResultSet* out) {
    Faultable(faults::Call::Statement, sql);
    const bool own = !InTransaction();
    wrote_ = false;
    const bool brief = own && BriefLockWaits::Here();
    if (brief) sqlite3_busy_timeout(db_.get(), static_cast<int>(std::min(LockWait(), kOverflowWait).count()));
    int64_t changed = 0;
    try {
      changed = Run(sql, params, out);
    } catch (...) {
      if (brief) sqlite3_busy_timeout(db_.get(), BusyTimeoutMs());
      throw;
    }
    if (brief) sqlite3_busy_timeout(db_.get(), BusyTimeoutMs());
    if (own && wrote_) SyncLog();
    return changed;
  }

  // Commits write the log without syncing it (synchronous=NORMAL), so that
  // the write lock is not held across the sync; the committing call syncs
  // it once the lock is free. A sync covers every commit before it: the
  // log is only ever appended to until a checkpoint, which syncs it first.
  void SyncLog() {
    const int code = SyncLogFile();
    if (code == 0) return;
    commitInDoubt_ = true;
    Raise(err::CommitInDoubt, {},
          "The changes were committed, but the disk failed while making them durable (" +
              std::string(std::strerror(code)) + " on '" + path_ +
              "-wal'), so it is not known whether they will last; look before repeating the call");
  }

  void MakeCommitsDurable() override {
    if (const int code = SyncLogFile()) {
      Raise(err::DbStatementFailed, {},
            "Cannot make the database's committed changes durable: " + std::string(std::strerror(code)) + " on '" +
                path_ + "-wal'");
    }
  }

  // Syncs the log; 0 or the errno of the failure.
  int SyncLogFile() {
    if (!walSyncedHere_) return 0;
    if (const int code = faults::CheckFile(faults::Call::Sync)) return code;
    const std::string log = path_ + "-wal";
    const int fd = ::open(log.c_str(), O_RDONLY | O_CLOEXEC);
    // No log: the last checkpoint emptied it and synced the database file.
    if (fd < 0) return errno == ENOENT ? 0 : errno;
    const int code = ::fdatasync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return code;
  }

  // Asks the fault seam about a call: an injected fault fails it as the
  // disk failing under the database would (SQLite has no connection to
  // lose).
  static void Faultable(faults::Call call, std::string_view sql) {
    if (faults::CheckDatabase(call) != faults::DbFault::None) RaiseStatement(SQLITE_IOERR, "disk I/O error", sql);
  }

  [[noreturn]] void Fail(int code, std::string_view sql) { RaiseStatement(code, sqlite3_errmsg(db_.get()), sql); }

  // Prepares the first statement of `sql`; `tail` is what follows it.
  StmtPtr Prepare(const char* sql, size_t bytes, const char** tail, std::string_view whole) {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v3(db_.get(), sql, static_cast<int>(bytes), SQLITE_PREPARE_PERSISTENT, &raw, tail);
    StmtPtr stmt(raw);
    if (rc != SQLITE_OK) Fail(rc, whole);
    return stmt;
  }

  void Bind(sqlite3_stmt* stmt, const std::vector<Value>& params, std::string_view sql) {
    int expected = sqlite3_bind_parameter_count(stmt);
    if (expected != static_cast<int>(params.size())) {
      RaiseStatement(SQLITE_RANGE,
                     "The statement takes " + std::to_string(expected) + " parameters, but " +
                         std::to_string(params.size()) + " values were given",
                     sql);
    }
    for (size_t i = 0; i < params.size(); ++i) {
      int index = static_cast<int>(i + 1);
      const auto& raw = params[i].Raw();
      int rc = SQLITE_OK;
      if (auto* n = std::get_if<int64_t>(&raw)) {
        rc = sqlite3_bind_int64(stmt, index, *n);
      } else if (auto* d = std::get_if<double>(&raw)) {
        rc = sqlite3_bind_double(stmt, index, *d);
      } else if (auto* t = std::get_if<std::string>(&raw)) {
        // The values outlive the statement's use (reset on leaving Run).
        rc = sqlite3_bind_text64(stmt, index, t->data(), t->size(), SQLITE_STATIC, SQLITE_UTF8);
      } else {
        rc = sqlite3_bind_null(stmt, index);
      }
      if (rc != SQLITE_OK) Fail(rc, sql);
    }
  }

  static Value Column(sqlite3_stmt* stmt, int i) {
    switch (sqlite3_column_type(stmt, i)) {
      case SQLITE_INTEGER:
        return Value(static_cast<int64_t>(sqlite3_column_int64(stmt, i)));
      case SQLITE_FLOAT:
        return Value(sqlite3_column_double(stmt, i));
      case SQLITE_NULL:
        return Value();
      default: {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
        int bytes = sqlite3_column_bytes(stmt, i);
        return Value(std::string(text ? text : "", text ? static_cast<size_t>(bytes) : 0));
      }
    }
  }

  // Steps one prepared statement to its end; returns the rows it changed.
  int64_t Step(sqlite3_stmt* stmt, const std::vector<Value>& params, ResultSet* out, std::string_view sql) {
    StmtUse use(stmt);
    if (!sqlite3_stmt_readonly(stmt)) wrote_ = true;
    Bind(stmt, params, sql);
    int columns = sqlite3_column_count(stmt);
    if (out) {
      out->columns.clear();
      out->rows.clear();
      for (int i = 0; i < columns; ++i) {
        const char* name = sqlite3_column_name(stmt, i);
        out->columns.emplace_back(name ? name : "");
      }
    }
    sqlite3_int64 before = sqlite3_total_changes64(db_.get());
    for (;;) {
      int rc = sqlite3_step(stmt);
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) Fail(rc, sql);
      if (out) {
        std::vector<Value> row;
        row.reserve(static_cast<size_t>(columns));
        for (int i = 0; i < columns; ++i) row.push_back(Column(stmt, i));
        out->rows.push_back(std::move(row));
      }
    }
    // Only the statement's own changes count, not a trigger's, and a
    // statement that changed nothing reports 0.
    return sqlite3_total_changes64(db_.get()) == before ? 0 : sqlite3_changes64(db_.get());
  }

  int64_t Run(const std::string& sql, const std::vector<Value>& params, ResultSet* out) {
    if (auto it = cache_.find(sql); it != cache_.end()) return Step(it->second.get(), params, out, sql);

    const char* end = sql.c_str() + sql.size();
    const char* tail = nullptr;
    StmtPtr stmt = Prepare(sql.c_str(), sql.size(), &tail, sql);
    if (tail == nullptr || OnlyBlanks(tail)) {
      if (!stmt) return 0;  // only blanks or comments
      // Statements with parameters are the ones run again and again. One
      // written as text with its values in it is kept once it comes again
      // (the same look-up of one tree, say), so that a stream of one-off
      // texts never pushes the others out.
      if (sqlite3_bind_parameter_count(stmt.get()) == 0 && !SeenBefore(sql)) {
        return Step(stmt.get(), params, out, sql);
      }
      sqlite3_stmt* raw = stmt.get();
      if (cache_.size() >= kCachedStatements) cache_.clear();
      cache_.emplace(sql, std::move(stmt));
      return Step(raw, params, out, sql);
    }

    // More follows: a script, or merely a trailing comment. Each statement
    // is prepared only when the one before it has run (it may create what
    // the next one uses).
    if (params.empty() && !out) {
      int64_t changed = 0;
      for (;;) {
        if (stmt) changed += Step(stmt.get(), {}, nullptr, sql);
        if (tail == nullptr || tail >= end || OnlyBlanks(tail)) break;
        const char* next = tail;
        stmt = Prepare(next, static_cast<size_t>(end - next), &tail, sql);
        if (tail == next) break;  // nothing consumed
      }
      return changed;
    }
    const char* next = tail;
    StmtPtr rest = Prepare(next, static_cast<size_t>(end - next), &tail, sql);
    if (rest || !(tail == nullptr || tail >= end || OnlyBlanks(tail))) {
      RaiseStatement(SQLITE_MISUSE,
                     out ? "A query must be a single statement"
                         : "A statement with parameters must be a single statement",
                     sql);
    }
    if (!stmt) return 0;
    return Step(stmt.get(), params, out, sql);
  }

  // Whether a statement without parameters was run recently.
  bool SeenBefore(const std::string& sql) {
    const size_t hash = std::hash<std::string>{}(sql);
    if (seen_.count(hash) != 0) return true;
    if (seen_.size() >= kSeenStatements) seen_.clear();
    seen_.insert(hash);
    return false;
  }

  DbPtr db_;  // declared first: closed after the cached statements
  std::unordered_map<std::string, StmtPtr> cache_;
  std::unordered_set<size_t> seen_;  // hashes of statements without parameters run lately
  std::string path_;
  std::shared_ptr<std::timed_mutex> gate_;
  std::unique_lock<std::timed_mutex> gated_;  // declared after gate_: released first
  bool commitInDoubt_ = false;
  bool walSyncedHere_ = false;  // in WAL mode: commits leave the log's sync to SyncLog
  bool wrote_ = false;          // the last Execute or Query ran a statement that writes
  dev_t dev_{};
  ino_t ino_{};
};

[[noreturn]] void RaiseOpen(const std::string& path, const std::string& why) {
  Raise(err::DbConnectionFailed, {}, "Cannot open the SQLite database '" + path + "': " + why);
}

void Pragma(sqlite3* db, const char* sql, const std::string& path) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string why = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    RaiseOpen(path, why);
  }
}

// Asks for WAL mode; returns the mode the database is in afterwards.
std::string JournalMode(sqlite3* db, const std::string& path) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA journal_mode=WAL", -1, &raw, nullptr) != SQLITE_OK) {
    RaiseOpen(path, sqlite3_errmsg(db));
  }
  StmtPtr stmt(raw);
  std::string mode;
  const int rc = sqlite3_step(stmt.get());
  if (rc == SQLITE_ROW) {
    if (const unsigned char* text = sqlite3_column_text(stmt.get(), 0)) mode = reinterpret_cast<const char*>(text);
  } else if (rc != SQLITE_DONE) {
    RaiseOpen(path, sqlite3_errmsg(db));
  }
  return mode;
}

}  // namespace

std::unique_ptr<Session> OpenSqliteSession(const std::string& uri) {
  if (uri.compare(0, kScheme.size(), kScheme) != 0) {
    Raise(err::DbConnectionFailed, {}, "A SQLite connection URI begins with \"sqlite:\"");
  }
  std::string path = uri.substr(kScheme.size());
  if (path.empty()) Raise(err::DbConnectionFailed, {}, "The SQLite connection URI names no database file");
  // Every pooled session must see the same database: no private in-memory
  // databases, and no URI filenames with options of their own.
  if (path == ":memory:" || path.rfind("file:", 0) == 0) {
    RaiseOpen(path, "only database files are supported");
  }
  if (path.find('\0') != std::string::npos) RaiseOpen("", "the path contains a NUL character");

  // Every session of one URI opens, and checks, the same file whatever the
  // working folder is at the time.
  {
    std::error_code ec;
    auto absolute = std::filesystem::absolute(path, ec);
    if (ec) RaiseOpen(path, ec.message());
    path = absolute.lexically_normal().string();
  }
  std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(parent, ec);
    if (ec) RaiseOpen(path, "cannot create its folder: " + ec.message());
  }

  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  DbPtr db(raw);
  if (rc != SQLITE_OK) RaiseOpen(path, db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc));
  sqlite3_extended_result_codes(db.get(), 1);
  // A double-quoted name is always an identifier, never a string that
  // stands in for a column that does not exist.
  sqlite3_db_config(db.get(), SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
  sqlite3_db_config(db.get(), SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
  sqlite3_busy_timeout(db.get(), BusyTimeoutMs());
  // In WAL mode a commit syncs the log itself, after the write lock is
  // released (see SyncLog). A file system where WAL mode is not to be had
  // keeps the rollback journal with SQLite syncing every commit.
  const bool wal = JournalMode(db.get(), path) == "wal";
  Pragma(db.get(), wal ? "PRAGMA synchronous=NORMAL" : "PRAGMA synchronous=FULL", path);
  // LIKE compares case-sensitively, so a prefix search can use a plain index.
  Pragma(db.get(), "PRAGMA case_sensitive_like=ON", path);
  Pragma(db.get(), "PRAGMA foreign_keys=OFF", path);
  return std::make_unique<SqliteSession>(std::move(db), std::move(path), wal);
}

}  // namespace tsa::db
