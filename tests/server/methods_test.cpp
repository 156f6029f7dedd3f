// Method names, what each audience may reach, in-process calls and the
// generated reference.
#include <gtest/gtest.h>

#include "fake_classes.h"
#include "runtime/components.h"
#include "server/api_doc.h"
#include "server/json_rpc.h"
#include "server/methods.h"
#include "server/rpc_client.h"
#include "support/test_env.h"

namespace tsa::server {
namespace {

using nlohmann::json;

class MethodsTest : public ::testing::Test {
 protected:
  LookupFailure FailureOf(std::string_view name, Audience audience = Audience::Network) {
    try {
      ResolveMethod(name, audience);
    } catch (const MethodNotFound& e) {
      return e.reason();
    }
    ADD_FAILURE() << name << " resolved";
    return LookupFailure::MalformedName;
  }

  test::TestEnv env;
  test::FakeClasses fakes;
};

TEST_F(MethodsTest, ClassNamesAndProgIdsLeadToTheMember) {
  for (std::string_view name : {"TSDOM.Add", "tsdom.add", "HXSvcTroubleShooting.TSDOM.Add",
                                "hxsvctroubleshooting.tsdom.ADD", "HXSvcTroubleshooting.Tree.CheckOut"}) {
    ResolvedMethod r = ResolveMethod(name, Audience::Network);
    EXPECT_TRUE(r.QualifiedName() == "TSDOM.Add" || r.QualifiedName() == "Tree.CheckOut") << name;
  }
  EXPECT_EQ(ParseMethodName("HXSvcTroubleshooting.Repository.AddRepEntity").first->progId, progid::Repository);
}

TEST_F(MethodsTest, EachKindOfBadNameFailsDistinctly) {
  EXPECT_EQ(FailureOf("Add"), LookupFailure::MalformedName);
  EXPECT_EQ(FailureOf("TSDOM."), LookupFailure::MalformedName);
  EXPECT_EQ(FailureOf("Bogus.Add"), LookupFailure::UnknownClass);
  EXPECT_EQ(FailureOf("HXSvcTroubleShooting.Bogus.Add"), LookupFailure::UnknownClass);
  EXPECT_EQ(FailureOf("TSDOM.Subtract"), LookupFailure::UnknownMember);
  {
    ScopedRegistration none(progid::Repository, nullptr);
    EXPECT_EQ(FailureOf("Repository.AddRepEntity"), LookupFailure::ClassUnavailable);
  }
  try {
    ResolveMethod("Bogus.Add", Audience::Network);
  } catch (const MethodNotFound& e) {
    EXPECT_EQ(e.number(), err::CannotCreateObject);
  }
  try {
    ResolveMethod("TSDOM.Subtract", Audience::Network);
  } catch (const MethodNotFound& e) {
    EXPECT_EQ(e.number(), err::MethodNotSupported);
    EXPECT_NE(e.description().find("Subtract"), std::string::npos);
  }
}

TEST_F(MethodsTest, TheNetworkReachesLessThanTheCommandLine) {
  EXPECT_EQ(FailureOf("Tree.load"), LookupFailure::NotExposed);
  EXPECT_EQ(FailureOf("Node.save"), LookupFailure::NotExposed);
  EXPECT_EQ(FailureOf("TSDOM.Attach"), LookupFailure::NotExposed);
  EXPECT_NO_THROW(ResolveMethod("Tree.Publish", Audience::Network));
  EXPECT_NO_THROW(ResolveMethod("Tree.load", Audience::Local));
  EXPECT_NO_THROW(ResolveMethod("Node.save", Audience::Local));
  // Objects cannot cross either boundary.
  EXPECT_EQ(FailureOf("Tree.getNode", Audience::Local), LookupFailure::NotExposed);
  EXPECT_EQ(FailureOf("TSDOM.Attach", Audience::Local), LookupFailure::NotExposed);
}

TEST_F(MethodsTest, LocalCallsBindByNameOrPositionAndReturnOutArguments) {
  EXPECT_EQ(CallLocal("TSDOM.Add", json{{"i_lA", 2}, {"I_LB", 40}}), 42);
  EXPECT_EQ(CallLocal("TSDOM.Add", json::array({-5, 3})), -2);
  EXPECT_EQ(CallLocal("TSDOM.Rename", json{{"i_lID", 2}, {"io_sName", "x"}, {"io_lCount", 1}}),
            (json{{"return", "renamed"}, {"io_sName", "renamed x"}, {"io_lCount", 3}}));
  EXPECT_EQ(CallLocal("Node.save", nullptr), "saved");
  EXPECT_TRUE(CallLocal("TSDOM.Nothing", nullptr).is_null());
}

TEST_F(MethodsTest, ArgumentsThatDoNotBindAreToldApartFromTheMembersOwnErrors) {
  try {
    CallLocal("TSDOM.Add", json{{"i_lA", 1.5}, {"i_lB", 1}});
    FAIL();
  } catch (const InvalidParams& e) {
    EXPECT_EQ(e.number(), err::InvalidArgument);
    EXPECT_NE(e.description().find("i_lA"), std::string::npos);
  }
  try {
    CallLocal("TSDOM.RejectUser", json{{"i_sUserId", "bob"}});
    FAIL();
  } catch (const InvalidParams&) {
    FAIL() << "raised by the member, not by binding";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::InvalidArgument);
  }
  try {
    CallLocal("TSDOM.Fail", json::array({1005}));
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), 1005);
    EXPECT_NE(e.description().find("METHOD: HXSvcTroubleshooting.TSDOM.Fail caught: fake failure(1005)."),
              std::string::npos);
  }
}

