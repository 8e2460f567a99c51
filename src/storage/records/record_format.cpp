#include "storage/records/record_format.h"

#include <algorithm>
#include <array>

#include "storage/content_hash.h"

namespace zelpin {
namespace {

// Readable with `head -c 16`, and no menu's first line. Records of the first version, which have
// no time, still read.
constexpr std::string_view magic = "zelpin-record-2\n";
constexpr std::string_view firstMagic = "zelpin-record-1\n";
constexpr std::size_t trailerSize = 24;
constexpr std::uint64_t oldInsideFlag = 1;
constexpr std::uint64_t newInsideFlag = 2;
constexpr std::uint64_t maxPathSize = 1 << 20;

constexpr std::size_t fieldCount(int version) {
  return version == 1 ? 8 : 9;
}

constexpr std::size_t fixedHeaderSize(int version) {
  return magic.size() + 8 * fieldCount(version);
}

// A torn write keeps whole sectors; 512 bytes is the smallest a disk writes in one piece.
constexpr std::size_t blockSize = 512;

void putNumber(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) {
    out.push_back(static_cast<char>(value >> (8 * i)));
  }
}

std::uint64_t numberAt(std::string_view bytes, std::size_t at) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
  }
  return value;
}

std::uint64_t headerSize(const SaveRecord& record) {
  return fixedHeaderSize(record.version) + record.path.size();
}

}  // namespace

std::string recordHeader(const SaveRecord& record) {
  std::string header(record.version == 1 ? firstMagic : magic);
  for (const std::uint64_t field :
       {record.file.volume, record.file.index, record.file.indexHigh, record.file.birth,
        record.oldSize, record.newSize,
        (record.oldInside ? oldInsideFlag : 0) | (record.newInside ? newInsideFlag : 0)}) {
    putNumber(header, field);
  }
  if (record.version != 1) {
    putNumber(header, static_cast<std::uint64_t>(record.made));
  }
  putNumber(header, record.path.size());
  return header + record.path;
}

std::string recordTrailer(const SaveRecord& record) {
  std::string trailer;
  putNumber(trailer, record.oldHash);
  putNumber(trailer, record.newHash);
  putNumber(trailer, hashOf(recordHeader(record) + trailer));
  return trailer;
}

std::optional<SaveRecord> parseRecordHeader(std::string_view start) {
  SaveRecord record;
  record.version = start.starts_with(firstMagic) ? 1 : 2;
  const std::size_t fields = fieldCount(record.version);
  if (start.size() < fixedHeaderSize(record.version) ||
      (record.version != 1 && !start.starts_with(magic))) {
    return std::nullopt;
  }
  std::array<std::uint64_t, 9> field{};
  for (std::size_t i = 0; i < fields; ++i) {
    field[i] = numberAt(start, magic.size() + 8 * i);
  }
  const std::uint64_t flags = field[6];
  const std::uint64_t pathSize = field[fields - 1];
  if ((flags & ~(oldInsideFlag | newInsideFlag)) != 0 || pathSize > maxPathSize ||
      start.size() < fixedHeaderSize(record.version) + pathSize) {
    return std::nullopt;
  }
  record.file = FileKey{field[0], field[1], field[2], field[3]};
  record.oldSize = field[4];
  record.newSize = field[5];
  record.oldInside = (flags & oldInsideFlag) != 0;
  record.newInside = (flags & newInsideFlag) != 0;
  record.made = record.version == 1 ? 0 : static_cast<std::int64_t>(field[7]);
  record.path = std::string(start.substr(fixedHeaderSize(record.version), pathSize));
  return record;
}

std::optional<ParsedRecord> parseRecord(std::string_view bytes) {
  std::optional<SaveRecord> record = parseRecordHeader(bytes);
  if (!record) {
    return std::nullopt;
  }
  // Each size is weighed against what is left, so that no sum can wrap around.
  std::uint64_t left = bytes.size() - headerSize(*record);
  const std::uint64_t oldInside = record->oldInside ? record->oldSize : 0;
  const std::uint64_t newInside = record->newInside ? record->newSize : 0;
  if (left < trailerSize || left - trailerSize < oldInside ||
      left - trailerSize - oldInside != newInside) {
    return std::nullopt;
  }
  const std::size_t trailerAt = bytes.size() - trailerSize;
  record->oldHash = numberAt(bytes, trailerAt);
  record->newHash = numberAt(bytes, trailerAt + 8);
  if (bytes.substr(trailerAt) != recordTrailer(*record)) {
    return std::nullopt;
  }
  ParsedRecord parsed{*record, {}, {}};
  const std::size_t oldAt = static_cast<std::size_t>(headerSize(*record));
  parsed.oldContent = bytes.substr(oldAt, static_cast<std::size_t>(oldInside));
  parsed.newContent = bytes.substr(oldAt + oldInside, static_cast<std::size_t>(newInside));
  if ((record->oldInside && hashOf(parsed.oldContent) != record->oldHash) ||
      (record->newInside && hashOf(parsed.newContent) != record->newHash)) {
    return std::nullopt;
  }
  return parsed;
}

char blankTailByte(std::uint64_t position, std::uint64_t length) {
  return (position + length % 2) % 2 == 0 ? '\r' : '\n';
}

MenuState classifyMenu(std::string_view menu, std::string_view oldContent,
                       std::string_view newContent) {
  if (menu == newContent) {
    return MenuState::New;
  }
  if (menu == oldContent) {
    return MenuState::Old;
  }
  const std::size_t oldSize = oldContent.size();
  const std::size_t newSize = newContent.size();
  if (menu.size() < std::min(oldSize, newSize) || menu.size() > std::max(oldSize, newSize)) {
    return MenuState::Other;
  }
  // Whether a byte is what the copy puts at its position: past the new end, the blank tail, or the
  // zeros a cut leaves in a block that reached the disk before the cut itself did.
  auto written = [&](std::size_t at) {
    return at < newSize
               ? menu[at] == newContent[at]
               : menu[at] == blankTailByte(at - newSize, oldSize - newSize) || menu[at] == '\0';
  };
  auto before = [&](std::size_t at) { return at < oldSize ? oldContent[at] : '\0'; };
  // Every block is what the copy wrote up to some point in it and what was there from that point
  // on: all new, all old, or the one block a kill stopped in.
  for (std::size_t start = 0; start < menu.size(); start += blockSize) {
    const std::size_t end = std::min(start + blockSize, menu.size());
    std::size_t copied = start;
    while (copied < end && written(copied)) {
      ++copied;
    }
    std::size_t kept = end;
    while (kept > start && menu[kept - 1] == before(kept - 1)) {
      --kept;
    }
    if (kept > copied) {
      return MenuState::Other;
    }
  }
  return MenuState::Torn;
}

}  // namespace zelpin
