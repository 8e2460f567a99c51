// Runs the examples of the README against the sample menu, so that the documentation cannot drift
// from the program. In the README, a code block tagged `sh` whose lines all start with "zelpin " is
// an example: its commands run in order on a copy of the sample menu named menu.txt, and the next
// block tagged `menu` shows the menu afterwards (without the byte-order mark and the CRs). A `menu`
// block before any example shows the sample menu itself.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "program.h"

namespace zelpin_test {
namespace {

struct CodeBlock {
  std::string tag;
  std::vector<std::string> lines;
};

std::vector<CodeBlock> codeBlocks(const std::string& markdownPath) {
  std::ifstream in(markdownPath);
  std::vector<CodeBlock> blocks;
  bool inside = false;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("```")) {
      if (!inside) {
        blocks.push_back({line.substr(3), {}});
      }
      inside = !inside;
    } else if (inside) {
      blocks.back().lines.push_back(line);
    }
  }
  return blocks;
}

// Splits a command line as a POSIX shell would, for the quoting the README uses: blanks and single
// quotes.
std::vector<std::string> shellWords(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false;
  bool inWord = false;
  for (const char c : line) {
    if (c == '\'') {
      quoted = !quoted;
      inWord = true;
    } else if (c == ' ' && !quoted) {
      if (inWord) {
        words.push_back(word);
      }
      word.clear();
      inWord = false;
    } else {
      word.push_back(c);
      inWord = true;
    }
  }
  if (inWord) {
    words.push_back(word);
  }
  return words;
}

bool isExample(const CodeBlock& block) {
  if (block.tag != "sh" || block.lines.empty()) {
    return false;
  }
  for (const std::string& line : block.lines) {
    if (!line.starts_with("zelpin ")) {
      return false;
    }
  }
  return true;
}

std::string menuBytes(const std::vector<std::string>& lines) {
  std::string bytes = "\xEF\xBB\xBF";
  for (const std::string& line : lines) {
    bytes += line + "\r\n";
  }
  return bytes;
}

TEST(Readme, ExamplesGiveTheMenusShown) {
  const std::string sample = readBytes(ZELPIN_EXAMPLE_MENU);
  const std::vector<CodeBlock> blocks = codeBlocks(ZELPIN_README);
  int examples = 0;
  std::optional<TemporaryFolder> folder;
  for (const CodeBlock& block : blocks) {
    if (isExample(block)) {
      ++examples;
      folder.emplace();
      writeBytes(folder->path() / "menu.txt", sample);
      for (const std::string& command : block.lines) {
        std::vector<std::string> words = shellWords(command);
        words.erase(words.begin());
        RunSettings settings;
        settings.folder = folder->path();
        const RunResult result = runProgram(words, settings);
        EXPECT_EQ(result.exitStatus, 0) << command << ": " << result.errorOutput;
      }
    } else if (block.tag == "menu") {
      if (folder) {
        EXPECT_EQ(readBytes(folder->path() / "menu.txt"), menuBytes(block.lines))
            << "after example " << examples;
        folder.reset();
      } else {
        EXPECT_EQ(sample, menuBytes(block.lines)) << "the sample menu as shown";
      }
    }
  }
  EXPECT_GE(examples, 3) << "the README should show its examples";
}

}  // namespace
}  // namespace zelpin_test
