// The least any run can cost that holds every line of the menu as a wide string of its own, as
// zelpin does: read and split the file, widen each line without checking it, narrow it back
// without checking, write and flush a copy. No decoding rules, no editing, no atomic replace.
// Its time against cp's shows what the shape of the data costs before zelpin does any work.
// Usage: zelpin_lines_floor MENU COPY (each byte is widened to a unit, so the copy is the same)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "storage/memory_hint.h"

namespace {

std::vector<std::u16string> readLines(int file) {
  std::vector<std::u16string> lines;
  std::string pending;
  std::vector<char> chunk(1 << 16);
  for (ssize_t count; (count = ::read(file, chunk.data(), chunk.size())) > 0;) {
    pending.append(chunk.data(), static_cast<std::size_t>(count));
    std::size_t start = 0;
    for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
      const auto first = pending.begin() + static_cast<std::ptrdiff_t>(start);
      lines.emplace_back(first, first + static_cast<std::ptrdiff_t>(end - start));
    }
    pending.erase(0, start);
  }
  return lines;
}

bool writeLines(int file, const std::vector<std::u16string>& lines) {
  std::string piece;
  for (const std::u16string& line : lines) {
    for (const char16_t unit : line) {
      piece.push_back(static_cast<char>(unit));
    }
    piece.push_back('\n');
    if (piece.size() >= (1 << 16) || &line == &lines.back()) {
      if (::write(file, piece.data(), piece.size()) != static_cast<ssize_t>(piece.size())) {
        return false;
      }
      piece.clear();
    }
  }
  return ::fsync(file) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: zelpin_lines_floor MENU COPY\n", stderr);
    return 2;
  }
  const int in = ::open(argv[1], O_RDONLY);
  struct stat status {};
  if (in < 0 || ::fstat(in, &status) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  zelpin::prepareMemoryForLines(static_cast<std::uint64_t>(status.st_size));  // as zelpin does
  const std::vector<std::u16string> lines = readLines(in);
  ::close(in);
  const int out = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0 || !writeLines(out, lines) || ::close(out) != 0) {
    std::perror(argv[2]);
    return 1;
  }
  return 0;
}
