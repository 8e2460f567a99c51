#include "storage/conversion.h"

#include <gtest/gtest.h>

#include <optional>

namespace zelpin {
namespace {

struct DecodeCase {
  std::string bytes;
  std::optional<std::u16string> units;  // none: the line must be refused
};

template <typename Text>
Text repeated(const Text& piece, int times) {
  Text text;
  for (int i = 0; i < times; ++i) {
    text += piece;
  }
  return text;
}

class DecodeLine : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeLine, GivesTheUnitsOrRefuses) {
  const DecodeCase& c = GetParam();
  if (c.units) {
    EXPECT_EQ(decodeLine(c.bytes), *c.units);
  } else {
    EXPECT_THROW(decodeLine(c.bytes), ConversionError);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, DecodeLine,
    testing::Values(
        DecodeCase{"\xEF\xBB\xBF"
                   "abc",
                   u"abc"},
        DecodeCase{"abc", u"abc"}, DecodeCase{"", u""}, DecodeCase{"\xEF\xBB\xBF", u""},
        DecodeCase{"\xEF\xBB\xBF\xEF\xBB\xBF"
                   "a",
                   u"\xFEFF"
                   u"a"},
        DecodeCase{"a\xEF\xBB\xBF", u"a\xFEFF"},
        DecodeCase{"\xF0\x9F\x98\x80", std::u16string{0xD83D, 0xDE00}},
        DecodeCase{"\xF4\x8F\xBF\xBF", std::u16string{0xDBFF, 0xDFFF}},
        DecodeCase{"\xC3\xA9\xE6\x96\x87", u"\u00E9\u6587"},
        DecodeCase{std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
        DecodeCase{"\xED\xB0\x80", std::u16string{0xDC00}},
        DecodeCase{"\xED\xBF\xBF", std::u16string{0xDFFF}}, DecodeCase{"\xED\x9F\xBF", u"\uD7FF"},
        DecodeCase{"\xEF\xBF\xBF", u"\uFFFF"},
        // long enough to be taken a word at a time, with a sequence across words
        DecodeCase{"1234567\xE6\x96\x87\xF0\x9F\x98\x80"
                   "abcdefgh\xC3\xA9\xE1\x80\x80",
                   u"1234567\u6587\U0001F600abcdefgh\u00E9\u1000"},
        // short lines and long ones are decoded into different buffers
        DecodeCase{repeated<std::string>("\xE6\x96\x87", 170) + "ab",
                   repeated<std::u16string>(u"\u6587", 170) + u"ab"},
        DecodeCase{repeated<std::string>("\xE6\x96\x87", 171),
                   repeated<std::u16string>(u"\u6587", 171)},
        DecodeCase{repeated<std::string>("a\xF0\x9F\x98\x80", 200),
                   repeated<std::u16string>(u"a\U0001F600", 200)},
        // refused
        DecodeCase{"\xF4\x90\x80\x80", {}}, DecodeCase{"\xC3\x41", {}}, DecodeCase{"\x80", {}},
        DecodeCase{"a\xBF", {}}, DecodeCase{"\xC0\x80", {}}, DecodeCase{"\xC1\xBF", {}},
        DecodeCase{"\xE0\x80\x80", {}}, DecodeCase{"\xE0\x9F\xBF", {}},
        DecodeCase{"\xF0\x80\x80\x80", {}}, DecodeCase{"\xF0\x8F\xBF\xBF", {}},
        DecodeCase{"\xF5\x80\x80\x80", {}}, DecodeCase{"\xFF", {}}, DecodeCase{"\xFE", {}},
        DecodeCase{"\xF8\x88\x80\x80\x80", {}}, DecodeCase{"\xFC\x84\x80\x80\x80\x80", {}},
        DecodeCase{"\xF0\x9F\x98", {}}, DecodeCase{"\xE2\x82", {}}, DecodeCase{"\xC3", {}},
        DecodeCase{"\xED\xA0\x80", {}}, DecodeCase{"\xED\xAF\xBF", {}},
        DecodeCase{"\xE2\x28\xA1", {}}, DecodeCase{"\xF0\x9F\x28\x80", {}},
        DecodeCase{"\xE1\x80\x41", {}}, DecodeCase{"\xEE\x80", {}},
        DecodeCase{"\xE6\x96\x87\x80", {}}, DecodeCase{"abcdefgh12345678\xED\xA0\x80", {}},
        DecodeCase{repeated<std::string>("\xE6\x96\x87", 200) + "\xE6\x96", {}}));

TEST(DecodeUtf8, KeepsALeadingByteOrderMark) {
  EXPECT_EQ(decodeUtf8("\xEF\xBB\xBF"
                       "a"),
            u"\xFEFF"
            u"a");
}

struct EncodeCase {
  std::u16string units;
  bool withMark;
  std::optional<std::string> bytes;  // none: the line must be refused
};

class EncodeLine : public testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeLine, GivesTheBytesOrRefuses) {
  const EncodeCase& c = GetParam();
  if (c.bytes) {
    EXPECT_EQ(encodeLine(c.units, c.withMark), *c.bytes);
    EXPECT_EQ(encodedLength(c.units), encodeLine(c.units, false).size());
  } else {
    EXPECT_THROW(encodeLine(c.units, c.withMark), ConversionError);
    EXPECT_THROW(encodedLength(c.units), ConversionError);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, EncodeLine,
    testing::Values(
        EncodeCase{u"abc", true,
                   "\xEF\xBB\xBF"
                   "abc"},
        EncodeCase{u"abc", false, "abc"}, EncodeCase{u"", true, ""},
        EncodeCase{std::u16string{0xD83D, 0xDE00}, false, "\xF0\x9F\x98\x80"},
        EncodeCase{u"\u00E9\u6587\u007F\u0080\u07FF\u0800", false,
                   "\xC3\xA9\xE6\x96\x87\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80"},
        EncodeCase{std::u16string{0xDC00}, false, "\xED\xB0\x80"},
        EncodeCase{u"abcdefgh\U0001F600\u6587", false, "abcdefgh\xF0\x9F\x98\x80\xE6\x96\x87"},
        EncodeCase{std::u16string{u'a', u'b', u'c', u'd', u'e', 0xDC00, 0xD800}, false, {}},
        EncodeCase{std::u16string{u'a', 0xD83D}, false, {}},
        EncodeCase{std::u16string{0xD83D, u'a'}, false, {}},
        EncodeCase{std::u16string{0xD83D, 0xD83D, 0xDE00}, false, {}}));

TEST(AppendEncodedLine, LeavesTheOutputAloneWhenItRefuses) {
  std::string out = "kept";
  EXPECT_THROW(appendEncodedLine(out, std::u16string{u'a', 0xD800}, true), ConversionError);
  EXPECT_EQ(out, "kept");
}

// Every code point, and every lone low surrogate, goes there and back unchanged.
TEST(Conversion, EveryCodePointRoundTrips) {
  for (char32_t value = 1; value <= 0x10FFFF; ++value) {
    if (value >= 0xD800 && value <= 0xDBFF) {
      continue;
    }
    std::u16string units;
    if (value < 0x10000) {
      units.push_back(static_cast<char16_t>(value));
    } else {
      units.push_back(static_cast<char16_t>(0xD800 + ((value - 0x10000) >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + ((value - 0x10000) & 0x3FF)));
    }
    const std::string bytes = encodeLine(units, false);
    ASSERT_EQ(decodeUtf8(bytes), units) << "U+" << std::hex << static_cast<unsigned>(value);
  }
}

}  // namespace
}  // namespace zelpin
