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

// A name for a message, in quotes, after what comes before it. (Built by appending: g++ 12 warns
// falsely on "literal" + a temporary string when it optimises.)
std::string quoted(std::u16string_view name, std::string_view before = {}) {
  std::string text(before);
  text += '\'';
  text += shownText(name);
  text += '\'';
  return text;
}

[[noreturn]] void fail(const char* action, const MenuFile& menu, SystemError error) {
  failBecause(action, menu, describeError(error));
}

void check(const char* action, const MenuFile& menu, SystemError error) {
  if (error != 0) {
    fail(action, menu, error);
  }
}

// Polls rather than blocks, so that giving up after lockPatience needs no timer on any platform. A
// lock that this run may not open yet (another user's run made it) is busy too, and opened again.
void takeLock(HeldLock& lock, const MenuFile& menu, const std::function<Opened()>& open) {
  const auto deadline = std::chrono::steady_clock::now() + lockPatience;
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
    if (std::chrono::steady_clock::now() >= deadline) {
      failBecause("edit", menu,
                  "it is busy: another process has held its lock for " +
                      std::to_string(lockPatience.count()) + " seconds");
    }
    std::this_thread::sleep_for(pause);
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

// A temporary file's name says whose it is, so that the next run can tell a killed run's leftover
// of this menu from anything else in the folder.
constexpr std::u16string_view temporaryMark = u".zelpin-";
constexpr std::size_t temporarySuffixLength = 6;
constexpr std::u16string_view suffixLetters =
    u"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

std::u16string hexText(std::uint64_t value) {
  static constexpr std::u16string_view digits = u"0123456789abcdef";
  std::u16string text;
  do {
    text.insert(text.begin(), digits[value & 15]);
    value >>= 4;
  } while (value != 0);
  return text;
}

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

// Only a run that holds the lock may do this: no other run can be writing one of them then. Where
// the menu itself is missing, a leftover may be the last whole copy of it (a rename that a file
// system does not do in one step, cut off by a crash): it is kept for the user to look at.
void removeLeftovers(const MenuFile& menu, bool menuExists) {
  const std::u16string prefix = temporaryPrefix(menu.location);
  for (const std::u16string& name : namesBeside(menu.location)) {
    if (!isTemporaryOf(name, prefix)) {
      continue;
    }
    if (!menuExists) {
      failBecause("write", menu,
                  quoted(name, "it is missing, but ") +
                      " beside it may hold its last content: look at it, then rename it to the "
                      "menu or remove it");
    }
    removeBeside(menu.location, name);
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

Opened createTemporary(const Location& location, NativeHandle model, std::u16string& name) {
  Opened created;
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = randomTemporaryName(location);
    created = createBeside(location, name, model, true);
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

std::optional<FileInfo> describeExisting(const Opened& existing, const MenuFile& menu);

// ---- The in-place save and its journal ----
//
// A menu that must keep its identity (hard links) or whose folder takes no new file is rewritten in
// place, which a crash or a kill could tear. So the new content is first made durable as a journal
// named after the file itself (device, index, birth time): in the user's state folder, which every
// name of the file leads to, else beside the menu. Then it is copied in, and the journal removed.
// A run that finds a journal of its menu under the menu's lock copies it in before it reads.

constexpr std::u16string_view journalMark = u".zelpin-journal-";
constexpr std::u16string_view partialMark = u".partial";

// The birth time tells a later file that got the same number apart from the one the journal is for.
std::u16string journalNumber(const FileInfo& info) {
  return hexText(info.device) + u"-" + (info.indexHigh != 0 ? hexText(info.indexHigh) : u"") +
         hexText(info.index) + u"-";
}

std::u16string journalName(const FileInfo& info) {
  return std::u16string(journalMark) + journalNumber(info) + hexText(info.birth);
}

struct Journal {
  const Location* folder = nullptr;
  std::u16string name;
  std::string shown;  // for the user: where it is
};

Journal journalIn(const Location& folder, const MenuFile& menu, std::u16string name) {
  const bool beside = &folder == &menu.location;
  std::string shown = beside ? quoted(name) + " beside it" : quoted(shownNameIn(folder, name));
  return Journal{&folder, std::move(name), std::move(shown)};
}

enum class Copying { ThisSave, AnInterruptedSave };

[[noreturn]] void failKeepingJournal(const MenuFile& menu, Copying copying, const Journal& journal,
                                     SystemError error) {
  const char* action = copying == Copying::ThisSave ? "write" : "finish the interrupted save of";
  failBecause(action, menu,
              describeError(error) + ": its new content is kept in " + journal.shown +
                  ", and the next run puts it in place");
}

// What a file that may not be shortened (Windows, while another program maps it) gets after the
// new content instead of the old tail: line ends only, so that no fragment of an old line is read.
SystemError blankOut(NativeHandle file, std::uint64_t length) {
  std::string blanks = length % 2 != 0 ? "\n" : "";
  while (blanks.size() < std::min<std::uint64_t>(length, 1 << 16)) {
    blanks += "\r\n";
  }
  for (std::uint64_t left = length; left > 0;) {
    const std::size_t piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(left, blanks.size()));
    if (const SystemError error = writeAll(file, std::string_view(blanks).substr(0, piece))) {
      return error;
    }
    left -= piece;
    blanks.erase(0, blanks.size() % 2);  // the odd line feed only once, first
  }
  return 0;
}

// Copies the journal into the menu, whose old content target describes, then removes the journal.
// Room is made before the first byte changes, so that a full disk stops this save while the old
// content is whole; after that a failure keeps the journal for the next run.
void copyJournalIn(const MenuFile& menu, NativeHandle target, const FileInfo& targetInfo,
                   const Journal& journal, Copying copying) {
  Opened source = openBeside(*journal.folder, journal.name);
  FileInfo sourceInfo;
  SystemError error = source.error != 0 ? source.error : describe(source.handle.get(), sourceInfo);
  if (error == 0) {
    error = reserve(target, sourceInfo.size, targetInfo.size);
  }
  if (error != 0) {
    if (copying == Copying::AnInterruptedSave) {
      failKeepingJournal(menu, copying, journal, error);
    }
    removeBeside(*journal.folder, journal.name);
    fail("write", menu, error);
  }
  auto keepOnFailure = [&](SystemError failure) {
    if (failure != 0) {
      failKeepingJournal(menu, copying, journal, failure);
    }
  };
  keepOnFailure(seekToStart(target));
  std::vector<char> buffer(1 << 16);
  for (std::size_t count = 0;;) {
    keepOnFailure(readSome(source.handle.get(), buffer.data(), buffer.size(), count));
    if (count == 0) {
      break;
    }
    keepOnFailure(writeAll(target, std::string_view(buffer.data(), count)));
  }
  const SystemError cut = setLength(target, sourceInfo.size);
  const std::uint64_t tail =
      targetInfo.size > sourceInfo.size ? targetInfo.size - sourceInfo.size : 0;
  if (cut != 0) {
    keepOnFailure(blankOut(target, tail));
  }
  keepOnFailure(flush(target));
  source.handle.reset(noHandle);
  removeBeside(*journal.folder, journal.name);
  flushFolder(*journal.folder);
  if (cut != 0) {
    failBecause("write", menu,
                describeError(cut) + ": the new menu is in place, followed by " +
                    std::to_string(tail / 2 + tail % 2) +
                    " blank lines where its old end could not be cut off");
  }
}

// Journals that name this file's device and index but another birth time were left for a file
// that is gone: they must never be copied into this one.
void removeJournalsOfGoneFiles(const Location& folder, const FileInfo& info) {
  const std::u16string prefix = std::u16string(journalMark) + journalNumber(info);
  const std::u16string own = journalName(info);
  for (const std::u16string& name : namesBeside(folder)) {
    if (name.starts_with(prefix) && !name.starts_with(own)) {
      removeBeside(folder, name);
    }
  }
}

// Makes the new content durable under the journal's name, in the first of the state folder and
// the menu's folder that takes it. False where neither does.
bool writeJournal(const MenuFile& menu, NativeHandle target, const FileInfo& info,
                  const Location& state, const ContentWriter& writeContent, Journal& journal) {
  const std::u16string name = journalName(info);
  const std::u16string partial = name + std::u16string(partialMark);
  for (const Location* folder : {&state, &menu.location}) {
    if (folder->folderError != 0) {
      continue;
    }
    removeBeside(*folder, partial);  // a killed run's: this run holds the file's lock
    Opened file = createBeside(*folder, partial, target, false);
    if (file.error != 0) {
      continue;
    }
    TemporaryFile guard(*folder, partial);
    writeContentTo(file.handle.get(), writeContent, menu);
    check("write", menu, flush(file.handle.get()));
    file.handle.reset(noHandle);
    check("write", menu, renameBeside(*folder, partial, name));
    guard.keep();
    flushFolder(*folder);
    if (folder == &state) {
      removeJournalsOfGoneFiles(state, info);
    }
    journal = journalIn(*folder, menu, name);
    return true;
  }
  return false;
}

// Without a journal (neither folder takes a new file) a crash can still tear this save.
void rewriteWithoutJournal(NativeHandle file, const FileInfo& info, const MenuFile& menu,
                           std::uint64_t size, const ContentWriter& writeContent) {
  check("write", menu, reserve(file, size, info.size));
  check("write", menu, seekToStart(file));
  writeContentTo(file, writeContent, menu);
  check("write", menu, setLength(file, size));
  check("write", menu, flush(file));
}

void rewriteInPlace(const MenuFile& menu, std::uint64_t size, const ContentWriter& writeContent) {
  const TerminationHold hold;
  const Opened file = openForWriting(menu.location);
  const std::optional<FileInfo> described = describeExisting(file, menu);
  if (!described) {
    failBecause("write", menu, "it was removed while it was being saved");
  }
  const FileInfo& info = *described;
  const Location state = openStateFolder(true);
  Journal journal;
  if (!writeJournal(menu, file.handle.get(), info, state, writeContent, journal)) {
    rewriteWithoutJournal(file.handle.get(), info, menu, size, writeContent);
    return;
  }
  copyJournalIn(menu, file.handle.get(), info, journal, Copying::ThisSave);
}

// Before a run reads its menu: a journal of this very file means a save of it stopped part-way.
// Returns whether one was copied in.
bool finishInterruptedSave(const MenuFile& menu, const FileInfo& info) {
  const Location state = openStateFolder(false);
  const std::u16string name = journalName(info);
  for (const Location* folder : {&state, &menu.location}) {
    if (folder->folderError != 0) {
      continue;
    }
    if (menu.fileLock.taken) {
      removeBeside(*folder, name + std::u16string(partialMark));  // never complete: nothing to do
    }
    Opened found = openBeside(*folder, name);
    FileInfo foundInfo;
    if (found.error != 0 || describe(found.handle.get(), foundInfo) != 0 || !foundInfo.regular) {
      continue;
    }
    // The state folder is this user's alone; the menu's may be shared with others.
    if (folder == &menu.location && !madeByThisUser(found.handle.get(), foundInfo)) {
      continue;
    }
    const Journal journal = journalIn(*folder, menu, name);
    Opened target = openForWriting(menu.location);
    if (target.error != 0) {
      failKeepingJournal(menu, Copying::AnInterruptedSave, journal, target.error);
    }
    copyJournalIn(menu, target.handle.get(), info, journal, Copying::AnInterruptedSave);
    return true;
  }
  return false;
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
  // A file that is to replace a menu is never open to more than the menu; a new menu's rights are
  // what the folder gives any new file.
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
  existing.handle.reset(noHandle);  // held no longer than needed: some renames wait on holders
  writeContentTo(temporary.handle.get(), writeContent, menu);
  check("write", menu, flush(temporary.handle.get()));
  temporary.handle.reset(noHandle);
  const SystemError renamed = renameBeside(menu.location, guard.name(), menu.location.leaf);
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
      failBecause("read", menu, "it was replaced by another file while it was being opened");
    }
    menu.fileLock = HeldLock();
    takeLock(menu.fileLock, menu, [&] { return openFileLock(file.handle.get(), info); });
    if (isAtLocation(menu, info)) {
      return file;
    }
    if (attempt == 100) {
      failBecause("read", menu, "it is replaced again and again while it is being opened");
    }
  }
}

}  // namespace

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
  if (finishInterruptedSave(menu, info)) {
    check("read", menu, describe(file.handle.get(), info));
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
  // A file this user may not write stays as it is.
  Opened existing = openToProbe(menu.location);
  const std::optional<FileInfo> info = describeExisting(existing, menu);
  if (info && info->links > 1) {
    // A rename would split the names.
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