TEST_F(MethodsTest, CommandLineArgumentsAreParsedWithinLimits) {
  EXPECT_TRUE(ParseParams("  ").is_null());
  EXPECT_EQ(ParseParams(R"({"i_lA": 1})"), (json{{"i_lA", 1}}));
  EXPECT_THROW(ParseParams("[1,"), Error);
  EXPECT_THROW(ParseParams("5"), Error);
  EXPECT_THROW(ParseParams("[1e400]"), Error);  // a number beyond every type is malformed input
  EXPECT_THROW(ParseParams(std::string(10, '[') + std::string(10, ']'), 5), Error);
}

TEST(JsonNestingDepth, CountsOnlyStructureOutsideTexts) {
  EXPECT_EQ(JsonNestingDepth("1"), 0);
  EXPECT_EQ(JsonNestingDepth(R"({"a":[1,{"b":[]}]})"), 4);
  EXPECT_EQ(JsonNestingDepth(R"(["[[[{", "\"[[[", {}])"), 2);
  EXPECT_EQ(JsonNestingDepth(std::string(100, '['), 10), 11);  // stops early
}

TEST(ParseJsonStrict, ANulCharacterMakesTheTextMalformed) {
  // The parser alone would take the NUL for the end and return 1.
  EXPECT_THROW(ParseJsonStrict(std::string("1\0[[[", 5)), json::parse_error);
  EXPECT_THROW(ParseJsonLimited(std::string("{\"a\":1}\0{\"a\":2}", 15), 64), Error);
  EXPECT_EQ(ParseJsonStrict(R"(["\u0000"])"), json::array({std::string(1, '\0')}));
}

TEST_F(MethodsTest, TheReferenceListsReachableMembersWithTheirArguments) {
  ScopedRegistration none(progid::Repository, nullptr);
  std::string network = RenderApiReference(Audience::Network);
  EXPECT_NE(network.find("| `i_lA` | 32-bit integer | in |"), std::string::npos);
  EXPECT_NE(network.find("| `io_sName` | string | in/out |"), std::string::npos);
  EXPECT_NE(network.find("| `i_bFlag` | Boolean | in, optional |"), std::string::npos);
  EXPECT_NE(network.find("Renames \\| counts."), std::string::npos);
  EXPECT_NE(network.find("Returns an object with `return` (a string) and the in/out arguments `io_sName` and "
                         "`io_lCount`."),
            std::string::npos);
  EXPECT_NE(network.find("### TSDOM.Add\n\nAdds two numbers.\n\n| Argument | Type | Direction |"), std::string::npos);
  EXPECT_NE(network.find("Returns a 32-bit integer."), std::string::npos);
  EXPECT_NE(network.find("### TSDOM.Nothing\n\nNo arguments.\n\nReturns nothing."), std::string::npos);
  EXPECT_NE(network.find("### Tree.CheckOut"), std::string::npos);
  EXPECT_NE(network.find("## Repository\n\nProgID `HXSvcTroubleshooting.Repository`.\n\n_Not available in this build._"),
            std::string::npos);
  for (const char* hidden : {"Tree.load", "Tree.getNode", "## Node", "TSDOM.Attach"})
    EXPECT_EQ(network.find(hidden), std::string::npos) << hidden;

  std::string local = RenderApiReference(Audience::Local);
  EXPECT_NE(local.find("### Tree.load"), std::string::npos);
  EXPECT_NE(local.find("### Node.save"), std::string::npos);
  EXPECT_EQ(local.find("Tree.getNode"), std::string::npos);
}

}  // namespace
}  // namespace tsa::server
