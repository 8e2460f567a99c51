#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelpin {

// What a save of a menu leaves for a later run: the record of that save. As a journal it holds the
// old content and the new, while the new content is copied into the menu in place; as an undo
// record it holds, or names, what the save replaced. Either way it says which file it belongs to
// and checks itself, so that a torn record, another file's, or anything that is no record at all
// is never taken for one. These functions only turn records into bytes and back; where records
// lie and when they are trusted is for places.h.

// The file a record belongs to: its file system (a number that outlasts the system's numbering of
// drives, where the system gives one) and index (inode, file id) with its birth time, where the
// system keeps one. Where it gives no index at all, the record goes by the file's path alone.
struct FileKey {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  std::uint64_t indexHigh = 0;
  std::uint64_t birth = 0;
  bool operator==(const FileKey&) const = default;
};

struct SaveRecord {
  FileKey file;
  std::string path;  // UTF-8, where the file lay when the record was made
  std::uint64_t oldSize = 0;
  std::uint64_t oldHash = 0;
  std::uint64_t newSize = 0;
  std::uint64_t newHash = 0;
  bool oldInside = false;  // the old content follows the header; else it lies in a file beside
  bool newInside = false;  // the new content follows the old
  std::int64_t made = 0;   // when the record was made, in nanoseconds since 1970; 0: not said
  int version = 2;         // 1: a record of an older zelpin, without the time
};

// The bytes before the contents, and after them. The trailer needs the hashes, which a record
// written piece by piece knows only at its end.
std::string recordHeader(const SaveRecord& record);
std::string recordTrailer(const SaveRecord& record);

// The record that bytes hold, checked whole: the header, the sizes against the length, the check
// over header and trailer, and each content inside against its hash. None for anything else.
struct ParsedRecord {
  SaveRecord record;
  std::string_view oldContent;  // when inside
  std::string_view newContent;  // when inside
};
std::optional<ParsedRecord> parseRecord(std::string_view bytes);

// The header alone, from the first bytes of a record, unchecked: whose a record says it is, without
// reading it whole. The hashes are left 0.
std::optional<SaveRecord> parseRecordHeader(std::string_view start);

// What a menu is, against a journal of a save of it. The copy writes the new content over the
// old from the start, then cuts the file to its new length, or, where the file may not be
// shortened, overwrites the rest with line ends. A kill stops it anywhere; a crash keeps any set of
// the blocks it wrote, and may leave zeros past the old end, or past the new end of a shrink whose
// cut did not reach the disk, at any length between the two.
enum class MenuState {
  New,    // the save is complete
  Old,    // the copy never began
  Torn,   // what an interrupted copy can leave
  Other,  // anything else: a later write, another file, another save
};
MenuState classifyMenu(std::string_view menu, std::string_view oldContent,
                       std::string_view newContent);

// The line ends that stand in for an old tail that could not be cut off: a line feed first where
// the count is odd, then CR LF pairs.
char blankTailByte(std::uint64_t position, std::uint64_t length);

}  // namespace zelpin
