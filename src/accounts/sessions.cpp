#include "accounts/sessions.h"

#include "accounts/secrets.h"
#include "accounts/service_db.h"
#include "platform/db/lock_wait.h"
#include "runtime/error.h"

namespace tsa::accounts {

namespace {
// How stale LASTSEEN may get before a request refreshes it: one write per
// half minute at most, instead of one per request.
constexpr int64_t kTouchAfterSeconds = 30;

// Sessions are checked on the threads that serve every connection: a write
// there that only tidies up (an expired row, a last-seen time) must not wait
// out another connection's write lock. It is skipped while the database is
// busy; a later request does it.
void Tidy(ServiceDb& db, const std::string& sql, const std::vector<db::Value>& params) {
  try {
    db::BriefLockWaits brief;
    db.Execute(sql, params);
  } catch (const Error& e) {
    if (e.number() != err::DatabaseBusy) throw;
  }
}
}  // namespace

int64_t EpochSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string StartSession(const std::string& login) {
  const std::string secret = RandomSecret(32);
  const int64_t now = EpochSeconds();
  ServiceDb db;
  db.Execute("INSERT INTO AUTHSESSIONS (SESSIONHASH, LOGIN, CREATED, LASTSEEN) VALUES (" + db.P(1) + ", " + db.P(2) +
                 ", " + db.P(3) + ", " + db.P(4) + ")",
             {db::Value(HashSecret(secret)), db::Value(login), db::Value(now), db::Value(now)});
  return secret;
}

std::optional<Account> SessionAccount(std::string_view cookie, const SessionLimits& limits, int64_t now) {
  if (cookie.empty() || cookie.size() > 100) return std::nullopt;
  const std::string hash = HashSecret(cookie);
  std::string login;
  {
    ServiceDb db;
    auto rs = db.Query("SELECT LOGIN, CREATED, LASTSEEN FROM AUTHSESSIONS WHERE SESSIONHASH = " + db.P(1),
                       {db::Value(hash)});
    if (rs.rows.empty()) return std::nullopt;
    login = TextOf(rs.rows[0][0]);
    const int64_t created = rs.rows[0][1].ToInt64();
    const int64_t lastSeen = rs.rows[0][2].ToInt64();
    if (now - lastSeen > limits.idle.count() || now - created > limits.max.count()) {
      Tidy(db, "DELETE FROM AUTHSESSIONS WHERE SESSIONHASH = " + db.P(1), {db::Value(hash)});
      return std::nullopt;
    }
    if (now - lastSeen >= kTouchAfterSeconds) {
      Tidy(db, "UPDATE AUTHSESSIONS SET LASTSEEN = " + db.P(1) + " WHERE SESSIONHASH = " + db.P(2),
           {db::Value(now), db::Value(hash)});
    }
  }
  auto account = FindAccount(login);
  if (!account || account->disabled) return std::nullopt;
  return account;
}

bool EndSession(std::string_view cookie) {
  if (cookie.empty()) return false;
  ServiceDb db;
  return db.Execute("DELETE FROM AUTHSESSIONS WHERE SESSIONHASH = " + db.P(1), {db::Value(HashSecret(cookie))}) > 0;
}

std::string CsrfProof(std::string_view cookie) { return HashSecret("csrf:" + std::string(cookie)); }

int PruneSessions(const SessionLimits& limits, int64_t now) {
  ServiceDb db;
  return static_cast<int>(db.Execute("DELETE FROM AUTHSESSIONS WHERE LASTSEEN < " + db.P(1) + " OR CREATED < " + db.P(2),
                                     {db::Value(now - limits.idle.count()), db::Value(now - limits.max.count())}));
}

}  // namespace tsa::accounts
