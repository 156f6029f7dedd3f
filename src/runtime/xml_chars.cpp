#include "runtime/xml_chars.h"

#include <cstdio>

namespace tsa {

namespace {

std::string CodePoint(uint32_t c) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(c));
  return buffer;
}

// Decodes the UTF-8 sequence at `s[i]`: its code point and length, or a
// length of 0 when the bytes are not well-formed UTF-8. Surrogates encoded
// on their own decode (so that they can be named) and are refused by IsXmlChar.
struct Decoded {
  uint32_t code = 0;
  size_t length = 0;
};

Decoded Decode(std::string_view s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  auto continuation = [&](size_t k) { return k < s.size() && (byte(k) & 0xC0) == 0x80; };
  const unsigned char c = byte(i);
  if (c < 0x80) return {c, 1};
  if (c >= 0xC2 && c <= 0xDF) {
    if (!continuation(i + 1)) return {};
    return {static_cast<uint32_t>(((c & 0x1F) << 6) | (byte(i + 1) & 0x3F)), 2};
  }
  if (c >= 0xE0 && c <= 0xEF) {
    if (!continuation(i + 1) || !continuation(i + 2)) return {};
    if (c == 0xE0 && byte(i + 1) < 0xA0) return {};  // overlong
    return {static_cast<uint32_t>(((c & 0x0F) << 12) | ((byte(i + 1) & 0x3F) << 6) | (byte(i + 2) & 0x3F)), 3};
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (!continuation(i + 1) || !continuation(i + 2) || !continuation(i + 3)) return {};
    if (c == 0xF0 && byte(i + 1) < 0x90) return {};  // overlong
    if (c == 0xF4 && byte(i + 1) > 0x8F) return {};  // beyond U+10FFFF
    return {static_cast<uint32_t>(((c & 0x07) << 18) | ((byte(i + 1) & 0x3F) << 12) | ((byte(i + 2) & 0x3F) << 6) |
                                  (byte(i + 3) & 0x3F)),
            4};
  }
  return {};
}

std::string Name(uint32_t c) {
  if (c < 0x20 || c == 0x7F) return "the control character " + CodePoint(c);
  if (c >= 0xD800 && c <= 0xDFFF) return "the lone surrogate " + CodePoint(c);
  return "the character " + CodePoint(c);
}

// The value of the character reference at markup[i] ("&#...;"), with its
// length; nothing when it is not one.
std::optional<std::pair<uint64_t, size_t>> Reference(std::string_view m, size_t i) {
  size_t k = i + 2;
  const bool hex = k < m.size() && m[k] == 'x';
  if (hex) ++k;
  uint64_t value = 0;
  size_t digits = 0;
  for (; k < m.size() && m[k] != ';'; ++k, ++digits) {
    const char d = m[k];
    int v = -1;
    if (d >= '0' && d <= '9') v = d - '0';
    else if (hex && d >= 'a' && d <= 'f') v = d - 'a' + 10;
    else if (hex && d >= 'A' && d <= 'F') v = d - 'A' + 10;
    if (v < 0) return std::nullopt;
    if (value <= 0x10FFFF) value = value * (hex ? 16 : 10) + static_cast<uint64_t>(v);
  }
  if (k >= m.size() || digits == 0) return std::nullopt;
  return std::make_pair(value, k + 1 - i);
}

}  // namespace

std::optional<XmlCharFault> FindCharacterXmlCannotHold(std::string_view text) {
  size_t character = 1;
  for (size_t i = 0; i < text.size(); ++character) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    if (b >= 0x20 && b < 0x80) {  // the common case, quickly
      ++i;
      continue;
    }
    const Decoded d = Decode(text, i);
    if (d.length == 0) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "0x%02X", static_cast<unsigned>(b));
      return XmlCharFault{i, character, std::string("a byte that is not UTF-8 (") + buffer + ")"};
    }
    if (!IsXmlChar(d.code)) return XmlCharFault{i, character, Name(d.code)};
    i += d.length;
  }
  return std::nullopt;
}

std::string DescribeXmlCharFault(const XmlCharFault& fault) {
  return "holds " + fault.what + " at character " + std::to_string(fault.character) +
         ", which an XML document cannot hold";
}

std::optional<XmlCharFault> FindCharacterMarkupCannotHold(std::string_view markup) {
  if (auto raw = FindCharacterXmlCannotHold(markup)) return raw;
  for (size_t i = markup.find("&#"); i != std::string_view::npos; i = markup.find("&#", i + 2)) {
    auto ref = Reference(markup, i);
    if (!ref) continue;
    if (ref->first > 0x10FFFF || !IsXmlChar(static_cast<uint32_t>(ref->first))) {
      return XmlCharFault{i, 0,
                          "the reference " + std::string(markup.substr(i, ref->second)) + " (" +
                              (ref->first > 0x10FFFF ? std::string("beyond U+10FFFF")
                                                     : Name(static_cast<uint32_t>(ref->first))) +
                              ")"};
    }
  }
  return std::nullopt;
}

}  // namespace tsa
