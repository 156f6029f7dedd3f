#include "platform/db/dialect.h"

#include <cstdio>

#include "runtime/error.h"

namespace tsa::db {

namespace {

// The escape character of LIKE patterns that need one.
constexpr char kLikeEscape = '!';

void AppendQuoted(std::string& out, std::string_view text) {
  for (char c : text) {
    if (c == '\0') {
      Raise(err::InvalidProcedureCall, {},
            "Invalid procedure call or argument: a text for a SQL statement contains a NUL character");
    }
    if (c == '\'') out += '\'';
    out += c;
  }
}

std::string TrimEnd(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n' ||
                        s.back() == ';'))
    s.remove_suffix(1);
  return std::string(s);
}

}  // namespace

std::string_view Dialect::Name() const { return kind_ == DialectKind::SQLite ? "sqlite" : "postgresql"; }

std::string Dialect::SelectTop1(std::string_view rest) const {
  // LIMIT follows ORDER BY, so appending it is right whether or not `rest`
  // orders; a trailing terminator would put it after the statement's end.
  return "SELECT " + TrimEnd(rest) + " LIMIT 1";
}

std::string_view Dialect::Concat() const { return " || "; }

std::string Dialect::Timestamp(int year, int month, int day, int hour, int minute, int second) const {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59 || second < 0 || second > 59) {
    Raise(err::InvalidProcedureCall, {}, "Invalid procedure call or argument: the date or time is out of range");
  }
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "'%04d-%02d-%02d %02d:%02d:%02d'", year, month, day, hour, minute, second);
  return kind_ == DialectKind::PostgreSQL ? "TIMESTAMP " + std::string(buffer) : std::string(buffer);
}

std::string Dialect::TextLiteral(std::string_view text) const {
  // PostgreSQL sessions run with standard_conforming_strings on, so a
  // backslash is an ordinary character in both dialects.
  std::string out;
  out.reserve(text.size() + 2);
  out += '\'';
  AppendQuoted(out, text);
  out += '\'';
  return out;
}

std::string Dialect::LikePattern(std::string_view pattern) const {
  bool anySuffix = !pattern.empty() && pattern.back() == '*';
  std::string_view prefix = anySuffix ? pattern.substr(0, pattern.size() - 1) : pattern;

  // Characters that LIKE would read as wildcards. PostgreSQL also reads a
  // backslash as its default escape character.
  auto special = [this](char c) {
    return c == '%' || c == '_' || (kind_ == DialectKind::PostgreSQL && c == '\\');
  };
  bool needsEscape = false;
  for (char c : prefix) needsEscape = needsEscape || special(c);

  // Without anything to escape no ESCAPE clause is written: SQLite only
  // uses an index for a prefix search when there is none.
  std::string body;
  body.reserve(prefix.size() + 4);
  for (char c : prefix) {
    if (needsEscape && (special(c) || c == kLikeEscape)) body += kLikeEscape;
    body += c;
  }
  if (anySuffix) body += '%';

  std::string out = "'";
  AppendQuoted(out, body);
  out += '\'';
  if (needsEscape) {
    out += " ESCAPE '";
    out += kLikeEscape;
    out += '\'';
  }
  return out;
}

std::string Dialect::Placeholder(int index) const {
  if (kind_ != DialectKind::PostgreSQL) return "?";
  std::string placeholder(1, '$');
  placeholder += std::to_string(index);
  return placeholder;
}

std::string_view Dialect::NullSafeEquals() const {
  return kind_ == DialectKind::PostgreSQL ? " IS NOT DISTINCT FROM " : " IS ";
}

std::string_view Dialect::RowId() const { return kind_ == DialectKind::PostgreSQL ? "ctid" : "rowid"; }

std::string Dialect::RowIdEquals(int index) const {
  // PostgreSQL's row identifier travels as text and is read back as a tid.
  if (kind_ == DialectKind::PostgreSQL) return "ctid = CAST(" + Placeholder(index) + " AS tid)";
  return "rowid = " + Placeholder(index);
}

}  // namespace tsa::db
