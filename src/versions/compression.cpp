#include "versions/compression.h"

#include <zlib.h>

#include <array>
#include <cstdint>
#include <vector>

#include "runtime/error.h"
#include "versions/version_errors.h"

namespace tsa::versions {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64(const std::vector<unsigned char>& bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t n = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    for (int shift : {18, 12, 6, 0}) out += kAlphabet[(n >> shift) & 63];
  }
  if (i + 1 == bytes.size()) {
    const uint32_t n = uint32_t{bytes[i]} << 16;
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += "==";
  } else if (i + 2 == bytes.size()) {
    const uint32_t n = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8);
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += kAlphabet[(n >> 6) & 63];
    out += '=';
  }
  return out;
}

[[noreturn]] void Damaged(const std::string& why) {
  Raise(err::VersionDamaged, {}, "A stored version cannot be read: " + why);
}

std::vector<unsigned char> FromBase64(std::string_view text) {
  std::array<int, 256> value{};
  value.fill(-1);
  for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(kAlphabet[i])] = i;
  if (text.size() % 4 != 0) Damaged("its length is not a multiple of four");
  std::vector<unsigned char> out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    int digits[4];
    int padding = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + k];
      if (c == '=' && i + 4 == text.size() && k >= 2) {
        digits[k] = 0;
        ++padding;
        continue;
      }
      if (padding > 0) Damaged("padding inside the text");
      digits[k] = value[static_cast<unsigned char>(c)];
      if (digits[k] < 0) Damaged("a character that base64 does not use");
    }
    const uint32_t n = (uint32_t(digits[0]) << 18) | (uint32_t(digits[1]) << 12) | (uint32_t(digits[2]) << 6) |
                       uint32_t(digits[3]);
    out.push_back(static_cast<unsigned char>(n >> 16));
    if (padding < 2) out.push_back(static_cast<unsigned char>(n >> 8));
    if (padding < 1) out.push_back(static_cast<unsigned char>(n));
  }
  return out;
}

}  // namespace

std::string Pack(std::string_view text) {
  // The original length first (4 bytes, big-endian), so that Unpack sizes
  // its buffer once.
  const uLong length = static_cast<uLong>(text.size());
  if (text.size() > 0xFFFFFFFFu) Raise(err::Overflow, {}, "Overflow: a document too large to keep as a version");
  uLongf bound = compressBound(length);
  std::vector<unsigned char> bytes(4 + bound);
  for (int k = 0; k < 4; ++k) bytes[k] = static_cast<unsigned char>(length >> (24 - 8 * k));
  if (compress2(bytes.data() + 4, &bound, reinterpret_cast<const Bytef*>(text.data()), length, Z_BEST_SPEED) != Z_OK) {
    Raise(err::OutOfMemory, {}, "Out of memory while compressing a version");
  }
  bytes.resize(4 + bound);
  return Base64(bytes);
}

std::string Unpack(std::string_view packed) {
  const std::vector<unsigned char> bytes = FromBase64(packed);
  if (bytes.size() < 4) Damaged("it is too short");
  uLongf length = 0;
  for (int k = 0; k < 4; ++k) length = (length << 8) | bytes[k];
  // The length is read from the damaged text too: deflate never shrinks
  // anything more than 1032 times, so a length beyond that is refused before
  // a buffer of that size (up to 4 GiB) is taken.
  constexpr uLongf kMaxDeflateRatio = 1032;
  if (length > (bytes.size() - 4) * kMaxDeflateRatio) Damaged("its stated length does not fit its compressed data");
  std::string out(length, '\0');
  uLongf produced = length;
  const int rc = uncompress(reinterpret_cast<Bytef*>(out.data()), &produced, bytes.data() + 4,
                            static_cast<uLong>(bytes.size() - 4));
  if (rc != Z_OK || produced != length) Damaged("its compressed data is corrupt");
  return out;
}

}  // namespace tsa::versions
