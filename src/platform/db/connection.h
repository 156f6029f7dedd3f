// Connections and recordsets: the engine's view of a database.
//
// A Connection is a handle. Outside a transaction context it owns a pooled
// session in autocommit mode; inside one it is a handle on the context's
// single transaction for that database, and closing it leaves the
// transaction alone.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/db/session.h"
#include "platform/db/value.h"

namespace tsa::db {

enum class CursorType { ForwardOnly = 0, Keyset = 1, Dynamic = 2, Static = 3 };
enum class LockType { ReadOnly = 1, Pessimistic = 2, Optimistic = 3, BatchOptimistic = 4 };

inline constexpr int kStateClosed = 0;
inline constexpr int kStateOpen = 1;
inline constexpr int kIsolationReadCommitted = 4096;

// Edit modes of a recordset.
inline constexpr int kEditNone = 0;
inline constexpr int kEditInProgress = 1;
inline constexpr int kEditAdd = 2;

class Recordset;

class Connection {
 public:
  // Opens a handle for a connection URI: on the current transaction context's
  // session when `session` is given, else on a pooled autocommit session.
  Connection(std::string uri, std::shared_ptr<Session> session, bool inContext);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // A handle outside any transaction context.
  static std::shared_ptr<Connection> Open(const std::string& uri);

  int State() const { return session_ ? kStateOpen : kStateClosed; }
  void Close();
  // Only read committed (4096) is offered; anything else is refused.
  void SetIsolationLevel(int level);

  // Runs a statement without records; returns the rows it changed.
  int64_t Execute(const std::string& sql);
  // Runs a statement with bound parameters (internal use: values that must
  // not travel as SQL text).
  int64_t Execute(const std::string& sql, const std::vector<Value>& params);
  // Opens a recordset on a query.
  std::unique_ptr<Recordset> OpenRecordset(const std::string& sql, CursorType cursor = CursorType::ForwardOnly,
                                           LockType lock = LockType::ReadOnly);

  const Dialect& dialect() const;
  const std::string& Uri() const { return uri_; }
  bool InContext() const { return inContext_; }
  Session& session();

 private:
  std::string uri_;
  std::shared_ptr<Session> session_;
  bool inContext_;
};

// Rows of a query. Read-only recordsets move forward over the rows; an
// updatable one (keyset or dynamic cursor with optimistic locking) over a
// single table also adds, updates and deletes rows through bound
// parameters, locating a row by the values it was read with.
class Recordset {
 public:
  // `rows` of an updatable recordset begin with the column kRowIdColumn
  // (Connection::OpenRecordset adds it); without it the rows are read-only.
  Recordset(std::shared_ptr<Session> session, ResultSet rows, CursorType cursor, LockType lock,
            std::string table);

  int State() const { return open_ ? kStateOpen : kStateClosed; }
  bool IsEOF() const;
  bool IsBOF() const;
  void MoveNext();
  void MoveFirst();
  size_t RecordCount() const { return rows_.rows.size(); }
  const std::vector<std::string>& Columns() const { return rows_.columns; }

  // A field of the current row by name (case ignored); error 3265 for an
  // unknown name, 3021 without a current row.
  const Value& Field(std::string_view name) const;
  void SetField(std::string_view name, Value value);

  void AddNew();
  void Update();
  void Delete();
  void CancelUpdate();
  void CancelBatch();
  void Close();

  int EditMode() const { return editMode_; }
  LockType Lock() const { return lock_; }
  CursorType Cursor() const { return cursor_; }

 private:
  size_t ColumnIndex(std::string_view name) const;
  void RequireOpen() const;
  void RequireUpdatable() const;
  void RequireCurrent() const;
  // The condition that finds the current row as it was read, and its values.
  std::string LocateCurrent(int firstIndex, std::vector<Value>& params) const;
  // Takes the row a statement returned as the current row's new values.
  std::vector<Value> AdoptReturned(const ResultSet& returned, const std::vector<Value>& fallback, Value& rowId) const;
  void Insert();
  void UpdateCurrent();

  std::shared_ptr<Session> session_;
  ResultSet rows_;
  CursorType cursor_;
  LockType lock_;
  std::string table_;
  size_t pos_ = 0;
  bool bof_ = false;
  bool open_ = true;
  int editMode_ = kEditNone;
  std::vector<Value> edit_;  // the row being added or changed
  std::vector<bool> changed_;  // which fields of `edit_` were set
  std::vector<Value> rowIds_;  // updatable: each row's identifier in its table
  bool currentDeleted_ = false;  // the current row was deleted; the next one is in its place
};

// The column an updatable recordset's statement gains in front of the
// others: the row identifier of the table (hidden from the fields).
inline constexpr std::string_view kRowIdColumn = "tsa_rowid__";

// ADO error numbers the recordset raises.
inline constexpr int32_t kErrItemNotFound = 3265;
inline constexpr int32_t kErrNoCurrentRecord = 3021;
inline constexpr int32_t kErrNotUpdatable = 3251;
inline constexpr int32_t kErrBadArguments = 3001;
inline constexpr int32_t kErrObjectClosed = 3704;

}  // namespace tsa::db
