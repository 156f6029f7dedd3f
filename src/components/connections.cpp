#include "components/connections.h"
#include "components/value_formatting.h"

#include <langinfo.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <clocale>
#include <cstdio>
#include <ctime>
#include <map>
#include <optional>

#include "runtime/components.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "runtime/settings.h"

namespace tsa {

namespace {

ConnectionPtr OpenConfigured(const char* section, const char* name) {
  auto config = CreateInContext<IConfiguration>(progid::Configuration);
  config->SelectSection(section, 0);
  std::string uri = config->GetConnectionString(name);
  config.reset();
  ConnectionPtr connection;
  if (auto* context = GetObjectContext()) {
    connection = std::make_shared<db::Connection>(uri, db::ContextSession(*context, uri), true);
  } else {
    connection = db::Connection::Open(uri);
  }
  connection->SetIsolationLevel(db::kIsolationReadCommitted);
  return connection;
}

// The parameters a transaction has read, by name (none: no such row). The
// table is the operators': no call writes it, so a transaction reads each
// parameter once, however many steps ask for it.
struct ParameterMemo : Enlistment {
  struct Entry {
    bool found = false;  // a row has the name
    db::Value value;     // its value, null included
  };
  std::map<std::string, Entry, std::less<>> values;
};
constexpr const char* kParameterMemoKey = "HelvixUtilities.Parameters";

// The current transaction's memo (held by its context); null outside one.
ParameterMemo* Memo() {
  ObjectContext* context = GetObjectContext();
  return context ? context->EnlistedOrNew<ParameterMemo>(kParameterMemoKey).get() : nullptr;
}

// The parameters nearly every call reads: inside a transaction they are
// read along with the first ones asked for, in the same statement.
const std::vector<std::string> kReadByEveryCall = {"Webfarm Implemented", "FTPPath", "DataFileRelativePath"};

// name -> value for every parameter found among `names` (a null value as
// ""), in one statement; the memo, when there is one, learns what was
// found and what was not.
StringDict QueryParameters(const std::vector<std::string>& names, ParameterMemo* memo, ConnectionPtr& connection,
                           RecordsetPtr& rs) {
  std::string sql = "SELECT PARAM_NAME, PARAM_VALUE FROM PARAMETERS WHERE PARAM_NAME IN (";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i) sql += ", ";
    // The names are callers' texts: they go through the value operation.
    sql += FormatSqlValue(names[i]);
  }
  sql += ")";
  connection = GetHelvixConnection();
  rs = connection->OpenRecordset(sql);
  StringDict values;
  if (memo) {
    for (const auto& n : names) memo->values[n] = {};
  }
  while (!rs->IsEOF()) {
    // A parameter without a value is still an entry; its value reads
    // as empty, which the callers take as "not set".
    const std::string name = rs->Field("PARAM_NAME").ToText();
    const db::Value& value = rs->Field("PARAM_VALUE");
    values.Add(name, value.IsNull() ? std::string() : value.ToText());
    if (memo) memo->values[name] = {true, value};
    rs->MoveNext();
  }
  rs->Close();
  rs.reset();
  CloseConnection(connection);
  return values;
}

// Makes sure the memo knows `names`: what it does not know yet is read in
// one statement, with the parameters every call reads.
void Remember(ParameterMemo& memo, const std::vector<std::string>& names, ConnectionPtr& connection,
              RecordsetPtr& rs) {
  std::vector<std::string> missing;
  auto add = [&](const std::string& n) {
    if (!memo.values.count(n) && std::find(missing.begin(), missing.end(), n) == missing.end()) missing.push_back(n);
  };
  for (const auto& n : names) add(n);
  if (missing.empty()) return;
  for (const auto& n : kReadByEveryCall) add(n);
  QueryParameters(missing, &memo, connection, rs);
}

}  // namespace

std::string GetParamValue(const std::string& name) {
  ConnectionPtr connection;
  RecordsetPtr rs;
  return Trapped(
      "HXServiceProcess.Dispatch.GetParamValue",
      [&] {
        if (ParameterMemo* memo = Memo()) {
          Remember(*memo, {name}, connection, rs);
          const ParameterMemo::Entry& entry = memo->values.find(name)->second;
          // A null value fails as reading it from the row does.
          return entry.found ? entry.value.ToText() : std::string();
        }
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
        ParameterMemo* memo = Memo();
        if (!memo) return QueryParameters(names, nullptr, connection, rs);
        Remember(*memo, names, connection, rs);
        StringDict values;
        for (const auto& n : names) {
          const ParameterMemo::Entry& entry = memo->values.find(n)->second;
          if (!entry.found || values.Exists(n)) continue;
          values.Add(n, entry.value.IsNull() ? std::string() : entry.value.ToText());
        }
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

}  // namespace tsa
