// Every text a caller hands the dispatch layer is checked for characters no
// XML document can hold, wherever it stands in the arguments.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "runtime/dispatch.h"
#include "runtime/error.h"
#include "runtime/xml_chars.h"

namespace tsa {
namespace {

using nlohmann::json;

MethodSpec Method() {
  MethodSpec m;
  m.name = "Do";
  m.params = {{"i_sText", ArgType::String}, {"i_vDict", ArgType::Dict, false, true},
              {"i_vAny", ArgType::Variant, false, true}, {"i_lCount", ArgType::Long, false, true}};
  return m;
}

ErrorInfo Refusal(const json& params) {
  try {
    BindArguments(Method(), params);
  } catch (const Error& e) {
    return e.info();
  }
  return {};
}

TEST(DispatchTexts, ATextXmlCannotHoldIsRefusedByArgumentWhereverItStands) {
  const std::vector<std::string> bad{"a\uFFFEb", "\uFFFF", std::string("x\x01", 2), "\x1b[0m", "\xED\xA0\x80",
                                     "\xED\xBF\xBF", "caf\xE9", "\xF8\x88\x80\x80\x80", std::string("a\0b", 3)};
  for (const std::string& text : bad) {
    SCOPED_TRACE(json(text).dump(-1, ' ', false, json::error_handler_t::replace));
    for (const auto& [params, argument] : std::vector<std::pair<json, std::string>>{
             {json{{"i_sText", text}}, "i_sText"},
             {json::array({text}), "i_sText"},
             {json{{"i_sText", "ok"}, {"i_vDict", {{"k", text}}}}, "i_vDict"},
             {json{{"i_sText", "ok"}, {"i_vDict", {{text, "v"}}}}, "i_vDict"},
             {json{{"i_sText", "ok"}, {"i_vAny", json::array({1, {{"deep", json::array({text})}}})}}, "i_vAny"},
         }) {
      const ErrorInfo e = Refusal(params);
      EXPECT_EQ(e.number, err::TextNotXml) << e.description;
      EXPECT_NE(e.description.find("Invalid argument " + argument + ":"), std::string::npos) << e.description;
    }
  }
  // Inside an object, the description says where, as a JSON path.
  const ErrorInfo nested = Refusal(json{{"i_sText", "ok"}, {"i_vAny", json::array({1, {{"deep", json::array({"\uFFFF"})}}})}});
  EXPECT_NE(nested.description.find("at $[1].deep[0]"), std::string::npos) << nested.description;
  // What a document can hold passes, at the edges of the allowed ranges.
  const std::string fine = "tab\there\nline\r\x7f \uD7FF \uE000 \uFFFD \U00010000 \U0010FFFF 😀 Ü <&>";
  EXPECT_NO_THROW(BindArguments(Method(), json{{"i_sText", fine}, {"i_vDict", {{fine, fine}}}, {"i_vAny", fine}}));
}

TEST(DispatchTexts, TheFaultNamesTheCharacterAndItsPosition) {
  auto fault = FindCharacterXmlCannotHold("Ünï\uFFFEx");
  ASSERT_TRUE(fault);
  EXPECT_EQ(fault->character, 4u);
  EXPECT_EQ(fault->byte, 5u);
  EXPECT_EQ(DescribeXmlCharFault(*fault), "holds the character U+FFFE at character 4, which an XML document cannot hold");
  EXPECT_EQ(FindCharacterXmlCannotHold("ab\xED\xA0\x80")->what, "the lone surrogate U+D800");
  EXPECT_EQ(FindCharacterXmlCannotHold("\xE2\x82")->what, "a byte that is not UTF-8 (0xE2)");  // cut short
  EXPECT_EQ(FindCharacterXmlCannotHold("\x0b")->what, "the control character U+000B");
  // Markup: character references count as the characters they stand for.
  EXPECT_FALSE(FindCharacterMarkupCannotHold("<a b=\"&#9;&#x10FFFF;&#xfffd;\">&amp;#1;</a>"));
  for (const char* markup : {"<a>&#1;</a>", "<a>&#xFFFE;</a>", "<a>&#xd800;</a>", "<a>&#1114112;</a>",
                             "<a>&#99999999999999999999;</a>", "<a>&#0;</a>"}) {
    EXPECT_TRUE(FindCharacterMarkupCannotHold(markup)) << markup;
  }
}

}  // namespace
}  // namespace tsa
