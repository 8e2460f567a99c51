#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zelpin::platform {

// The few things the menu's save policy needs from the system, one small function each. The policy
// itself, the same on every platform, is written once above this seam (doc/design.md). Names are
// UTF-16 here; each platform spells them its own way. A failure is the system's error number
// (errno, GetLastError()), and 0 means success.

using SystemError = std::uint32_t;
using NativeHandle = std::intptr_t;           // a descriptor, or a HANDLE
inline constexpr NativeHandle noHandle = -1;  // as INVALID_HANDLE_VALUE is

void closeHandle(NativeHandle handle);

// A short stand-in for a name too long or too odd to use whole (64-bit FNV-1a of its units).
inline std::uint64_t nameHash(std::u16string_view name) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char16_t unit : name) {
    hash = (hash ^ unit) * 1099511628211ull;
  }
  return hash;
}

// Owns one handle and closes it when it goes out of scope.
class Handle {
 public:
  Handle() = default;
  explicit Handle(NativeHandle handle) : handle_(handle) {}
  Handle(Handle&& other) noexcept : handle_(other.release()) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }
  ~Handle() { reset(noHandle); }
  NativeHandle get() const { return handle_; }
  bool isOpen() const { return handle_ != noHandle; }
  NativeHandle release() {
    const NativeHandle handle = handle_;
    handle_ = noHandle;
    return handle;
  }
  void reset(NativeHandle handle) {
    if (handle_ != noHandle) {
      closeHandle(handle_);
    }
    handle_ = handle;
  }

 private:
  NativeHandle handle_ = noHandle;
};

// A handle, or the reason there is none.
struct Opened {
  Handle handle;
  SystemError error = 0;
};

// What the file system tells of an open file. device and index together name the file itself,
// whichever of its names was opened.
struct FileInfo {
  bool regular = false;  // not a folder, a device, a FIFO or a socket
  std::uint64_t size = 0;
  std::uint32_t links = 0;
  std::uint64_t device = 0;
  // The file system, by a number that outlasts the system's numbering of its drives (a replug, the
  // next reboot), where the system gives one; else the device. Told of an open file only.
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  std::uint64_t indexHigh = 0;  // Windows: the upper half of a 128-bit file id
  std::uint32_t mode = 0;       // POSIX: the permission bits; Windows: the attributes
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
  std::uint64_t created = 0;  // Windows: the creation time, to be carried over
  std::uint64_t birth = 0;    // when the file came to be, where the system keeps that; else 0
  std::int64_t modified = 0;  // the last change of content, in nanoseconds since 1970
  // Whether device and index name the file: some network redirectors give every file the id 0,
  // or another id at each open.
  bool identified = true;
  // Where either file has no name of its own, nothing tells them apart: they count as one.
  bool sameFileAs(const FileInfo& other) const {
    return !identified || !other.identified ||
           (device == other.device && index == other.index && indexHigh == other.indexHigh);
  }
};

// Where a menu's content lives: the final target of any symbolic links in its name, as a folder
// and a name in it. Every file operation of a save happens there.
struct Location {
  std::u16string path;          // the menu's name, to be opened through its links by the system
  std::u16string folder;        // the folder's name (Windows: its full name, in the \\?\ form)
  std::u16string leaf;          // the file's name in folder
  Handle folderHandle;          // POSIX: the folder, opened; the base of every operation
  SystemError folderError = 0;  // why the folder could not be opened, if it could not
  std::u16string lockName;      // Windows: what the run's lock is named after
};

// Follows the symbolic links of path to where the content lives. A missing file or folder is no
// failure here; it shows when the file is opened.
Location locate(std::u16string_view path);

// The run's lock on a menu: something every run on the same menu opens alike, whatever it calls the
// menu, and that no save replaces. POSIX: the menu's folder, which this machine's runs share.
// Windows: the file named companion beside the menu, made (hidden) where it is missing, whose lock
// a file server keeps for every machine. No handle and no error where the system offers none, in
// which case the run goes on without it; an error where the lock is there but this run may not
// open it yet, which counts as busy.
Opened openMenuLock(const Location& location, std::u16string_view companion);
// The same for one file whatever its name: a menu with hard links may be named from other folders.
Opened openFileLock(NativeHandle file, const FileInfo& info);

enum class LockAttempt { Taken, Busy, Unavailable };
LockAttempt tryLock(NativeHandle lock);
void unlock(NativeHandle lock);

