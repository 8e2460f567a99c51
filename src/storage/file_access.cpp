// How a menu is locked, read and saved: the same on every platform, over the primitives of
// platform_file.h.
#include "storage/file_access.h"

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "storage/conversion.h"
#include "storage/file_error.h"

namespace zelpin {
namespace {

using namespace platform;

// Runs take milliseconds; one that holds a menu longer than this is stuck, or the user ran a script
// over a huge menu. Either way, waiting longer would only make the file manager hang.
constexpr auto lockPatience = std::chrono::seconds(5);

[[noreturn]] void failBecause(const char* action, const MenuFile& menu, std::string_view reason) {
  throw FileError(failureLine(action, menu.path, reason));
}

[[noreturn]] void fail(const char* action, const MenuFile& menu, SystemError error) {
  failBecause(action, menu, describeError(error));
}

void check(const char* action, const MenuFile& menu, SystemError error) {
  if (error != 0) {
    fail(action, menu, error);
  }
}

// Polls rather than blocks, so that giving up after lockPatience needs no timer on any platform.
void takeLock(HeldLock& lock, const MenuFile& menu) {
  if (!lock.handle.isOpen()) {
    return;
  }
  const auto deadline = std::chrono::steady_clock::now() + lockPatience;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    switch (tryLock(lock.handle.get())) {
      case LockAttempt::Taken:
        lock.taken = true;
        return;
      case LockAttempt::Unavailable:
        lock.handle.reset(noHandle);
        return;
      case LockAttempt::Busy:
        break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      failBecause("edit", menu,
                  "it is busy: another run has held it for " +
                      std::to_string(lockPatience.count()) + " seconds");
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
}

bool isLocked(const MenuFile& menu) {
  return menu.menuLock.taken;
}

// A temporary file's name says whose it is, so that the next run can tell a killed run's leftover
// of this menu from anything else in the folder.
constexpr std::u16string_view temporaryMark = u".zelpin-";
constexpr std::size_t temporarySuffixLength = 6;
constexpr std::u16string_view suffixLetters =
    u"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

std::u16string temporaryPrefix(const Location& location) {
  return u"." + location.leaf + std::u16string(temporaryMark);
}

bool isTemporaryOf(std::u16string_view name, std::u16string_view prefix) {
  if (!name.starts_with(prefix) || name.size() != prefix.size() + temporarySuffixLength) {
    return false;
  }
  name.remove_prefix(prefix.size());
  return name.find_first_not_of(suffixLetters) == std::u16string_view::npos;
}

// Only a run that holds the lock may do this: no other run can be writing one of them then.
void removeLeftovers(const MenuFile& menu) {
  const std::u16string prefix = temporaryPrefix(menu.location);
  for (const std::u16string& name : namesBeside(menu.location)) {
    if (isTemporaryOf(name, prefix)) {
      removeBeside(menu.location, name);
    }
  }
}

std::u16string randomTemporaryName(const Location& location) {
  static_assert(suffixLetters.size() == 62);
  std::random_device random;
  std::u16string name = temporaryPrefix(location);
  for (std::size_t i = 0; i < temporarySuffixLength; ++i) {
    name.push_back(suffixLetters[random() % suffixLetters.size()]);
  }
  return name;
}

Opened createTemporary(const Location& location, std::u16string& name) {
  Opened created;
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = randomTemporaryName(location);
    created = createBeside(location, name);
    if (created.error == 0 || !isNameTaken(created.error)) {
      break;
    }
  }
  return created;
}

// Removes the temporary file on every way out but a successful rename; the signals that would end
// the process are held back meanwhile, so that no way out skips it.
class TemporaryFile {
 public:
  TemporaryFile(const Location& location, std::u16string name)
      : location_(location), name_(std::move(name)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!name_.empty()) {
      removeBeside(location_, name_);
    }
  }
  const std::u16string& name() const { return name_; }
  void keep() { name_.clear(); }

 private:
  const Location& location_;
  std::u16string name_;
};

class TerminationHold {
 public:
  TerminationHold() : held_(holdTerminationSignals()) {}
  TerminationHold(const TerminationHold&) = delete;
  TerminationHold& operator=(const TerminationHold&) = delete;
  ~TerminationHold() { releaseTerminationSignals(held_); }

