// How a menu is locked, read and saved: the same on every platform, over the primitives of
// platform_file.h. The save in place and its journal are in in_place_save.cpp.
#include "storage/file_access.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "storage/content_hash.h"
#include "storage/conversion.h"
#include "storage/in_place_save.h"
#include "storage/save_steps.h"
#include "storage/undo.h"

namespace zelpin {
namespace {

using namespace platform;

// Runs take milliseconds; one that holds a menu longer than this is stuck, or the user ran a script
// over a huge menu. Either way, waiting longer would only make the file manager hang.
constexpr auto lockPatience = std::chrono::seconds(5);

std::int64_t nanosecondsOf(std::chrono::nanoseconds duration) {
  return duration.count();
}

// Polls rather than blocks, so that giving up after lockPatience needs no timer on any platform. A
// lock that this run may not open yet (another user's run made it) is busy too, and opened again.
void takeLock(HeldLock& lock, const MenuFile& menu, const std::function<Opened()>& open) {
  const std::int64_t deadline = steadyClock() + nanosecondsOf(lockPatience);
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (!lock.handle.isOpen()) {
      Opened opened = open();
      if (opened.error == 0 && !opened.handle.isOpen()) {
        return;  // the system offers none
      }
      lock.handle = std::move(opened.handle);
    }
    switch (lock.handle.isOpen() ? tryLock(lock.handle.get()) : LockAttempt::Busy) {
      case LockAttempt::Taken:
        lock.taken = true;
        return;
      case LockAttempt::Unavailable:
        lock.handle.reset(noHandle);
        return;
      case LockAttempt::Busy:
        break;
    }
    if (steadyClock() >= deadline) {
      failBecause("edit", menu,
                  "it is busy: another process has held its lock for " +
                      std::to_string(lockPatience.count()) + " seconds");
    }
    sleepFor(nanosecondsOf(pause));
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
}

bool isLocked(const MenuFile& menu) {
  return menu.menuLock.taken;
}

bool isAtLocation(const MenuFile& menu, const FileInfo& info) {
  FileInfo there;
  return describeLocation(menu.location, there) == 0 && there.sameFileAs(info);
}

// Some network redirectors give a file another id at each open: two looks at the name, with
// nothing between them, tell such ids from a file that was really replaced.
bool idsChangeByThemselves(const MenuFile& menu) {
  FileInfo first;
  FileInfo second;
  return describeLocation(menu.location, first) == 0 &&
         describeLocation(menu.location, second) == 0 && !first.sameFileAs(second);
}

// A temporary file's name says whose it is, so that the next run can tell a killed run's leftover
// of this menu from anything else in the folder.
constexpr std::u16string_view temporaryMark = u".zelpin-";
constexpr std::size_t temporarySuffixLength = 6;
constexpr std::u16string_view suffixLetters =
    u"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// Names in a folder are limited in length, the same on every platform here.
constexpr std::size_t maxNameLength = 255;

// A temporary name adds to the menu's; where that would not fit, the menu's name is cut short and a
// hash of the whole of it added, so that the name still tells this menu's leftovers from anything
// else in the folder.
std::u16string temporaryPrefix(const Location& location) {
  std::u16string prefix = u"." + location.leaf + std::u16string(temporaryMark);
  if (nameLength(prefix) + temporarySuffixLength <= maxNameLength) {
    return prefix;
  }
  std::u16string tail = u"~";
  tail += hexText(nameHash(location.leaf));
  tail += temporaryMark;
  std::u16string part = location.leaf;
  while (!part.empty() && nameLength(u"." + part + tail) + temporarySuffixLength > maxNameLength) {
    part.pop_back();
    if (!part.empty() && part.back() >= 0xD800 && part.back() < 0xDC00) {
      part.pop_back();  // never half a character
    }
  }
  return u"." + part + tail;
}

bool isTemporaryOf(std::u16string_view name, std::u16string_view prefix) {
  if (!name.starts_with(prefix) || name.size() != prefix.size() + temporarySuffixLength) {
    return false;
  }
  name.remove_prefix(prefix.size());
  return name.find_first_not_of(suffixLetters) == std::u16string_view::npos;
}

bool isEmptyBeside(const Location& location, std::u16string_view name) {
  const Opened file = openBeside(location, name);
  FileInfo info;
  return file.error == 0 && describe(file.handle.get(), info) == 0 && info.regular &&
         info.size == 0;
}

// Only a run that holds the lock may do this: no other run can be writing one of them then. Where
// the menu itself is missing, a leftover may be the last whole copy of it (a rename that a file
// system does not do in one step, cut off by a crash): it is kept for the user to look at, unless
// it holds nothing at all (cut off before its content was written).
void removeLeftovers(const MenuFile& menu, bool menuExists) {
  const std::u16string prefix = temporaryPrefix(menu.location);
  for (const std::u16string& name : namesBeside(menu.location)) {
    if (!isTemporaryOf(name, prefix)) {
      continue;
    }
    if (!menuExists && !isEmptyBeside(menu.location, name)) {
      failBecause("write", menu,
                  quoted(name, "it is missing, but ") +
                      " beside it may hold its last content: look at it, then rename it to the "
                      "menu or remove it");
    }
    std::ignore = removeBeside(menu.location, name);  // a failure leaves it for a later run
  }
}

std::u16string randomTemporaryName(const Location& location) {
  static_assert(suffixLetters.size() == 62);
  std::u16string name = temporaryPrefix(location);
  for (std::size_t i = 0; i < temporarySuffixLength; ++i) {
    name.push_back(suffixLetters[randomNumber() % suffixLetters.size()]);
  }
  return name;
}

// A file that is to replace a menu is never open to more than the menu; a new menu's rights are
// what the folder gives any new file.
Opened createTemporary(const Location& location, NativeHandle model, std::u16string& name) {
  Opened created;
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = randomTemporaryName(location);
    created = createBeside(location, name, NewFile{model, true, false});
    if (created.error == 0 || !isNameTaken(created.error)) {
      break;
    }
  }
  return created;
}

// The save must land on the file that was read, as it was read, and a file that was missing must
// still be missing. A change by a program that takes no part in the runs' turns would otherwise be
// lost without a word; where the system gave no lock, another run can be that program.
void checkUnchanged(const MenuFile& menu, const std::optional<FileInfo>& now) {
  if (!menu.read) {
    return;
  }
  const bool same = menu.readFile ? now && now->sameFileAs(*menu.readFile) : !now;
  if (!same) {
    failBecause("write", menu, "it was replaced by another file since it was read");
  }
  if (now && (now->size != menu.readFile->size || now->modified != menu.readFile->modified)) {
    failBecause("write", menu,
                menu.fileLock.taken
                    ? "it was changed by another program since it was read"
                    : "it was changed by another program since it was read, and its file "
                      "system gives no lock by which runs could take turns");
  }
}

// A new look at an open file, which keeps what the run learnt of its ids.
void describeAgain(const MenuFile& menu, NativeHandle file, FileInfo& info) {
  const bool identified = info.identified;
  check("read", menu, describe(file, info));
  info.identified = identified;
}

// Opens the menu to read it and takes the lock on the file itself, which every name of it leads
// to. Where another run replaced the file while this one waited for that lock, the new file is
// opened in its turn.
Opened openLockedForReading(MenuFile& menu, FileInfo& info) {
  for (int attempt = 0;; ++attempt) {
    Opened file = openForReading(menu.location);
    if (file.error != 0) {
      return file;
    }
    check("read", menu, describe(file.handle.get(), info));
    if (!info.regular) {
      failBecause("read", menu, "it is not a regular file");
    }
    // The links were followed once to find the folder to lock, and once more by the system now:
    // both must end at the file that the save will replace.
    if (!isAtLocation(menu, info)) {
      if (!idsChangeByThemselves(menu)) {
        failBecause("read", menu, "it was replaced by another file while it was being opened");
      }
      info.identified = false;  // compared by size and time of change alone, then
    }
    menu.fileLock = HeldLock();
    takeLock(menu.fileLock, menu, [&] { return openFileLock(file.handle.get(), info); });
    if (isAtLocation(menu, info)) {
      // As the run before left it, which may have been after the first look.
      describeAgain(menu, file.handle.get(), info);
      return file;
    }
    if (attempt == 100) {
      failBecause("read", menu, "it is replaced again and again while it is being opened");
    }
  }
}

// The lock on the file itself, taken again after it was let go for a rename that was refused.
void lockFileAgain(MenuFile& menu) {
  const Opened file = openForReading(menu.location);
  FileInfo info;
  if (file.error == 0 && describe(file.handle.get(), info) == 0) {
    takeLock(menu.fileLock, menu, [&] { return openFileLock(file.handle.get(), info); });
  }
}

// Writes the new content to a temporary file and renames it over the menu. Returns false, with
// the menu untouched, where the new file could not carry what the menu carries (owner, ACL,
// attributes) or the folder takes no new file or refuses the rename: the menu is then to be
// rewritten in place.
bool replaceByRename(MenuFile& menu, Opened& existing, const std::optional<FileInfo>& info,
                     const ContentWriter& writeContent) {
  const TerminationHold hold;
  std::u16string name;
  Opened temporary = createTemporary(menu.location, existing.handle.get(), name);
  if (temporary.error != 0) {
    if (isAccessDenied(temporary.error) && info) {
      return false;
    }
    fail("write", menu, temporary.error);
  }
  TemporaryFile guard(menu.location, name);
  if (info && copyKeptProperties(existing.handle.get(), *info, temporary.handle.get()) != 0) {
    return false;
  }
  // As it will be once it is the menu (its creation time is the menu's on Windows).
  FileInfo replacement;
  check("write", menu, describe(temporary.handle.get(), replacement));
  existing.handle.reset(noHandle);  // held no longer than needed: some renames wait on holders
  ContentHash written;
  writeContent([&](std::string_view piece) {
    written.add(piece);
    check("write", menu, writeAll(temporary.handle.get(), piece));
  });
  // Where the file system cannot make anything durable, the rename still gives readers a whole
  // menu; that is the most it can have.
  if (const SystemError error = flush(temporary.handle.get());
      error != 0 && !isSyncUnsupported(error)) {
    fail("write", menu, error);
  }
  temporary.handle.reset(noHandle);
  std::optional<ReplacedFile> replaced;
  if (info) {
    replaced.emplace(menu, *info, replacement);
  }
  // Some systems refuse to rename over a file that any handle holds, this run's own lock on it
  // among them. The menu's lock still keeps this menu's other runs out meanwhile.
  menu.fileLock = HeldLock();
  const SystemError renamed = renameBeside(menu.location, guard.name(), menu.location.leaf);
  if (renamed != 0) {
    if (info && refusesRename(renamed)) {
      lockFileAgain(menu);
      return false;
    }
    fail("write", menu, renamed);
  }
  guard.keep();
  // Every reader has the new menu now; the folder's flush makes the rename outlast a power cut,
  // where the system can.
  std::ignore = flushFolder(menu.location);
  if (replaced) {
    replaced->keep(written.size(), written.value());
  }
  return true;
}

}  // namespace

