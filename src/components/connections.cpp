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
  std::map<std::string, std::optional<std::string>, std::less<>> values;
};
constexpr const char* kParameterMemoKey = "HelvixUtilities.Parameters";

// The current transaction's memo (held by its context); null outside one.
ParameterMemo* Memo() {
  ObjectContext* context = GetObjectContext();
  if (!context) return nullptr;
  auto memo = std::dynamic_pointer_cast<ParameterMemo>(context->Enlisted(kParameterMemoKey));
  if (!memo) {
    memo = std::make_shared<ParameterMemo>();
    context->Enlist(kParameterMemoKey, memo);
  }
  return memo.get();
}

}  // namespace

std::string GetParamValue(const std::string& name) {
  ConnectionPtr connection;
  RecordsetPtr rs;
  return Trapped(
      "HXServiceProcess.Dispatch.GetParamValue",
      [&] {
        ParameterMemo* memo = Memo();
        if (memo) {
          if (auto it = memo->values.find(name); it != memo->values.end()) return it->second.value_or("");
        }
        // The name is a caller's text: it goes through the text operation.
        std::string sql = "select PARAM_VALUE from PARAMETERS where PARAM_NAME = " + FormatSqlText(name);
        connection = GetHelvixConnection();
        rs = connection->OpenRecordset(sql);
        std::string result;
        const bool found = !rs->IsEOF();
        if (found) result = rs->Field("PARAM_VALUE").ToText();
        if (memo) memo->values[name] = found ? std::optional<std::string>(result) : std::nullopt;
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
        if (memo && std::all_of(names.begin(), names.end(), [&](const std::string& n) {
              return memo->values.count(n) > 0;
            })) {
          StringDict values;
          for (const auto& n : names) {
            const auto& value = memo->values.find(n)->second;
            if (value && !values.Exists(n)) values.Add(n, *value);
          }
          return values;
        }
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
        if (memo) {
          for (const auto& n : names) {
            memo->values[n] = values.Exists(n) ? std::optional<std::string>(values.Item(n)) : std::nullopt;
          }
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

}  // namespace tsa
