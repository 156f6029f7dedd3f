#include "platform/db/pg_session.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/db/lock_wait.h"
#include "runtime/error.h"
#include "runtime/faults.h"

namespace tsa::db {

namespace {

constexpr std::string_view kSource = "PostgreSQL";

// Type OIDs of the built-in types a result column may have (pg_type.h).
constexpr Oid kBoolOid = 16;
constexpr Oid kInt8Oid = 20;
constexpr Oid kInt2Oid = 21;
constexpr Oid kInt4Oid = 23;
constexpr Oid kOidOid = 26;
constexpr Oid kFloat4Oid = 700;
constexpr Oid kFloat8Oid = 701;
constexpr Oid kTimestampOid = 1114;
constexpr Oid kTimestampTzOid = 1184;
constexpr Oid kNumericOid = 1700;

// Sent once per connection: literals as the standard writes them (a
// backslash is an ordinary character), UTF-8 text, ISO dates, read
// committed, and no NOTICE chatter ("relation already exists, skipping").
constexpr const char* kSessionSetup =
    "SET standard_conforming_strings = on; SET client_encoding = 'UTF8'; SET DateStyle = 'ISO, YMD';"
    " SET default_transaction_isolation = 'read committed'; SET client_min_messages = warning";

// libpq's own messages end in a newline and may continue on indented lines.
std::string Tidy(const char* message) {
  std::string out;
  if (!message) return out;
  bool blank = false;
  for (const char* p = message; *p; ++p) {
    if (*p == '\n' || *p == '\t' || *p == '\r') {
      blank = true;
      continue;
    }
    if (blank && !out.empty()) out += ' ';
    blank = false;
    out += *p;
  }
  return out;
}

// The start of a statement for an error description, cut on a character
// boundary.
std::string Abbreviate(const std::string& sql, size_t limit = 200) {
  if (sql.size() <= limit) return sql;
  size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(sql[cut]) & 0xC0) == 0x80) --cut;
  return sql.substr(0, cut) + "...";
}

bool IsConnectionState(const char* sqlstate) {
  if (!sqlstate) return false;
  std::string_view s(sqlstate);
  // Connection exceptions, and the server shutting the session down.
  return s.starts_with("08") || s == "57P01" || s == "57P02" || s == "57P03";
}

bool LooksLikeTimestamp(std::string_view s) {
  // YYYY-MM-DD hh:mm:ss, possibly followed by fractions or a zone.
  if (s.size() < 19) return false;
  static constexpr std::string_view shape = "dddd-dd-dd dd:dd:dd";
  for (size_t i = 0; i < shape.size(); ++i) {
    bool digit = s[i] >= '0' && s[i] <= '9';
    if (shape[i] == 'd' ? !digit : s[i] != shape[i]) return false;
  }
  return s.size() == 19 || s[19] == '.' || s[19] == '+' || s[19] == '-';
}

Value ConvertField(Oid type, const char* text, int length) {
  std::string_view s(text, static_cast<size_t>(length));
  switch (type) {
    case kInt2Oid:
    case kInt4Oid:
    case kInt8Oid:
    case kOidOid: {
      int64_t v = 0;
      auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
      if (ec == std::errc() && end == s.data() + s.size()) return Value(v);
      break;
    }
    case kFloat4Oid:
    case kFloat8Oid:
    case kNumericOid: {
      double v = 0;
      auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
      if (ec == std::errc() && end == s.data() + s.size()) return Value(v);
      break;  // out of double's range: kept as its text
    }
    case kBoolOid:
      return Value(int64_t{s == "t" ? 1 : 0});
    case kTimestampOid:
    case kTimestampTzOid:
      if (LooksLikeTimestamp(s)) return Value(std::string(s.substr(0, 19)));
      break;
    default:
      break;
  }
  return Value(std::string(s));
}

// Parameters travel as text; integers and reals with their type so that
// "$1 + 1" or "INSERT ... SELECT $1" are typed, texts and nulls untyped so
// that the server takes the type from where they stand (a text may be bound
// to an integer or date-time column).
struct Params {
  std::vector<std::string> texts;
  std::vector<const char*> values;
  std::vector<Oid> types;

