#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zelpin::platform {

// The few things the menu's save policy needs from the system, one small function each. The policy
// itself, the same on every platform, is in file_access.cpp. Names are UTF-16 here; each platform
// spells them its own way. A failure is the system's error number (errno, GetLastError()), and 0
// means success.

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
  std::uint64_t index = 0;
  std::uint64_t indexHigh = 0;  // Windows: the upper half of a 128-bit file id
  std::uint32_t mode = 0;       // POSIX: the permission bits; Windows: the attributes
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
  std::uint64_t created = 0;  // Windows: the creation time, to be carried over
  std::uint64_t birth = 0;    // when the file came to be, where the system keeps that; else 0
  bool sameFileAs(const FileInfo& other) const {
    return device == other.device && index == other.index && indexHigh == other.indexHigh;
  }
};

// Where a menu's content lives: the final target of any symbolic links in its name, as a folder
// and a name in it. Every file operation of a save happens there.
struct Location {
  std::u16string path;          // the menu's name, to be opened through its links by the system
  std::u16string folder;        // Windows: the folder's full name, in the \\?\ form
  std::u16string leaf;          // the file's name in folder
  Handle folderHandle;          // POSIX: the folder, opened; the base of every operation
  SystemError folderError = 0;  // why the folder could not be opened, if it could not
  std::u16string lockName;      // Windows: what the run's lock is named after
};

// Follows the symbolic links of path to where the content lives. A missing file or folder is no
// failure here; it shows when the file is opened.
Location locate(std::u16string_view path);

// The run's lock on a menu: something every run on the same menu opens alike. No handle and no
// error where the system offers none, in which case the run goes on unlocked; an error where the
// lock is there but this run may not open it yet, which counts as busy.
Opened openMenuLock(const Location& location);
// The same for one file whatever its name: a menu with hard links may be named from other folders.
Opened openFileLock(NativeHandle file, const FileInfo& info);
// What another program names the menu's lock by to take it as runs do (Windows); empty elsewhere.
std::u16string menuLockName(const Location& location);

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
// Creates a new file of this name beside the menu; fails if the name is taken. With a model (the
// menu), the new file is never open to more than the model is: on POSIX it is its owner's alone
// until copyKeptProperties, on Windows it gets the model's access rules at creation, and, where
// ownerToo, the model's owner, failing as access denied where that owner cannot be given. Without
// one it gets what the folder gives any new file.
Opened createBeside(const Location& location, std::u16string_view name, NativeHandle model,
                    bool ownerToo);
// Opens a file beside the menu to read it, not following a link of that name.
Opened openBeside(const Location& location, std::u16string_view name);

// The user's own folder for what a run keeps between runs, made first if create says so: its
// folder (and, on POSIX, folderHandle) set as for a menu's, path its name to show, no leaf.
Location openStateFolder(bool create);
// The name of a file in the folder of a state folder's Location, as a user would type it.
std::u16string shownNameIn(const Location& folder, std::u16string_view name);

SystemError describe(NativeHandle file, FileInfo& info);
// Whether the file was made by the user this run runs as (what another user leaves in a folder
// they share is not to be trusted).
bool madeByThisUser(NativeHandle file, const FileInfo& info);
// Reads up to size bytes; count 0 at the end of the file.
SystemError readSome(NativeHandle file, char* buffer, std::size_t size, std::size_t& count);
SystemError writeAll(NativeHandle file, std::string_view bytes);
SystemError seekToStart(NativeHandle file);
// Makes room for size bytes before any is written, where the system can.
SystemError reserve(NativeHandle file, std::uint64_t size, std::uint64_t currentSize);
SystemError setLength(NativeHandle file, std::uint64_t size);
SystemError flush(NativeHandle file);
// Gives the new file what the menu carries besides its content: owner, permissions, extended
// attributes and ACL, file attributes. Fails where any of it cannot be given.
SystemError copyKeptProperties(NativeHandle menu, const FileInfo& menuInfo, NativeHandle file);

// Renames one file beside the menu over another, in one step.
SystemError renameBeside(const Location& location, std::u16string_view from,
                         std::u16string_view to);
SystemError removeBeside(const Location& location, std::u16string_view name);
std::vector<std::u16string> namesBeside(const Location& location);
void flushFolder(const Location& location);

// How long a name is by the measure of the system's limit: bytes on POSIX, UTF-16 units on Windows.
std::size_t nameLength(std::u16string_view name);

bool isMissing(SystemError error);
bool isAccessDenied(SystemError error);
bool isNameTaken(SystemError error);
// The folder lets this user write the menu but not replace it (a sticky folder), or the menu is
// a mount point of its own (a single file bound into a container).
bool refusesRename(SystemError error);
std::string describeError(SystemError error);

// The signals that ask a process to end are held back while a temporary file exists, so that it
// is removed before the process ends. Returns what to hand to releaseTerminationSignals.
int holdTerminationSignals();
void releaseTerminationSignals(int held);

}  // namespace zelpin::platform
