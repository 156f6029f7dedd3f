// The characters an XML 1.0 document can hold, checked on texts in UTF-8.
//
// A document may hold tab, line feed, carriage return and every character
// from U+0020 up, except the surrogates U+D800..U+DFFF and the noncharacters
// U+FFFE and U+FFFF. Texts are UTF-8: a byte sequence that is not
// well-formed UTF-8 (overlong, a surrogate encoded on its own, beyond
// U+10FFFF, cut short) is refused as well. Every entry that takes a text
// meant for a tree document (call arguments, tree files, catalog files) and
// the XML writer itself use this one rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tsa {

namespace err {
inline constexpr int32_t TextNotXml = 1216;           // an argument holds a character XML cannot hold
inline constexpr int32_t DocumentNotWritable = 1217;  // the writer refused a document holding such a character
}  // namespace err

struct XmlCharFault {
  size_t byte = 0;       // offset of the offending sequence, from 0
  size_t character = 0;  // its position counted in characters, from 1
  std::string what;      // "the character U+FFFE", "a byte that is not UTF-8 (0xFF)", ...
};

// The first character of `text` that an XML document cannot hold.
std::optional<XmlCharFault> FindCharacterXmlCannotHold(std::string_view text);

// "holds the character U+FFFE at character 2, which an XML document cannot hold"
std::string DescribeXmlCharFault(const XmlCharFault& fault);

// Whether a code point may stand in an XML 1.0 document.
constexpr bool IsXmlChar(uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

// Markup as a writer produced it: raw characters and character references
// (&#1; &#xFFFE;) alike. Nothing when a parser would take every character.
std::optional<XmlCharFault> FindCharacterMarkupCannotHold(std::string_view markup);

}  // namespace tsa
