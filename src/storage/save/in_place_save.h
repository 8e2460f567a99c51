#pragma once

#include <cstdint>
#include <string>

#include "storage/platform/platform_file.h"
#include "storage/records/places.h"
#include "storage/save/content_writer.h"
#include "storage/save/held_menu.h"

namespace zelpin {

// Rewrites the menu in place, keeping its identity (hard links, owner, a folder that takes no new
// file), through a journal that lets the next run finish the save if this one is stopped.
void rewriteInPlace(MenuFile& menu, std::uint64_t size, const ContentWriter& writeContent);

// A journal of a save in place, where it lies.
struct Journal {
  RecordFolder at;
  std::u16string name;
  std::uint64_t newOffset = 0;  // where the new content begins in it
  std::uint64_t newSize = 0;
  std::uint64_t size = 0;  // of the whole journal
  std::string shown() const { return shownRecord(at, name); }
};

enum class Copying { ThisSave, AnInterruptedSave };

// Copies a journal's new content (newContent) into the menu (target, whose size is oldSize), then
// retires the journal, the target closed first. Throws FileError, keeping the journal where the
// copy may have begun. An old end that could not be cut off is told as a notice.
void copyJournalIn(MenuFile& menu, platform::Opened& target, std::uint64_t oldSize,
                   const Journal& journal, const platform::FileInfo& info, Copying copying,
                   const ContentWriter& newContent);
// The journal has done its work: in the state folder it becomes the menu's undo record, beside the
// menu, where no record is kept, it goes.
void retire(MenuFile& menu, const Journal& journal, const platform::FileInfo& info);
// Removes the journal; one that cannot be removed stays, never to be put in again over a later
// save (by then the menu no longer fits it), and the user is told where it is.
void drop(MenuFile& menu, const Journal& journal);
// begun: the copy into the menu had begun, which may hold part of the new content.
[[noreturn]] void failKeepingJournal(const MenuFile& menu, Copying copying, const Journal& journal,
                                     platform::SystemError error, bool begun);

}  // namespace zelpin
