#include "accounts/audit.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <utility>

#include "accounts/errors.h"
#include "accounts/service_db.h"
#include "runtime/components.h"
#include "runtime/error.h"
#include "runtime/settings.h"

namespace tsa::accounts {

namespace {

using nlohmann::json;

std::string Format(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const auto t = system_clock::to_time_t(when);
  const auto micros = duration_cast<microseconds>(when.time_since_epoch()).count() % 1000000;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(micros));
  return buf;
}

json Cut(const json& v, size_t maxText) {
  if (v.is_string()) {
    const std::string& s = v.get_ref<const std::string&>();
    if (s.size() <= maxText) return v;
    size_t end = maxText;
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;  // keep UTF-8 whole
    return s.substr(0, end) + "...";
  }
  if (v.is_array() || v.is_object()) {
    json out = v.is_array() ? json::array() : json::object();
    for (auto it = v.begin(); it != v.end(); ++it) {
      if (v.is_array()) {
        out.push_back(Cut(*it, maxText));
      } else {
        out[it.key()] = Cut(it.value(), maxText);
      }
    }
    return out;
  }
  return v;
}

db::Value Optional(const std::optional<int32_t>& v) { return v ? db::Value(*v) : db::Value(); }

std::string InsertSql(const db::Dialect& d) {
  std::string sql =
      "INSERT INTO AUDIT (AT, LOGIN, FORLOGIN, METHOD, TREETYPE, TREEID, NODEID, ARGS, OUTCOME, ERRNUMBER, DETAIL) "
      "VALUES (";
  for (int i = 1; i <= 11; ++i) sql += (i > 1 ? ", " : "") + d.Placeholder(i);
  return sql + ")";
}

std::vector<db::Value> InsertParams(const AuditEntry& e) {
  return {db::Value(e.at),      db::Value(e.login),   db::Value(e.forLogin), db::Value(e.method),
          Optional(e.treeType), Optional(e.treeId),   Optional(e.nodeId),    db::Value(e.args),
          db::Value(e.outcome), Optional(e.errorNumber), db::Value(e.detail.substr(0, 500))};
}

std::optional<int32_t> IntOf(const db::Value& v) {
  if (v.IsNull()) return std::nullopt;
  return v.ToInt32();
}

void LogLine(const std::string& text) noexcept {
  try {
    CreateObject<ILog>(progid::Log)->WriteEntry(kSource, text, 1);
  } catch (...) {
  }
}

thread_local std::string t_note;

}  // namespace

void NoteForAudit(std::string detail) { t_note = std::move(detail); }

std::string TakeAuditNote() { return std::exchange(t_note, std::string()); }

std::string NowUtcMicros() { return Format(std::chrono::system_clock::now()); }

std::string FormatUtcMicros(std::chrono::system_clock::time_point when) { return Format(when); }

std::string DaysAgo(int days) { return Format(std::chrono::system_clock::now() - std::chrono::hours(24) * days); }

std::string SummariseArguments(const json& params, size_t maxText, size_t maxTotal) {
  if (params.is_null()) return {};
  std::string text = Cut(params, maxText).dump(-1, ' ', false, json::error_handler_t::replace);
  if (text.size() > maxTotal) text = text.substr(0, maxTotal) + "...";
  return text;
}

void WriteAudit(AuditEntry entry) {
  if (entry.at.empty()) entry.at = NowUtcMicros();
  ServiceDb db;
  db.Execute(InsertSql(db.session().dialect()), InsertParams(entry));
}

void WriteAuditAlone(AuditEntry entry) noexcept {
  try {
    // A session of its own: the caller's context may be failing or gone.
    WriteAuditRows({entry});
  } catch (...) {
    LogLine("Could not write the audit row of " + entry.method + " by " + entry.login + ": " +
            CurrentError().description);
  }
}

void WriteAuditRows(std::vector<AuditEntry> entries) {
  if (entries.empty()) return;
  auto session = db::SessionPool::Instance().Acquire(CurrentSettings().HelvixUri());
  const std::string sql = InsertSql(session->dialect());
  session->Begin();
  try {
    for (AuditEntry& e : entries) {
      if (e.at.empty()) e.at = NowUtcMicros();
      session->Execute(sql, InsertParams(e));
    }
    session->Commit();
  } catch (...) {
    session->Rollback();
    throw;
  }
}

