// Statements with bound parameters on the service database, for the
// accounts layer's own tables: inside a transaction context on its
// transaction, else in autocommit.
#pragma once

#include <string>
#include <vector>

#include "components/connections.h"
#include "platform/db/session.h"

namespace tsa::accounts {

class ServiceDb {
 public:
  ServiceDb() : connection_(GetHelvixConnection()) {}
  ~ServiceDb() { CloseConnection(connection_); }
  ServiceDb(const ServiceDb&) = delete;
  ServiceDb& operator=(const ServiceDb&) = delete;

  // The dialect's placeholder for the i-th parameter (1-based).
  std::string P(int i) const { return connection_->dialect().Placeholder(i); }
  int64_t Execute(const std::string& sql, const std::vector<db::Value>& params = {}) {
    return connection_->session().Execute(sql, params);
  }
  db::ResultSet Query(const std::string& sql, const std::vector<db::Value>& params = {}) {
    return connection_->session().Query(sql, params);
  }
  db::Session& session() { return connection_->session(); }

 private:
  ConnectionPtr connection_;
};

// A text field of a row ("" for null).
inline std::string TextOf(const db::Value& v) { return v.IsNull() ? std::string() : v.ToText(); }

}  // namespace tsa::accounts
