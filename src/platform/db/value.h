// A field value as the database returns it: null, integer, real or text.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace tsa::db {

class Value {
 public:
  Value() = default;
  Value(std::nullptr_t) {}
  Value(int64_t v) : v_(v) {}
  Value(int32_t v) : v_(int64_t{v}) {}
  Value(double v) : v_(v) {}
  Value(std::string v) : v_(std::move(v)) {}
  Value(const char* v) : v_(std::string(v)) {}

  bool IsNull() const { return std::holds_alternative<std::monostate>(v_); }
  bool IsInteger() const { return std::holds_alternative<int64_t>(v_); }
  bool IsReal() const { return std::holds_alternative<double>(v_); }
  bool IsText() const { return std::holds_alternative<std::string>(v_); }

  // Conversions in the manner of the platform's variant: null fails with 94,
  // a value out of range with 6, a text that is not a number with 13.
  int32_t ToInt32() const;
  int64_t ToInt64() const;
  std::string ToText() const;
  bool ToBool() const;

  const std::variant<std::monostate, int64_t, double, std::string>& Raw() const { return v_; }
  // The text moved out (large values without a copy); the value becomes
  // null. Fails as ToText does when the value is not text.
  std::string ReleaseText();
  bool operator==(const Value& other) const = default;

 private:
  std::variant<std::monostate, int64_t, double, std::string> v_;
};

}  // namespace tsa::db
