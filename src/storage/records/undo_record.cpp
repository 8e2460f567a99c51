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

// A copy is made only of a menu up to this size; a second name costs nothing at any size.
constexpr std::uint64_t largestCopy = 16 << 20;

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

}  // namespace

ReplacedFile::ReplacedFile(const Location& menu, std::uint64_t readHash, const FileInfo& replaced,
                           const FileInfo& replacement)
    : menu_(menu),
      readHash_(readHash),
      replaced_(replaced),
      replacement_(replacement),
      state_(openStateFolder(true)) {
  if (state_.folderError != 0) {
    return;
  }
  fullName_ = fullNameOf(menu);
  record_ = undoRecordName(replacement, fullName_);
  content_ = undoContentName(record_);
  SystemError linked = linkBeside(menu, menu.leaf, state_, content_);
  if (isNameTaken(linked)) {
    std::ignore = removeBeside(state_, content_);  // a crashed run's, of a file of this number
    linked = linkBeside(menu, menu.leaf, state_, content_);
  }
  ready_ = linked == 0 || (replaced.size <= largestCopy && copy());
}

ReplacedFile::~ReplacedFile() {
  if (ready_) {
    std::ignore = removeBeside(state_, content_);  // the save failed: the menu is as it was
  }
}

// Copies the menu into a new file of the state folder, checking that it is what the run read.
bool ReplacedFile::copy() {
  Opened source = openForReading(menu_);
  if (source.error != 0) {
    return false;
  }
  Opened copy = createBeside(state_, content_, NewFile{source.handle.get(), false, false});
  if (copy.error != 0) {
    return false;
  }
  TemporaryFile guard(state_, content_);
  ContentHash hash;
  SystemError written = 0;
  const SystemError read = readPieces(source.handle.get(), [&](std::string_view piece) {
    hash.add(piece);
    if (written == 0) {
      written = writeAll(copy.handle.get(), piece);
    }
  });
  if (read != 0 || written != 0 || hash.value() != readHash_) {
    return false;
  }
  guard.keep();
  return true;
}

void ReplacedFile::keep(std::uint64_t newSize, std::uint64_t newHash) {
  if (!ready_) {
    return;
  }
  ready_ = false;
  // The replaced file has no other name now: it can be closed to everyone else.
  if (makePrivate(state_, content_) != 0) {
    std::ignore = removeBeside(state_, content_);
    return;
  }
  SaveRecord record;
  record.file = fileKey(replacement_);
  record.path = recordPath(fullName_);
  record.oldSize = replaced_.size;
  record.oldHash = readHash_;
  record.newSize = newSize;
  record.newHash = newHash;
  const NewFile ownOnly{noHandle, false, false, true};
  Opened file = createBeside(state_, record_, ownOnly);
  if (isNameTaken(file.error)) {
    std::ignore = removeBeside(state_, record_);  // a crashed run's, of a file of this number
    file = createBeside(state_, record_, ownOnly);
  }
  const bool written =
      file.error == 0 &&
      writeAll(file.handle.get(), recordHeader(record) + recordTrailer(record)) == 0;
  file.handle.reset(noHandle);
  if (!written) {
    std::ignore = removeBeside(state_, record_);
    std::ignore = removeBeside(state_, content_);
    return;
  }
  forgetEarlierRecord();
}

// The file this save replaced had a record of its own, now of no use. Where it had none, the menu
// is new to the folder, and the records of menus that are gone are looked for.
void ReplacedFile::forgetEarlierRecord() {
  const std::u16string before = undoRecordName(replaced_, fullName_);
  if (before == record_) {
    return;
  }
  std::ignore = removeBeside(state_, undoContentName(before));
  if (isMissing(removeBeside(state_, before))) {
    sweepRecords(state_);
  }
}

bool keepJournalAsUndoRecord(const Location& state, std::u16string_view journal,
                             const FileInfo& info, std::u16string_view fullName) {
  const std::u16string record = undoRecordName(info, fullName);
  std::ignore = removeBeside(state, undoContentName(record));  // an older record's
  if (renameBeside(state, journal, record) != 0) {
    return false;
  }
  if (makePrivate(state, record) != 0) {
    std::ignore = removeBeside(state, record);
  }
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
