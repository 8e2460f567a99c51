#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace zelpin_test {

// One end-to-end case: runs of the program on one menu file, and the bytes to expect.
struct EndToEndCase {
  std::string name;
  int line = 0;                                // where the case starts in the case file
  std::vector<std::vector<std::string>> runs;  // the arguments of each run, in order
  std::string menuName = "menu.txt";
  std::optional<std::string> input;        // none: the file does not exist before the runs
  std::optional<std::string> expected;     // none: the file must not exist afterwards
  int exitStatus = 0;                      // of the last run; earlier runs must give 0
  std::optional<std::string> errorOutput;  // the exact error output of the last run
  bool posixOnly = false;                  // depends on POSIX stderr or non-UTF-8 argument bytes
};

// Names the case in test output instead of dumping its bytes.
inline void PrintTo(const EndToEndCase& c, std::ostream* out) {
  *out << c.name;
}

// Reads the case file; throws std::runtime_error naming the line of a mistake in it.
std::vector<EndToEndCase> readCaseFile(const std::string& path);

// Decodes the escapes of a case file text: {XX} is the byte of two hex digits, {BOM} EF BB BF,
// {TAB}, {CR}, {LF} and {SP} the control bytes and a blank. Everything else stands for itself.
std::string decodeEscapes(const std::string& text);

}  // namespace zelpin_test
