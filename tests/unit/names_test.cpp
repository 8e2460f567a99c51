#include "storage/records/names.h"

#include <gtest/gtest.h>

#include "storage/conversion.h"

namespace zelpin {
namespace {

platform::FileInfo fileNumbered(std::uint64_t index) {
  platform::FileInfo info;
  info.volume = 0x803;
  info.index = index;
  info.birth = 0x18ef1e377c350000;
  return info;
}

struct NameCase {
  const char* name;
  std::u16string made;
  NameKind kind;
};

void PrintTo(const NameCase& c, std::ostream* out) {
  *out << c.name;
}

class Names : public testing::TestWithParam<NameCase> {};

// Every name zelpin makes is known again for what it is, and nothing else is taken for one.
TEST_P(Names, AreKnownForWhatTheyAre) {
  EXPECT_EQ(kindOf(GetParam().made), GetParam().kind) << shownText(GetParam().made);
}

const std::u16string journal = journalName(fileNumbered(4), u"/home/me/menu.txt");
const std::u16string record = undoRecordName(fileNumbered(4), u"/home/me/menu.txt");

INSTANTIATE_TEST_SUITE_P(
    Records, Names,
    testing::Values(
        NameCase{"Journal", journal, NameKind::Journal},
        NameCase{"UndoRecord", record, NameKind::UndoRecord},
        NameCase{"UndoContent", undoContentName(record), NameKind::UndoContent},
        NameCase{"SetAside", setAsideName(u"menu.txt", 1796688000000000000), NameKind::SetAside},
        NameCase{"AnOlderZelpinsSetAside", u".zelpin-set-aside-journal-803-4-1-18ef1e377c350000",
                 NameKind::SetAside},
        NameCase{"SweptMarker", std::u16string(sweptMarkerName), NameKind::SweptMarker},
        NameCase{"Temporary", u".menu.txt.zelpin-Ab12Cd", NameKind::Temporary},
        NameCase{"TemporaryOfALongName", u"." + std::u16string(200, u'm') + u"~1f.zelpin-000000",
                 NameKind::Temporary},
        NameCase{"Lock", lockFileName(u"menu.txt"), NameKind::Lock},
        NameCase{"TheMenu", u"menu.txt", NameKind::Other},
        NameCase{"AnotherProgramsTemporary", u".menu.txt.zelpin-Ab12C", NameKind::Other},
        NameCase{"ALookalike", u".zelpin-journalx", NameKind::Other}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Names, AJournalAndItsRecordNameTheFile) {
  EXPECT_EQ(journal, u".zelpin-journal-803-4-18ef1e377c350000");
  EXPECT_EQ(recordOfContent(undoContentName(record)), record);
  EXPECT_EQ(setAsideTime(setAsideName(u"menu.txt", 1796688000000000000)), 1796688000000000000);
  EXPECT_EQ(setAsideTime(u".zelpin-set-aside-journal-803-4-1-18ef1e377c350000"),
            0x18ef1e377c350000);
  platform::FileInfo unnamed;
  unnamed.identified = false;
  EXPECT_NE(journalName(unnamed, u"/a/menu.txt"), journalName(unnamed, u"/b/menu.txt"));
}

// A temporary name fits the system's limit of 255 bytes, whatever the menu's name, and says whose
// it is: never half a character, never another menu's.
TEST(Names, ATemporaryNameFitsAndIsKnownForItsMenusOnly) {
  for (const std::u16string& leaf : {std::u16string(u"menu.txt"), std::u16string(250, u'm'),
                                     std::u16string(120, u'\u6587') + u"\U0001F600.txt"}) {
    const std::u16string name = temporaryName(leaf);
    EXPECT_LE(platform::nameLength(name), 255u) << shownText(leaf);
    EXPECT_NO_THROW(encodeLine(name, false));
    EXPECT_TRUE(isTemporaryOf(name, leaf)) << shownText(name);
    EXPECT_FALSE(isTemporaryOf(name, leaf + u"x")) << shownText(name);
    EXPECT_EQ(kindOf(name), NameKind::Temporary) << shownText(name);
  }
}

}  // namespace
}  // namespace zelpin
