#include "storage/save/held_menu.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>

#include "storage/records/names.h"
#include "storage/save/failing.h"

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
      failBecause("edit", menu.path,
                  "it is busy: another process has held its lock for " +
                      std::to_string(lockPatience.count()) + " seconds");
    }
    sleepFor(nanosecondsOf(pause));
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
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

// The save must land on the file that was read, as it was read, and a file that was missing must
// still be missing. A change by a program that takes no part in the runs' turns would otherwise be
// lost without a word; where the system gave no lock, another run can be that program.
void checkUnchanged(const MenuFile& menu, const std::optional<FileInfo>& now) {
  if (!menu.read.done) {
    return;
  }
  const std::optional<FileInfo>& read = menu.read.file;
  const bool same = read ? now && now->sameFileAs(*read) : !now;
  if (!same) {
    failBecause("write", menu.path, "it was replaced by another file since it was read");
  }
  if (now && (now->size != read->size || now->modified != read->modified)) {
    failBecause("write", menu.path,
                menu.fileLock.taken
                    ? "it was changed by another program since it was read"
                    : "it was changed by another program since it was read, and its file "
                      "system gives no lock by which runs could take turns");
  }
}

// The links were followed once to find the folder to lock, and once more by the system when the
// file was opened: both must end at the file that the save will replace. False where the name
// leads to another file now: a rename that landed in between, to be looked at again.
bool isOpenedNamed(const MenuFile& menu, FileInfo& info) {
  if (isAtLocation(menu, info)) {
    return true;
  }
  if (!idsChangeByThemselves(menu)) {
    return false;
  }
  info.identified = false;  // compared by size and time of change alone, then
  return true;
}

}  // namespace

MenuFile::MenuFile(std::u16string_view path) : path(path), location(locate(path)) {
  takeLock(menuLock, *this, [this] { return openMenuLock(location, lockFileName(location.leaf)); });
}

Opened openLockedForReading(MenuFile& menu, FileInfo& info) {
  std::optional<FileInfo> opened;  // what the menu's name led to at the last look
  for (int attempt = 0;; ++attempt) {
    Opened file = openForReading(menu.location);
    if (file.error != 0) {
      return file;
    }
    check("read", menu.path, describe(file.handle.get(), info));
    if (!info.regular) {
      failBecause("read", menu.path, "it is not a regular file");
    }
    if (!isOpenedNamed(menu, info)) {
      // The same file twice, and not the one at the location: the name leads elsewhere (a link
      // swapped while the run waited for its lock).
      if (opened && opened->sameFileAs(info)) {
        failBecause("read", menu.path, "it was replaced by another file while it was being opened");
      }
      opened = info;
      continue;
    }
    menu.fileLock = HeldLock();
    takeLock(menu.fileLock, menu, [&] { return openFileLock(file.handle.get(), info); });
    if (isAtLocation(menu, info)) {
      // As the run before left it, which may have been after the first look.
      describeAgain(menu, file.handle.get(), info);
      return file;
    }
    if (attempt == 100) {
      failBecause("read", menu.path, "it is replaced again and again while it is being opened");
    }
  }
}

void describeAgain(const MenuFile& menu, NativeHandle file, FileInfo& info) {
  const bool identified = info.identified;
  check("read", menu.path, describe(file, info));
  info.identified = identified;
}

void lockFileAgain(MenuFile& menu) {
  const Opened file = openForReading(menu.location);
  FileInfo info;
  if (file.error == 0 && describe(file.handle.get(), info) == 0) {
    takeLock(menu.fileLock, menu, [&] { return openFileLock(file.handle.get(), info); });
  }
}

std::optional<FileInfo> describeSaved(const Opened& existing, const MenuFile& menu) {
  if (existing.error != 0) {
    if (!isMissing(existing.error)) {
      fail("write", menu.path, existing.error);
    }
    checkUnchanged(menu, std::nullopt);
    return std::nullopt;
  }
  FileInfo info;
  check("write", menu.path, describe(existing.handle.get(), info));
  if (!info.regular) {
    failBecause("write", menu.path, "it is not a regular file");
  }
  if (menu.read.file && !menu.read.file->identified) {
    info.identified = false;
  }
  checkUnchanged(menu, info);
  return info;
}

}  // namespace zelpin
