// A save by rename: the new content in a temporary file beside the menu, renamed over it, so that
// a reader finds the whole old menu or the whole new one at every moment.
#include "storage/save/rename_save.h"

#include <string>

#include "storage/content_hash.h"
#include "storage/conversion.h"
#include "storage/platform/file_steps.h"
#include "storage/records/names.h"
#include "storage/records/undo_record.h"
#include "storage/save/failing.h"

namespace zelpin {
namespace {

using namespace platform;

bool isEmptyBeside(const Location& location, std::u16string_view name) {
  const Opened file = openBeside(location, name);
  FileInfo info;
  return file.error == 0 && describe(file.handle.get(), info) == 0 && info.regular &&
         info.size == 0;
}

// A file that is to replace a menu is never open to more than the menu; a new menu's rights are
// what the folder gives any new file.
Opened createTemporary(const Location& location, NativeHandle model, std::u16string& name) {
  Opened created;
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = temporaryName(location.leaf);
    created = createBeside(location, name, NewFile{model, true, false});
    if (created.error == 0 || !isNameTaken(created.error)) {
      break;
    }
  }
  return created;
}

// Writes the new content and makes it durable, before any name makes it the menu. Where the file
// system cannot make anything durable, the rename still gives readers a whole menu; that is the
// most it can have.
ContentHash writeTemporary(const MenuFile& menu, TemporaryFile& temporary,
                           const ContentWriter& writeContent) {
  ContentHash written;
  writeContent([&](std::string_view piece) {
    written.add(piece);
    check("write", menu.path, writeAll(temporary.handle(), piece));
  });
  if (const SystemError error = flush(temporary.handle());
      error != 0 && !isSyncUnsupported(error)) {
    fail("write", menu.path, error);
  }
  temporary.close();
  return written;
}

// Some systems refuse to rename over a file that any handle holds, this run's own lock on it
// among them; the menu's lock still keeps this menu's other runs out meanwhile. False where the
// rename is refused by a rule of the folder, with the file's lock taken again.
bool renameOver(MenuFile& menu, const TemporaryFile& temporary, bool menuExists) {
  menu.fileLock = HeldLock();
  const SystemError renamed = renameBeside(menu.location, temporary.name(), menu.location.leaf);
  if (renamed == 0) {
    return true;
  }
  if (menuExists && refusesRename(renamed)) {
    lockFileAgain(menu);
    return false;
  }
  fail("write", menu.path, renamed);
}

// Where a file's id is where its entry in the folder lies (FAT, exFAT), the rename gave it another:
// the file as the menu's name leads to it now, for its record to be found by.
FileInfo asRenamed(const MenuFile& menu, FileInfo replacement) {
  FileInfo there;
  if (describeLocation(menu.location, there) == 0 && there.regular) {
    replacement.index = there.index;
    replacement.indexHigh = there.indexHigh;
    replacement.identified = there.identified;
  }
  return replacement;
}

}  // namespace

void removeLeftovers(const MenuFile& menu, bool menuExists) {
  for (const std::u16string& name : namesBeside(menu.location)) {
    if (!isTemporaryOf(name, menu.location.leaf)) {
      continue;
    }
    // A rename that a file system does not do in one step, cut off by a crash, can leave the only
    // whole copy; one that holds nothing was cut off before its content was written.
    if (!menuExists && !isEmptyBeside(menu.location, name)) {
      failBecause("write", menu.path,
                  quoted(name, "it is missing, but ") +
                      " beside it may hold its last content: look at it, then rename it to the "
                      "menu or remove it");
    }
    std::ignore = removeBeside(menu.location, name);  // a failure leaves it for a later run
  }
}

bool replaceByRename(MenuFile& menu, Opened& existing, const std::optional<FileInfo>& info,
                     const ContentWriter& writeContent) {
  const TerminationHold hold;
  std::u16string name;
  Opened temporary = createTemporary(menu.location, existing.handle.get(), name);
  if (temporary.error != 0) {
    if (isAccessDenied(temporary.error) && info) {
      return false;
    }
    fail("write", menu.path, temporary.error);
  }
  TemporaryFile guard(menu.location, name, std::move(temporary.handle));
  if (info && copyKeptProperties(existing.handle.get(), *info, guard.handle()) != 0) {
    return false;
  }
  // As it will be once it is the menu (its creation time is the menu's on Windows).
  FileInfo replacement;
  check("write", menu.path, describe(guard.handle(), replacement));
  existing.handle.reset(noHandle);  // held no longer than needed: some renames wait on holders
  const ContentHash written = writeTemporary(menu, guard, writeContent);
  if (!renameOver(menu, guard, info.has_value())) {
    return false;
  }
  guard.keep();
  // Every reader has the new menu now; the folder's flush makes the rename outlast a power cut,
  // where the system can.
  std::ignore = flushFolder(menu.location);
  if (info && menu.read.done) {
    keepUndoRecord(openStateFolder(true), fullNameOf(menu.location), *info,
                   menu.read.kept ? std::string_view(menu.read.bytes) : std::string_view(),
                   menu.read.hash, asRenamed(menu, replacement), written.size(), written.value());
  }
  return true;
}

}  // namespace zelpin