  explicit Params(const std::vector<Value>& params) {
    texts.resize(params.size());
    values.resize(params.size(), nullptr);
    types.resize(params.size(), 0);
    for (size_t i = 0; i < params.size(); ++i) {
      const auto& raw = params[i].Raw();
      if (const auto* n = std::get_if<int64_t>(&raw)) {
        texts[i] = std::to_string(*n);
        types[i] = kInt8Oid;
      } else if (const auto* d = std::get_if<double>(&raw)) {
        char buf[64];
        auto [end, ec] = std::to_chars(buf, buf + sizeof buf, *d);
        (void)ec;  // the buffer always suffices for the shortest form
        texts[i].assign(buf, end);
        types[i] = kFloat8Oid;
      } else if (const auto* t = std::get_if<std::string>(&raw)) {
        // A text parameter ends at its first NUL; the database could not
        // store one anyway. Refuse rather than cut the value short.
        if (t->find('\0') != std::string::npos) {
          Raise(err::InvalidProcedureCall, kSource,
                "A text value for the database contains a NUL character (parameter " + std::to_string(i + 1) + ")");
        }
        texts[i] = *t;
      } else {
        continue;  // null
      }
    }
    for (size_t i = 0; i < params.size(); ++i)
      if (!params[i].IsNull()) values[i] = texts[i].c_str();
  }
};

void IgnoreNotice(void*, const char*) {}

}  // namespace

void PgSession::ConnCloser::operator()(pg_conn* c) const noexcept { PQfinish(c); }
void PgSession::ResultCloser::operator()(pg_result* r) const noexcept { PQclear(r); }

PgSession::PgSession(const std::string& uri) {
  // Defaults that the URI may override: the keywords before "dbname" give
  // way to what the expanded URI sets.
  const char* keywords[] = {"connect_timeout", "fallback_application_name", "dbname", nullptr};
  const char* values[] = {"10", "tsauthor", uri.c_str(), nullptr};
  conn_.reset(PQconnectdbParams(keywords, values, 1));
  if (!conn_) Raise(err::DbConnectionFailed, kSource, "Out of memory while connecting to the database");
  if (PQstatus(conn_.get()) != CONNECTION_OK) {
    Raise(err::DbConnectionFailed, kSource, "Cannot connect to the database: " + Tidy(PQerrorMessage(conn_.get())));
  }
  PQsetNoticeProcessor(conn_.get(), &IgnoreNotice, nullptr);
  ResultPtr r(PQexec(conn_.get(), kSessionSetup));
  if (!r || PQresultStatus(r.get()) != PGRES_COMMAND_OK) RaiseFor(r.get(), kSessionSetup);
}

PgSession::~PgSession() = default;

void PgSession::RaiseFor(const pg_result* result, const std::string& sql) {
  const char* sqlstate = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  const char* primary = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  std::string message = primary ? std::string(primary) : Tidy(PQerrorMessage(conn_.get()));
  if (message.empty()) message = "The database reported a failure without a message";

  int32_t number = err::DbStatementFailed;
  if (PQstatus(conn_.get()) != CONNECTION_OK || IsConnectionState(sqlstate)) {
    number = err::DbConnectionFailed;
  } else if (sqlstate && std::strncmp(sqlstate, "23", 2) == 0) {
    number = err::DbConstraintViolation;
  } else if (sqlstate && std::strcmp(sqlstate, "55P03") == 0) {
    // lock_timeout: the lock was not granted in time; nothing was done.
    number = err::DatabaseBusy;
  }

  std::string description = message;
  if (sqlstate && std::strcmp(sqlstate, "25P02") == 0 && !failedStatement_.empty()) {
    // "current transaction is aborted": name the failure that caused it.
    description += " (the transaction failed earlier: " + failedStatement_ + ")";
  } else if (InTransaction() && failedStatement_.empty()) {
    failedStatement_ = message + " in statement: " + Abbreviate(sql);
  }
  description += " in statement: " + Abbreviate(sql);
  Raise(number, kSource, description);
}

void PgSession::CutConnection() noexcept {
  if (conn_ && PQsocket(conn_.get()) >= 0) ::shutdown(PQsocket(conn_.get()), SHUT_RDWR);
}

// Asks the fault seam about a statement and acts out what it answers;
// then the connection must be usable.
void PgSession::BeforeStatement(const std::string& sql, bool faultable) {
  if (faultable) {
    switch (faults::CheckDatabase(faults::Call::Statement)) {
      case faults::DbFault::None:
        break;
      case faults::DbFault::Error: {
        // The server itself fails the statement, so that the transaction
        // is aborted there as with any real failure.
        ResultPtr r(PQexec(conn_.get(), "DO $$BEGIN RAISE EXCEPTION 'injected fault'; END$$"));
        RaiseFor(r.get(), sql);
      }
      case faults::DbFault::LostConnection:
      case faults::DbFault::LostInCommit:
        CutConnection();  // the statement meets the lost connection
        break;
    }
  }
  if (PQstatus(conn_.get()) != CONNECTION_OK) {
    Raise(err::DbConnectionFailed, kSource,
          "The connection to the database is broken: " + Tidy(PQerrorMessage(conn_.get())) +
              " in statement: " + Abbreviate(sql));
  }
}

