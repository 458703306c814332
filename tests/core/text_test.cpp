#include <gtest/gtest.h>

#include "core/text.h"

namespace vorn {
namespace {

TEST(Text, TrimsUnicodeWhiteSpace) {
  EXPECT_EQ(trim_whitespace(" \t\u00a0\u3000abc\u2003\r\n"), "abc");
  EXPECT_EQ(trim_whitespace("\u200babc"), "\u200babc");  // zero-width space is not white space
  EXPECT_EQ(trim_start_whitespace("  a b "), "a b ");
  EXPECT_EQ(trim_end_whitespace("  a b "), "  a b");
  EXPECT_EQ(trim_end_whitespace(" "), "");
  EXPECT_EQ(trim_start_whitespace(" "), "");
  EXPECT_EQ(trim_whitespace(""), "");
  EXPECT_EQ(trim_whitespace("\xff "), "\xff");
}

std::string utf8(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

TEST(Text, EveryUnicodeWhiteSpaceAndNothingNextToIt) {
  const char32_t spaces[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,   0x1680, 0x2000,
                             0x2001, 0x2005, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  for (char32_t c : spaces) {
    EXPECT_EQ(trim_whitespace(utf8(c) + "x" + utf8(c)), "x") << std::hex << static_cast<unsigned>(c);
  }
  const char32_t others[] = {0x08,   0x0E,   0x1F,   0x21,   0x84,   0x86,   0x9F,   0xA1,   0x167F, 0x1681,
                             0x1FFF, 0x200B, 0x2027, 0x202A, 0x202E, 0x2030, 0x205E, 0x2060, 0x2FFF, 0x3001};
  for (char32_t c : others) {
    const std::string text = utf8(c) + "x" + utf8(c);
    EXPECT_EQ(trim_whitespace(text), text) << std::hex << static_cast<unsigned>(c);
  }
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
  EXPECT_FALSE(is_valid_utf8("\xe0\x9f\xbf"));  // overlong in three bytes
  EXPECT_FALSE(is_valid_utf8("\xf0\x8f\xbf\xbf"));  // overlong in four bytes
  EXPECT_FALSE(is_valid_utf8("\xf4\x90\x80\x80"));  // past U+10FFFF
  EXPECT_FALSE(is_valid_utf8("\xf8\x88\x80\x80\x80"));  // five-byte form
  EXPECT_FALSE(is_valid_utf8("\xe2\x82"));  // cut short
  EXPECT_FALSE(is_valid_utf8("\xe2\x28\xa1"));  // not a continuation byte
  for (const char* valid : {"\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf", "\xee\x80\x80",
                            "\xef\xbf\xbf", "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf"}) {
    EXPECT_TRUE(is_valid_utf8(valid)) << valid;
  }
  EXPECT_FALSE(is_valid_utf8("\xed\xbf\xbf"));  // the last surrogate
  EXPECT_FALSE(is_valid_utf8("\x80"));  // a continuation byte alone
  EXPECT_FALSE(is_valid_utf8("\xf8\x90\x80\x80"));  // no lead byte starts five
  EXPECT_FALSE(is_valid_utf8("\xff"));
  // Each byte of a broken sequence is replaced on its own; what follows stays.
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(to_valid_utf8("a\xe2(z"), "a" + r + "(z");
  EXPECT_EQ(to_valid_utf8("\xed\xa0\x80"), r + r + r);
  EXPECT_EQ(to_valid_utf8("\xc3\xbc\xf0\x9f\x99\x82"), "\xc3\xbc\xf0\x9f\x99\x82");
  // Trimming never takes bytes that are not white space, whole or not.
  EXPECT_EQ(trim_whitespace("\x80"), "\x80");
  EXPECT_EQ(trim_whitespace(" \x80 "), "\x80");
  EXPECT_EQ(trim_whitespace("x\x80\x80\x80\x80"), "x\x80\x80\x80\x80");
  EXPECT_EQ(trim_whitespace("\x80\x80\x80\x80\x80 "), "\x80\x80\x80\x80\x80");
  EXPECT_EQ(to_valid_utf8("a\xffz"), "a\xEF\xBF\xBDz");
}

TEST(Text, ControlCharactersOtherThanTabBecomeMarks) {
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(with_visible_controls(std::string("a\0b\tc\r\n\x1f \x7f \xC3\xBC", 13)), "a" + r + "b\tc" + r + r + r + " \x7f \xC3\xBC");
  EXPECT_EQ(with_visible_controls("plain"), "plain");
}

TEST(Text, AsciiCase) {
  EXPECT_EQ(to_lower_ascii("MINER_Config.YAML Ü"), "miner_config.yaml Ü");
  EXPECT_EQ(to_lower_ascii("AZ@[`{"), "az@[`{");  // both ends of the letters, and their neighbours
  EXPECT_EQ(to_upper_ascii("miner_Config.yaml \xC3\xBC"), "MINER_CONFIG.YAML \xC3\xBC");
  EXPECT_EQ(to_upper_ascii("az`{@["), "AZ`{@[");
  EXPECT_TRUE(equals_ignore_ascii_case("C:\\Prog\\A.EXE", "c:\\prog\\a.exe"));
  EXPECT_FALSE(equals_ignore_ascii_case("a", "ab"));
  EXPECT_FALSE(equals_ignore_ascii_case("vorn_miner.exe", "vorn_miner.exf"));
}

}  // namespace
}  // namespace vorn
