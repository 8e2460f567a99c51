#include "storage/menu_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "storage/conversion.h"
#include "temp_folder.h"

namespace zelpin {
namespace {

namespace fs = std::filesystem;

class MenuFileTest : public testing::Test {
 protected:
  std::u16string path() const { return folder_.wideName("menu.txt"); }
  void write(const std::string& bytes) const {
    std::ofstream(folder_.path() / "menu.txt", std::ios::binary) << bytes;
  }
  std::string read() const {
    std::ifstream in(folder_.path() / "menu.txt", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  void save(const MenuLines& lines) const {
    MenuFile menu(path());
    saveMenu(menu, lines);
  }
  MenuLines readLines() const {
    MenuLines lines;
    MenuFile menu(path());
    readMenuLines(menu, [&](WideLine&& line) { lines.push_back(std::move(line)); });
    return lines;
  }

 private:
  TestFolder folder_;
};

struct SplitCase {
  std::string bytes;
  MenuLines lines;
};

class ReadMenuLines : public MenuFileTest, public testing::WithParamInterface<SplitCase> {};

TEST_P(ReadMenuLines, SplitsAtLfAndCrLf) {
  write(GetParam().bytes);
  EXPECT_EQ(readLines(), GetParam().lines);
}

const std::string longLine(65535, 'x');  // puts the CR of CR LF at the end of the first chunk

INSTANTIATE_TEST_SUITE_P(
    Files, ReadMenuLines,
    testing::Values(SplitCase{"", {}}, SplitCase{"\n", {u""}}, SplitCase{"abc\r\n", {u"abc"}},
                    SplitCase{"abc", {u"abc"}}, SplitCase{"a\n\nb", {u"a", u"", u"b"}},
                    SplitCase{"a\r\r\n", {u"a\r"}}, SplitCase{"a\rb\r", {u"a\rb\r"}},
                    SplitCase{"\xEF\xBB\xBF"
                              "a\n\xEF\xBB\xBF"
                              "b\n",
                              {u"a", u"b"}},
                    SplitCase{"a\x1A"
                              "b\nc",
                              {u"a\x1A"
                               u"b",
                               u"c"}},
                    SplitCase{longLine + "\r\nb", {std::u16string(65535, u'x'), u"b"}},
                    SplitCase{longLine + "y\nb", {std::u16string(65535, u'x') + u"y", u"b"}}));

TEST_F(MenuFileTest, AMissingFileHasNoLines) {
  EXPECT_TRUE(readLines().empty());
}

TEST_F(MenuFileTest, ReadingStopsAtTheFirstUndecodableLine) {
  write("a\n\xC3\x41\nc\n");
  MenuLines lines;
  MenuFile menu(path());
  EXPECT_THROW(readMenuLines(menu, [&](WideLine&& line) { lines.push_back(std::move(line)); }),
               ConversionError);
  EXPECT_EQ(lines, MenuLines{u"a"});
}

struct SaveCase {
  MenuLines lines;
  std::string bytes;
};

class SaveMenu : public MenuFileTest, public testing::WithParamInterface<SaveCase> {};

TEST_P(SaveMenu, WritesMarkAndCrLf) {
  write("old content that is longer than the new one\n");
  save(GetParam().lines);
  EXPECT_EQ(read(), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Files, SaveMenu,
    testing::Values(SaveCase{{u"abc"},
                             "\xEF\xBB\xBF"
                             "abc\r\n"},
                    SaveCase{{u"a", u"", u"b"},
                             "\xEF\xBB\xBF"
                             "a\r\n\r\nb\r\n"},
                    SaveCase{{u"a\r"},
                             "\xEF\xBB\xBF"
                             "a\r\r\n"},
                    SaveCase{{u"zel", u"two\nlines"}, "\xEF\xBB\xBFzel\r\ntwo\r\nlines\r\n"},
                    SaveCase{{u"zel", u"\n\n"}, "\xEF\xBB\xBFzel\r\n\r\n\r\n\r\n"},
                    SaveCase{{u"", u"x"}, "\r\nx\r\n"}));

TEST_F(MenuFileTest, ASavedMenuReadsBackAsTheSameLines) {
  const MenuLines lines = {u"zel zelpin", u"\"0 \u6587\u66F8\"\t&CD \"C:\\\u6587\u66F8\"",
                           std::u16string{u'x', 0xD83D, 0xDE00, 0xDC00}};
  save(lines);
  EXPECT_EQ(readLines(), lines);
}

TEST_F(MenuFileTest, AnUnencodableLineLeavesTheFileAlone) {
  write("zel\nold\n");
  EXPECT_THROW(save({u"zel", std::u16string{u'a', 0xD800}}), ConversionError);
  EXPECT_EQ(read(), "zel\nold\n");
}

}  // namespace
}  // namespace zelpin
