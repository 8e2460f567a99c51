#include "storage/menu_file.h"

#include <algorithm>
#include <cstdint>

#include "storage/conversion.h"
#include "storage/failure.h"
#include "storage/memory_hint.h"
#include "storage/save/menu_save.h"

namespace zelpin {
namespace {

void deliverLine(std::string_view bytes, const LineConsumer& consume) {
  if (bytes.ends_with('\r')) {
    bytes.remove_suffix(1);
  }
  consume(decodeLine(bytes));
}

constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

void appendWithCrLf(std::string& content, std::size_t lineStart) {
  // Rare: only a label from the command line can hold an LF. Each one is written as CR LF.
  for (std::size_t at = content.find('\n', lineStart); at != std::string::npos;
       at = content.find('\n', at + 2)) {
    content.insert(at, 1, '\r');
  }
  content.append("\r\n");
}

// Every line is known to encode, and the file's new size known, before the file is touched.
std::uint64_t encodedSize(const MenuFile& menu, const MenuLines& lines, std::uint64_t& lineFeeds) {
  std::uint64_t size = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const WideLine& line = lines[i];
    try {
      size += encodedLength(line) + 2;
    } catch (const ConversionError&) {
      throw ConversionError(failureLine(
          Failure{menu.path, "write", "bad conversion in line " + std::to_string(i + 1)}));
    }
    lineFeeds += static_cast<std::uint64_t>(std::count(line.begin(), line.end(), u'\n'));
    if (i == 0 && !line.empty()) {
      size += byteOrderMark.size();
    }
  }
  return size + lineFeeds;
}

}  // namespace

void readMenuLines(MenuFile& menu, const LineConsumer& consume) {
  std::string pending;  // the start of a line that a chunk boundary cut
  std::uint64_t delivered = 0;
  const LineConsumer count = [&](WideLine&& line) {
    consume(std::move(line));
    ++delivered;
  };
  try {
    // Every line is handed on to be kept until the save, so the file's size foretells the memory.
    readFileChunks(menu, prepareMemoryForLines, [&](std::string_view chunk) {
      std::size_t start = 0;
      for (std::size_t end = chunk.find('\n'); end != std::string_view::npos;
           end = chunk.find('\n', start)) {
        if (pending.empty()) {
          deliverLine(chunk.substr(start, end - start), count);
        } else {
          pending.append(chunk.substr(start, end - start));
          deliverLine(pending, count);
          pending.clear();
        }
        start = end + 1;
      }
      pending.append(chunk.substr(start));
    });
    if (!pending.empty()) {
      count(decodeLine(pending));
    }
  } catch (const ConversionError&) {
    throw ConversionError(failureLine(
        Failure{menu.path, "read", "bad conversion in line " + std::to_string(delivered + 1)}));
  }
}

void saveMenu(MenuFile& menu, const MenuLines& lines) {
  std::uint64_t lineFeeds = 0;
  const std::uint64_t size = encodedSize(menu, lines, lineFeeds);
  // Encoded a piece at a time, so the whole file is never held twice over in memory.
  replaceFileContent(menu, size, [&](const ContentSink& sink) {
    std::uint64_t written = 0;
    constexpr std::size_t pieceSize = 1 << 16;  // one buffer, reused: few fresh pages
    std::string piece;
    piece.reserve(pieceSize);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const std::size_t lineStart = piece.size();
      appendEncodedLine(piece, lines[i], i == 0);
      if (lineFeeds == 0) {
        piece.append("\r\n");
      } else {
        appendWithCrLf(piece, lineStart);
      }
      if (piece.size() >= pieceSize) {
        written += piece.size();
        sink(piece);
        piece.clear();
      }
    }
    written += piece.size();
    sink(piece);
    // The size pass and the encoding must agree, or a reserved or truncated length would be wrong.
    if (written != size) {
      throw FileError(Failure{
          menu.path, "write",
          "it came to " + std::to_string(written) + " bytes instead of " + std::to_string(size)});
    }
  });
}

}  // namespace zelpin