PgSession::ResultPtr PgSession::Run(const std::string& sql, const std::vector<Value>& params, bool faultable) {
  Settle();
  BeforeStatement(sql, faultable);
  Params p(params);
  const int count = static_cast<int>(params.size());
  const Oid* types = params.empty() ? nullptr : p.types.data();
  const char* const* values = params.empty() ? nullptr : p.values.data();
  ResultPtr r = pendingBegin_.empty()
                    ? ResultPtr(PQexecParams(conn_.get(), sql.c_str(), count, types, values, nullptr, nullptr, 0))
                    : BeginWith(sql, count, types, values);
  ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
  switch (status) {
    case PGRES_COMMAND_OK:
    case PGRES_TUPLES_OK:
    case PGRES_EMPTY_QUERY:
      return r;
    case PGRES_COPY_IN:
    case PGRES_COPY_OUT:
    case PGRES_COPY_BOTH:
      // Not offered. The connection is left in the middle of the copy:
      // close it, so that the session is never handed out again.
      r.reset();
      conn_.reset();
      Raise(err::DbStatementFailed, kSource, "COPY is not supported in statement: " + Abbreviate(sql));
    default:
      RaiseFor(r.get(), sql);
  }
}

int64_t PgSession::Execute(const std::string& sql, const std::vector<Value>& params) {
  ResultPtr r = Run(sql, params);
  const char* tuples = PQcmdTuples(r.get());
  int64_t n = 0;
  if (tuples && *tuples) std::from_chars(tuples, tuples + std::strlen(tuples), n);
  return n;
}

ResultSet PgSession::Query(const std::string& sql, const std::vector<Value>& params) {
  ResultPtr r = Run(sql, params);
  ResultSet out;
  if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) return out;
  const int columns = PQnfields(r.get());
  const int rows = PQntuples(r.get());
  std::vector<Oid> types(static_cast<size_t>(columns));
  out.columns.reserve(static_cast<size_t>(columns));
  for (int c = 0; c < columns; ++c) {
    out.columns.emplace_back(PQfname(r.get(), c));
    types[static_cast<size_t>(c)] = PQftype(r.get(), c);
  }
  out.rows.reserve(static_cast<size_t>(rows));
  for (int i = 0; i < rows; ++i) {
    std::vector<Value> row;
    row.reserve(static_cast<size_t>(columns));
    for (int c = 0; c < columns; ++c) {
      if (PQgetisnull(r.get(), i, c)) {
        row.emplace_back();
      } else {
        row.push_back(
            ConvertField(types[static_cast<size_t>(c)], PQgetvalue(r.get(), i, c), PQgetlength(r.get(), i, c)));
      }
    }
    out.rows.push_back(std::move(row));
  }
  return out;
}

void PgSession::Begin() { Open("BEGIN ISOLATION LEVEL READ COMMITTED", false); }

// One snapshot for every statement, so that the rows read agree; no lock
// that a writer holds is waited for.
void PgSession::BeginRead() { Open("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", true); }

// BEGIN is not sent on its own: it goes to the server together with the
// transaction's first statement (BeginWith), which saves a round trip on
// every transaction. A transaction without statements never reaches the
// server. The fault seam still sees BEGIN here, as its own statement.
void PgSession::Open(const char* begin, bool readOnly) {
  Settle();
  if (InTransaction()) Raise(err::DbStatementFailed, kSource, "A transaction is already open on this connection");
  readOnly_ = readOnly;
  failedStatement_.clear();
  commitInDoubt_ = false;
  // Every lock wait of the session's transactions ends at the deadline
  // (platform/db/lock_wait.h); 0 would mean no limit to the server.
  const int64_t lockTimeoutMs = std::max<int64_t>(1, LockWait().count());
  if (lockTimeoutMs != lockTimeoutMs_) {
    Run("SET lock_timeout = " + std::to_string(lockTimeoutMs), {}, false);
    lockTimeoutMs_ = lockTimeoutMs;
  }
  BeforeStatement(begin, true);
  pendingBegin_ = begin;
}

