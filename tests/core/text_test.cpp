#include "core/text.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace mardo {
namespace {

std::u16string units(std::initializer_list<char16_t> list) {
  return std::u16string(list);
}

TEST(TextConversion, EmptyAndNullGiveNullBothWays) {
  EXPECT_EQ(to_ansi(nullptr), nullptr);
  EXPECT_EQ(to_ansi(u""), nullptr);
  EXPECT_EQ(to_wide(nullptr), nullptr);
  EXPECT_EQ(to_wide(""), nullptr);
  EXPECT_EQ(ansi_string(u""), "");
  EXPECT_EQ(wide_string(""), u"");
}

struct valid_case_t {
  const char* name;
  std::u16string wide;
  std::string ansi;
};

class ValidText : public testing::TestWithParam<valid_case_t> {};

TEST_P(ValidText, ConvertsExactlyBothWays) {
  const valid_case_t& row = GetParam();
  const std::unique_ptr<char[]> ansi = to_ansi(row.wide.c_str());
  ASSERT_NE(ansi, nullptr);
  EXPECT_EQ(std::string(ansi.get()), row.ansi);
  const std::unique_ptr<char16_t[]> wide = to_wide(row.ansi.c_str());
  ASSERT_NE(wide, nullptr);
  EXPECT_EQ(std::u16string(wide.get()), row.wide);
  EXPECT_EQ(ansi_string(row.wide), row.ansi);
  EXPECT_EQ(wide_string(row.ansi), row.wide);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ValidText,
    testing::Values(valid_case_t{"Ascii", u"192.0.2.1 ok", "192.0.2.1 ok"},
                    valid_case_t{
                        "Chinese", u"升级成功，相机即将重启！",
                        "\xE5\x8D\x87\xE7\xBA\xA7\xE6\x88\x90\xE5\x8A\x9F\xEF\xBC\x8C\xE7\x9B\xB8"
                        "\xE6\x9C\xBA\xE5\x8D\xB3\xE5\xB0\x86\xE9\x87\x8D\xE5\x90\xAF\xEF\xBC\x81"},
                    valid_case_t{"EmojiSurrogatePair", units({0xD83D, 0xDE00}), "\xF0\x9F\x98\x80"},
                    valid_case_t{"TwoByteBounds", u"\u0080\u07FF", "\xC2\x80\xDF\xBF"},
                    valid_case_t{"ThreeByteBounds", u"\u0800\uFFFF", "\xE0\xA0\x80\xEF\xBF\xBF"},
                    valid_case_t{"AroundSurrogates", u"\uD7FF\uE000", "\xED\x9F\xBF\xEE\x80\x80"},
                    valid_case_t{"FourByteBounds", units({0xD800, 0xDC00, 0xDBFF, 0xDFFF}),
                                 "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"}),
    [](const testing::TestParamInfo<valid_case_t>& row) { return row.param.name; });

struct utf8_case_t {
  const char* name;
  std::string ansi;
  std::u16string wide;
};

class MalformedUtf8 : public testing::TestWithParam<utf8_case_t> {};

TEST_P(MalformedUtf8, GivesOneReplacementPerMaximalSubpart) {
  const utf8_case_t& row = GetParam();
  EXPECT_EQ(wide_string(row.ansi), row.wide);
  const std::unique_ptr<char16_t[]> wide = to_wide(row.ansi.c_str());
  ASSERT_NE(wide, nullptr);
  EXPECT_EQ(std::u16string(wide.get()), row.wide);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MalformedUtf8,
    testing::Values(
        utf8_case_t{"LoneContinuation", "a\x80z", u"a\uFFFDz"},
        utf8_case_t{"TwoContinuations", "\x80\xBF", u"\uFFFD\uFFFD"},
        utf8_case_t{"OverlongTwoByte", "\xC0\xAF", u"\uFFFD\uFFFD"},
        utf8_case_t{"OverlongThreeByte", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
        utf8_case_t{"OverlongFourByte", "\xF0\x80\x80\xAF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        utf8_case_t{"EncodedSurrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        utf8_case_t{"AboveMaximum", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        utf8_case_t{"InvalidLeadF5", "\xF5\x80", u"\uFFFD\uFFFD"},
        utf8_case_t{"ByteFF", "\xFF", u"\uFFFD"},
        utf8_case_t{"TruncatedAtEnd", "ok\xE4\xB8", u"ok\uFFFD"},
        utf8_case_t{"TruncatedFourByteAtEnd", "\xF0\x9F\x98", u"\uFFFD"},
        utf8_case_t{"TruncatedBeforeAscii", "\xE4\xB8z", u"\uFFFDz"},
        utf8_case_t{"TruncatedBeforeValidLead", "\xE4\xB8\xE4\xB8\x80", u"\uFFFD\u4E00"},
        // The example of the Unicode standard, chapter 3, "U+FFFD substitution".
        utf8_case_t{"UnicodeExample",
                    "a\xF1\x80\x80\xE1\x80\xC2"
                    "b\x80"
                    "c\x80\xBF"
                    "d",
                    u"a\uFFFD\uFFFD\uFFFDb\uFFFDc\uFFFD\uFFFDd"}),
    [](const testing::TestParamInfo<utf8_case_t>& row) { return row.param.name; });

struct utf16_case_t {
  const char* name;
  std::u16string wide;
  std::string ansi;
};

class MalformedUtf16 : public testing::TestWithParam<utf16_case_t> {};

TEST_P(MalformedUtf16, GivesReplacementPerLoneSurrogate) {
  const utf16_case_t& row = GetParam();
  EXPECT_EQ(ansi_string(row.wide), row.ansi);
  const std::unique_ptr<char[]> ansi = to_ansi(row.wide.c_str());
  ASSERT_NE(ansi, nullptr);
  EXPECT_EQ(std::string(ansi.get()), row.ansi);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MalformedUtf16,
    testing::Values(utf16_case_t{"HighAtEnd", units({u'a', 0xD83D}), "a\xEF\xBF\xBD"},
                    utf16_case_t{"HighBeforeAscii", units({0xD83D, u'x'}), "\xEF\xBF\xBDx"},
                    utf16_case_t{"LoneLow", units({0xDE00}), "\xEF\xBF\xBD"},
                    utf16_case_t{"ReversedPair", units({0xDE00, 0xD83D}),
                                 "\xEF\xBF\xBD\xEF\xBF\xBD"},
                    utf16_case_t{"HighBeforePair", units({0xD83D, 0xD83D, 0xDE00}),
                                 "\xEF\xBF\xBD\xF0\x9F\x98\x80"}),
    [](const testing::TestParamInfo<utf16_case_t>& row) { return row.param.name; });

// Buffers of exactly the view's size, so that a read past the end shows under ASan.
TEST(TextConversion, SequenceCutByTheEndOfAViewIsNotReadPast) {
  const std::unique_ptr<char[]> bytes(new char[2]{'\xE4', '\xB8'});
  EXPECT_EQ(wide_string(std::string_view(bytes.get(), 2)), u"\uFFFD");
  const std::unique_ptr<char16_t[]> pair(new char16_t[1]{0xD83D});
  EXPECT_EQ(ansi_string(std::u16string_view(pair.get(), 1)), "\xEF\xBF\xBD");
  // A view cut inside a valid sequence stops at its end, not at the memory's.
  EXPECT_EQ(wide_string(std::string_view("\xE4\xB8\x80", 2)), u"\uFFFD");
}

TEST(TextConversion, ViewsKeepEmbeddedNuls) {
  EXPECT_EQ(wide_string(std::string_view("a\0b", 3)), std::u16string(u"a\0b", 3));
  EXPECT_EQ(ansi_string(std::u16string_view(u"a\0b", 3)), std::string("a\0b", 3));
}

}  // namespace
}  // namespace mardo
