// A save in place and its journal.
//
// A menu that must keep its identity (hard links), or whose folder takes no new file, is rewritten
// in place, which a crash or a kill could tear. So the new content is first made durable as a
// journal, together with the old content and the name of the file it is for: in the user's state
// folder, which every name of the file leads to, else beside the menu. Then it is copied in. The
// journal then becomes the menu's undo record, or is removed. A run that finds a journal of its
// menu puts it in only where the menu is the old content or what the copy can leave (a kill, a
// crash), so that a journal left behind never undoes a later edit (recovery.cpp).
#include "storage/save/in_place_save.h"

#include <optional>
#include <string>

#include "storage/content_hash.h"
#include "storage/platform/file_steps.h"
#include "storage/records/names.h"
#include "storage/records/record_format.h"
#include "storage/records/sweep.h"
#include "storage/records/undo_record.h"
#include "storage/save/failing.h"

namespace zelpin {
namespace {

using namespace platform;

const char* actionOf(Copying copying) {
  return copying == Copying::ThisSave ? "write" : "finish the interrupted save of";
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

// The save is done, but for the old end: a notice, not a failure.
void tellOfBlankTail(MenuFile& menu, const Overwrite& done) {
  menu.notices.push_back(describeError(done.cut) + ": the new menu is in place, followed by " +
                         std::to_string(done.tail / 2 + done.tail % 2) +
                         " blank lines where its old end could not be cut off");
}

// Copies the menu's content as it is now into the journal, and checks that it is what the run
// read: a save in place must not overwrite what another program wrote meanwhile.
std::uint64_t copyOldContent(const MenuFile& menu, const FileInfo& info, NativeHandle journal) {
  Opened current = openForReading(menu.location);
  FileInfo now;
  check("read", menu.path,
        current.error != 0 ? current.error : describe(current.handle.get(), now));
  if (!now.sameFileAs(info)) {
    failBecause("write", menu.path, "it was replaced by another file since it was read");
  }
  ContentHash hash;
  check("read", menu.path, readPieces(current.handle.get(), [&](std::string_view piece) {
          hash.add(piece);
          writeOrStop(journal, piece);
        }));
  if (menu.read.done && (hash.size() != info.size || hash.value() != menu.read.hash)) {
    failBecause("write", menu.path, "it was changed by another program since it was read");
  }
  return hash.value();
}

SaveRecord journalRecord(const FileInfo& info, std::u16string_view fullName, std::uint64_t size) {
  SaveRecord record;
  record.file = fileKey(info);
  record.path = recordPath(fullName);
  record.oldSize = info.size;
  record.newSize = size;
  record.oldInside = record.newInside = true;
  record.made = wallClock();
  return record;
}

// Writes the journal whole in one place and makes it durable there, name and all; none where any
// of it fails (full, over quota, read-only, no way to make it durable), and nothing is left then.
std::optional<Journal> writeJournalIn(const RecordFolder& at, const std::u16string& name,
                                      SaveRecord record, const MenuFile& menu, NativeHandle target,
                                      const FileInfo& info, const ContentWriter& writeContent) {
  Opened file = createBeside(*at.folder, name, NewFile{target, false, true});
  if (file.error != 0) {
    return std::nullopt;
  }
  TemporaryFile guard(*at.folder, name, std::move(file.handle));
  const NativeHandle journal = guard.handle();
  const std::string header = recordHeader(record);
  try {
    writeOrStop(journal, header);
    record.oldHash = copyOldContent(menu, info, journal);
    ContentHash hash;
    writeContent([&](std::string_view piece) {
      hash.add(piece);
      writeOrStop(journal, piece);
    });
    record.newHash = hash.value();
    writeOrStop(journal, recordTrailer(record));
    for (const SystemError error : {flush(journal), flushFolder(*at.folder)}) {
      if (error != 0) {
        throw Stopped{error};
      }
    }
  } catch (const Stopped&) {
    return std::nullopt;  // the guard removes what was written
  }
  guard.keep();
  return Journal{at, name, header.size() + info.size, record.newSize,
                 header.size() + info.size + record.newSize + recordTrailer(record).size()};
}

// In the first place that takes it: the state folder, else beside the menu. A file system that
// cannot sync at all gets no journal, then: the save goes on without one, as where no place takes
// it.
std::optional<Journal> writeJournal(const MenuFile& menu, NativeHandle target, const FileInfo& info,
                                    const Location& state, std::uint64_t size,
                                    const ContentWriter& writeContent) {
  const std::u16string full = fullNameOf(menu.location);
  const SaveRecord record = journalRecord(info, full, size);
  const std::u16string name = journalName(info, full);
  for (const RecordFolder& at : recordFolders(state, menu.location)) {
    std::optional<Journal> journal =
        mayHoldRecords(at) ? writeJournalIn(at, name, record, menu, target, info, writeContent)
                           : std::nullopt;
    if (!journal) {
      continue;
    }
    if (at.place == RecordPlace::BesideMenu) {
      sweepRecords(menu.location, false);  // what was set aside there long ago
    }
    return journal;
  }
  return std::nullopt;
}

// The new content, read back from the journal, for the copy into the menu.
ContentWriter journalContent(const MenuFile& menu, const Journal& journal) {
  return [&](const ContentSink& sink) {
    Opened source = openBeside(*journal.at.folder, journal.name);
    std::uint64_t copied = 0;
    if (const SystemError error =
            source.error != 0 ? source.error : seekTo(source.handle.get(), journal.newOffset)) {
      throw Stopped{error};
    }
    if (const SystemError error = readPieces(
            source.handle.get(),
            [&](std::string_view piece) {
              sink(piece);
              copied += piece.size();
            },
            journal.newSize)) {
      throw Stopped{error};
    }
    if (copied < journal.newSize) {
      failBecause("write", menu.path, "its journal " + journal.shown() + " was cut short");
    }
  };
}

// Without a journal (no place takes one) a crash can still tear this save; a kill cannot, as
// termination signals wait.
void rewriteWithoutJournal(MenuFile& menu, NativeHandle file, const FileInfo& info,
                           std::uint64_t size, const ContentWriter& writeContent) {
  const Overwrite done = overwrite(file, info.size, size, writeContent);
  if (done.failure != 0) {
    failBecause(
        "write", menu.path,
        describeError(done.failure) +
            (done.begun ? ": it may be left part written, as no journal could be kept" : ""));
  }
  if (done.cut != 0) {
    tellOfBlankTail(menu, done);
  }
}

}  // namespace

void failKeepingJournal(const MenuFile& menu, Copying copying, const Journal& journal,
                        SystemError error, bool begun) {
  throw FileError(Failure{menu.path, actionOf(copying),
                          describeError(error) + ": its new content is kept in " + journal.shown() +
                              ", and the next run puts it in place",
                          begun});
}

void drop(MenuFile& menu, const Journal& journal) {
  if (const SystemError error = removeBeside(*journal.at.folder, journal.name)) {
    menu.notices.push_back("its journal " + journal.shown() +
                           " is left, as it could not be removed: " + describeError(error));
  }
}

void retire(MenuFile& menu, const Journal& journal, const FileInfo& info) {
  if (journal.at.place == RecordPlace::StateFolder &&
      keepJournalAsUndoRecord(*journal.at.folder, journal.name, journal.size, info,
                              fullNameOf(menu.location))) {
    return;
  }
  drop(menu, journal);
}

void copyJournalIn(MenuFile& menu, Opened& target, std::uint64_t oldSize, const Journal& journal,
                   const FileInfo& info, Copying copying, const ContentWriter& newContent) {
  const Overwrite done = overwrite(target.handle.get(), oldSize, journal.newSize, newContent);
  target.handle.reset(noHandle);  // open for writing for the copy alone
  if (done.failure != 0) {
    if (done.begun || copying == Copying::AnInterruptedSave) {
      failKeepingJournal(menu, copying, journal, done.failure, done.begun);
    }
    std::ignore = removeBeside(*journal.at.folder, journal.name);  // the menu is as it was
    fail("write", menu.path, done.failure);
  }
  retire(menu, journal, info);
  if (done.cut != 0) {
    tellOfBlankTail(menu, done);
  }
}

namespace {

// Open for writing for the copy alone, and only once the name is seen to give the file read: on
// Windows a handle open for writing keeps out every reader that does not share writing, a file
// manager among them.
Opened openForTheCopy(MenuFile& menu, NativeHandle probe, const FileInfo& info,
                      const std::optional<Journal>& journal) {
  FileInfo there;
  SystemError error = describeLocation(menu.location, there);
  const bool replaced = error == 0 && !there.sameFileAs(info);
  Opened file;
  if (error == 0 && !replaced) {
    file = reopenForWriting(probe);
    error = file.error;
  }
  if (error == 0 && !replaced) {
    return file;
  }
  if (journal) {
    std::ignore = removeBeside(*journal->at.folder, journal->name);  // the menu is as it was
  }
  if (error != 0) {
    fail("write", menu.path, error);
  }
  failBecause("write", menu.path, "it was replaced by another file since it was read");
}

}  // namespace

void rewriteInPlace(MenuFile& menu, std::uint64_t size, const ContentWriter& writeContent) {
  const TerminationHold hold;
  const Opened probe = openToProbe(menu.location);
  const std::optional<FileInfo> described = describeSaved(probe, menu);
  if (!described) {
    failBecause("write", menu.path, "it was removed while it was being saved");
  }
  const FileInfo& info = *described;
  const Location state = openStateFolder(true);
  const std::optional<Journal> journal =
      writeJournal(menu, probe.handle.get(), info, state, size, writeContent);
  Opened file = openForTheCopy(menu, probe.handle.get(), info, journal);
  if (!journal) {
    rewriteWithoutJournal(menu, file.handle.get(), info, size, writeContent);
    return;
  }
  copyJournalIn(menu, file, info.size, *journal, info, Copying::ThisSave,
                journalContent(menu, *journal));
}

}  // namespace zelpin