// Opens the menu by its name, through its links as the system follows them (and refuses to), to
// read it without waiting on whatever may be at the other end (a FIFO, a device): the caller
// checks what was opened before reading from it.
Opened openForReading(const Location& location);
// What lies at the location itself, not following a link there.
SystemError describeLocation(const Location& location, FileInfo& info);
// Opens the existing menu to learn whether this user may write it, and what it carries, without
// keeping readers out (as a handle open for writing does on Windows); fails where it may not be
// written.
Opened openToProbe(const Location& location);
// Opens the existing menu for writing, without truncating it.
Opened openForWriting(const Location& location);
// Opens for writing the very file a probe is open to, without looking its name up again: the
// caller has just checked that the name still gives it.
Opened reopenForWriting(NativeHandle probe);
// How a new file is made. With a model (the menu), it is never open to more than the model is: on
// POSIX it is its owner's alone until copyKeptProperties, on Windows it gets the model's access
// rules and encryption at creation, and, where ownerToo, the model's owner, failing as access
// denied where that owner cannot be given. Without one it gets what the folder gives any new file.
// durable: its name is to outlast a power cut once flushFolder has returned. private: this user's
// alone (on Windows, where files take their folder's rules, a private folder's file is so already).
struct NewFile {
  NativeHandle model = noHandle;
  bool ownerToo = false;
  bool durable = false;
  bool isPrivate = false;
};
// Creates a new file of this name beside the menu; fails if the name is taken.
Opened createBeside(const Location& location, std::u16string_view name, const NewFile& how);
// Opens a file beside the menu to read it, not following a link of that name.
Opened openBeside(const Location& location, std::u16string_view name);

// The user's own folder for what a run keeps between runs, made first if create says so (only
// inside what is this user's already, and durable: its name outlasts a power cut): its folder
// (and, on POSIX, folderHandle) set as for a menu's, path its name to show, no leaf. Unusable
// (folderError) unless it is this user's alone.
Location openStateFolder(bool create);
// The name of a file in the folder of a state folder's Location, as a user would type it.
std::u16string shownNameIn(const Location& folder, std::u16string_view name);
// The menu's whole name, after every link, for a record to say where its file lay.
std::u16string fullNameOf(const Location& location);
// Whether no other user may add, rename or remove files in the location's folder (or only their
// own, as in a sticky folder): what lies there under this user's name is then this user's doing.
bool keepsOthersOut(const Location& location);

SystemError describe(NativeHandle file, FileInfo& info);
// Whether the file was made by the user this run runs as (what another user leaves in a folder
// they share is not to be trusted).
bool madeByThisUser(NativeHandle file, const FileInfo& info);
// Reads up to size bytes; count 0 at the end of the file.
SystemError readSome(NativeHandle file, char* buffer, std::size_t size, std::size_t& count);
SystemError writeAll(NativeHandle file, std::string_view bytes);
SystemError seekTo(NativeHandle file, std::uint64_t offset);
// Makes room for size bytes before any is written, where the system can, without changing the
// file's length or content, also where it fails.
SystemError reserve(NativeHandle file, std::uint64_t size, std::uint64_t currentSize);
SystemError setLength(NativeHandle file, std::uint64_t size);
// Makes what was written durable: on the disk, not only handed to the system.
SystemError flush(NativeHandle file);
// The file system cannot make anything durable (flush fails so on every file).
bool isSyncUnsupported(SystemError error);
// Gives the new file what the menu carries besides its content: owner, permissions, extended
// attributes and ACL, file attributes. Fails where any of it cannot be given.
SystemError copyKeptProperties(NativeHandle menu, const FileInfo& menuInfo, NativeHandle file);

// Renames one file beside the menu over another, in one step.
SystemError renameBeside(const Location& location, std::u16string_view from,
                         std::u16string_view to);
// Whether the menu may be renamed over (deleted) by this user: where it may not, a rename would
// leave a temporary file that cannot be removed either.
SystemError probeRename(const Location& location);
// Makes a file of this user's readable and writable by this user alone.
SystemError makePrivate(const Location& location, std::u16string_view name);
SystemError removeBeside(const Location& location, std::u16string_view name);
std::vector<std::u16string> namesBeside(const Location& location);
// Makes the names created, renamed or removed in the folder durable.
SystemError flushFolder(const Location& location);

// How long a name is by the measure of the system's limit: bytes on POSIX, UTF-16 units on Windows.
std::size_t nameLength(std::u16string_view name);

bool isMissing(SystemError error);
bool isAccessDenied(SystemError error);
bool isNameTaken(SystemError error);
// The folder lets this user write the menu but not replace it (a sticky folder), or the menu is
// a mount point of its own (a single file bound into a container).
bool refusesRename(SystemError error);
std::string describeError(SystemError error);

// Time and chance, behind the same seam as the files, so that a test can run a save on a clock of
// its own. Nanoseconds: since 1970 for the wall clock, since any fixed moment for the steady one.
std::int64_t wallClock();
std::int64_t steadyClock();
void sleepFor(std::int64_t nanoseconds);
std::uint32_t randomNumber();

// The signals that ask a process to end are held back while a temporary file exists, so that it
// is removed before the process ends. Returns what to hand to releaseTerminationSignals.
int holdTerminationSignals();
void releaseTerminationSignals(int held);

}  // namespace zelpin::platform
