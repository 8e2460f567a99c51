// A save in place and its journal.
//
// A menu that must keep its identity (hard links), or whose folder takes no new file, is rewritten
// in place, which a crash or a kill could tear. So the new content is first made durable as a
// journal, together with the old content and the name of the file it is for: in the user's state
// folder, which every name of the file leads to, else beside the menu. Then it is copied in. The
// journal then becomes the menu's undo record, or is removed. A run that finds a journal of its
// menu puts it in only where the menu is the old content or what the copy can leave (a kill, a
// crash), so that a journal left behind never undoes a later edit.
#include "storage/in_place_save.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "storage/content_hash.h"
#include "storage/journal.h"
#include "storage/save_records.h"
#include "storage/save_steps.h"

namespace zelpin {
namespace {

using namespace platform;

struct Journal {
  const Location* folder = nullptr;
  RecordPlace place = RecordPlace::StateFolder;
  std::u16string name;
  std::uint64_t newOffset = 0;  // where the new content begins in it
  std::uint64_t newSize = 0;
  std::string shown() const { return shownRecord(*folder, place, name); }
};

enum class Copying { ThisSave, AnInterruptedSave };

const char* actionOf(Copying copying) {
  return copying == Copying::ThisSave ? "write" : "finish the interrupted save of";
}

[[noreturn]] void failKeepingJournal(const MenuFile& menu, Copying copying, const Journal& journal,
                                     SystemError error) {
  failBecause(actionOf(copying), menu,
              describeError(error) + ": its new content is kept in " + journal.shown() +
                  ", and the next run puts it in place");
}

// A failure of a file other than the menu, carried out of a content writer.
struct Stopped {
  SystemError error;
};

void writeOrStop(NativeHandle file, std::string_view bytes) {
  if (const SystemError error = writeAll(file, bytes)) {
    throw Stopped{error};
  }
}

// What a file that may not be shortened (Windows, while another program maps it) gets after the
// new content instead of the old tail: line ends only, so that no fragment of an old line is read.
SystemError blankOut(NativeHandle file, std::uint64_t length) {
  std::string blanks;
  for (std::uint64_t left = length, at = 0; left > 0;) {
    blanks.clear();
    while (blanks.size() < (1u << 16) && left > 0) {
      blanks.push_back(blankTailByte(at++, length));
      --left;
    }
    if (const SystemError error = writeAll(file, blanks)) {
      return error;
    }
  }
  return 0;
}

// How an overwrite ended. begun: the file may hold part of the new content.
struct Overwrite {
  SystemError failure = 0;
  bool begun = false;
  SystemError cut = 0;     // why the old end could not be cut off, if it could not
  std::uint64_t tail = 0;  // how long that old end is
};

// Writes the new content over the file from its start and ends the file there. Room is made
// before the first byte changes, so that a full disk stops the save while the old content is
// whole. Where the file may not be shortened its old end is blanked.
Overwrite overwrite(NativeHandle file, std::uint64_t oldSize, std::uint64_t size,
                    const ContentWriter& writeContent) {
  Overwrite result;
  result.failure = reserve(file, size, oldSize);
  if (result.failure == 0) {
    result.failure = seekTo(file, 0);
  }
  if (result.failure != 0) {
    return result;
  }
  result.begun = true;
  try {
    writeContent([&](std::string_view piece) { writeOrStop(file, piece); });
  } catch (const Stopped& stopped) {
    result.failure = stopped.error;
    return result;
  }
  result.cut = setLength(file, size);
  result.tail = oldSize > size ? oldSize - size : 0;
  if (result.cut != 0) {
    result.failure = blankOut(file, result.tail);
  }
  // A menu on a file system that can make nothing durable has all it can have.
  if (const SystemError flushed = flush(file); result.failure == 0 && !isSyncUnsupported(flushed)) {
    result.failure = flushed;
  }
  return result;
}

[[noreturn]] void failWithBlankTail(const MenuFile& menu, const Overwrite& done) {
  failBecause("write", menu,
              describeError(done.cut) + ": the new menu is in place, followed by " +
                  std::to_string(done.tail / 2 + done.tail % 2) +
                  " blank lines where its old end could not be cut off");
}

// A journal that cannot be removed stays, never to be put in again over a later save: by then the
// menu no longer fits it. The user is told where it is.
void drop(MenuFile& menu, const Journal& journal) {
  if (const SystemError error = removeBeside(*journal.folder, journal.name)) {
    menu.notices.push_back("its journal " + journal.shown() +
                           " is left, as it could not be removed: " + describeError(error));
  }
}

// The journal has done its work. In the state folder it becomes the menu's undo record: it holds
// what the save replaced, and what it wrote. Beside the menu, where no record is kept, it goes.
void retire(MenuFile& menu, const Journal& journal, const FileInfo& info) {
  if (journal.place == RecordPlace::StateFolder) {
    const std::u16string record = undoRecordName(info, fullNameOf(menu.location));
    std::ignore = removeBeside(*journal.folder, undoContentName(record));  // an older record's
    if (renameBeside(*journal.folder, journal.name, record) == 0) {
      if (makePrivate(*journal.folder, record) != 0) {
        std::ignore = removeBeside(*journal.folder, record);
      }
      return;
    }
  }
  drop(menu, journal);
}

// Copies a journal's new content into the menu (target, whose old size is given).
void copyJournalIn(MenuFile& menu, NativeHandle target, std::uint64_t oldSize,
                   const Journal& journal, const FileInfo& info, Copying copying,
                   const ContentWriter& newContent) {
  const Overwrite done = overwrite(target, oldSize, journal.newSize, newContent);
  if (done.failure != 0) {
    if (done.begun || copying == Copying::AnInterruptedSave) {
      failKeepingJournal(menu, copying, journal, done.failure);
    }
    std::ignore = removeBeside(*journal.folder, journal.name);  // the menu is as it was
    fail("write", menu, done.failure);
  }
  retire(menu, journal, info);
  if (done.cut != 0) {
    failWithBlankTail(menu, done);
  }
}

// Journals that name this file's device and index but another birth time were left for a file
// that is gone.
void removeJournalsOfGoneFiles(const Location& folder, const std::u16string& own) {
  const std::u16string number = own.substr(0, own.rfind(u'-') + 1);
  for (const std::u16string& name : namesBeside(folder)) {
    if (name.starts_with(number) && name != own && !name.starts_with(own)) {
      std::ignore = removeBeside(folder, name);
    }
  }
}

// Copies the menu's content as it is now into the journal, and checks that it is what the run
// read: a save in place must not overwrite what another program wrote meanwhile.
std::uint64_t copyOldContent(const MenuFile& menu, const FileInfo& info, NativeHandle journal) {
  Opened current = openForReading(menu.location);
  FileInfo now;
  check("read", menu, current.error != 0 ? current.error : describe(current.handle.get(), now));
  if (!now.sameFileAs(info)) {
    failBecause("write", menu, "it was replaced by another file since it was read");
  }
  ContentHash hash;
  std::vector<char> buffer(1 << 16);
  for (std::size_t count = 0;;) {
    check("read", menu, readSome(current.handle.get(), buffer.data(), buffer.size(), count));
    if (count == 0) {
      break;
    }
    const std::string_view piece(buffer.data(), count);
    hash.add(piece);
    writeOrStop(journal, piece);
  }
  if (menu.read && (hash.size() != info.size || hash.value() != menu.readHash)) {
    failBecause("write", menu, "it was changed by another program since it was read");
  }
  return hash.value();
}

// Writes the journal whole and makes it durable, in the first place that takes it: the state
// folder, else beside the menu where no other user could have put a file of this user's there.
// A place that fails in any way (full, over quota, read-only, no way to make it durable) is left
// for the next. A file system that cannot sync at all gets no journal, then: the in-place save
// goes on without one, as where no place takes it.
std::optional<Journal> writeJournal(const MenuFile& menu, NativeHandle target, const FileInfo& info,
                                    const Location& state, std::uint64_t size,
                                    const ContentWriter& writeContent) {
  const std::u16string full = fullNameOf(menu.location);
  SaveRecord record;
  record.file = fileKey(info);
  record.path = recordPath(full);
  record.oldSize = info.size;
  record.newSize = size;
  record.oldInside = record.newInside = true;
  const std::u16string name = journalName(info, full);
  for (const RecordPlace place : {RecordPlace::StateFolder, RecordPlace::BesideMenu}) {
    const Location& folder = place == RecordPlace::StateFolder ? state : menu.location;
    if (folder.folderError != 0 ||
        (place == RecordPlace::BesideMenu && !keepsOthersOut(menu.location))) {
      continue;
    }
    Opened file = createBeside(folder, name, NewFile{target, false, true});
    if (file.error != 0) {
      continue;
    }
    TemporaryFile guard(folder, name);
    const NativeHandle journal = file.handle.get();
    try {
      const std::string header = recordHeader(record);
      writeOrStop(journal, header);
      record.oldHash = copyOldContent(menu, info, journal);
      ContentHash hash;
      writeContent([&](std::string_view piece) {
        hash.add(piece);
        writeOrStop(journal, piece);
      });
      record.newHash = hash.value();
      writeOrStop(journal, recordTrailer(record));
      for (const SystemError error : {flush(journal), flushFolder(folder)}) {
        if (error != 0) {
          throw Stopped{error};
        }
      }
      guard.keep();
      file.handle.reset(noHandle);  // the sweep below opens records, and this one shares nothing
      if (place == RecordPlace::StateFolder) {
        // A file without an id is named by its path: no other journal shares its number.
        if (info.identified) {
          removeJournalsOfGoneFiles(state, name);
        }
        sweepRecords(state);
      }
      return Journal{&folder, place, name, header.size() + info.size, size};
    } catch (const Stopped&) {
      continue;  // the guard removes what was written
    }
  }
  return std::nullopt;
}

// The new content, read back from the journal, for the copy into the menu.
ContentWriter journalContent(const MenuFile& menu, const Journal& journal) {
  return [&](const ContentSink& sink) {
    Opened source = openBeside(*journal.folder, journal.name);
    if (const SystemError error =
            source.error != 0 ? source.error : seekTo(source.handle.get(), journal.newOffset)) {
      throw Stopped{error};
    }
    std::vector<char> buffer(1 << 16);
    for (std::uint64_t left = journal.newSize; left > 0;) {
      std::size_t count = 0;
      const std::size_t wanted =
          static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
      if (const SystemError error = readSome(source.handle.get(), buffer.data(), wanted, count)) {
        throw Stopped{error};
      }
      if (count == 0) {
        failBecause("write", menu, "its journal " + journal.shown() + " was cut short");
      }
      sink(std::string_view(buffer.data(), count));
      left -= count;
    }
  };
}

// Without a journal (no place takes one) a crash can still tear this save; a kill cannot, as
// termination signals wait.
void rewriteWithoutJournal(const MenuFile& menu, NativeHandle file, const FileInfo& info,
                           std::uint64_t size, const ContentWriter& writeContent) {
  const Overwrite done = overwrite(file, info.size, size, writeContent);
  if (done.failure != 0) {
    failBecause(
        "write", menu,
        describeError(done.failure) +
            (done.begun ? ": it may be left part written, as no journal could be kept" : ""));
  }
  if (done.cut != 0) {
    failWithBlankTail(menu, done);
  }
}

}  // namespace

void rewriteInPlace(MenuFile& menu, std::uint64_t size, const ContentWriter& writeContent) {
  const TerminationHold hold;
  const Opened file = openForWriting(menu.location);
  const std::optional<FileInfo> described = describeSaved(file, menu);
  if (!described) {
    failBecause("write", menu, "it was removed while it was being saved");
  }
  const FileInfo& info = *described;
  const Location state = openStateFolder(true);
  const std::optional<Journal> journal =
      writeJournal(menu, file.handle.get(), info, state, size, writeContent);
  if (!journal) {
    rewriteWithoutJournal(menu, file.handle.get(), info, size, writeContent);
    return;
  }
  copyJournalIn(menu, file.handle.get(), info.size, *journal, info, Copying::ThisSave,
                journalContent(menu, *journal));
}

bool finishInterruptedSave(MenuFile& menu, NativeHandle file, const FileInfo& info) {
  const Location state = openStateFolder(false);
  const std::u16string full = fullNameOf(menu.location);
  const std::u16string name = journalName(info, full);
  bool changed = false;
  for (const RecordPlace place : {RecordPlace::StateFolder, RecordPlace::BesideMenu}) {
    const Location& folder = place == RecordPlace::StateFolder ? state : menu.location;
    if (folder.folderError != 0) {
      continue;
    }
    Opened found = openBeside(folder, name);
    FileInfo foundInfo;
    if (found.error != 0 || describe(found.handle.get(), foundInfo) != 0 || !foundInfo.regular) {
      continue;
    }
    // The state folder is this user's alone; beside the menu only what no one else could have
    // put there under this user's name counts, and what does not count is not touched.
    if (place == RecordPlace::BesideMenu &&
        (!madeByThisUser(found.handle.get(), foundInfo) || !keepsOthersOut(folder))) {
      continue;
    }
    const TerminationHold hold;
    std::string bytes;
    Journal journal{&folder, place, name, 0, 0};
    if (const SystemError error = readAll(found.handle.get(), bytes)) {
      failBecause("read", menu,
                  describeError(error) + " while reading its journal " + journal.shown());
    }
    found.handle.reset(noHandle);
    const std::optional<ParsedRecord> parsed = parseRecord(bytes);
    if (!parsed) {
      // One of this file's that is not whole was stopped before it was: its save never touched
      // the menu, which is copied into only once the journal is whole and durable.
      if (beginsRecordOf(bytes, fileKey(info))) {
        drop(menu, journal);
      } else {
        menu.notices.push_back(setAside(folder, place, name));
      }
      continue;
    }
    if (!parsed->record.oldInside || !parsed->record.newInside ||
        !isRecordOf(parsed->record, info, full)) {
      menu.notices.push_back(setAside(folder, place, name));
      continue;
    }
    std::string current;
    check("read", menu, seekTo(file, 0));
    check("read", menu, readAll(file, current));
    journal.newSize = parsed->newContent.size();
    switch (classifyMenu(current, parsed->oldContent, parsed->newContent)) {
      case MenuState::New:
        retire(menu, journal, info);
        break;
      case MenuState::Old:
      case MenuState::Torn: {
        const Opened target = openForWriting(menu.location);
        if (target.error != 0) {
          failKeepingJournal(menu, Copying::AnInterruptedSave, journal, target.error);
        }
        copyJournalIn(menu, target.handle.get(), current.size(), journal, info,
                      Copying::AnInterruptedSave,
                      [&](const ContentSink& sink) { sink(parsed->newContent); });
        changed = true;
        break;
      }
      case MenuState::Other:
        menu.notices.push_back(setAside(folder, place, name));
        break;
    }
  }
  return changed;
}

}  // namespace zelpin
