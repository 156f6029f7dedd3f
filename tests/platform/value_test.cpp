#include <gtest/gtest.h>

#include <limits>

#include "db_fixture.h"
#include "platform/db/value.h"

namespace tsa::db {
namespace {

using test::Raised;

int32_t NumberOf(const std::function<void()>& f) { return Raised(f).first; }

TEST(Value, NullRefusesEveryConversion) {
  Value v;
  EXPECT_TRUE(v.IsNull());
  EXPECT_EQ(NumberOf([&] { v.ToInt32(); }), err::InvalidUseOfNull);
  EXPECT_EQ(NumberOf([&] { v.ToInt64(); }), err::InvalidUseOfNull);
  EXPECT_EQ(NumberOf([&] { v.ToText(); }), err::InvalidUseOfNull);
  EXPECT_EQ(NumberOf([&] { v.ToBool(); }), err::InvalidUseOfNull);
  EXPECT_EQ(Raised([&] { v.ToText(); }).second, "Invalid use of Null");
}

TEST(Value, IntegersAndTheirRange) {
  EXPECT_EQ(Value(int64_t{2147483647}).ToInt32(), 2147483647);
  EXPECT_EQ(Value(int64_t{-2147483648LL}).ToInt32(), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(NumberOf([] { Value(int64_t{2147483648LL}).ToInt32(); }), err::Overflow);
  EXPECT_EQ(NumberOf([] { Value(int64_t{-2147483649LL}).ToInt32(); }), err::Overflow);
  EXPECT_EQ(Value(int64_t{1} << 40).ToInt64(), int64_t{1} << 40);
  EXPECT_EQ(Value(int64_t{-12}).ToText(), "-12");
}

TEST(Value, RealsRoundHalfToEven) {
  EXPECT_EQ(Value(2.5).ToInt32(), 2);
  EXPECT_EQ(Value(3.5).ToInt32(), 4);
  EXPECT_EQ(Value(-2.5).ToInt32(), -2);
  EXPECT_EQ(Value(-3.5).ToInt32(), -4);
  EXPECT_EQ(Value(2.4999).ToInt32(), 2);
  EXPECT_EQ(Value(2.5001).ToInt32(), 3);
  EXPECT_EQ(Value(2147483647.4).ToInt32(), 2147483647);
  EXPECT_EQ(NumberOf([] { Value(2147483647.5).ToInt32(); }), err::Overflow);
  EXPECT_EQ(Value(-2147483648.5).ToInt32(), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(NumberOf([] { Value(9.3e18).ToInt64(); }), err::Overflow);
  EXPECT_EQ(NumberOf([] { Value(std::numeric_limits<double>::quiet_NaN()).ToInt32(); }), err::Overflow);
  EXPECT_EQ(NumberOf([] { Value(std::numeric_limits<double>::infinity()).ToInt64(); }), err::Overflow);
  EXPECT_EQ(Value(1.5).ToText(), "1.5");
  EXPECT_EQ(Value(2.0).ToText(), "2");
}

TEST(Value, TextsAsNumbers) {
  EXPECT_EQ(Value("42").ToInt32(), 42);
  EXPECT_EQ(Value("  -7 \t").ToInt32(), -7);
  EXPECT_EQ(Value("+3").ToInt32(), 3);
  EXPECT_EQ(Value("4.5").ToInt32(), 4);
  EXPECT_EQ(Value("1e3").ToInt32(), 1000);
  EXPECT_EQ(Value("9223372036854775807").ToInt64(), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(NumberOf([] { Value("2147483648").ToInt32(); }), err::Overflow);
  EXPECT_EQ(NumberOf([] { Value("99999999999999999999").ToInt64(); }), err::Overflow);
  for (const char* bad : {"", "   ", "abc", "12abc", "1 2", "0x10", "nan", "inf", "-", "1.2.3"}) {
    EXPECT_EQ(NumberOf([&] { Value(bad).ToInt32(); }), err::TypeMismatch) << "'" << bad << "'";
  }
  EXPECT_EQ(Raised([] { Value("x").ToInt64(); }).second, "Type mismatch");
  EXPECT_EQ(Value("it's").ToText(), "it's");
}

TEST(Value, Booleans) {
  EXPECT_TRUE(Value(int64_t{-1}).ToBool());
  EXPECT_FALSE(Value(int64_t{0}).ToBool());
  EXPECT_TRUE(Value(0.5).ToBool());
  EXPECT_FALSE(Value(0.0).ToBool());
  EXPECT_TRUE(Value("True").ToBool());
  EXPECT_TRUE(Value(" TRUE ").ToBool());
  EXPECT_FALSE(Value("false").ToBool());
  EXPECT_TRUE(Value("1").ToBool());
  EXPECT_FALSE(Value("0").ToBool());
  EXPECT_TRUE(Value("-2.5").ToBool());
  EXPECT_EQ(NumberOf([] { Value("yes").ToBool(); }), err::TypeMismatch);
  EXPECT_EQ(NumberOf([] { Value("").ToBool(); }), err::TypeMismatch);
}

}  // namespace
}  // namespace tsa::db
