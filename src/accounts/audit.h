// The audit trail: one row per call that changed something, per refused or
// failed attempt, and per sign-in, sign-out and account or token change.
//
// A change's row is written inside the change's own transaction, so it is
// there exactly when the change committed. An attempt that failed or was
// refused is written afterwards in a short transaction of its own, with the
// error's number: the trail shows attempts as well as changes, and never a
// rolled-back change as done.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace tsa::accounts {

inline constexpr const char* kOutcomeOk = "ok";
inline constexpr const char* kOutcomeFailed = "failed";
inline constexpr const char* kOutcomeRefused = "refused";
// The login of rows about requests that named no account (no login can be written so).
inline constexpr const char* kAnonymous = "(anonymous)";

struct AuditEntry {
  int64_t id = 0;         // set when read
  std::string at;         // UTC with microseconds; set when written
  std::string login;      // the account that called
  std::string forLogin;   // the login a service account acted for, else ""
  std::string method;     // "TSDOM.CheckOut", "Auth.SignIn", "Accounts.Add", ...
  std::optional<int32_t> treeType, treeId, nodeId;
  std::string args;       // a summary of the arguments, texts cut short
  std::string outcome = kOutcomeOk;
  std::optional<int32_t> errorNumber;
  std::string detail;     // a short explanation (the error's first line, a released holder, ...)
};

// The current time, "YYYY-MM-DDThh:mm:ss.uuuuuuZ".
std::string NowUtcMicros();
std::string FormatUtcMicros(std::chrono::system_clock::time_point when);

// A summary of JSON arguments: compact JSON whose texts are cut to
// `maxText` characters, the whole cut to `maxTotal`.
std::string SummariseArguments(const nlohmann::json& params, size_t maxText = 80, size_t maxTotal = 1000);

// Writes a row in the current transaction context (outside one: at once).
void WriteAudit(AuditEntry entry);
// Writes a row in a transaction of its own, apart from any context; a
// failure is logged, never raised.
void WriteAuditAlone(AuditEntry entry) noexcept;
// Writes rows together in a transaction of their own; raises when they could not be.
void WriteAuditRows(std::vector<AuditEntry> entries);

struct AuditFilter {
  std::optional<int32_t> treeType, treeId;
  std::string login;   // matches the caller or the login acted for
  std::string method;  // case ignored
  std::string since;   // inclusive; a prefix of the time format ("2026-12-08", "2026-12-08T10:00")
  std::string until;   // exclusive
  int page = 1;        // 1-based
  int pageSize = 50;   // at most 1000
};

struct AuditPage {
  std::vector<AuditEntry> rows;  // newest first
  bool more = false;             // a further page exists
};

// Raises 1200 naming i_sSince or i_sUntil for a bound that is not a UTC
// time (AuditTimeBound) before anything is read.
AuditPage ListAudit(const AuditFilter& filter);

// A time bound as the audit compares it, or 1200 naming `argument`: a UTC
// date, optionally with hours, minutes, seconds and fractions
// ("2026-12-08", "2026-12-08T10:00", "2026-12-08 10:00:05.5Z"), each field
// in its range ("2026-13-45" is refused).
std::string AuditTimeBound(std::string_view argument, std::string_view text);

// Removes at most `batch` rows older than `before` (a time text); returns
// how many.
int PruneAudit(const std::string& before, int batch = 500);
// The time text `days` days ago.
std::string DaysAgo(int days);

// Lets the member being called add a sentence to its audit row ("the
// working copy of ann was discarded"); the call's guard takes it.
void NoteForAudit(std::string detail);
std::string TakeAuditNote();

nlohmann::json ToJson(const AuditEntry& entry);
// "ann", or "service for ann".
std::string Who(const AuditEntry& entry);

}  // namespace tsa::accounts
