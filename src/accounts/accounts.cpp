#include "accounts/accounts.h"

#include <algorithm>

#include "accounts/audit.h"
#include "accounts/errors.h"
#include "accounts/secrets.h"
#include "accounts/service_db.h"
#include "runtime/caller.h"
#include "runtime/context.h"
#include "runtime/error.h"
#include "runtime/settings.h"
#include "platform/db/session.h"

namespace tsa::accounts {

namespace {

constexpr const char* kColumns = "LOGIN, DISPLAYNAME, ROLE, PASSWORDHASH, DISABLED, CREATED, LASTSIGNIN";

Account FromRow(const std::vector<db::Value>& r) {
  Account a;
  a.login = TextOf(r[0]);
  a.name = TextOf(r[1]);
  a.role = TextOf(r[2]);
  a.hasPassword = !TextOf(r[3]).empty();
  a.disabled = !r[4].IsNull() && r[4].ToInt32() != 0;
  a.created = TextOf(r[5]);
  a.lastSignIn = TextOf(r[6]);
  return a;
}

void Audited(const std::string& method, const std::string& login, const std::string& detail) {
  AuditEntry e;
  e.login = ActorLogin();
  e.method = method;
  e.args = SummariseArguments(nlohmann::json{{"login", login}});
  e.detail = detail;
  WriteAudit(std::move(e));
}

// Runs an account change and its audit row as one transaction; a failure
// leaves a "failed" row of its own.
template <class Body>
void Change(const std::string& method, const std::string& login, Body&& body) {
  try {
    RunTransactional([&] {
      std::string detail = body();
      Audited(method, login, detail);
    });
  } catch (...) {
    ErrorInfo e = CurrentError();
    AuditEntry a;
    a.login = ActorLogin();
    a.method = method;
    a.args = SummariseArguments(nlohmann::json{{"login", login}});
    a.outcome = kOutcomeFailed;
    a.errorNumber = e.number;
    a.detail = e.description.substr(0, 200);
    WriteAuditAlone(std::move(a));
    throw;
  }
}

void RequireUpdated(int64_t rows, const std::string& login) {
  if (rows == 0) Raise(err::AccountNotFound, kSource, "There is no account '" + login + "'");
}

// Serialises account creation, so that "no account yet" stays true until
// the first one is in.
void LockAccounts() {
  if (ObjectContext* context = GetObjectContext()) {
    db::LockKey(*context, CurrentSettings().HelvixUri(), 1300, 0);
  }
}

void Insert(const std::string& login, const std::string& name, Role role, const std::string& password) {
  ValidateLogin(login);
  if (name.size() > 200) RaiseInvalidArgument("name", "longer than 200 characters");
  if (!password.empty()) ValidatePassword(password);
  ServiceDb db;
  if (!db.Query("SELECT 1 FROM ACCOUNTS WHERE LOGIN = " + db.P(1), {db::Value(login)}).rows.empty()) {
    Raise(err::AccountExists, kSource, "An account '" + login + "' exists already");
  }
  db.Execute("INSERT INTO ACCOUNTS (LOGIN, DISPLAYNAME, ROLE, PASSWORDHASH, DISABLED, CREATED, LASTSIGNIN) VALUES (" +
                 db.P(1) + ", " + db.P(2) + ", " + db.P(3) + ", " + db.P(4) + ", 0, " + db.P(5) + ", NULL)",
             {db::Value(login), db::Value(name.empty() ? login : name), db::Value(RoleName(role)),
              db::Value(password.empty() ? std::string() : HashPassword(password)), db::Value(NowUtcMicros())});
}

}  // namespace

void ValidateLogin(std::string_view login, std::string_view what) {
  if (login.empty() || login.size() > 64) RaiseInvalidArgument(what, "a login has 1 to 64 characters");
  for (unsigned char c : login) {
    if (!(std::isalnum(c) || c == '.' || c == '_' || c == '@' || c == '-')) {
      RaiseInvalidArgument(what, "a login consists of letters, digits and . _ @ - only");
    }
  }
  if (login == CurrentSettings().auth.serviceLogin) {
    RaiseInvalidArgument(what, "'" + std::string(login) + "' is the service account's login");
  }
}

void ValidatePassword(std::string_view password) {
  if (password.size() < 8) RaiseInvalidArgument("password", "a password has at least 8 characters");
  if (password.size() > 1024) RaiseInvalidArgument("password", "a password has at most 1024 characters");
}

std::string ActorLogin() {
  const Caller* c = CurrentCaller();
  return c ? c->login : std::string("local");
}

int64_t CountAccounts() {
  ServiceDb db;
  return db.Query("SELECT COUNT(*) FROM ACCOUNTS").rows.at(0).at(0).ToInt64();
}

std::optional<Account> FindAccount(const std::string& login) {
  ServiceDb db;
  auto rs = db.Query(std::string("SELECT ") + kColumns + " FROM ACCOUNTS WHERE LOGIN = " + db.P(1), {db::Value(login)});
  if (rs.rows.empty()) return std::nullopt;
  return FromRow(rs.rows[0]);
}

Account RequireAccount(const std::string& login) {
  auto account = FindAccount(login);
  if (!account) Raise(err::AccountNotFound, kSource, "There is no account '" + login.substr(0, 64) + "'");
  return *account;
}

std::vector<Account> ListAccounts() {
  ServiceDb db;
  std::vector<Account> out;
  for (const auto& r : db.Query(std::string("SELECT ") + kColumns + " FROM ACCOUNTS ORDER BY LOGIN").rows)
    out.push_back(FromRow(r));
  return out;
}

void CreateAccount(const std::string& login, const std::string& name, Role role, const std::string& password) {
  Change("Accounts.Add", login, [&] {
    LockAccounts();
    Insert(login, name, role, password);
    return std::string("role ") + RoleName(role);
  });
}

void CreateFirstAdmin(const std::string& login, const std::string& name, const std::string& password) {
  ValidatePassword(password);
  Change("Auth.Setup", login, [&] {
    LockAccounts();
    if (CountAccounts() > 0) {
      Raise(err::SetupClosed, kSource, "The first administrator exists already: sign in instead");
    }
    Insert(login, name, Role::Admin, password);
    return std::string("first administrator");
  });
}

void SetPassword(const std::string& login, const std::string& password) {
  ValidatePassword(password);
  Change("Accounts.SetPassword", login, [&] {
    ServiceDb db;
    RequireUpdated(db.Execute("UPDATE ACCOUNTS SET PASSWORDHASH = " + db.P(1) + " WHERE LOGIN = " + db.P(2),
                              {db::Value(HashPassword(password)), db::Value(login)}),
                   login);
    // A new password ends the account's browser sessions.
    db.Execute("DELETE FROM AUTHSESSIONS WHERE LOGIN = " + db.P(1), {db::Value(login)});
    return std::string();
  });
}

void SetRole(const std::string& login, Role role) {
  Change("Accounts.SetRole", login, [&] {
    ServiceDb db;
    RequireUpdated(db.Execute("UPDATE ACCOUNTS SET ROLE = " + db.P(1) + " WHERE LOGIN = " + db.P(2),
                              {db::Value(RoleName(role)), db::Value(login)}),
                   login);
    return std::string("role ") + RoleName(role);
  });
}

void SetDisabled(const std::string& login, bool disabled) {
  Change(disabled ? "Accounts.Disable" : "Accounts.Enable", login, [&] {
    ServiceDb db;
    const bool wasDisabled = RequireAccount(login).disabled;
    RequireUpdated(db.Execute("UPDATE ACCOUNTS SET DISABLED = " + db.P(1) + " WHERE LOGIN = " + db.P(2),
                              {db::Value(disabled ? 1 : 0), db::Value(login)}),
                   login);
    if (disabled) db.Execute("DELETE FROM AUTHSESSIONS WHERE LOGIN = " + db.P(1), {db::Value(login)});
    if (!disabled && !wasDisabled) return std::string();
    // Disabling ends the account's tokens for good, and so does enabling one
    // that was disabled before disabling did (its tokens would come back to
    // life): whoever gets the account back makes new ones.
    const int64_t revoked = db.Execute("UPDATE ACCOUNTTOKENS SET REVOKED = " + db.P(1) + " WHERE LOGIN = " + db.P(2) +
                                           " AND REVOKED IS NULL",
                                       {db::Value(NowUtcMicros()), db::Value(login)});
    return revoked > 0 ? std::to_string(revoked) + " personal tokens revoked" : std::string();
  });
}

std::optional<Account> CheckPassword(const std::string& login, const std::string& password, bool* known) {
  // An unknown login costs a verification too, so that the answer's time
  // does not tell whether the login exists.
  static const std::string dummy = HashPassword("not a password of anybody");
  std::string hash;
  std::optional<Account> account;
  {
    ServiceDb db;
    auto rs = db.Query(std::string("SELECT ") + kColumns + " FROM ACCOUNTS WHERE LOGIN = " + db.P(1),
                       {db::Value(login)});
    if (!rs.rows.empty()) {
      account = FromRow(rs.rows[0]);
      hash = TextOf(rs.rows[0][3]);
    }
  }
  const bool matches = VerifyPassword(password, hash.empty() ? dummy : hash) && !hash.empty();
  if (known) *known = account.has_value();
  if (!account || !matches || account->disabled) return std::nullopt;
  if (PasswordNeedsRehash(hash)) {
    ServiceDb db;
    db.Execute("UPDATE ACCOUNTS SET PASSWORDHASH = " + db.P(1) + " WHERE LOGIN = " + db.P(2),
               {db::Value(HashPassword(password)), db::Value(login)});
  }
  return account;
}

void RecordSignIn(const std::string& login) {
  ServiceDb db;
  db.Execute("UPDATE ACCOUNTS SET LASTSIGNIN = " + db.P(1) + " WHERE LOGIN = " + db.P(2),
             {db::Value(NowUtcMicros()), db::Value(login)});
}

}  // namespace tsa::accounts
