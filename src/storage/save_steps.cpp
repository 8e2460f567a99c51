#include "storage/save_steps.h"

#include <vector>

#include "storage/conversion.h"
#include "storage/file_error.h"

namespace zelpin {

void failBecause(const char* action, const MenuFile& menu, std::string_view reason) {
  throw FileError(failureLine(action, menu.path, reason));
}

void fail(const char* action, const MenuFile& menu, platform::SystemError error) {
  failBecause(action, menu, platform::describeError(error));
}

void check(const char* action, const MenuFile& menu, platform::SystemError error) {
  if (error != 0) {
    fail(action, menu, error);
  }
}

// Built by appending: g++ 12 warns falsely on "literal" + a temporary string when it optimises.
std::string quoted(std::u16string_view name, std::string_view before) {
  std::string text(before);
  text += '\'';
  text += shownText(name);
  text += '\'';
  return text;
}

std::u16string hexText(std::uint64_t value) {
  static constexpr std::u16string_view digits = u"0123456789abcdef";
  std::u16string text;
  do {
    text.insert(text.begin(), digits[value & 15]);
    value >>= 4;
  } while (value != 0);
  return text;
}

platform::SystemError readAll(platform::NativeHandle file, std::string& bytes) {
  std::vector<char> buffer(1 << 16);
  for (;;) {
    std::size_t count = 0;
    if (const platform::SystemError error =
            platform::readSome(file, buffer.data(), buffer.size(), count)) {
      return error;
    }
    if (count == 0) {
      return 0;
    }
    bytes.append(buffer.data(), count);
  }
}

}  // namespace zelpin
