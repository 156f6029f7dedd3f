#include "components/value_formatting.h"

#include <langinfo.h>

#include <cctype>
#include <charconv>
#include <clocale>
#include <cstdio>
#include <ctime>

#include "platform/db/session.h"
#include "runtime/components.h"
#include "runtime/error.h"
#include "runtime/registry.h"
#include "runtime/settings.h"

namespace tsa {

namespace {
std::shared_ptr<IValueFormatter> Formatter() { return CreateObject<IValueFormatter>(progid::ValueFormatter); }
}  // namespace

const db::Dialect& HelvixDialect() { return db::DialectFor(CurrentSettings().HelvixUri()); }

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

std::string LikeContainsPattern(const std::string& text) {
  std::string pattern = "%";
  for (char c : text) {
    if (c == '%' || c == '_' || c == kLikeEscape) pattern += kLikeEscape;
    pattern += c;
  }
  pattern += '%';
  return pattern;
}

}  // namespace tsa
