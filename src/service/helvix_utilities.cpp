#include "service/helvix_utilities.h"

#include <langinfo.h>

#include <cctype>
#include <charconv>
#include <clocale>
#include <cstdio>
#include <ctime>

#include "service/components.h"
#include "service/context.h"
#include "service/error.h"
#include "service/settings.h"

namespace tsa {

namespace {

ConnectionPtr OpenConfigured(const char* section, const char* name) {
  auto config = CreateInContext<IConfiguration>(progid::Configuration);
  config->SelectSection(section, 0);
  std::string uri = config->GetConnectionString(name);
  config.reset();
  ConnectionPtr connection;
  if (auto* context = GetObjectContext()) {
    connection = std::make_shared<db::Connection>(uri, context->Session(uri), true);
  } else {
    connection = db::Connection::Open(uri);
  }
  connection->SetIsolationLevel(db::kIsolationReadCommitted);
  return connection;
}

std::shared_ptr<IValueFormatter> Formatter() { return CreateObject<IValueFormatter>(progid::ValueFormatter); }

}  // namespace

const db::Dialect& HelvixDialect() { return db::DialectFor(CurrentSettings().HelvixUri()); }

std::string GetParamValue(const std::string& name) {
  ConnectionPtr connection;
  RecordsetPtr rs;
  return Trapped(
      "HXServiceProcess.Dispatch.GetParamValue",
      [&] {
        // The name is a caller's text: it goes through the text operation.
        std::string sql = "select PARAM_VALUE from PARAMETERS where PARAM_NAME = " + FormatSqlText(name);
        connection = GetHelvixConnection();
        rs = connection->OpenRecordset(sql);
        std::string result;
        if (!rs->IsEOF()) result = rs->Field("PARAM_VALUE").ToText();
        rs->Close();
        rs.reset();
        CloseConnection(connection);
        return result;
      },
      [&] {
        CloseRecordset(rs);
        CloseConnection(connection);
      });
}

StringDict GetParameterValues(const std::vector<std::string>& names) {
  ConnectionPtr connection;
  RecordsetPtr rs;
  return Trapped(
      "HelvixUtilities.GetParameterValues",
      [&] {
        // An empty list would end the statement in "IN ()", which not every
        // database refuses: refuse it here so both backends behave alike.
        if (names.empty()) RaiseInvalidArgument("names", "at least one parameter name is needed");
        std::string sql = "SELECT PARAM_NAME, PARAM_VALUE FROM PARAMETERS WHERE PARAM_NAME IN (";
        for (size_t i = 0; i < names.size(); ++i) {
          if (i) sql += ", ";
          sql += FormatSqlValue(names[i]);
        }
        sql += ")";
        connection = GetHelvixConnection();
        rs = connection->OpenRecordset(sql);
        StringDict values;
        while (!rs->IsEOF()) {
          // A parameter without a value is still an entry; its value reads
          // as empty, which the callers take as "not set".
          const db::Value& value = rs->Field("PARAM_VALUE");
          values.Add(rs->Field("PARAM_NAME").ToText(), value.IsNull() ? std::string() : value.ToText());
          rs->MoveNext();
        }
        rs->Close();
        rs.reset();
        CloseConnection(connection);
        return values;
      },
      [&] {
        CloseRecordset(rs);
        CloseConnection(connection);
      });
}

std::optional<std::string> GetWebFarmLocation() {
  StringDict values = GetParameterValues({"Webfarm Implemented", "FTPPath"});
  const std::string flag = values.Item("Webfarm Implemented");
  if (flag.find_first_not_of(" \t\r\n") == std::string::npos) return std::nullopt;
  bool on = false;
  try {
    on = db::Value(flag).ToBool();
  } catch (const Error&) {
    Raise(err::TypeMismatch, {}, "Type mismatch: the parameter \"Webfarm Implemented\" holds '" + flag + "', not a Boolean");
  }
  if (!on) return std::nullopt;
  std::string location = values.Item("FTPPath");
  if (location.find_first_not_of(" \t\r\n") == std::string::npos) {
    Raise(err::PathNotFound, {}, "Path not found: web-farm mode is on but the parameter \"FTPPath\" is empty");
  }
  return location;
}

ConnectionPtr GetHelvixConnection() {
  return Trapped("HXSvcServiceRequestHelvixUtilities.GetHelvixConnection",
                 [] { return OpenConfigured("Helvix", "Helvix"); });
}

ConnectionPtr GetKCatalogConnection() {
  return Trapped("HXSvcServiceRequestHelvixUtilities.GetKCatalogConnection",
                 [] { return OpenConfigured("KVServer", "KCatalog"); });
}

namespace {
// Cleanup routines trap only when no error is pending, so that a failure
// while cleaning up inside a handler replaces the pending error only when the
// cleanup itself fails.
template <class Body>
void CleanupTrapped(std::string_view label, Body&& body, const std::function<void()>& onFailure) {
  if (std::current_exception()) {
    body();
    return;
  }
  Trapped(label, body, onFailure);
}
}  // namespace

void CloseConnection(ConnectionPtr& connection) {
  CleanupTrapped(
      "HelvixUtilities.CloseConnection",
      [&] {
        if (connection && connection->State() == db::kStateOpen) connection->Close();
        connection.reset();
      },
      [&] { connection.reset(); });
}

void CloseRecordset(RecordsetPtr& recordset) {
  CleanupTrapped(
      "HelvixUtilities.CloseRecordset",
      [&] {
        if (recordset && recordset->State() == db::kStateOpen) {
          if (!recordset->IsEOF() && !recordset->IsBOF() && recordset->EditMode() != db::kEditNone) {
            if (recordset->Lock() == db::LockType::BatchOptimistic) {
              recordset->CancelBatch();
            } else {
              recordset->CancelUpdate();
            }
          }
          recordset->Close();
        }
        recordset.reset();
      },
      [&] { recordset.reset(); });
}

std::string GetInstallDir() {
  auto config = CreateInContext<IConfiguration>(progid::Configuration);
  return config->getInstallDir();
}

int32_t FormatSqlNumber(int32_t value) {
  std::string text = Formatter()->FormatNumber(value);
  int32_t result = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), result);
  if (ec != std::errc() || ptr != text.data() + text.size()) {
    Raise(err::TypeMismatch, {}, "Type mismatch: the number operation returned '" + text + "'");
  }
  return result;
}

