// Runs every case of the case file against the built program, on real files in a fresh folder.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>

#include "case_file.h"
#include "program.h"

namespace zelpin_test {
namespace {

std::string caseFilePath() {
  const char* fromEnvironment = std::getenv("ZELPIN_CASES");
  return fromEnvironment != nullptr ? fromEnvironment : ZELPIN_CASES;
}

std::vector<EndToEndCase> allCases() {
  static const std::vector<EndToEndCase> cases = readCaseFile(caseFilePath());
  return cases;
}

class CaseFile : public testing::TestWithParam<EndToEndCase> {};

TEST_P(CaseFile, GivesTheExpectedBytes) {
  const EndToEndCase& c = GetParam();
  if (c.posixOnly && std::getenv("ZELPIN_SKIP_POSIX_ONLY") != nullptr) {
    GTEST_SKIP() << "depends on POSIX error output or on argument bytes that are not UTF-8";
  }
  SCOPED_TRACE(caseFilePath() + ":" + std::to_string(c.line) + ": " + c.name);
  ASSERT_FALSE(c.runs.empty()) << "a case needs at least one run";
  TemporaryFolder folder;
  const auto menu = folder.path() / c.menuName;
  if (c.input) {
    writeBytes(menu, *c.input);
  }
  RunResult result;
  for (std::size_t i = 0; i < c.runs.size(); ++i) {
    RunSettings settings;
    settings.folder = folder.path();
    settings.stateHome = folder.path() / "state";  // no case sees another's records
    result = runProgram(c.runs[i], settings);
    if (i + 1 < c.runs.size()) {
      ASSERT_EQ(result.exitStatus, 0) << "run " << i + 1 << ": " << result.errorOutput;
    }
  }
  EXPECT_EQ(result.exitStatus, c.exitStatus) << result.errorOutput;
  if (c.errorOutput) {
    EXPECT_EQ(result.errorOutput, *c.errorOutput);
  }
  if (c.expected) {
    ASSERT_TRUE(std::filesystem::exists(menu)) << "the menu file is missing";
    EXPECT_EQ(readBytes(menu), *c.expected);
  } else {
    EXPECT_FALSE(std::filesystem::exists(menu)) << "the menu file should not exist";
  }
  EXPECT_TRUE(leftoverTemporaryFiles(folder.path()).empty());
}

std::string testName(const testing::TestParamInfo<EndToEndCase>& info) {
  std::string name = std::to_string(info.index) + "_";
  for (const char c : info.param.name) {
    name.push_back(std::isalnum(static_cast<unsigned char>(c)) ? c : '_');
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, CaseFile, testing::ValuesIn(allCases()), testName);

}  // namespace
}  // namespace zelpin_test
