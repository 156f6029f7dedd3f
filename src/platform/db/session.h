// A backend's physical connection to one database, and the pool that keeps
// them for reuse. Each backend (SQLite, PostgreSQL) implements Session and
// registers itself under its URI scheme.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/db/dialect.h"
#include "platform/db/value.h"
#include "runtime/context.h"

namespace tsa::db {

struct ResultSet {
  std::vector<std::string> columns;
  std::vector<std::vector<Value>> rows;
};

class Session : public TransactionalSession {
 public:
  ~Session() override = default;
  virtual const Dialect& dialect() const = 0;
  // Runs a statement without records; returns the rows it changed.
  // `params` bind to the dialect's placeholders.
  virtual int64_t Execute(const std::string& sql, const std::vector<Value>& params = {}) = 0;
  // Runs a query and returns all of its rows.
  virtual ResultSet Query(const std::string& sql, const std::vector<Value>& params = {}) = 0;
  // Begins a transaction that may write (read committed). Two sessions that
  // both begin never deadlock: the second waits for the first.
  virtual void Begin() = 0;
  // Begins a transaction that only reads: it sees one committed state and
  // never waits for writers (SQLite: deferred, PostgreSQL: repeatable read,
  // read only).
  virtual void BeginRead() { Begin(); }
  // Whether a write transaction can begin within `timeoutMs`: begins one
  // (taking what a writer would take first, on PostgreSQL a write lock on
  // `table`) and rolls it back. Raises the database's error when it cannot.
  virtual void ProbeWrite(int timeoutMs, const std::string& table) {
    (void)timeoutMs;
    (void)table;
    Begin();
    Rollback();
  }
  void Commit() override = 0;
  void Rollback() noexcept override = 0;
  virtual bool InTransaction() const = 0;
  // Serialises writers of one tree until the transaction ends; a no-op where
  // the backend already serialises all writers.
  virtual void LockKey(int32_t space, int32_t key) { (void)space; (void)key; }
  // Makes durable every commit this session can see. SQLite commits leave
  // the sync of their log to the committing call, which makes it after the
  // write lock is free; whoever acts outside the database on another
  // connection's commit (finishing its document changes) calls this first.
  virtual void MakeCommitsDurable() {}
  // True when the session can be handed out again.
  virtual bool Healthy() = 0;
};

using SessionFactory = std::function<std::unique_ptr<Session>(const std::string& uri)>;

// Registers the backend for a URI scheme ("sqlite", "postgresql").
void RegisterBackend(std::string_view scheme, SessionFactory factory);
// Opens a new physical session for a connection URI; error -2147467259 when
// the database cannot be reached or the scheme is unknown.
std::unique_ptr<Session> OpenSession(const std::string& uri);
// The dialect a URI selects, without connecting.
const Dialect& DialectFor(const std::string& uri);

// Idle sessions per URI, handed out again instead of reconnecting.
class SessionPool {
 public:
  static SessionPool& Instance();
  // A session in autocommit mode; returned to the pool when released.
  std::shared_ptr<Session> Acquire(const std::string& uri);
  // Closes every idle session (tests, shutdown).
  void Clear();
  size_t IdleCount(const std::string& uri) const;

  // Idle sessions kept per URI; further released sessions are closed.
  static constexpr size_t kMaxIdlePerUri = 16;

 private:
  SessionPool();
  struct State;
  // Shared with the handles given out, so a handle released late (after
  // the pool itself) still finds somewhere to go.
  std::shared_ptr<State> state_;
};

// The context's session for a database, its transaction begun on first use
// (as a read in a read-only context) and ended with the context.
std::shared_ptr<Session> ContextSession(ObjectContext& context, const std::string& uri);

// Serialises the context with every other that locks the same key, until its
// transaction ends (tree type and identifier, for instance). A read-only
// context takes no key lock.
void LockKey(ObjectContext& context, const std::string& uri, int32_t space, int32_t key);

}  // namespace tsa::db