std::string FormatSqlText(const std::string& value) { return Formatter()->FormatText(value); }
std::string FormatSqlValue(const std::string& value) { return Formatter()->FormatValue(value); }
std::string FormatSqlLikePattern(const std::string& pattern) { return Formatter()->FormatLikePattern(pattern); }

namespace {
std::string Two(int v) {
  char buf[12];  // room for any int, though callers pass 0..99
  std::snprintf(buf, sizeof buf, "%02d", v);
  return buf;
}
}  // namespace

std::string FormatNowText() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  // The engine's short-date form is the ISO one; it already uses "-", so
  // the locale's separator needs no replacing.
  std::string date = std::to_string(tm.tm_year + 1900) + "-" + Two(tm.tm_mon + 1) + "-" + Two(tm.tm_mday);
  if (date.find('-') == std::string::npos) {
    std::string sep = GetDateSeparator();
    if (!sep.empty()) {
      for (size_t p = date.find(sep); p != std::string::npos; p = date.find(sep, p + 1)) date.replace(p, sep.size(), "-");
    }
  }
  return date + " " + Two(tm.tm_hour) + ":" + Two(tm.tm_min) + ":" + Two(tm.tm_sec);
}

std::chrono::system_clock::time_point ParseNowText(const std::string& text) {
  std::tm tm{};
  int y, mo, d, h, mi, s;
  char tail;
  if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6) {
    Raise(err::TypeMismatch, {}, "Type mismatch: '" + text + "' is not a date and time");
  }
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  std::time_t t = std::mktime(&tm);
  return std::chrono::system_clock::from_time_t(t);
}

std::string FormatSqlTimestamp(int year, int month, int day, int hour, int minute, int second) {
  return HelvixDialect().Timestamp(year, month, day, hour, minute, second);
}

std::string FormatSqlTimestamp(std::chrono::system_clock::time_point value) {
  std::time_t t = std::chrono::system_clock::to_time_t(value);
  std::tm tm{};
  localtime_r(&t, &tm);
  return FormatSqlTimestamp(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

std::string NormalizePath(const std::string& path) {
  std::string p = path;
  for (char& c : p)
    if (c == '\\') c = '/';
  if (!p.empty() && p.back() == '/') p.pop_back();
  return p;
}

std::string GetDateSeparator() {
  // The separator of the short-date format of the locale in force.
  const char* fmt = nl_langinfo(D_FMT);
  if (!fmt) return {};
  std::string f(fmt);
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i] == '%') {
      ++i;
      continue;
    }
    if (!std::isalnum(static_cast<unsigned char>(f[i]))) return std::string(1, f[i]);
  }
  return {};
}

}  // namespace tsa
