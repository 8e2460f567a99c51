#include "storage/records/undo_record.h"

#include <optional>

#include "storage/content_hash.h"
#include "storage/platform/file_steps.h"
#include "storage/records/names.h"
#include "storage/records/places.h"
#include "storage/records/record_format.h"
#include "storage/records/sweep.h"

namespace zelpin {
namespace {

using namespace platform;

// The content the record says its save replaced, checked whole against it.
std::optional<std::string> replacedContent(const Location& state, const std::u16string& record,
                                           const ParsedRecord& parsed) {
  std::optional<std::string> content = parsed.record.oldInside
                                           ? std::string(parsed.oldContent)
                                           : readRecordFile(state, undoContentName(record));
  if (!content || content->size() != parsed.record.oldSize ||
      hashOf(*content) != parsed.record.oldHash) {
    return std::nullopt;
  }
  return content;
}

// The record of the file this save replaced is of no use now. Returns whether there was none: the
// menu is new to the folder.
bool forgetEarlierRecord(const Location& state, const FileInfo& replaced,
                         std::u16string_view fullName, const std::u16string& record) {
  const std::u16string before = undoRecordName(replaced, fullName);
  if (before == record) {
    return false;
  }
  std::ignore = removeBeside(state, undoContentName(before));  // an older zelpin's, if any
  return isMissing(removeBeside(state, before));
}

}  // namespace

void keepUndoRecord(const Location& state, std::u16string_view fullName, const FileInfo& replaced,
                    std::string_view replacedBytes, std::uint64_t replacedHash,
                    const FileInfo& replacement, std::uint64_t newSize, std::uint64_t newHash) {
  const std::u16string name = undoRecordName(replacement, fullName);
  const bool fresh = forgetEarlierRecord(state, replaced, fullName, name);
  if (replaced.size > largestUndoContent || replacedBytes.size() != replaced.size) {
    return;
  }
  SaveRecord record;
  record.file = fileKey(replacement);
  record.path = recordPath(fullName);
  record.oldSize = replaced.size;
  record.oldHash = replacedHash;
  record.newSize = newSize;
  record.newHash = newHash;
  record.oldInside = true;
  record.made = wallClock();
  const NewFile ownOnly{noHandle, false, false, true};
  Opened file = createBeside(state, name, ownOnly);
  if (isNameTaken(file.error)) {
    std::ignore = removeBeside(state, name);  // a crashed run's, of a file of this number
    file = createBeside(state, name, ownOnly);
  }
  if (file.error != 0) {
    return;
  }
  TemporaryFile guard(state, name, std::move(file.handle));
  const std::string bytes =
      recordHeader(record) + std::string(replacedBytes) + recordTrailer(record);
  if (writeAll(guard.handle(), bytes) != 0) {
    return;
  }
  guard.keep();
  guard.close();
  // A record in place of the menu's last one changes the folder's size by little: the marker is
  // asked only when a menu is new to the folder, which is how the folder grows.
  if (fresh) {
    recordWritten(state, bytes.size());
  }
}

bool keepJournalAsUndoRecord(const Location& state, std::u16string_view journal,
                             std::uint64_t journalSize, const FileInfo& info,
                             std::u16string_view fullName) {
  if (info.size > largestUndoContent) {
    return false;
  }
  const std::u16string record = undoRecordName(info, fullName);
  std::ignore = removeBeside(state, undoContentName(record));  // an older zelpin's, if any
  if (renameBeside(state, journal, record) != 0) {
    return false;
  }
  if (makePrivate(state, record) != 0) {
    std::ignore = removeBeside(state, record);
  }
  recordWritten(state, journalSize);
  return true;
}

UndoRecord findUndoRecord(const Location& state, const FileInfo& info, std::u16string_view fullName,
                          std::uint64_t readHash) {
  UndoRecord found;
  const std::u16string record = undoRecordName(info, fullName);
  found.shown = shownRecord(RecordFolder{&state, RecordPlace::StateFolder}, record);
  const std::optional<std::string> bytes = readRecordFile(state, record);
  if (!bytes) {
    return found;
  }
  const std::optional<ParsedRecord> parsed = parseRecord(*bytes);
  if (!parsed) {
    found.state = UndoRecord::State::Damaged;
    return found;
  }
  if (!isRecordOf(parsed->record, info, fullName)) {
    return found;  // one of a file gone
  }
  if (parsed->record.newSize != info.size || parsed->record.newHash != readHash) {
    found.state = UndoRecord::State::Changed;
    return found;
  }
  const std::optional<std::string> content = replacedContent(state, record, *parsed);
  found.state = content ? UndoRecord::State::Ready : UndoRecord::State::Damaged;
  found.content = content.value_or("");
  return found;
}

}  // namespace zelpin
