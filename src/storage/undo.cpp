// The undo of a menu's last save, and what saves keep for it.
//
// Every save keeps what it replaced in the user's state folder, where only this user can read it:
// a save in place its journal, which holds the old content and the new; a save by rename the
// replaced file itself under a second name (or a copy), with a small record beside it that says
// whose it is and what the save wrote. One record a file, named after the file the save left, so
// that every name of the menu finds it; the next save of the menu replaces it. None is flushed: a
// crash may lose an undo, never a menu.
#include "storage/undo.h"

#include <optional>
#include <vector>

#include "storage/content_hash.h"
#include "storage/journal.h"
#include "storage/save_records.h"
#include "storage/save_steps.h"

namespace zelpin {
namespace {

using namespace platform;

// A copy is made only of a menu up to this size; a second name costs nothing at any size.
constexpr std::uint64_t largestCopy = 16 << 20;

// Copies the menu into a new file of the state folder, checking that it is what the run read.
bool copyReplaced(const MenuFile& menu, const Location& state, const std::u16string& name) {
  Opened source = openForReading(menu.location);
  if (source.error != 0) {
    return false;
  }
  Opened copy = createBeside(state, name, NewFile{source.handle.get(), false, false});
  if (copy.error != 0) {
    return false;
  }
  TemporaryFile guard(state, name);
  ContentHash hash;
  std::vector<char> buffer(1 << 16);
  for (std::size_t count = 0;;) {
    if (readSome(source.handle.get(), buffer.data(), buffer.size(), count) != 0) {
      return false;
    }
    if (count == 0) {
      break;
    }
    hash.add(std::string_view(buffer.data(), count));
    if (writeAll(copy.handle.get(), std::string_view(buffer.data(), count)) != 0) {
      return false;
    }
  }
  if (hash.value() != menu.readHash) {
    return false;
  }
  guard.keep();
  return true;
}

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

ReplacedFile::ReplacedFile(const MenuFile& menu, const FileInfo& replaced,
                           const FileInfo& replacement)
    : menu_(menu), replaced_(replaced), replacement_(replacement), state_(openStateFolder(true)) {
  if (!menu.read || state_.folderError != 0) {
    return;
  }
  fullName_ = fullNameOf(menu.location);
  record_ = undoRecordName(replacement, fullName_);
  content_ = undoContentName(record_);
  SystemError linked = linkBeside(menu.location, menu.location.leaf, state_, content_);
  if (isNameTaken(linked)) {
    std::ignore = removeBeside(state_, content_);  // a crashed run's, of a file of this number
    linked = linkBeside(menu.location, menu.location.leaf, state_, content_);
  }
  ready_ = linked == 0 || (replaced.size <= largestCopy && copyReplaced(menu, state_, content_));
}

ReplacedFile::~ReplacedFile() {
  if (ready_) {
    std::ignore = removeBeside(state_, content_);  // the save failed: the menu is as it was
  }
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
  record.oldHash = menu_.readHash;
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
  // The file this save replaced had a record of its own, now of no use. Where it had none, the
  // menu is new to the folder, and the records of menus that are gone are looked for.
  const std::u16string before = undoRecordName(replaced_, fullName_);
  if (before == record_) {
    return;
  }
  std::ignore = removeBeside(state_, undoContentName(before));
  if (isMissing(removeBeside(state_, before))) {
    sweepRecords(state_);
  }
}

void undoLastSave(MenuFile& menu) {
  readFileChunks(
      menu, [](std::uint64_t) {}, [](std::string_view) {});
  const Location state = openStateFolder(false);
  if (!menu.readFile || state.folderError != 0) {
    failBecause("undo", menu, "zelpin kept no record of a save of it");
  }
  const FileInfo& info = *menu.readFile;
  const std::u16string full = fullNameOf(menu.location);
  const std::u16string record = undoRecordName(info, full);
  const std::optional<std::string> bytes = readRecordFile(state, record);
  if (!bytes) {
    failBecause("undo", menu, "zelpin kept no record of a save of it");
  }
  const std::optional<ParsedRecord> parsed = parseRecord(*bytes);
  const std::string shown = shownRecord(state, RecordPlace::StateFolder, record);
  if (!parsed) {
    failBecause("undo", menu, "the record " + shown + " of its last save is damaged");
  }
  if (!isRecordOf(parsed->record, info, full)) {
    failBecause("undo", menu, "zelpin kept no record of a save of it");  // one of a file gone
  }
  if (parsed->record.newSize != info.size || parsed->record.newHash != menu.readHash) {
    failBecause("undo", menu, "it has changed since zelpin last saved it");
  }
  const std::optional<std::string> content = replacedContent(state, record, *parsed);
  if (!content) {
    failBecause("undo", menu, "the record " + shown + " of its last save is damaged");
  }
  replaceFileContent(menu, content->size(), [&](const ContentSink& sink) {
    for (std::size_t at = 0; at < content->size(); at += 1 << 16) {
      sink(std::string_view(*content).substr(at, 1 << 16));
    }
  });
}

}  // namespace zelpin
