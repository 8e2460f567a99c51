// Many runs in a row over one menu, two at a time: random toggles, promotions, replacements and
// deletions. Afterwards the menu is still whole: a header, every foreign line once and in its
// order, and nothing but entries besides.
#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "program.h"

namespace zelpin_test {
namespace {

std::vector<std::string> splitCrLf(const std::string& bytes) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(bytes.substr(start, end - start));
  }
  EXPECT_EQ(start, bytes.size()) << "the last line lacks its CR LF";
  return lines;
}

TEST(Stress, AThousandRunsTwoAtATimeKeepTheMenuWhole) {
  TemporaryFolder folder;
  std::vector<std::string> foreign;
  std::string menu = "zel stress\n";
  for (int i = 0; i < 12; ++i) {
    foreign.push_back("; foreign line " + std::to_string(i) + " \xE6\x96\x87\xE6\x9B\xB8");
    menu += foreign.back() + (i % 2 == 0 ? "\n" : "\r\n");
  }
  writeBytes(folder.path() / "menu.txt", menu);

  const std::vector<std::string> modes = {"-1n", "-M1n", "-m1n", "-d1n"};
  std::mt19937 random(20261207);
  auto randomArgs = [&] {
    const std::string folderName = "C:\\f" + std::to_string(random() % 8) + "\\\xE5\x86\x99";
    return std::vector<std::string>{modes[random() % modes.size()], "menu.txt", folderName};
  };
  RunSettings settings;
  settings.folder = folder.path();
  for (int round = 0; round < 500; ++round) {
    const std::vector<std::string> first = randomArgs();
    const std::vector<std::string> second = randomArgs();
    RunResult results[2];
    std::thread other([&] { results[1] = runProgram(second, settings); });
    results[0] = runProgram(first, settings);
    other.join();
    ASSERT_EQ(results[0].exitStatus, 0) << results[0].errorOutput;
    ASSERT_EQ(results[1].exitStatus, 0) << results[1].errorOutput;
  }

  const std::string bytes = readBytes(folder.path() / "menu.txt");
  ASSERT_TRUE(bytes.starts_with("\xEF\xBB\xBF"));
  const std::vector<std::string> lines = splitCrLf(bytes.substr(3));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "zel stress");
  const std::regex entry("\"[0-9] \xE5\x86\x99\"\t&CD \"C:\\\\f[0-7]\\\\\xE5\x86\x99\"");
  std::vector<std::string> foreignAfter;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    if (lines[i].starts_with("; ")) {
      foreignAfter.push_back(lines[i]);
    } else {
      EXPECT_TRUE(std::regex_match(lines[i], entry)) << "line " << i << ": " << lines[i];
    }
  }
  EXPECT_EQ(foreignAfter, foreign);
  EXPECT_TRUE(leftoverTemporaryFiles(folder.path()).empty());
}

}  // namespace
}  // namespace zelpin_test
