// Kept versions read back exactly, whatever their length, and a damaged one
// is refused with 1402 instead of being read as something else.
#include <gtest/gtest.h>

#include <string>

#include "runtime/error.h"
#include "versions/compression.h"
#include "versions/tree_copy.h"
#include "versions/version_errors.h"

namespace tsa::versions {
namespace {

int32_t NumberOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const Error& e) {
    return e.number();
  }
  return 0;
}

TEST(CompressionTest, TextsOfEveryLengthReadBackAndDamageIsRefused) {
  for (const std::string& text : {std::string(), std::string("a"), std::string("ab"), std::string("abc"),
                                  std::string("<Node NID=\"0\">\0\xff\t\n</Node>", 24), std::string(100000, 'x')}) {
    EXPECT_EQ(Unpack(Pack(text)), text) << text.size();
  }
  const std::string packed = Pack("some document");
  EXPECT_EQ(NumberOf([&] { Unpack(packed.substr(0, packed.size() - 4)); }), err::VersionDamaged);
  EXPECT_EQ(NumberOf([&] { Unpack("####"); }), err::VersionDamaged);
  EXPECT_EQ(NumberOf([&] { Unpack(std::string(packed).replace(8, 4, "AAAA")); }), err::VersionDamaged);
  // A length of 4 GiB with no data: refused before that much memory is taken.
  EXPECT_EQ(NumberOf([&] { Unpack("/////w=="); }), err::VersionDamaged);
  EXPECT_EQ(NumberOf([&] { Unpack("/////" + packed.substr(5)); }), err::VersionDamaged);
  EXPECT_EQ(Unpack(Pack(std::string(1 << 20, 'x'))), std::string(1 << 20, 'x'));  // the densest deflate output
}

TEST(CompressionTest, RowsWithAnyTextReadBack) {
  const std::vector<NodeRecord> rows = {{0, 0, 0, 0, 0, -1, ";", ";1;2;", ";", -1},
                                        {5, 2, 17, 1, 1, 0, ";0;", "\t;\\n;\r\n", ";3;\\", 9}};
  EXPECT_EQ(DecodeRows(EncodeRows(rows)), rows);
  EXPECT_EQ(NumberOf([] { DecodeRows("1\t2\n"); }), err::VersionDamaged);
  EXPECT_EQ(NumberOf([] { DecodeRows("1\t2\t3\t4\t5\t6\t;\t;\t;\tx\n"); }), err::VersionDamaged);
}

}  // namespace
}  // namespace tsa::versions
