// The SQL dialect of a backend. The engine's statements are written in one
// common form; the few constructs that differ between databases (first row
// only, string concatenation, timestamp literals, LIKE escapes, parameter
// placeholders) go through here.
#pragma once

#include <string>
#include <string_view>

namespace tsa::db {

enum class DialectKind { SQLite, PostgreSQL };

class Dialect {
 public:
  explicit constexpr Dialect(DialectKind kind) : kind_(kind) {}
  DialectKind Kind() const { return kind_; }
  std::string_view Name() const;

  // "SELECT TOP 1 " + rest  →  the statement that returns the first row only.
  // `rest` is everything after "TOP 1 " (select list, FROM, WHERE, ...).
  std::string SelectTop1(std::string_view rest) const;
  // The string concatenation operator, with blanks around it.
  std::string_view Concat() const;
  // A date-time literal for year, month, day, hour, minute, second.
  std::string Timestamp(int year, int month, int day, int hour, int minute, int second) const;
  // A complete string literal: quotes doubled; a NUL character is refused
  // (error 5 naming the problem).
  std::string TextLiteral(std::string_view text) const;
  // A complete LIKE literal from a pattern whose trailing "*" means any
  // sequence of characters; the dialect's own wildcards in the prefix are
  // escaped so they match themselves.
  std::string LikePattern(std::string_view pattern) const;
  // The placeholder for the parameter at `index` (from 1).
  std::string Placeholder(int index) const;
  // Compares two values so that nulls count as equal.
  std::string_view NullSafeEquals() const;
  // The hidden column that identifies a row of a table while a recordset
  // edits it ("rowid", "ctid"), and the condition that locates a row by the
  // value of that column bound at parameter `index`.
  std::string_view RowId() const;
  std::string RowIdEquals(int index) const;

 private:
  DialectKind kind_;
};

inline constexpr Dialect kSQLite{DialectKind::SQLite};
inline constexpr Dialect kPostgreSQL{DialectKind::PostgreSQL};

}  // namespace tsa::db
