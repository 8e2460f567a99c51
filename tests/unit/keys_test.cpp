#include "menu/keys.h"

#include <gtest/gtest.h>

namespace zelpin {
namespace {

struct RenumberCase {
  const char* name;
  KeySettings keys;
  MenuLines before;
  MenuLines after;
};

class RenumberKeys : public testing::TestWithParam<RenumberCase> {};

TEST_P(RenumberKeys, HandsOutKeysTopDown) {
  MenuLines lines = GetParam().before;
  renumberKeys(lines, GetParam().keys);
  EXPECT_EQ(lines, GetParam().after);
}

const MenuLines sample = {u"zel", u"\"5 A\"", u"\"x B\"", u"\"7 C\""};

MenuLines keyed(char16_t key, int count) {
  MenuLines lines;
  for (int i = 0; i < count; ++i) {
    lines.push_back(std::u16string{u'"', key, u' ', u'X', u'"'});
  }
  return lines;
}

MenuLines keysOf(std::u16string keys) {
  MenuLines lines;
  for (const char16_t key : keys) {
    lines.push_back(std::u16string{u'"', key, u' ', u'X', u'"'});
  }
  return lines;
}

INSTANTIATE_TEST_SUITE_P(
    Menus, RenumberKeys,
    testing::Values(
        RenumberCase{"NoClass", {0, 1}, sample, sample},
        RenumberCase{"Digits", {1, 1}, sample, {u"zel", u"\"0 A\"", u"\"x B\"", u"\"1 C\""}},
        RenumberCase{"DigitsFromOne", {1, 5}, sample, {u"zel", u"\"1 A\"", u"\"x B\"", u"\"2 C\""}},
        RenumberCase{"LettersThenDigits",
                     {3, 2 | (1 << 3)},
                     sample,
                     {u"zel", u"\"a A\"", u"\"b B\"", u"\"c C\""}},
        RenumberCase{"UpperOnly", {4, 6}, sample, sample},
        RenumberCase{"UpperKeys", {4, 6}, keysOf(u"Qq7Z"), keysOf(u"Aq7B")},
        RenumberCase{"AllClasses", {7, 6}, keysOf(u"Qq7Z!"), keysOf(u"ABCD!")},
        RenumberCase{"LowerAndUpper", {6, 2}, keysOf(u"Qq7Z"), keysOf(u"ab7c")},
        RenumberCase{"DigitsStartOver", {1, 1}, keyed(u'9', 12), keysOf(u"012345678901")},
        RenumberCase{"OneToNineStartsOver", {1, 5}, keyed(u'0', 10), keysOf(u"1234567891")},
        RenumberCase{"RangesStartOverFromTheFirst",
                     {1, 5 | (1 << 3)},
                     keyed(u'0', 21),
                     keysOf(u"123456789012345678912")},
        RenumberCase{
            "LowerRunsToZ", {2, 2}, keyed(u'q', 27), keysOf(u"abcdefghijklmnopqrstuvwxyza")},
        RenumberCase{
            "NotEntries",
            {7, 1},
            {u"\"\"", u"\"x", u"\"5-A\"", u"5 A", u"\"\u00E9 A\"", u"\"\uFF11 B\"", u"\"7 D"},
            {u"\"\"", u"\"x", u"\"5-A\"", u"5 A", u"\"\u00E9 A\"", u"\"\uFF11 B\"", u"\"0 D"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zelpin
