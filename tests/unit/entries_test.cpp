#include "menu/entries.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "temp_folder.h"

namespace zelpin {
namespace {

const std::u16string docs = u"&CD \"C:\\Docs\"";

struct RecognitionCase {
  std::u16string line;
  std::u16string folderCommand;
  bool isEntry;
};

class IsEntryFor : public testing::TestWithParam<RecognitionCase> {};

TEST_P(IsEntryFor, RecognisesTheFolderCommandAtTheEnd) {
  EXPECT_EQ(isEntryFor(GetParam().line, GetParam().folderCommand), GetParam().isEntry);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, IsEntryFor,
    testing::Values(
        RecognitionCase{u"\"0 Docs\"\t" + docs, docs, true},
        RecognitionCase{u"\"0 Docs\" " + docs, docs, true},
        RecognitionCase{u"\"0 Docs\"" + docs, docs, true}, RecognitionCase{docs, docs, true},
        RecognitionCase{u"x\n" + docs, docs, true}, RecognitionCase{u"x\r" + docs, docs, true},
        RecognitionCase{u"x\v" + docs, docs, true}, RecognitionCase{u"x\f" + docs, docs, true},
        RecognitionCase{u"x" + docs, docs, false}, RecognitionCase{u"9" + docs, docs, false},
        RecognitionCase{u"x\u00A0" + docs, docs, false},
        RecognitionCase{u"x\u3000" + docs, docs, false}, RecognitionCase{docs + u" ", docs, false},
        RecognitionCase{u"&CD \"c:\\docs\"", docs, false},
        RecognitionCase{u"&CD C:\\Docs", docs, false},
        RecognitionCase{u"&CD \"C:\\Docs\\\"", docs, false},
        RecognitionCase{u"\"D\"\t&EXEC \"C:\\Docs\"", docs, false},
        RecognitionCase{u"\"Docs\"", docs, false}, RecognitionCase{u"&CD \"\"", u"", false},
        RecognitionCase{u"", u"", false}));

struct HeaderCase {
  MenuLines before;
  MenuLines after;
};

class EnsureHeader : public testing::TestWithParam<HeaderCase> {};

TEST_P(EnsureHeader, PutsTheDefaultHeaderInFrontWhenMissing) {
  MenuLines lines = GetParam().before;
  ensureHeader(lines);
  EXPECT_EQ(lines, GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(
    Menus, EnsureHeader,
    testing::Values(HeaderCase{{}, {u"zel zelpin"}}, HeaderCase{{u"zel"}, {u"zel"}},
                    HeaderCase{{u"zelda's menu", u"x"}, {u"zelda's menu", u"x"}},
                    HeaderCase{{u""}, {u"zel zelpin", u""}},
                    HeaderCase{{u"ze"}, {u"zel zelpin", u"ze"}},
                    HeaderCase{{u"Zel menu"}, {u"zel zelpin", u"Zel menu"}},
                    HeaderCase{{u" zel"}, {u"zel zelpin", u" zel"}},
                    HeaderCase{{u"x", u"zel"}, {u"zel zelpin", u"x", u"zel"}}));

TEST(ComposeEntry, JoinsLabelAndCommandWithATab) {
  EXPECT_EQ(composeEntry(u"\"0 Docs\"", docs), u"\"0 Docs\"\t" + docs);
  EXPECT_EQ(composeEntry(u"\"", u""), u"\"\t");
}

TEST(InsertAfterHeader, PutsTheLineSecond) {
  MenuLines lines = {u"zel", u"a", u"b"};
  insertAfterHeader(lines, u"new");
  EXPECT_EQ(lines, (MenuLines{u"zel", u"new", u"a", u"b"}));
  MenuLines headerOnly = {u"zel"};
  insertAfterHeader(headerOnly, u"new");
  EXPECT_EQ(headerOnly, (MenuLines{u"zel", u"new"}));
}

class LoadMenu : public testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(folder_.path() / "menu.txt", std::ios::binary)
        << "zel\n\"1\"\t&CD \"C:\\Docs\"\nother\n\"2\" &CD \"C:\\Docs\"\n"
           "x&CD \"C:\\Docs\"\n\"3\"\t&CD \"C:\\Docs\"\n";
  }
  std::u16string path() const { return folder_.wideName("menu.txt"); }

 private:
  TestFolder folder_;
};

TEST_F(LoadMenu, TakesOutEveryEntryAndCapturesTheLast) {
  MenuFile menu(path());
  MenuLines lines;
  std::u16string slot = u"previous content";
  EXPECT_TRUE(loadMenu(menu, docs, lines, &slot));
  EXPECT_EQ(lines, (MenuLines{u"zel", u"other", u"x&CD \"C:\\Docs\""}));
  EXPECT_EQ(slot, u"\"3\"\t&CD \"C:\\Docs\"");
}

TEST_F(LoadMenu, KeepsEveryLineForAnotherFolder) {
  MenuFile menu(path());
  MenuLines lines;
  std::u16string slot = u"untouched";
  EXPECT_FALSE(loadMenu(menu, u"&CD \"C:\\Other\"", lines, &slot));
  EXPECT_EQ(lines.size(), 6u);
  EXPECT_EQ(slot, u"untouched");
}

TEST_F(LoadMenu, AnEmptyFolderCommandKeepsEveryLine) {
  MenuFile menu(path());
  MenuLines lines;
  EXPECT_FALSE(loadMenu(menu, u"", lines));
  EXPECT_EQ(lines.size(), 6u);
}

}  // namespace
}  // namespace zelpin