// Sends the pending BEGIN and the first statement in one pipeline and
// answers the statement's result; when BEGIN itself failed, its result.
PgSession::ResultPtr PgSession::BeginWith(const std::string& sql, int count, const Oid* types,
                                          const char* const* values) {
  const std::string begin = std::exchange(pendingBegin_, std::string());
  pg_conn* c = conn_.get();
  ResultPtr results[2];
  if (PQenterPipelineMode(c) == 1) {
    if (PQsendQueryParams(c, begin.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0) == 1 &&
        PQsendQueryParams(c, sql.c_str(), count, types, values, nullptr, nullptr, 0) == 1 && PQpipelineSync(c) == 1) {
      // Each query's results end with a null; then comes the sync. A broken
      // connection ends them early.
      for (auto& result : results) {
        while (ResultPtr r{PQgetResult(c)}) {
          if (!result) result = std::move(r);
        }
        if (PQstatus(c) != CONNECTION_OK) break;
      }
      if (PQstatus(c) == CONNECTION_OK) ResultPtr sync(PQgetResult(c));
    }
    if (PQexitPipelineMode(c) != 1 && PQstatus(c) == CONNECTION_OK) {
      // Results still pending: the connection cannot be trusted again.
      const std::string why = Tidy(PQerrorMessage(c));
      conn_.reset();
      Raise(err::DbConnectionFailed, kSource, "The connection to the database was left unusable (" + why +
                                                  ") in statement: " + Abbreviate(sql));
    }
  } else {
    results[0].reset(PQexec(c, begin.c_str()));
    if (results[0] && PQresultStatus(results[0].get()) == PGRES_COMMAND_OK) {
      results[1].reset(PQexecParams(c, sql.c_str(), count, types, values, nullptr, nullptr, 0));
    }
  }
  if (!results[0] || PQresultStatus(results[0].get()) != PGRES_COMMAND_OK) return std::move(results[0]);
  return std::move(results[1]);
}

void PgSession::ProbeWrite(int timeoutMs, const std::string& table) {
  Begin();
  try {
    Run("SET LOCAL lock_timeout = " + std::to_string(timeoutMs), {});
    Run("SET LOCAL statement_timeout = " + std::to_string(2 * timeoutMs), {});
    ResultPtr r = Run("SELECT current_setting('transaction_read_only')", {});
    if (PQntuples(r.get()) == 1 && std::string_view(PQgetvalue(r.get(), 0, 0)) == "on")
      Raise(err::DbStatementFailed, kSource, "The database accepts no writes (the transaction is read-only)");
    // `table` is one of the engine's own table names, never a caller's text.
    Run("LOCK TABLE " + table + " IN ROW EXCLUSIVE MODE", {});
  } catch (...) {
    Rollback();
    throw;
  }
  Rollback();
}

void PgSession::Commit() {
  if (!pendingBegin_.empty()) {
    // Nothing was asked of the server: nothing to commit.
    pendingBegin_.clear();
    return;
  }
  Settle();
  if (PQstatus(conn_.get()) != CONNECTION_OK) {
    Raise(err::DbConnectionFailed, kSource,
          "The connection to the database was lost; the transaction was not committed: " +
              Tidy(PQerrorMessage(conn_.get())));
  }
  PGTransactionStatusType status = PQtransactionStatus(conn_.get());
  if (status == PQTRANS_IDLE) Raise(err::DbStatementFailed, kSource, "No transaction is open to commit");
  if (status == PQTRANS_INERROR) {
    // The server would answer COMMIT with ROLLBACK and no error; the caller
    // must not take that for a commit.
    std::string cause = failedStatement_;
    Rollback();
    Raise(err::DbStatementFailed, kSource,
          "The transaction was rolled back because a statement in it failed" + (cause.empty() ? "" : ": " + cause));
  }
  ResultPtr r;
  try {
    const faults::DbFault fault = faults::CheckDatabase(faults::Call::Commit);
    if (fault == faults::DbFault::Error) {
      ResultPtr failed(PQexec(conn_.get(), "DO $$BEGIN RAISE EXCEPTION 'injected fault'; END$$"));
      RaiseFor(failed.get(), "COMMIT");
    }
    if (fault == faults::DbFault::LostConnection) CutConnection();
    if (fault == faults::DbFault::None && readOnly_ && status == PQTRANS_INTRANS &&
        PQsendQuery(conn_.get(), "COMMIT") == 1) {
      // A read-only transaction has nothing to lose: its end is sent, and
      // the answer is taken when the session is next used (Settle).
      commitSent_ = true;
      failedStatement_.clear();
      return;
    }
    r = Run("COMMIT", {}, false);
    if (fault == faults::DbFault::LostInCommit) {
      // Committed, but the answer never arrives.
      CutConnection();
      r.reset();
      r = Run("SELECT 1", {}, false);
    }
  } catch (const Error& e) {
    // A failing COMMIT (a deferred constraint, a lost connection) ends the
    // transaction on the server; make sure nothing stays open here.
    Rollback();
    if (e.number() != err::DbConnectionFailed) throw;
    // The server may have committed before the connection went.
    commitInDoubt_ = true;
    Raise(err::CommitInDoubt, kSource,
          "The connection to the database was lost while the call's changes were being committed, so it is not "
          "known whether they were made; look before repeating the call: " +
              e.description());
  }
  failedStatement_.clear();
  if (std::string_view(PQcmdStatus(r.get())) == "ROLLBACK") {
    Raise(err::DbStatementFailed, kSource, "The database rolled the transaction back instead of committing it");
  }
}

