// Formatting values for SQL statements and paths: literals of the service
// database's dialect (through the value-formatting component), dates and
// times, and path separators.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/db/dialect.h"

namespace tsa {


// Decimal text of an integer for SQL, round-tripped through the
// value-formatting component (as the integer it reads back).
int32_t FormatSqlNumber(int32_t value);
// Complete SQL string literals.
std::string FormatSqlText(const std::string& value);
std::string FormatSqlValue(const std::string& value);
// The current local date and time as text: date with "-" separators, a
// blank, then hh:mm:ss.
std::string FormatNowText();
// Reads a text made by FormatNowText back into a point in time.
std::chrono::system_clock::time_point ParseNowText(const std::string& text);
// A date-time literal of the service database's dialect for the local
// time given: 'YYYY-MM-DD hh:mm:ss' with two-digit fields, in the form the
// dialect accepts (the ODBC escape is accepted by neither backend).
std::string FormatSqlTimestamp(std::chrono::system_clock::time_point value);
std::string FormatSqlTimestamp(int year, int month, int day, int hour, int minute, int second);
// "\" becomes "/"; one trailing "/" is dropped.
std::string NormalizePath(const std::string& path);
// The short-date separator of the locale in force, or "" when unknown.
std::string GetDateSeparator();

// The value-formatting component's pattern operation: a complete LIKE
// literal from a prefix ending in "*".
std::string FormatSqlLikePattern(const std::string& pattern);

// A LIKE pattern for "contains `text`", with kLikeEscape before every "%",
// "_" and escape character of the text, so that the caller's text matches
// only itself. For a bound parameter; the statement says
// "LIKE ? ESCAPE '!'".
inline constexpr char kLikeEscape = '!';
std::string LikeContainsPattern(const std::string& text);

// The dialect of the service database.
const db::Dialect& HelvixDialect();

}  // namespace tsa
