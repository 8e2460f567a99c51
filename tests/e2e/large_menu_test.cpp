// Menus far larger than anyone keeps: several megabytes of lines take the program's paths for
// large files (memory prepared in bulk, the save streamed in pieces), and must come out exactly
// as a small menu would, line for line.
#include <gtest/gtest.h>

#include <functional>

#include "program.h"

namespace zelpin_test {
namespace {

constexpr int entryCount = 100000;  // about 6 MB

// Built by appending: g++ 12 warns falsely on "literal" + std::string temporaries when optimising.
std::string folderOf(int i) {
  std::string folder = "C:\\Users\\me\\";
  folder += i % 2 == 0 ? "Projects" : "\xE5\x86\x99\xE7\x9C\x9F";
  folder += "\\folder ";
  folder += std::to_string(i);
  return folder;
}

// Entry i as the file holds it, without its line end; every 50th line is the host's own.
std::string lineOf(int i) {
  std::string line;
  if (i % 50 == 0) {
    line += "; the host's own line ";
    line += std::to_string(i);
    return line;
  }
  line += '"';
  line += std::to_string(i % 10);
  line += " folder ";
  line += std::to_string(i);
  line += "\"\t&CD \"";
  line += folderOf(i);
  line += '"';
  return line;
}

struct LargeCase {
  const char* name;
  const char* mode;
  int edited;  // the entry the run is about
  // The lines the menu must hold afterwards, from the lines before (without the header).
  std::function<std::vector<std::string>(std::vector<std::string>)> expected;
};

class LargeMenu : public testing::TestWithParam<LargeCase> {};

TEST_P(LargeMenu, ComesOutWholeAndInOrder) {
  const LargeCase& c = GetParam();
  TemporaryFolder folder;
  std::vector<std::string> lines;
  std::string before = "zel large\n";
  for (int i = 1; i <= entryCount; ++i) {
    lines.push_back(lineOf(i));
    before += lines.back() + (i % 3 == 0 ? "\r\n" : "\n");
  }
  writeBytes(folder.path() / "menu.txt", before);
  RunSettings settings;
  settings.folder = folder.path();

  const RunResult result = runProgram({c.mode, "menu.txt", folderOf(c.edited)}, settings);

  ASSERT_EQ(result.exitStatus, 0) << result.errorOutput;
  std::string after = "\xEF\xBB\xBFzel large\r\n";
  for (const std::string& line : c.expected(lines)) {
    after += line + "\r\n";
  }
  const std::string saved = readBytes(folder.path() / "menu.txt");
  ASSERT_EQ(saved.size(), after.size());
  EXPECT_TRUE(saved == after) << "the saved menu differs from the expected one";
}

std::vector<std::string> withoutEntry(std::vector<std::string> lines, int i) {
  lines.erase(lines.begin() + (i - 1));
  return lines;
}

INSTANTIATE_TEST_SUITE_P(
    Runs, LargeMenu,
    testing::Values(LargeCase{"PromoteNearTheEnd", "-M", entryCount - 10,
                              [](std::vector<std::string> lines) {
                                auto rest = withoutEntry(lines, entryCount - 10);
                                rest.insert(rest.begin(), lineOf(entryCount - 10));
                                return rest;
                              }},
                    LargeCase{"DeleteInTheMiddle", "-d", entryCount / 2 + 1,
                              [](std::vector<std::string> lines) {
                                return withoutEntry(lines, entryCount / 2 + 1);
                              }}),
    [](const testing::TestParamInfo<LargeCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zelpin_test
