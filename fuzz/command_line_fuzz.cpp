// Any list of words parses; the key sequence holds only range codes, the label is enclosed in
// double quotes, and the folder command is empty or starts with a command word. The input is read
// as UTF-16 units; unit 0 separates the words.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/command_line.h"

namespace {

std::vector<std::u16string> wordsOf(const std::uint8_t* data, std::size_t size) {
  std::vector<std::u16string> words{u"zelpin", u""};
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    const auto unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (unit == 0) {
      words.emplace_back();
    } else {
      words.back().push_back(unit);
    }
  }
  return words;
}

bool isRangeCode(std::uint32_t code) {
  return code == 1 || code == 2 || code == 5 || code == 6;
}

// Ten 3-bit codes from the lowest bits up, then two bits of an eleventh; a code may be a two-bit
// remnant (1 or 2) only in the lowest place. Once a place is empty, all above are empty.
bool isKeySequence(std::uint32_t sequence) {
  bool ended = false;
  for (int place = 0; place < 11; ++place) {
    const std::uint32_t code = (sequence >> (3 * place)) & 7;
    if (code == 0) {
      ended = true;
    } else if (ended || !isRangeCode(code)) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const zelpin::Options options = zelpin::parseCommandLine(wordsOf(data, size));
  const std::u16string& label = options.entryLabel;
  const std::u16string& command = options.folderCommand;
  if (!isKeySequence(options.keys.keySequence) ||
      (options.keys.keyClassMask == 0) != (options.keys.keySequence == 0) || label.empty() ||
      label.front() != u'"' || label.back() != u'"' ||
      !(command.empty() || command.starts_with(u"&CD \"") || command.starts_with(u"&EXEC \""))) {
    std::abort();
  }
  return 0;
}
