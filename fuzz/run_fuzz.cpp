// A whole run on any menu bytes with any command: either a clean failure that leaves the bytes as
// they were, or a menu that reads back and starts with a header. A toggle run twice on a folder the
// menu did not hold gives back the earlier lines.
//
// Input: byte 0 picks the mode and whether digit keys are renumbered, byte 1 the folder's length,
// then the folder's bytes, then the menu file's bytes.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/run.h"
#include "menu/entries.h"
#include "storage/conversion.h"
#include "storage/menu_file.h"

namespace {

namespace fs = std::filesystem;

const fs::path& menuPath() {
  static const fs::path path = [] {
    const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    const fs::path folder = base / ("zelpin-fuzz-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    // What the saves keep for an undo stays beside the menus, not in the home of who fuzzes.
    ::setenv("XDG_STATE_HOME", (folder / "state").c_str(), 1);
    return folder / "menu.txt";
  }();
  return path;
}

void writeBytes(const std::string& bytes) {
  std::ofstream(menuPath(), std::ios::binary | std::ios::trunc) << bytes;
}

std::string readBytes() {
  std::ifstream in(menuPath(), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

zelpin::MenuLines readLines() {
  zelpin::MenuLines lines;
  zelpin::MenuFile menu(menuPath().u16string());
  zelpin::readMenuLines(menu, [&](std::u16string&& line) { lines.push_back(std::move(line)); });
  return lines;
}

void check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || size < 2u + data[1]) {
    return 0;
  }
  static const char16_t* const modes[] = {u"-x", u"-d", u"-m", u"-M"};
  const bool renumber = (data[0] & 4) != 0;
  std::u16string folder;
  for (std::size_t i = 0; i < data[1]; ++i) {
    folder.push_back(static_cast<char16_t>(data[2 + i] & 0x7F));  // words arrive decoded
  }
  if (!folder.empty() && folder.front() == u'-') {
    folder.front() = u'x';
  }
  const std::string menu(reinterpret_cast<const char*>(data) + 2 + data[1], size - 2 - data[1]);
  const std::vector<std::u16string> words = {
      u"zelpin", modes[data[0] & 3], renumber ? u"-1n" : u"-1", menuPath().u16string(), folder};

  writeBytes(menu);
  if (folder.empty() && !renumber) {  // nothing to do: the file is not even read
    check(zelpin::runZelpin(words) == 0 && readBytes() == menu);
    return 0;
  }
  if (zelpin::runZelpin(words) != 0) {
    check(readBytes() == menu);
    return 0;
  }
  const zelpin::MenuLines after = readLines();
  check(!after.empty() && after.front().starts_with(u"zel"));

  // Toggle twice on a folder the menu did not hold: the earlier lines come back, header ensured.
  if ((data[0] & 3) != 0 || renumber || folder.empty()) {
    return 0;
  }
  writeBytes(menu);
  zelpin::MenuLines before;
  const std::u16string command = u"&CD \"" + std::u16string(folder) + u"\"";
  bool found = false;
  try {
    zelpin::MenuFile menu(menuPath().u16string());
    found = zelpin::loadMenu(menu, command, before);
  } catch (const std::exception&) {
    return 0;
  }
  // A folder holding LF splits its entry into two lines when saved, as the format has it, and a
  // quote is dropped from the saved command: such entries are not found again.
  if (found || folder.find_first_of(u"\"\n") != std::u16string::npos) {
    return 0;
  }
  // Every read drops a byte-order mark at the start of a line, so a line that begins with U+FEFF
  // loses it with each run: the format has it so.
  for (const std::u16string& line : before) {
    if (line.starts_with(u'\xFEFF')) {
      return 0;
    }
  }
  zelpin::ensureHeader(before);
  check(zelpin::runZelpin(words) == 0 && zelpin::runZelpin(words) == 0);
  check(readLines() == before);
  return 0;
}
