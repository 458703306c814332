#include <gtest/gtest.h>

#include "core/text.h"

namespace vorn {
namespace {

TEST(Text, TrimsUnicodeWhiteSpace) {
  EXPECT_EQ(trim_whitespace(" \t\u00a0\u3000abc\u2003\r\n"), "abc");
  EXPECT_EQ(trim_whitespace("\u200babc"), "\u200babc");  // zero-width space is not white space
  EXPECT_EQ(trim_start_whitespace("  a b "), "a b ");
  EXPECT_EQ(trim_end_whitespace("  a b "), "  a b");
  EXPECT_EQ(trim_whitespace(""), "");
  EXPECT_EQ(trim_whitespace("\xff "), "\xff");
}

TEST(Text, SplitsAtRunsOfWhiteSpace) {
  auto pieces = split_whitespace("  ERROR   disk\u00a0\u00a0full \t");
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[0], "ERROR");
  EXPECT_EQ(pieces[1], "disk");
  EXPECT_EQ(pieces[2], "full");
  EXPECT_TRUE(split_whitespace(" \t ").empty());
}

TEST(Text, Utf8Validation) {
  EXPECT_TRUE(is_valid_utf8("plain ü 矿 🙂"));
  EXPECT_FALSE(is_valid_utf8("\xc3"));
  EXPECT_FALSE(is_valid_utf8("\xed\xa0\x80"));  // surrogate
  EXPECT_FALSE(is_valid_utf8("\xc0\xaf"));      // overlong
  EXPECT_EQ(to_valid_utf8("a\xffz"), "a\xEF\xBF\xBDz");
}

TEST(Text, AsciiCase) {
  EXPECT_EQ(to_lower_ascii("MINER_Config.YAML Ü"), "miner_config.yaml Ü");
  EXPECT_TRUE(equals_ignore_ascii_case("C:\\Prog\\A.EXE", "c:\\prog\\a.exe"));
  EXPECT_FALSE(equals_ignore_ascii_case("a", "ab"));
}

}  // namespace
}  // namespace vorn
