#include "platform/db/value.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

#include "runtime/error.h"

namespace tsa::db {

namespace {

[[noreturn]] void RaiseNull() { Raise(err::InvalidUseOfNull, {}, "Invalid use of Null"); }
[[noreturn]] void RaiseOverflow() { Raise(err::Overflow, {}, "Overflow"); }
[[noreturn]] void RaiseMismatch() { Raise(err::TypeMismatch, {}, "Type mismatch"); }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// A number written as text: an integer when it has no fraction or exponent,
// else a real. Anything else (including the empty text) is a type mismatch.
std::variant<int64_t, double> ParseNumber(std::string_view text) {
  std::string_view s = Trim(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) RaiseMismatch();
  const char* first = s.data();
  const char* last = s.data() + s.size();
  int64_t i = 0;
  auto [ip, iec] = std::from_chars(first, last, i);
  if (iec == std::errc() && ip == last) return i;
  if (iec == std::errc::result_out_of_range && ip == last) RaiseOverflow();
  double d = 0;
  auto [dp, dec] = std::from_chars(first, last, d, std::chars_format::general);
  if (dp != last) RaiseMismatch();
  if (dec == std::errc::result_out_of_range) RaiseOverflow();
  if (dec != std::errc() || !std::isfinite(d)) RaiseMismatch();  // "inf", "nan" are no numbers here
  return d;
}

// Rounds half to even and checks the range of the target type.
template <class T>
T RealTo(double d) {
  if (!std::isfinite(d)) RaiseOverflow();
  double r = std::floor(d);
  double fraction = d - r;  // exact for every double
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(r, 2.0) != 0.0)) r += 1.0;
  // The bounds as doubles: min is exact, max + 1 is exact (a power of two).
  constexpr double lo = static_cast<double>(std::numeric_limits<T>::min());
  constexpr double hiExclusive = -lo;
  if (r < lo || r >= hiExclusive) RaiseOverflow();
  return static_cast<T>(r);
}

template <class T>
T IntegerTo(int64_t v) {
  if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) RaiseOverflow();
  return static_cast<T>(v);
}

template <class T>
T Convert(const std::variant<std::monostate, int64_t, double, std::string>& v) {
  switch (v.index()) {
    case 0:
      RaiseNull();
    case 1:
      return IntegerTo<T>(std::get<int64_t>(v));
    case 2:
      return RealTo<T>(std::get<double>(v));
    default: {
      auto n = ParseNumber(std::get<std::string>(v));
      if (auto* i = std::get_if<int64_t>(&n)) return IntegerTo<T>(*i);
      return RealTo<T>(std::get<double>(n));
    }
  }
}

std::string RealText(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d < 0 ? "-Infinity" : "Infinity";
  char buffer[64];
  auto [p, ec] = std::to_chars(buffer, buffer + sizeof buffer, d);
  (void)ec;  // the buffer is large enough for the shortest form of any double
  return std::string(buffer, p);
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

int32_t Value::ToInt32() const { return Convert<int32_t>(v_); }

int64_t Value::ToInt64() const { return Convert<int64_t>(v_); }

std::string Value::ToText() const {
  switch (v_.index()) {
    case 0:
      RaiseNull();
    case 1:
      return std::to_string(std::get<int64_t>(v_));
    case 2:
      return RealText(std::get<double>(v_));
    default:
      return std::get<std::string>(v_);
  }
}

bool Value::ToBool() const {
  switch (v_.index()) {
    case 0:
      RaiseNull();
    case 1:
      return std::get<int64_t>(v_) != 0;
    case 2:
      return std::get<double>(v_) != 0.0;
    default: {
      std::string_view s = Trim(std::get<std::string>(v_));
      if (EqualsIgnoreCase(s, "true")) return true;
      if (EqualsIgnoreCase(s, "false")) return false;
      auto n = ParseNumber(s);
      if (auto* i = std::get_if<int64_t>(&n)) return *i != 0;
      return std::get<double>(n) != 0.0;
    }
  }
}

std::string Value::ReleaseText() {
  if (!IsText()) return ToText();
  std::string text = std::move(std::get<std::string>(v_));
  v_ = std::monostate{};
  return text;
}

}  // namespace tsa::db