std::optional<FileInfo> describeSaved(const Opened& existing, const MenuFile& menu) {
  if (existing.error != 0) {
    if (!isMissing(existing.error)) {
      fail("write", menu, existing.error);
    }
    checkUnchanged(menu, std::nullopt);
    return std::nullopt;
  }
  FileInfo info;
  check("write", menu, describe(existing.handle.get(), info));
  if (!info.regular) {
    failBecause("write", menu, "it is not a regular file");
  }
  if (menu.readFile && !menu.readFile->identified) {
    info.identified = false;
  }
  checkUnchanged(menu, info);
  return info;
}

MenuFile::MenuFile(std::u16string_view path) : path(path), location(locate(path)) {
  takeLock(menuLock, *this, [this] { return openMenuLock(location); });
}

void readFileChunks(MenuFile& menu, const std::function<void(std::uint64_t size)>& onOpen,
                    const std::function<void(std::string_view chunk)>& onChunk) {
  menu.read = true;
  FileInfo info;
  Opened file = openLockedForReading(menu, info);
  if (file.error != 0) {
    if (isMissing(file.error)) {
      return;
    }
    fail("read", menu, file.error);
  }
  if (finishInterruptedSave(menu, file.handle.get(), info)) {
    describeAgain(menu, file.handle.get(), info);
  }
  check("read", menu, seekTo(file.handle.get(), 0));
  menu.readFile = info;
  onOpen(info.size);
  ContentHash hash;
  std::vector<char> buffer(1 << 16);
  for (;;) {
    std::size_t count = 0;
    check("read", menu, readSome(file.handle.get(), buffer.data(), buffer.size(), count));
    if (count == 0) {
      break;
    }
    const std::string_view chunk(buffer.data(), count);
    hash.add(chunk);
    onChunk(chunk);
  }
  menu.readHash = hash.value();
}

void replaceFileContent(MenuFile& menu, std::uint64_t size, const ContentWriter& writeContent) {
  // A file this user may not write stays as it is.
  Opened existing = openToProbe(menu.location);
  const std::optional<FileInfo> info = describeSaved(existing, menu);
  // A rename would split the names of a file with several, and a file this user may not delete
  // would leave a temporary file behind that could not be removed either.
  if (info && (info->links > 1 || probeRename(menu.location) != 0)) {
    existing.handle.reset(noHandle);
    rewriteInPlace(menu, size, writeContent);
    return;
  }
  if (isLocked(menu)) {
    removeLeftovers(menu, info.has_value());
  }
  if (replaceByRename(menu, existing, info, writeContent)) {
    return;
  }
  existing.handle.reset(noHandle);
  rewriteInPlace(menu, size, writeContent);
}

}  // namespace zelpin
