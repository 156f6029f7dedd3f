#include "platform/db/connection.h"

#include <cctype>

#include "runtime/error.h"

namespace tsa::db {

namespace {

constexpr std::string_view kRowNotFound =
    "Row cannot be located for updating. Some values may have been changed since it was last read.";

[[noreturn]] void RaiseClosed() {
  Raise(kErrObjectClosed, {}, "Operation is not allowed when the object is closed.");
}

[[noreturn]] void RaiseNotUpdatable() {
  Raise(kErrNotUpdatable, {},
        "Current Recordset does not support updating. This may be a limitation of the provider, or of the "
        "selected locktype.");
}

[[noreturn]] void RaiseNoCurrent() {
  Raise(kErrNoCurrentRecord, {},
        "Either BOF or EOF is True, or the current record has been deleted. Requested operation requires a "
        "current record.");
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$'; }

// Moves `i` past a quoted section, a comment or one character.
size_t SkipOne(std::string_view sql, size_t i) {
  char c = sql[i];
  if (c == '\'' || c == '"' || c == '`' || c == '[') {
    char close = c == '[' ? ']' : c;
    for (size_t j = i + 1; j < sql.size(); ++j) {
      if (sql[j] != close) continue;
      if (close != ']' && j + 1 < sql.size() && sql[j + 1] == close) {
        ++j;  // a doubled quote
        continue;
      }
      return j + 1;
    }
    return sql.size();
  }
  if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
    size_t end = sql.find('\n', i);
    return end == std::string_view::npos ? sql.size() : end + 1;
  }
  if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
    size_t end = sql.find("*/", i + 2);
    return end == std::string_view::npos ? sql.size() : end + 2;
  }
  return i + 1;
}

// The position of the first keyword `word` outside parentheses, quotes and
// comments, or npos.
size_t FindKeyword(std::string_view sql, std::string_view word) {
  int depth = 0;
  for (size_t i = 0; i < sql.size();) {
    char c = sql[i];
    if (c == '(') ++depth;
    if (c == ')') --depth;
    if (depth == 0 && IsWordChar(c) && (i == 0 || !IsWordChar(sql[i - 1]))) {
      size_t end = i;
      while (end < sql.size() && IsWordChar(sql[end])) ++end;
      if (EqualsIgnoreCase(sql.substr(i, end - i), word)) return i;
      i = end;
      continue;
    }
    i = SkipOne(sql, i);
  }
  return std::string_view::npos;
}

bool IsClauseWord(std::string_view word) {
  for (std::string_view k : {"WHERE", "ORDER", "GROUP", "HAVING", "LIMIT", "OFFSET", "UNION", "EXCEPT", "INTERSECT",
                             "JOIN", "INNER", "LEFT", "RIGHT", "FULL", "CROSS", "NATURAL", "ON", "USING", "WINDOW",
                             "FOR", "FETCH"}) {
    if (EqualsIgnoreCase(word, k)) return true;
  }
  return false;
}

// The table an updatable recordset changes: the one named after the
// statement's first FROM, as written (a plain or quoted name, possibly with
// its schema), and the name its columns go by there (its alias, if any).
struct Source {
  std::string table;
  std::string qualifier;
};

Source FirstFromTable(std::string_view sql) {
  size_t from = FindKeyword(sql, "FROM");
  if (from == std::string_view::npos) return {};
  auto skipBlanks = [&](size_t i) {
    while (i < sql.size() && std::isspace(static_cast<unsigned char>(sql[i]))) ++i;
    return i;
  };
  auto name = [&](size_t& i) {
    size_t start = i;
    while (i < sql.size()) {
      if (sql[i] == '"') {
        i = SkipOne(sql, i);
      } else if (IsWordChar(sql[i]) || sql[i] == '.') {
        ++i;
      } else {
        break;
      }
    }
    return std::string(sql.substr(start, i - start));
  };
  size_t i = skipBlanks(from + 4);
  Source source;
  source.table = name(i);  // "" for a subquery
  source.qualifier = source.table;
  if (source.table.empty()) return source;
  i = skipBlanks(i);
  std::string alias = name(i);
  if (EqualsIgnoreCase(alias, "AS")) {
    i = skipBlanks(i);
    alias = name(i);
  }
  if (!alias.empty() && !IsClauseWord(alias)) source.qualifier = alias;
  return source;
}

// The statement with the row identifier added in front of its select list,
// or "" when it is no plain SELECT.
std::string WithRowId(std::string_view sql, const Source& source, const Dialect& dialect) {
  size_t i = 0;
  while (i < sql.size() && std::isspace(static_cast<unsigned char>(sql[i]))) ++i;
  if (sql.size() - i < 6 || !EqualsIgnoreCase(sql.substr(i, 6), "SELECT")) return {};
  size_t rest = i + 6;
  if (rest < sql.size() && IsWordChar(sql[rest])) return {};
  size_t next = rest;
  while (next < sql.size() && std::isspace(static_cast<unsigned char>(sql[next]))) ++next;
  size_t wordEnd = next;
  while (wordEnd < sql.size() && IsWordChar(sql[wordEnd])) ++wordEnd;
  std::string_view word = sql.substr(next, wordEnd - next);
  if (EqualsIgnoreCase(word, "DISTINCT") || EqualsIgnoreCase(word, "TOP")) return {};
  return "SELECT " + source.qualifier + "." + std::string(dialect.RowId()) + " AS " + std::string(kRowIdColumn) +
         "," + std::string(sql.substr(rest));
}

std::string QuoteName(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

std::string Returning(const Dialect& dialect) {
  return " RETURNING " + std::string(dialect.RowId()) + " AS " + std::string(kRowIdColumn) + ", *";
}

}  // namespace

// --- Connection ---

Connection::Connection(std::string uri, std::shared_ptr<Session> session, bool inContext)
    : uri_(std::move(uri)), session_(std::move(session)), inContext_(inContext) {
  if (!session_) session_ = SessionPool::Instance().Acquire(uri_);
}

Connection::~Connection() = default;

std::shared_ptr<Connection> Connection::Open(const std::string& uri) {
  return std::make_shared<Connection>(uri, SessionPool::Instance().Acquire(uri), false);
}

void Connection::Close() {
  // A pooled session goes back to the pool (its open transaction, if any,
  // rolled back); a context's session stays with its transaction.
  session_.reset();
}

void Connection::SetIsolationLevel(int level) {
  if (level != kIsolationReadCommitted) {
    Raise(kErrBadArguments, {},
          "Arguments are of the wrong type, are out of acceptable range, or are in conflict with one another.");
  }
}

int64_t Connection::Execute(const std::string& sql) { return session().Execute(sql, {}); }

int64_t Connection::Execute(const std::string& sql, const std::vector<Value>& params) {
  return session().Execute(sql, params);
}

std::unique_ptr<Recordset> Connection::OpenRecordset(const std::string& sql, CursorType cursor, LockType lock) {
  Session& s = session();
  if (lock == LockType::ReadOnly) {
    return std::make_unique<Recordset>(session_, s.Query(sql, {}), cursor, lock, std::string());
  }
  // Updatable: the rows are read with their identifiers so that each one
  // can be found again. A statement that is no plain SELECT over a table is
  // read as it is and refuses changes.
  Source source = FirstFromTable(sql);
  std::string query = source.table.empty() ? std::string() : WithRowId(sql, source, s.dialect());
  if (query.empty()) {
    return std::make_unique<Recordset>(session_, s.Query(sql, {}), cursor, lock, std::string());
  }
  return std::make_unique<Recordset>(session_, s.Query(query, {}), cursor, lock, std::move(source.table));
}

const Dialect& Connection::dialect() const { return session_ ? session_->dialect() : DialectFor(uri_); }

Session& Connection::session() {
  if (!session_) RaiseClosed();
  return *session_;
}

// --- Recordset ---

Recordset::Recordset(std::shared_ptr<Session> session, ResultSet rows, CursorType cursor, LockType lock,
                     std::string table)
    : session_(std::move(session)), rows_(std::move(rows)), cursor_(cursor), lock_(lock), table_(std::move(table)) {
  if (!rows_.columns.empty() && EqualsIgnoreCase(rows_.columns.front(), kRowIdColumn)) {
    rows_.columns.erase(rows_.columns.begin());
    rowIds_.reserve(rows_.rows.size());
    for (auto& row : rows_.rows) {
      rowIds_.push_back(std::move(row.front()));
      row.erase(row.begin());
    }
  } else {
    table_.clear();  // rows that cannot be found again are not changed
  }
}

void Recordset::RequireOpen() const {
  if (!open_) RaiseClosed();
}

void Recordset::RequireUpdatable() const {
  RequireOpen();
  if (lock_ == LockType::ReadOnly || table_.empty()) RaiseNotUpdatable();
}

void Recordset::RequireCurrent() const {
  if (currentDeleted_ || pos_ >= rows_.rows.size()) RaiseNoCurrent();
}

bool Recordset::IsEOF() const {
  RequireOpen();
  return pos_ >= rows_.rows.size();
}

bool Recordset::IsBOF() const {
  RequireOpen();
  return rows_.rows.empty() || bof_;
}

void Recordset::MoveNext() {
  RequireOpen();
  if (editMode_ != kEditNone) Update();  // moving off a changed row saves it
  if (currentDeleted_) {
    currentDeleted_ = false;  // the next row already took the deleted one's place
    return;
  }
  if (pos_ >= rows_.rows.size()) RaiseNoCurrent();
  ++pos_;
}

void Recordset::MoveFirst() {
  RequireOpen();
  if (editMode_ != kEditNone) Update();
  currentDeleted_ = false;
  bof_ = false;
  pos_ = 0;
}

size_t Recordset::ColumnIndex(std::string_view name) const {
  for (size_t i = 0; i < rows_.columns.size(); ++i)
    if (EqualsIgnoreCase(rows_.columns[i], name)) return i;
  Raise(kErrItemNotFound, {}, "Item cannot be found in the collection corresponding to the requested name or ordinal.");
}

const Value& Recordset::Field(std::string_view name) const {
  RequireOpen();
  size_t column = ColumnIndex(name);
  if (editMode_ != kEditNone) return edit_[column];
  RequireCurrent();
  return rows_.rows[pos_][column];
}

void Recordset::SetField(std::string_view name, Value value) {
  RequireUpdatable();
  size_t column = ColumnIndex(name);
  if (editMode_ == kEditNone) {
    RequireCurrent();
    edit_ = rows_.rows[pos_];
    changed_.assign(edit_.size(), false);
    editMode_ = kEditInProgress;
  }
  edit_[column] = std::move(value);
  changed_[column] = true;
}

void Recordset::AddNew() {
  RequireUpdatable();
  if (editMode_ != kEditNone) Update();
  edit_.assign(rows_.columns.size(), Value());
  changed_.assign(rows_.columns.size(), false);
  editMode_ = kEditAdd;
}

void Recordset::Update() {
  RequireOpen();
  if (editMode_ == kEditNone) return;
  RequireUpdatable();
  if (editMode_ == kEditAdd) {
    Insert();
  } else {
    UpdateCurrent();
  }
  editMode_ = kEditNone;
  edit_.clear();
  changed_.clear();
}

std::string Recordset::LocateCurrent(int firstIndex, std::vector<Value>& params) const {
  const Dialect& d = session_->dialect();
  int index = firstIndex;
  std::string where = d.RowIdEquals(index++);
  params.push_back(rowIds_[pos_]);
  const auto& row = rows_.rows[pos_];
  for (size_t i = 0; i < rows_.columns.size(); ++i) {
    where += " AND " + QuoteName(rows_.columns[i]) + std::string(d.NullSafeEquals()) + d.Placeholder(index++);
    params.push_back(row[i]);
  }
  return where;
}

std::vector<Value> Recordset::AdoptReturned(const ResultSet& returned, const std::vector<Value>& fallback,
                                            Value& rowId) const {
  std::vector<Value> row = fallback;
  const auto& values = returned.rows.front();
  for (size_t r = 0; r < returned.columns.size() && r < values.size(); ++r) {
    if (EqualsIgnoreCase(returned.columns[r], kRowIdColumn)) {
      rowId = values[r];
      continue;
    }
    for (size_t i = 0; i < rows_.columns.size(); ++i) {
      if (EqualsIgnoreCase(rows_.columns[i], returned.columns[r])) row[i] = values[r];
    }
  }
  return row;
}

void Recordset::Insert() {
  const Dialect& d = session_->dialect();
  std::string names;
  std::string placeholders;
  std::vector<Value> params;
  for (size_t i = 0; i < edit_.size(); ++i) {
    if (!changed_[i]) continue;
    if (!params.empty()) {
      names += ", ";
      placeholders += ", ";
    }
    params.push_back(edit_[i]);
    names += QuoteName(rows_.columns[i]);
    placeholders += d.Placeholder(static_cast<int>(params.size()));
  }
  std::string sql = "INSERT INTO " + table_;
  sql += params.empty() ? std::string(" DEFAULT VALUES") : " (" + names + ") VALUES (" + placeholders + ")";
  sql += Returning(d);
  ResultSet returned = session_->Query(sql, params);
  if (returned.rows.size() != 1) Raise(err::DbStatementFailed, {}, "The added row could not be read back");
  Value rowId;
  std::vector<Value> row = AdoptReturned(returned, edit_, rowId);
  rows_.rows.push_back(std::move(row));
  rowIds_.push_back(std::move(rowId));
  pos_ = rows_.rows.size() - 1;
  currentDeleted_ = false;
}

void Recordset::UpdateCurrent() {
  const Dialect& d = session_->dialect();
  std::string assignments;
  std::vector<Value> params;
  for (size_t i = 0; i < edit_.size(); ++i) {
    if (!changed_[i]) continue;
    if (!params.empty()) assignments += ", ";
    params.push_back(edit_[i]);
    assignments += QuoteName(rows_.columns[i]) + " = " + d.Placeholder(static_cast<int>(params.size()));
  }
  if (params.empty()) return;  // nothing was changed
  std::string where = LocateCurrent(static_cast<int>(params.size()) + 1, params);
  std::string sql = "UPDATE " + table_ + " SET " + assignments + " WHERE " + where + Returning(d);
  ResultSet returned = session_->Query(sql, params);
  if (returned.rows.size() != 1) Raise(err::DbRowNotFound, {}, kRowNotFound);
  rows_.rows[pos_] = AdoptReturned(returned, edit_, rowIds_[pos_]);
}

void Recordset::Delete() {
  RequireUpdatable();
  CancelUpdate();
  RequireCurrent();
  std::vector<Value> params;
  std::string where = LocateCurrent(1, params);
  int64_t deleted = session_->Execute("DELETE FROM " + table_ + " WHERE " + where, params);
  if (deleted != 1) Raise(err::DbRowNotFound, {}, kRowNotFound);
  rows_.rows.erase(rows_.rows.begin() + static_cast<std::ptrdiff_t>(pos_));
  rowIds_.erase(rowIds_.begin() + static_cast<std::ptrdiff_t>(pos_));
  currentDeleted_ = true;
}

void Recordset::CancelUpdate() {
  RequireOpen();
  editMode_ = kEditNone;
  edit_.clear();
  changed_.clear();
}

void Recordset::CancelBatch() {
  // Changes are sent row by row as they are made, so the only pending
  // change is the current row's edit.
  CancelUpdate();
}

void Recordset::Close() {
  // A pending edit is dropped, never written on the way out.
  editMode_ = kEditNone;
  edit_.clear();
  changed_.clear();
  rows_ = ResultSet();
  rowIds_.clear();
  pos_ = 0;
  currentDeleted_ = false;
  open_ = false;
  session_.reset();
}

}  // namespace tsa::db
