#include "app/command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace zelpin {
namespace {

Options parse(std::vector<std::u16string> words) {
  words.insert(words.begin(), u"zelpin");
  return parseCommandLine(words);
}

struct LabelCase {
  std::vector<std::u16string> words;
  std::u16string entryLabel;
  std::u16string folderCommand;
};

class ParseCommandLine : public testing::TestWithParam<LabelCase> {};

TEST_P(ParseCommandLine, BuildsLabelAndFolderCommand) {
  const Options options = parse(GetParam().words);
  EXPECT_EQ(options.entryLabel, GetParam().entryLabel);
  EXPECT_EQ(options.folderCommand, GetParam().folderCommand);
}

const std::u16string docs = u"C:\\Users\\me\\Documents";
const std::u16string docsCommand = u"&CD \"C:\\Users\\me\\Documents\"";

INSTANTIATE_TEST_SUITE_P(
    Words, ParseCommandLine,
    testing::Values(
        LabelCase{{u"menu.txt", docs}, u"\"C:\\Users\\me\\Documents\"", docsCommand},
        LabelCase{{u"-1n", u"menu.txt", docs}, u"\"0 Documents\"", docsCommand},
        LabelCase{{u"menu.txt", docs, u"-2a"}, u"\"a me\\Documents\"", docsCommand},
        LabelCase{{u"-n", u"menu.txt", docs, u"My", u"Docs"}, u"\"0 My Docs\"", docsCommand},
        LabelCase{{u"-nLl1", u"menu.txt", docs, u"Docs"}, u"\"Docs Documents\"", docsCommand},
        LabelCase{{u"-e", u"menu.txt", docs, u"Docs"},
                  u"\"Docs\"",
                  u"&EXEC \"C:\\Users\\me\\Documents\""},
        LabelCase{{u"-n", u"menu.txt"}, u"\"0 \"", u""},
        LabelCase{{u"menu.txt", u"-", u"C:\\x"}, u"\"C:\\x\"", u"&CD \"C:\\x\""},
        LabelCase{{u"menu.txt", u"C:\\x", u"My", u"-mail"}, u"\"a My C:\\x\"", u"&CD \"C:\\x\""},
        LabelCase{{u"-nL", u"menu.txt", u"C:\\x", u""}, u"\"0 C:\\x\"", u"&CD \"C:\\x\""},
        LabelCase{{u"menu.txt", u"C:\\x", u"", u"x"}, u"\" x\"", u"&CD \"C:\\x\""},
        LabelCase{{u"-n", u"menu.txt", u"C:\\x", u"", u"x"}, u"\"0  x\"", u"&CD \"C:\\x\""},
        LabelCase{{u"menu.txt", u"C:\\x", u"a", u"", u"b"}, u"\"a  b\"", u"&CD \"C:\\x\""},
        LabelCase{{u"menu.txt", u"C:\\x", u"a", u"\tb"}, u"\"a\tb\"", u"&CD \"C:\\x\""},
        LabelCase{{u"-1", u"menu.txt", u"C:\\Users\\me\\"}, u"\"", u"&CD \"C:\\Users\\me\\\""},
        LabelCase{{u"-1n", u"menu.txt", u"C:\\Users\\me\\"}, u"\"0 \"", u"&CD \"C:\\Users\\me\\\""},
        LabelCase{{u"-1", u"menu.txt", u"\\a"}, u"\"\\a\"", u"&CD \"\\a\""},
        LabelCase{
            {u"menu.txt", u"C:\\\"x\"", u"My", u"\"Docs\""}, u"\"My Docs\"", u"&CD \"C:\\x\""},
        LabelCase{{u"menu.txt", u"\"\"", u"L"}, u"\"L\"", u"&CD \""},
        LabelCase{{u"-L", u"menu.txt", u"C:\\x", u"x"}, u"\"x\"", u"&CD \"C:\\x\""},
        LabelCase{{u"-l", u"menu.txt", u"C:\\x"}, u"\"C:\\x\"", u"&CD \"C:\\x\""},
        LabelCase{{u"-A", u"menu.txt", u"C:\\x"}, u"\"A C:\\x\"", u"&CD \"C:\\x\""},
        LabelCase{{u"-aA", u"menu.txt", u"C:\\x"}, u"\"a C:\\x\"", u"&CD \"C:\\x\""},
        LabelCase{{u"-NA", u"menu.txt", u"C:\\x"}, u"\"0 C:\\x\"", u"&CD \"C:\\x\""},
        LabelCase{{u"-e", u"menu.txt"}, u"\"", u""}));

TEST(ParseCommandLine, OnlyOptionsLeaveNoMenuFile) {
  const Options options = parse({u"-n", u"-a"});
  EXPECT_FALSE(options.menuFile.has_value());
  EXPECT_EQ(options.keys.keyClassMask, 3);
  EXPECT_EQ(options.keys.keySequence, 1u | (2u << 3));
}

struct UndoCase {
  std::vector<std::u16string> words;
  bool undo;
  int otherWords;
};

class UndoWord : public testing::TestWithParam<UndoCase> {};

// Only the word -u itself asks for an undo; a u among other letters names nothing, as before.
TEST_P(UndoWord, IsTheExactWordAlone) {
  const Options options = parse(GetParam().words);
  EXPECT_EQ(options.undo, GetParam().undo);
  EXPECT_EQ(options.otherWords, GetParam().otherWords);
}

INSTANTIATE_TEST_SUITE_P(Words, UndoWord,
                         testing::Values(UndoCase{{u"-u", u"menu.txt"}, true, 0},
                                         UndoCase{{u"menu.txt", u"-u", u"-u"}, true, 0},
                                         UndoCase{{u"-u", u"menu.txt", u"C:\\x"}, true, 1},
                                         UndoCase{{u"-u", u"-n", u"menu.txt"}, true, 1},
                                         UndoCase{{u"-un", u"menu.txt"}, false, 1},
                                         UndoCase{{u"-menu.txt", u"m.txt"}, false, 1}));

TEST(ParseCommandLine, AnEmptyFirstWordIsAnEmptyMenuFile) {
  EXPECT_EQ(parse({u"", u"C:\\x"}).menuFile, std::u16string());
  EXPECT_EQ(parse({u"m.txt", u"C:\\x"}).menuFile, u"m.txt");
}

struct ModeCase {
  std::u16string option;
  EditMode mode;
};

class EditModeLetters : public testing::TestWithParam<ModeCase> {};

TEST_P(EditModeLetters, TheLastOneWins) {
  EXPECT_EQ(parse({GetParam().option, u"menu.txt"}).editMode, GetParam().mode);
}

INSTANTIATE_TEST_SUITE_P(
    Letters, EditModeLetters,
    testing::Values(ModeCase{u"-x", EditMode::Toggle}, ModeCase{u"-d", EditMode::Delete},
                    ModeCase{u"-m", EditMode::Replace}, ModeCase{u"-M", EditMode::Promote},
                    ModeCase{u"-dmM", EditMode::Promote}, ModeCase{u"-Mmd", EditMode::Delete},
                    ModeCase{u"-D-d", EditMode::Delete}));

struct KeyCase {
  std::vector<std::u16string> options;
  KeyClassMask mask;
  KeySequence sequence;
};

class KeyLetters : public testing::TestWithParam<KeyCase> {};

TEST_P(KeyLetters, AccumulateInOrder) {
  const Options options = parse(GetParam().options);
  EXPECT_EQ(options.keys.keyClassMask, GetParam().mask);
  EXPECT_EQ(options.keys.keySequence, GetParam().sequence);
}

INSTANTIATE_TEST_SUITE_P(
    Letters, KeyLetters,
    testing::Values(KeyCase{{u"-d"}, 0, 0}, KeyCase{{u"-n"}, 1, 1}, KeyCase{{u"-N"}, 1, 5},
                    KeyCase{{u"-a"}, 2, 2}, KeyCase{{u"-A"}, 4, 6},
                    KeyCase{{u"-A", u"-n", u"-a"}, 7, 6u | (1u << 3) | (2u << 6)},
                    // ten codes fit whole
                    KeyCase{{u"-Nnnnnnnnnn"}, 1, 5u | 01111111110u},
                    // an eleventh: the first and the last keep only their low two bits
                    KeyCase{{u"-Annnnnnnnnn"}, 5, 2u | 011111111110u},
                    KeyCase{{u"-nnnnnnnnnnA"}, 5, 01111111111u | (2u << 30)},
                    // a twelfth: the first is gone altogether
                    KeyCase{{u"-Aannnnnnnnnn"}, 7, 2u | 011111111110u}));

struct TailCase {
  std::u16string text;
  int count;
  std::u16string tail;
};

class PathTail : public testing::TestWithParam<TailCase> {};

TEST_P(PathTail, IsASuffixOfTheText) {
  const std::u16string& text = GetParam().text;
  const std::u16string_view tail = pathTail(text, GetParam().count);
  EXPECT_EQ(tail, GetParam().tail);
  EXPECT_EQ(tail.data() + tail.size(), text.data() + text.size());
}

INSTANTIATE_TEST_SUITE_P(
    Folders, PathTail,
    testing::Values(TailCase{docs, 0, docs}, TailCase{docs, 1, u"Documents"},
                    TailCase{docs, 2, u"me\\Documents"}, TailCase{docs, 3, u"Users\\me\\Documents"},
                    TailCase{docs, 4, docs}, TailCase{docs, 9, docs}, TailCase{docs, -1, docs},
                    TailCase{u"C:\\Users\\me\\", 1, u""}, TailCase{u"C:\\Users\\me\\", 2, u"me\\"},
                    TailCase{u"\\a", 1, u"\\a"}, TailCase{u"\\", 1, u"\\"}, TailCase{u"", 1, u""},
                    TailCase{u"a\\\\b", 2, u"\\b"}));

}  // namespace
}  // namespace zelpin
