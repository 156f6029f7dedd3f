// Members called through a table deduced by Bind: arguments reach the member
// converted, written-back arguments come back by name, an omitted optional
// argument is the type's default, and refusals are those of BindArguments.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "runtime/dispatch.h"
#include "runtime/error.h"
#include "runtime/registry.h"

namespace tsa {
namespace {

using nlohmann::json;

class Till : public Component {
 public:
  int32_t Take(int32_t amount, const std::string& note, std::string& o_sReceipt, int32_t& o_lTotal) {
    o_sReceipt = note + " #" + std::to_string(amount);
    o_lTotal += amount;
    return o_lTotal * 10;
  }
  json Page(int32_t offset, int32_t limit) { return json{offset, limit}; }
  void Close(bool force) { closed = force; }
  static std::string Twice(const std::string& text) { return text + text; }
  bool closed = false;

  const DispatchTable* Dispatch() const override {
    static const DispatchTable table = [] {
      DispatchTable t;
      t.Add(Bind<&Till::Take>("Take", {"i_lAmount", "i_sNote", "o_sReceipt", "o_lTotal"}, "takes"));
      t.Add(Bind<&Till::Page>("Page", {Optional("i_lOffset"), Optional("i_lLimit")}, "pages"));
      t.Add(Bind<&Till::Close>("Close", {"i_bForce"}, "closes"));
      t.Add(Bind<&Till::Twice>("Twice", {"i_sText"}, "doubles"));
      return t;
    }();
    return &table;
  }
};

ErrorInfo Refusal(Component& c, const char* member, const json& params) {
  try {
    CallByName(c, member, params);
  } catch (const Error& e) {
    return e.info();
  }
  return {};
}

TEST(Bind, ArgumentsAndWrittenBackArgumentsReachTheMemberAndComeBackByName) {
  Till till;
  // Named, with the in/out total's starting value given.
  EXPECT_EQ(CallByName(till, "Take", json{{"i_lAmount", 7}, {"i_sNote", "tea"}, {"o_lTotal", 5}}),
            (json{{"return", 120}, {"o_sReceipt", "tea #7"}, {"o_lTotal", 12}}));
  // Positional, the out-arguments omitted: they start empty.
  EXPECT_EQ(CallByName(till, "Take", json::array({3, "bun"})),
            (json{{"return", 30}, {"o_sReceipt", "bun #3"}, {"o_lTotal", 3}}));
  // Optional arguments left out arrive as the type's default.
  EXPECT_EQ(CallByName(till, "Page", json{{"i_lLimit", 20}}), json::array({0, 20}));
  EXPECT_EQ(CallByName(till, "Page", nullptr), json::array({0, 0}));
  EXPECT_TRUE(CallByName(till, "Close", json{{"i_bForce", true}}).is_null());
  EXPECT_TRUE(till.closed);
  EXPECT_EQ(CallByName(till, "Twice", json::array({"ab"})), "abab");
}

TEST(Bind, TheTableDescribesTheSignatureAndRefusalsNameTheArgument) {
  Till till;
  const MethodSpec* take = till.Dispatch()->Find("Take");
  ASSERT_NE(take, nullptr);
  ASSERT_EQ(take->params.size(), 4u);
  EXPECT_EQ(take->params[1].type, ArgType::String);
  EXPECT_FALSE(take->params[1].out);  // a const reference is read only
  EXPECT_TRUE(take->params[2].out);
  EXPECT_EQ(take->params[3].type, ArgType::Long);
  EXPECT_EQ(take->result, ArgType::Long);
  EXPECT_FALSE(take->returnsNothing);
  EXPECT_TRUE(till.Dispatch()->Find("Close")->returnsNothing);
  EXPECT_TRUE(till.Dispatch()->Find("Page")->params[0].optional);

  const ErrorInfo wrongType = Refusal(till, "Take", json{{"i_lAmount", "seven"}, {"i_sNote", "tea"}});
  EXPECT_EQ(wrongType.number, err::InvalidArgument);
  EXPECT_NE(wrongType.description.find("i_lAmount"), std::string::npos) << wrongType.description;
  const ErrorInfo missing = Refusal(till, "Take", json{{"i_lAmount", 1}});
  EXPECT_EQ(missing.number, err::InvalidArgument);
  EXPECT_NE(missing.description.find("i_sNote"), std::string::npos) << missing.description;
  EXPECT_EQ(Refusal(till, "Page", json{{"i_lLimit", 1.5}}).number, err::InvalidArgument);
}

}  // namespace
}  // namespace tsa
