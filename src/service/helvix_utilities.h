// Routines shared by every class: connections, parameters and value
// formatting for SQL statements and paths.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/db/connection.h"
#include "service/dictionary.h"

namespace tsa {

using ConnectionPtr = std::shared_ptr<db::Connection>;
using RecordsetPtr = std::unique_ptr<db::Recordset>;

// --- connections and parameters ---

// The value of one parameter, or "" when no row has that name.
std::string GetParamValue(const std::string& name);
// name -> value for every parameter found among `names` (a null value as "").
StringDict GetParameterValues(const std::vector<std::string>& names);
// Web-farm mode: the shared location of the documents when the parameter
// "Webfarm Implemented" is on, else nothing. Unset or blank means off; a
// value that is not a Boolean ("True", "False" or a number) is a type
// mismatch (13); on with an empty "FTPPath" is a path not found (76).
std::optional<std::string> GetWebFarmLocation();
// Open connections to the service and catalog databases. Inside a
// transaction context the handle is on the context's transaction.
ConnectionPtr GetHelvixConnection();
ConnectionPtr GetKCatalogConnection();
// Close if open and drop the reference. Safe on a null reference.
void CloseConnection(ConnectionPtr& connection);
// Discard pending edits, close if open and drop the reference.
void CloseRecordset(RecordsetPtr& recordset);
// The installation directory, from the configuration component.
std::string GetInstallDir();

// --- value formatting ---

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

// The dialect of the service database.
const db::Dialect& HelvixDialect();

}  // namespace tsa
