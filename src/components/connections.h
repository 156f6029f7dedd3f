// Routines shared by every class: connections to the two databases and the
// run-time parameters of the service database.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/db/connection.h"
#include "runtime/dictionary.h"

namespace tsa {

using ConnectionPtr = std::shared_ptr<db::Connection>;
using RecordsetPtr = std::unique_ptr<db::Recordset>;

// The value of one parameter, or "" when no row has that name. Inside a
// transaction each parameter is read from the table once; the next
// transaction sees an operator's change.
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

// Runs `body(session, dialect)` on `connection`, which is closed whatever
// happens, and returns what `body` returns.
template <typename Body>
auto WithConnection(ConnectionPtr connection, Body body) {
  try {
    if constexpr (std::is_void_v<decltype(body(connection->session(), connection->dialect()))>) {
      body(connection->session(), connection->dialect());
      CloseConnection(connection);
    } else {
      auto result = body(connection->session(), connection->dialect());
      CloseConnection(connection);
      return result;
    }
  } catch (...) {
    CloseConnection(connection);
    throw;
  }
}
template <typename Body>
auto WithHelvixSession(Body body) {
  return WithConnection(GetHelvixConnection(), std::move(body));
}
template <typename Body>
auto WithKCatalogSession(Body body) {
  return WithConnection(GetKCatalogConnection(), std::move(body));
}

}  // namespace tsa