// Takes the answer to a read-only transaction's COMMIT sent earlier.
void PgSession::Settle() noexcept {
  if (!commitSent_) return;
  commitSent_ = false;
  while (ResultPtr r{PQgetResult(conn_.get())}) {
  }
}

void PgSession::Rollback() noexcept {
  failedStatement_.clear();
  pendingBegin_.clear();
  Settle();
  if (!conn_ || PQstatus(conn_.get()) != CONNECTION_OK) return;
  PGTransactionStatusType status = PQtransactionStatus(conn_.get());
  if (status != PQTRANS_INTRANS && status != PQTRANS_INERROR) return;
  ResultPtr r(PQexec(conn_.get(), "ROLLBACK"));
}

bool PgSession::InTransaction() const {
  if (!pendingBegin_.empty()) return true;
  if (!conn_ || commitSent_) return false;
  PGTransactionStatusType status = PQtransactionStatus(conn_.get());
  return status == PQTRANS_INTRANS || status == PQTRANS_INERROR || status == PQTRANS_ACTIVE;
}

void PgSession::LockKey(int32_t space, int32_t key) {
  if (!InTransaction()) {
    Raise(err::InvalidProcedureCall, kSource,
          "A key lock is held until the transaction ends: it needs an open transaction");
  }
  // One 64-bit advisory key per schema, space and key: installations (and
  // tests) that share a database in schemas of their own do not hold each
  // other up. A hash collision only serialises two unrelated writers.
  // Both numbers are 32-bit integers written in decimal.
  const std::string lock = "SELECT pg_advisory_xact_lock(hashtextextended(coalesce(current_schema(), '') || '/" +
                           std::to_string(space) + "/" + std::to_string(key) + "', 0))";
  const auto start = std::chrono::steady_clock::now();
  LockWaitSlot slot;
  try {
    if (slot.Overflow()) {
      // Beyond the writers that may wait the full deadline: a short wait.
      Run("SET LOCAL lock_timeout = " + std::to_string(std::max<int64_t>(1, slot.Remaining().count())), {}, false);
      Run(lock, {});
      Run("SET LOCAL lock_timeout = " + std::to_string(lockTimeoutMs_), {}, false);
    } else {
      Run(lock, {});
    }
    slot.Granted();
  } catch (const Error& e) {
    if (e.number() != err::DatabaseBusy) throw;
    RaiseBusy("the write lock of " + std::to_string(space) + "/" + std::to_string(key),
              std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start));
  }
}

bool PgSession::Healthy() {
  if (!conn_ || !pendingBegin_.empty()) return false;
  Settle();
  if (PQstatus(conn_.get()) != CONNECTION_OK) return false;
  if (PQtransactionStatus(conn_.get()) != PQTRANS_IDLE) return false;
  // An idle connection gets nothing from the server unasked. Anything
  // waiting on the socket (a termination message, the end of the stream
  // after a restart or an idle timeout) means it is going away.
  pollfd p{PQsocket(conn_.get()), POLLIN, 0};
  if (p.fd < 0) return false;
  return ::poll(&p, 1, 0) == 0;
}

std::unique_ptr<Session> OpenPgSession(const std::string& uri) { return std::make_unique<PgSession>(uri); }

}  // namespace tsa::db
