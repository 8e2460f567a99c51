// What a run does with a journal an earlier run left: first a judgement of the journal and the
// menu as they are, then its one application.
#include "storage/save/recovery.h"

#include <optional>
#include <string>

#include "storage/platform/file_steps.h"
#include "storage/records/names.h"
#include "storage/records/places.h"
#include "storage/records/record_format.h"
#include "storage/records/sweep.h"
#include "storage/save/failing.h"
#include "storage/save/in_place_save.h"

namespace zelpin {
namespace {

using namespace platform;

// The journal's bytes, where one of this name lies there and may be trusted; none otherwise, and
// what is not trusted is not touched.
std::optional<std::string> readTrustedJournal(const MenuFile& menu, const Journal& journal) {
  Opened found = openBeside(*journal.at.folder, journal.name);
  FileInfo info;
  if (found.error != 0 || describe(found.handle.get(), info) != 0 ||
      !isTrustedRecord(journal.at, found.handle.get(), info)) {
    return std::nullopt;
  }
  std::string bytes;
  if (const SystemError error = readAll(found.handle.get(), bytes)) {
    failBecause("read", menu.path,
                describeError(error) + " while reading its journal " + journal.shown());
  }
  return bytes;
}

// The menu the interrupted save was writing is kept for the user as a plain file; the journal,
// whose work is then done, goes.
std::string setAsideNotice(MenuFile& menu, const Journal& journal, std::string_view content) {
  std::u16string aside;
  const SystemError error = setAside(*journal.at.folder, menu.location.leaf, content, aside);
  const std::string found =
      "the journal " + journal.shown() + " of an interrupted save does not fit it as it is now";
  if (error != 0) {
    return found + ", and could not be set aside: " + describeError(error);
  }
  drop(menu, journal);
  if (journal.at.place == RecordPlace::BesideMenu) {
    sweepRecords(menu.location, false);  // what was set aside there long ago
  }
  return found + " and is set aside as " + shownRecord(journal.at, aside) +
         ", the menu that save was writing";
}

// Does what the judgement says; returns whether the menu's content changed.
bool apply(MenuFile& menu, const Judgement& judgement, Journal journal, const FileInfo& info,
           std::uint64_t menuSize) {
  journal.newSize = judgement.newContent.size();
  switch (judgement.verdict) {
    case Verdict::Remove:
      drop(menu, journal);
      return false;
    case Verdict::SetAside:
      menu.notices.push_back(setAsideNotice(menu, journal, judgement.newContent));
      return false;
    case Verdict::Retire:
      retire(menu, journal, info);
      return false;
    case Verdict::PutIn:
      break;
  }
  Opened target = openForWriting(menu.location);
  if (target.error != 0) {
    failKeepingJournal(menu, Copying::AnInterruptedSave, journal, target.error, false);
  }
  copyJournalIn(menu, target, menuSize, journal, info, Copying::AnInterruptedSave,
                [&](const ContentSink& sink) { sink(judgement.newContent); });
  return true;
}

}  // namespace

Judgement judgeJournal(std::string_view journal, std::string_view menu, const FileInfo& info,
                       std::u16string_view fullName) {
  const std::optional<ParsedRecord> parsed = parseRecord(journal);
  if (!parsed || !parsed->record.oldInside || !parsed->record.newInside) {
    // Not whole, so stopped before it was: its save never touched the menu, which is copied into
    // only once the journal is whole and durable. Only this user can have put it where it lies.
    return {Verdict::Remove, {}};
  }
  if (!isRecordOf(parsed->record, info, fullName)) {
    return {Verdict::SetAside, parsed->newContent};
  }
  switch (classifyMenu(menu, parsed->oldContent, parsed->newContent)) {
    case MenuState::New:
      return {Verdict::Retire, parsed->newContent};
    case MenuState::Old:
    case MenuState::Torn:
      return {Verdict::PutIn, parsed->newContent};
    case MenuState::Other:
      break;
  }
  return {Verdict::SetAside, parsed->newContent};
}

bool finishInterruptedSave(MenuFile& menu, NativeHandle file, const FileInfo& info) {
  const Location state = openStateFolder(false);
  const std::u16string full = fullNameOf(menu.location);
  const std::u16string name = journalName(info, full);
  bool changed = false;
  for (const RecordFolder& at : recordFolders(state, menu.location)) {
    Journal journal{at, name, 0, 0, 0};
    const std::optional<std::string> bytes = readTrustedJournal(menu, journal);
    if (!bytes) {
      continue;
    }
    journal.size = bytes->size();
    const TerminationHold hold;
    std::string current;
    check("read", menu.path, seekTo(file, 0));
    check("read", menu.path, readAll(file, current));
    changed =
        apply(menu, judgeJournal(*bytes, current, info, full), journal, info, current.size()) ||
        changed;
  }
  return changed;
}

}  // namespace zelpin
