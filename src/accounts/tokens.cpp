#include "accounts/tokens.h"

#include "accounts/audit.h"
#include "accounts/errors.h"
#include "accounts/secrets.h"
#include "accounts/service_db.h"
#include "runtime/context.h"
#include "runtime/error.h"

namespace tsa::accounts {

namespace {

constexpr std::string_view kPrefix = "tsa_";
constexpr size_t kIdBytes = 8;

template <class Body>
auto Change(const std::string& method, const nlohmann::json& args, Body&& body) {
  try {
    return RunTransactional([&] {
      auto result = body();
      AuditEntry e;
      e.login = ActorLogin();
      e.method = method;
      e.args = SummariseArguments(args);
      WriteAudit(std::move(e));
      return result;
    });
  } catch (...) {
    ErrorInfo info = CurrentError();
    AuditEntry e;
    e.login = ActorLogin();
    e.method = method;
    e.args = SummariseArguments(args);
    e.outcome = kOutcomeFailed;
    e.errorNumber = info.number;
    e.detail = info.description.substr(0, 200);
    WriteAuditAlone(std::move(e));
    throw;
  }
}

}  // namespace

NewToken CreateToken(const std::string& login, const std::string& label) {
  if (label.size() > 200) RaiseInvalidArgument("label", "longer than 200 characters");
  return Change("Tokens.Create", nlohmann::json{{"login", login}, {"label", label}}, [&] {
    RequireAccount(login);
    NewToken t;
    t.id = RandomHex(kIdBytes);
    t.token = std::string(kPrefix) + t.id + "_" + RandomSecret(32);
    ServiceDb db;
    db.Execute("INSERT INTO ACCOUNTTOKENS (TOKENID, LOGIN, LABEL, TOKENHASH, CREATED, REVOKED) VALUES (" + db.P(1) +
                   ", " + db.P(2) + ", " + db.P(3) + ", " + db.P(4) + ", " + db.P(5) + ", NULL)",
               {db::Value(t.id), db::Value(login), db::Value(label), db::Value(HashSecret(t.token)),
                db::Value(NowUtcMicros())});
    return t;
  });
}

std::vector<TokenInfo> ListTokens(const std::string& login) {
  ServiceDb db;
  std::vector<TokenInfo> out;
  for (const auto& r : db.Query("SELECT TOKENID, LOGIN, LABEL, CREATED, REVOKED FROM ACCOUNTTOKENS WHERE LOGIN = " +
                                    db.P(1) + " ORDER BY CREATED",
                                {db::Value(login)})
                           .rows) {
    out.push_back({TextOf(r[0]), TextOf(r[1]), TextOf(r[2]), TextOf(r[3]), TextOf(r[4])});
  }
  return out;
}

void RevokeToken(const std::string& id) {
  Change("Tokens.Revoke", nlohmann::json{{"token", id}}, [&] {
    ServiceDb db;
    if (db.Execute("UPDATE ACCOUNTTOKENS SET REVOKED = " + db.P(1) + " WHERE TOKENID = " + db.P(2) +
                       " AND REVOKED IS NULL",
                   {db::Value(NowUtcMicros()), db::Value(id)}) == 0) {
      Raise(err::TokenNotFound, kSource, "There is no valid token '" + id.substr(0, 40) + "'");
    }
    return 0;
  });
}

std::optional<Account> AccountForToken(std::string_view token) {
  if (token.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  const size_t sep = token.find('_', kPrefix.size());
  if (sep == std::string_view::npos || sep - kPrefix.size() != kIdBytes * 2) return std::nullopt;
  const std::string id(token.substr(kPrefix.size(), kIdBytes * 2));
  std::string login, stored;
  {
    ServiceDb db;
    auto rs = db.Query("SELECT LOGIN, TOKENHASH FROM ACCOUNTTOKENS WHERE TOKENID = " + db.P(1) + " AND REVOKED IS NULL",
                       {db::Value(id)});
    if (rs.rows.empty()) return std::nullopt;
    login = TextOf(rs.rows[0][0]);
    stored = TextOf(rs.rows[0][1]);
  }
  if (!SecretsEqual(HashSecret(token), stored)) return std::nullopt;
  auto account = FindAccount(login);
  if (!account || account->disabled) return std::nullopt;
  return account;
}

}  // namespace tsa::accounts
