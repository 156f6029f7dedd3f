// The PostgreSQL backend: a Session over one libpq connection.
//
// Connection URIs are libpq's own ("postgresql://user@host:port/db?...",
// also "postgres://"), handed to libpq unchanged, so every option it knows
// (sslmode, options=-c search_path=..., ...) works. Statements run one at a
// time through the extended protocol with text-format parameters.
#pragma once

#include <memory>
#include <string>

#include "platform/db/session.h"

struct pg_conn;
struct pg_result;

namespace tsa::db {

class PgSession : public Session {
 public:
  // Connects; error -2147467259 with the server's message when it cannot.
  explicit PgSession(const std::string& uri);
  ~PgSession() override;
  PgSession(const PgSession&) = delete;
  PgSession& operator=(const PgSession&) = delete;

  const Dialect& dialect() const override { return kPostgreSQL; }
  int64_t Execute(const std::string& sql, const std::vector<Value>& params = {}) override;
  ResultSet Query(const std::string& sql, const std::vector<Value>& params = {}) override;
  void Begin() override;
  void BeginRead() override;
  // Within one transaction: a short lock timeout, the transaction must be
  // able to write, and a ROW EXCLUSIVE lock on `table` (which only schema
  // changes and explicit table locks hold back).
  void ProbeWrite(int timeoutMs, const std::string& table) override;
  // Commits; a transaction in which a statement failed is rolled back and
  // reported as a failure, never as a commit.
  void Commit() override;
  void Rollback() noexcept override;
  // The connection went while COMMIT was under way.
  bool CommitInDoubt() const noexcept override { return commitInDoubt_; }
  bool InTransaction() const override;
  // A transaction-scoped advisory lock on (space, key) within the session's
  // schema; waits while another transaction holds it. Only inside a
  // transaction.
  void LockKey(int32_t space, int32_t key) override;
  bool Healthy() override;

 private:
  struct ConnCloser {
    void operator()(pg_conn* c) const noexcept;
  };
  struct ResultCloser {
    void operator()(pg_result* r) const noexcept;
  };
  using ResultPtr = std::unique_ptr<pg_result, ResultCloser>;

  // Runs one statement; raises the mapped error when it fails. A
  // faultable statement asks the fault seam first.
  ResultPtr Run(const std::string& sql, const std::vector<Value>& params, bool faultable = true);
  void BeforeStatement(const std::string& sql, bool faultable);
  // Begin and BeginRead: the BEGIN waits for the first statement.
  void Open(const char* begin, bool readOnly);
  void Settle() noexcept;
  ResultPtr BeginWith(const std::string& sql, int count, const unsigned int* types, const char* const* values);
  // Shuts the connection's socket down, as a network failure would.
  void CutConnection() noexcept;
  [[noreturn]] void RaiseFor(const pg_result* result, const std::string& sql);

  std::unique_ptr<pg_conn, ConnCloser> conn_;
  // The first failure inside the open transaction, named again at commit.
  std::string failedStatement_;
  bool commitInDoubt_ = false;
  // The BEGIN that goes with the next statement ("" when none waits).
  std::string pendingBegin_;
  bool readOnly_ = false;    // the open transaction began with BeginRead
  bool commitSent_ = false;  // a read-only COMMIT whose answer is not taken yet
  int64_t lockTimeoutMs_ = -1;  // the session's lock_timeout; -1: the server's default
};

// The factory registered for the "postgresql" and "postgres" schemes.
std::unique_ptr<Session> OpenPgSession(const std::string& uri);

}  // namespace tsa::db