std::string AuditTimeBound(std::string_view argument, std::string_view text) {
  // Stored times read "2026-12-08T10:00:00.123456Z" and are compared as
  // texts, so a bound must be a leading part of that form: a date alone, or
  // with hours, minutes, seconds and fractions. A space may stand for the T
  // and a final Z is dropped; anything else would compare to a wrong answer.
  auto refuse = [&](const std::string& why) {
    RaiseInvalidArgument(argument, "\"" + std::string(text.substr(0, 64)) + "\" is not a UTC time such as 2026-12-08 or "
                                   "2026-12-08T10:00:00 (" + why + ")");
  };
  std::string t(text);
  if (!t.empty() && (t.back() == 'Z' || t.back() == 'z')) t.pop_back();
  if (t.size() > 10 && t[10] == ' ') t[10] = 'T';
  static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd.dddddd";
  if (t.size() < 10) refuse("a date needs year, month and day");
  if (t.size() > kShape.size()) refuse("too long");
  for (size_t i = 0; i < t.size(); ++i) {
    const bool digit = t[i] >= '0' && t[i] <= '9';
    if (kShape[i] == 'd' ? !digit : t[i] != kShape[i]) refuse("unexpected \"" + t.substr(i, 1) + "\" at character " + std::to_string(i + 1));
  }
  // Only whole fields: "2026-12-08T1" would compare between hours.
  for (size_t cut : {11u, 12u, 14u, 15u, 17u, 18u, 20u}) {
    if (t.size() == cut) refuse("a part is cut short");
  }
  auto number = [&](size_t at, size_t digits) { return std::stoi(t.substr(at, digits)); };
  const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1) refuse("no year 0");
  if (month < 1 || month > 12) refuse("no month " + std::to_string(month));
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day < 1 || day > kDays[month - 1] + (month == 2 && leap ? 1 : 0)) refuse("no such day in that month");
  if (t.size() >= 13 && number(11, 2) > 23) refuse("hours go up to 23");
  if (t.size() >= 16 && number(14, 2) > 59) refuse("minutes go up to 59");
  if (t.size() >= 19 && number(17, 2) > 59) refuse("seconds go up to 59");
  return t;
}

AuditPage ListAudit(const AuditFilter& filter) {
  AuditFilter f = filter;
  if (!f.since.empty()) f.since = AuditTimeBound("i_sSince", f.since);
  if (!f.until.empty()) f.until = AuditTimeBound("i_sUntil", f.until);
  ServiceDb db;
  std::string where;
  std::vector<db::Value> params;
  auto add = [&](const std::string& condition, std::vector<db::Value> values) {
    std::string c = condition;
    for (auto& v : values) {
      params.push_back(std::move(v));
      c.replace(c.find('?'), 1, db.P(static_cast<int>(params.size())));
    }
    where += (where.empty() ? " WHERE " : " AND ") + c;
  };
  if (f.treeType) add("TREETYPE = ?", {db::Value(*f.treeType)});
  if (f.treeId) add("TREEID = ?", {db::Value(*f.treeId)});
  if (!f.login.empty()) add("(LOGIN = ? OR FORLOGIN = ?)", {db::Value(f.login), db::Value(f.login)});
  if (!f.method.empty()) {
    std::string lower = f.method;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    add("lower(METHOD) = ?", {db::Value(lower)});
  }
  if (!f.since.empty()) add("AT >= ?", {db::Value(f.since)});
  if (!f.until.empty()) add("AT < ?", {db::Value(f.until)});
  const int pageSize = std::clamp(f.pageSize, 1, 1000);
  const int64_t offset = static_cast<int64_t>(std::max(1, f.page) - 1) * pageSize;
  const db::ResultSet rs = db.Query(
      "SELECT AUDITID, AT, LOGIN, FORLOGIN, METHOD, TREETYPE, TREEID, NODEID, ARGS, OUTCOME, ERRNUMBER, DETAIL "
      "FROM AUDIT" + where + " ORDER BY AT DESC, AUDITID DESC LIMIT " + std::to_string(pageSize + 1) + " OFFSET " +
          std::to_string(offset),
      params);
  AuditPage page;
  for (const auto& r : rs.rows) {
    if (static_cast<int>(page.rows.size()) == pageSize) {
      page.more = true;
      break;
    }
    AuditEntry e;
    e.id = r[0].ToInt64();
    e.at = TextOf(r[1]);
    e.login = TextOf(r[2]);
    e.forLogin = TextOf(r[3]);
    e.method = TextOf(r[4]);
    e.treeType = IntOf(r[5]);
    e.treeId = IntOf(r[6]);
    e.nodeId = IntOf(r[7]);
    e.args = TextOf(r[8]);
    e.outcome = TextOf(r[9]);
    e.errorNumber = IntOf(r[10]);
    e.detail = TextOf(r[11]);
    page.rows.push_back(std::move(e));
  }
  return page;
}

int PruneAudit(const std::string& before, int batch) {
  ServiceDb db;
  const db::ResultSet old = db.Query("SELECT AUDITID FROM AUDIT WHERE AT < " + db.P(1) + " ORDER BY AT LIMIT " +
                                         std::to_string(std::max(1, batch)),
                                     {db::Value(before)});
  int removed = 0;
  for (const auto& r : old.rows) {
    removed += static_cast<int>(db.Execute("DELETE FROM AUDIT WHERE AUDITID = " + db.P(1), {r[0]}));
  }
  return removed;
}

std::string Who(const AuditEntry& e) { return e.forLogin.empty() ? e.login : e.login + " for " + e.forLogin; }

json ToJson(const AuditEntry& e) {
  json j = {{"id", e.id},         {"at", e.at},           {"login", e.login},   {"forLogin", e.forLogin},
            {"who", Who(e)},      {"method", e.method},   {"args", e.args},     {"outcome", e.outcome},
            {"detail", e.detail}};
  j["treeType"] = e.treeType ? json(*e.treeType) : json();
  j["treeId"] = e.treeId ? json(*e.treeId) : json();
  j["nodeId"] = e.nodeId ? json(*e.nodeId) : json();
  j["errorNumber"] = e.errorNumber ? json(*e.errorNumber) : json();
  return j;
}

}  // namespace tsa::accounts