 private:
  int held_;
};

void writeContentTo(NativeHandle file, const ContentWriter& writeContent, const MenuFile& menu) {
  writeContent([&](std::string_view piece) { check("write", menu, writeAll(file, piece)); });
}

// For a file that must keep its identity (hard links) or whose folder takes no new file. Room is
// made before the first byte changes, so that a full disk stops the save while the old content is
// still whole.
void rewriteInPlace(Handle file, const FileInfo& info, const MenuFile& menu, std::uint64_t size,
                    const ContentWriter& writeContent) {
  check("write", menu, reserve(file.get(), size, info.size));
  check("write", menu, seekToStart(file.get()));
  writeContentTo(file.get(), writeContent, menu);
  check("write", menu, setLength(file.get(), size));
  check("write", menu, flush(file.get()));
}

// The save must land on the file that was read, and a file that was missing must still be.
void checkUnchanged(const MenuFile& menu, const std::optional<FileInfo>& now) {
  if (!menu.read) {
    return;
  }
  const bool same = menu.readFile ? now && now->sameFileAs(*menu.readFile) : !now;
  if (!same) {
    failBecause("write", menu, "it was replaced by another file since it was read");
  }
}

// What the save is about to replace: nothing, or the regular file that was read.
std::optional<FileInfo> describeExisting(const Opened& existing, const MenuFile& menu) {
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
  checkUnchanged(menu, info);
  return info;
}

// Writes the new content to a temporary file and renames it over the menu. Returns false, with
// the menu untouched, where the new file could not carry what the menu carries (owner, ACL,
// attributes) or the folder takes no new file or refuses the rename: the menu is then to be
// rewritten in place.
bool replaceByRename(const MenuFile& menu, Opened& existing, const std::optional<FileInfo>& info,
                     const ContentWriter& writeContent) {
  const TerminationHold hold;
  std::u16string name;
  Opened temporary = createTemporary(menu.location, name);
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
  writeContentTo(temporary.handle.get(), writeContent, menu);
  check("write", menu, flush(temporary.handle.get()));
  temporary.handle.reset(noHandle);
  existing.handle.reset(noHandle);  // Windows renames only over a file nobody holds
  const SystemError renamed = renameOverMenu(menu.location, guard.name());
  if (renamed != 0) {
    if (info && refusesRename(renamed)) {
      return false;
    }
    fail("write", menu, renamed);
  }
  guard.keep();
  flushFolder(menu.location);
  return true;
}

}  // namespace

MenuFile::MenuFile(std::u16string_view path) : path(path), location(locate(path)) {
  menuLock.handle = openMenuLock(location);
  takeLock(menuLock, *this);
}

void readFileChunks(MenuFile& menu, const std::function<void(std::uint64_t size)>& onOpen,
                    const std::function<void(std::string_view chunk)>& onChunk) {
  menu.read = true;
  Opened file = openForReading(menu.location);
  if (file.error != 0) {
    if (isMissing(file.error)) {
      return;
    }
    fail("read", menu, file.error);
  }
  FileInfo info;
  check("read", menu, describe(file.handle.get(), info));
  if (!info.regular) {
    failBecause("read", menu, "it is not a regular file");
  }
  // The links were followed once to find the folder to lock, and once more by the system now,
  // under the lock: both must end at the file that the save will replace.
  FileInfo there;
  if (describeLocation(menu.location, there) != 0 || !there.sameFileAs(info)) {
    failBecause("read", menu, "it was replaced by another file while it was being opened");
  }
  if (info.links > 1 && isLocked(menu)) {
    menu.fileLock.handle = openFileLock(file.handle.get(), info);
    takeLock(menu.fileLock, menu);
  }
  menu.readFile = info;
  onOpen(info.size);
  std::vector<char> buffer(1 << 16);
  for (;;) {
    std::size_t count = 0;
    check("read", menu, readSome(file.handle.get(), buffer.data(), buffer.size(), count));
    if (count == 0) {
      return;
    }
    onChunk(std::string_view(buffer.data(), count));
  }
}

void replaceFileContent(MenuFile& menu, std::uint64_t size, const ContentWriter& writeContent) {
  // Probe without truncating: a file this user may not write stays as it is.
  Opened existing = openForWriting(menu.location);
  std::optional<FileInfo> info = describeExisting(existing, menu);
  if (info && info->links > 1) {
    // A rename would split the names.
    rewriteInPlace(std::move(existing.handle), *info, menu, size, writeContent);
    return;
  }
  if (isLocked(menu)) {
    removeLeftovers(menu);
  }
  if (replaceByRename(menu, existing, info, writeContent)) {
    return;
  }
  if (!existing.handle.isOpen()) {
    existing = openForWriting(menu.location);
    info = describeExisting(existing, menu);
  }
  rewriteInPlace(std::move(existing.handle), *info, menu, size, writeContent);
}

}  // namespace zelpin
