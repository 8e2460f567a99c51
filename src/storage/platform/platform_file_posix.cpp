#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "storage/conversion.h"
#include "storage/platform/platform_file.h"

namespace zelpin::platform {
namespace {

// File names are byte strings here; the wide name is spelled in UTF-8.
std::string nativeName(std::u16string_view name) {
  return encodeLine(name, false);
}

int fd(NativeHandle handle) {
  return static_cast<int>(handle);
}

SystemError lastError() {
  return static_cast<SystemError>(errno);
}

SystemError resultOf(int result) {
  return result == 0 ? 0 : lastError();
}

std::string folderOf(const std::string& name) {
  const std::size_t slash = name.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : name.substr(0, slash);
}

std::string leafOf(const std::string& name) {
  const std::size_t slash = name.rfind('/');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

bool readLink(const std::string& name, std::string& target) {
  target.assign(256, '\0');
  for (;;) {
    const ssize_t length = ::readlink(name.c_str(), target.data(), target.size());
    if (length < 0) {
      return false;
    }
    if (static_cast<std::size_t>(length) < target.size()) {
      target.resize(static_cast<std::size_t>(length));
      return true;
    }
    target.resize(target.size() * 2);
  }
}

// The save replaces the file a chain of symbolic links ends at, so that the links stay links.
std::string followLinks(std::string name) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    std::string target;
    if (::lstat(name.c_str(), &info) != 0 || !S_ISLNK(info.st_mode) || !readLink(name, target)) {
      return name;
    }
    name = target.starts_with('/') ? target : folderOf(name) + "/" + target;
  }
  return name;  // a loop; opening it fails with ELOOP
}

Opened opened(int descriptor) {
  Opened result;
  if (descriptor < 0) {
    result.error = lastError();
  } else {
    result.handle.reset(descriptor);
  }
  return result;
}

Opened openAt(const Location& location, const std::string& name, int flags, mode_t mode = 0) {
  if (!location.folderHandle.isOpen()) {
    Opened failed;
    failed.error = location.folderError;
    return failed;
  }
  return opened(::openat(fd(location.folderHandle.get()), name.c_str(), flags | O_CLOEXEC, mode));
}

// What both kinds of status tell alike.
template <typename Mode, typename Size>
FileInfo basicInfo(Mode mode, Size size, std::uint64_t links, std::uint64_t device,
                   std::uint64_t index, std::uint32_t owner, std::uint32_t group,
                   std::int64_t modified) {
  FileInfo info;
  info.regular = S_ISREG(mode);
  info.size = info.regular ? static_cast<std::uint64_t>(size) : 0;
  info.links = static_cast<std::uint32_t>(links);
  info.device = device;
  info.index = index;
  info.mode = static_cast<std::uint32_t>(mode & 07777);
  info.owner = owner;
  info.group = group;
  info.modified = modified;
  return info;
}

std::int64_t nanoseconds(std::int64_t seconds, std::int64_t fraction) {
  return seconds * 1000000000 + fraction;
}

// The status alone, as statx or fstatat gives it.
SystemError describeBasic(int folder, const char* name, int flags, FileInfo& info) {
#ifdef STATX_BTIME
  struct statx extended {};
  if (::statx(folder, name, flags, STATX_BASIC_STATS | STATX_BTIME, &extended) == 0) {
    info = basicInfo(extended.stx_mode, extended.stx_size, extended.stx_nlink,
                     makedev(extended.stx_dev_major, extended.stx_dev_minor), extended.stx_ino,
                     extended.stx_uid, extended.stx_gid,
                     nanoseconds(extended.stx_mtime.tv_sec, extended.stx_mtime.tv_nsec));
    if ((extended.stx_mask & STATX_BTIME) != 0) {
      info.birth = static_cast<std::uint64_t>(extended.stx_btime.tv_sec) * 1000000000u +
                   extended.stx_btime.tv_nsec;
    }
    return 0;
  }
  if (errno != ENOSYS && errno != EPERM) {  // EPERM: a sandbox that filters statx out
    return lastError();
  }
#endif
  struct stat status {};
  if (::fstatat(folder, name, &status, flags) != 0) {
    return lastError();
  }
  info = basicInfo(status.st_mode, status.st_size, status.st_nlink, status.st_dev, status.st_ino,
                   status.st_uid, status.st_gid,
                   nanoseconds(status.st_mtim.tv_sec, status.st_mtim.tv_nsec));
  return 0;
}

// Most file systems give an id made from their UUID, which outlasts the number of the device
// they are on; where one gives none, the device has to do.
std::uint64_t volumeOf(int descriptor, std::uint64_t device) {
  struct statfs status {};
  std::uint64_t id = 0;
  if (::fstatfs(descriptor, &status) == 0) {
    static_assert(sizeof status.f_fsid == sizeof id);
    std::memcpy(&id, &status.f_fsid, sizeof id);
  }
  return id != 0 ? id : device;
}

// fstatat, with the birth time where the system keeps one: a file's device and inode number
// name it only until it is removed, the birth time tells a later file with the same number apart.
SystemError describeAt(int folder, const char* name, int flags, FileInfo& info) {
  return describeBasic(folder, name, flags, info);
}

// The names of a file's extended attributes; a file system without them has none.
bool attributeNames(int file, std::vector<std::string>& names) {
  names.clear();
  std::string list;
  for (;;) {
    const ssize_t size = ::flistxattr(file, nullptr, 0);
    if (size < 0) {
      return errno == ENOTSUP;
    }
    list.resize(static_cast<std::size_t>(size));
    const ssize_t got = ::flistxattr(file, list.data(), list.size());
    if (got >= 0) {
      list.resize(static_cast<std::size_t>(got));
      break;
    }
    if (errno != ERANGE) {
      return false;
    }
  }
  for (std::size_t start = 0; start < list.size();) {
    const std::size_t end = list.find('\0', start);
    names.push_back(list.substr(start, end - start));
    start = end == std::string::npos ? list.size() : end + 1;
  }
  return true;
}

bool copyAttribute(int from, int to, const std::string& name) {
  std::string value;
  for (;;) {
    const ssize_t size = ::fgetxattr(from, name.c_str(), nullptr, 0);
    if (size < 0) {
      return false;
    }
    value.resize(static_cast<std::size_t>(size));
    const ssize_t got = ::fgetxattr(from, name.c_str(), value.data(), value.size());
    if (got >= 0) {
      value.resize(static_cast<std::size_t>(got));
      break;
    }
    if (errno != ERANGE) {
      return false;
    }
  }
  return ::fsetxattr(to, name.c_str(), value.data(), value.size(), 0) == 0;
}

// Makes the new file's extended attributes (the ACL among them) those of the menu: copies the
// menu's and drops any the new file got from its folder (a default ACL) that the menu lacks.
SystemError copyAttributes(int menu, int file) {
  std::vector<std::string> kept;
  std::vector<std::string> given;
  if (!attributeNames(menu, kept) || !attributeNames(file, given)) {
    return lastError();
  }
  for (const std::string& name : given) {
    if (std::find(kept.begin(), kept.end(), name) == kept.end() &&
        ::fremovexattr(file, name.c_str()) != 0) {
      return lastError();
    }
  }
  for (const std::string& name : kept) {
    if (!copyAttribute(menu, file, name)) {
      return lastError();
    }
  }
  return 0;
}

}  // namespace

void closeHandle(NativeHandle handle) {
  ::close(fd(handle));
}

Location locate(std::u16string_view path) {
  const std::string name = followLinks(nativeName(path));
  Location location;
  location.path = path;
  location.leaf = decodeUtf8(leafOf(name));
  if (location.leaf.empty()) {
    location.folderError = ENOENT;
    return location;
  }
  const std::string folder = folderOf(name);
  try {
    location.folder = decodeUtf8(folder);
  } catch (const ConversionError&) {
    // a folder name that is no UTF-8 is still opened by its bytes; only records lack it
  }
  int descriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#ifdef O_PATH
  if (descriptor < 0 && errno == EACCES) {
    // A folder this user may pass through but not list still serves as a base; it takes no lock.
    descriptor = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
#endif
  if (descriptor < 0) {
    location.folderError = lastError();
  } else {
    location.folderHandle.reset(descriptor);
  }
  return location;
}

// A copy of a descriptor to lock through, or none (an error here only means no lock to be had).
Opened lockThrough(int descriptor) {
  Opened lock;
  const int copy = descriptor < 0 ? -1 : ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
  lock.handle.reset(copy < 0 ? noHandle : copy);
  return lock;
}

// The folder, not the file: the file is replaced by every save, and may not exist yet.
Opened openMenuLock(const Location& location, std::u16string_view) {
  return lockThrough(location.folderHandle.isOpen() ? fd(location.folderHandle.get()) : -1);
}

// The lock belongs to the open file, so it outlives the reading descriptor through this copy.
Opened openFileLock(NativeHandle file, const FileInfo&) {
  return lockThrough(fd(file));
}

LockAttempt tryLock(NativeHandle lock) {
  while (::flock(fd(lock), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      return LockAttempt::Busy;
    }
    if (errno != EINTR) {
      return LockAttempt::Unavailable;  // an O_PATH folder, a file system without locks
    }
  }
  return LockAttempt::Taken;
}

void unlock(NativeHandle lock) {
  ::flock(fd(lock), LOCK_UN);
}

Opened openForReading(const Location& location) {
  // Without O_NONBLOCK, opening a FIFO waits for a writer.
  Opened file =
      opened(::open(nativeName(location.path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (file.error == 0) {
    const int flags = ::fcntl(fd(file.handle.get()), F_GETFL);
    if (flags < 0 || ::fcntl(fd(file.handle.get()), F_SETFL, flags & ~O_NONBLOCK) != 0) {
      file.error = lastError();
      file.handle.reset(noHandle);
    }
  }
  return file;
}

Opened openForWriting(const Location& location) {
  return openAt(location, nativeName(location.leaf), O_WRONLY | O_NONBLOCK);
}

// Opening for writing keeps no reader out here.
Opened openToProbe(const Location& location) {
  return openForWriting(location);
}

// The probe is open for writing already.
Opened reopenForWriting(NativeHandle probe) {
  Opened result;
  const int copy = ::fcntl(fd(probe), F_DUPFD_CLOEXEC, 0);
  if (copy < 0) {
    result.error = errno;
  } else {
    result.handle.reset(copy);
  }
  return result;
}

Opened createBeside(const Location& location, std::u16string_view name, const NewFile& how) {
  // 0666: the umask and a default ACL of the folder apply as to any new file. 0600 leaves nobody
  // else a moment to open it before it has the rights it is to have.
  const mode_t mode = how.model != noHandle || how.isPrivate ? 0600 : 0666;
  return openAt(location, nativeName(name), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
}

Opened openBeside(const Location& location, std::u16string_view name) {
  return openAt(location, nativeName(name), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
}

namespace {

bool isThisUsers(const struct stat& status) {
  return status.st_uid == ::geteuid();
}

// A new folder's name outlasts a power cut only once the folder that holds it is flushed: a
// journal made durable inside would otherwise be lost with the folder itself.
SystemError flushParentOf(const std::string& level) {
  const Handle parent(::open(folderOf(level).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parent.isOpen()) {
    return lastError();
  }
  const SystemError error = resultOf(::fsync(fd(parent.get())));
  return error == EINVAL || error == ENOTSUP ? 0 : error;
}

// Made a level at a time below the deepest folder that exists, and only where that one is this
// user's: root with another user's HOME (as sudo keeps it) leaves nothing of root's in that home.
SystemError makeStateFolder(const std::string& folder) {
  std::size_t existing = folder.size();
  struct stat status {};
  while (::stat(folder.substr(0, existing).c_str(), &status) != 0) {
    if (errno != ENOENT) {
      return lastError();
    }
    existing = folder.rfind('/', existing - 1);
    if (existing == 0 || existing == std::string::npos) {
      return ENOENT;
    }
  }
  if (existing == folder.size()) {
    return 0;
  }
  if (!S_ISDIR(status.st_mode) || !isThisUsers(status)) {
    return EACCES;
  }
  for (std::size_t slash = folder.find('/', existing + 1);; slash = folder.find('/', slash + 1)) {
    const std::string level = folder.substr(0, slash);
    if (::mkdir(level.c_str(), 0700) != 0) {
      if (errno != EEXIST) {
        return lastError();
      }
    } else if (const SystemError error = flushParentOf(level)) {
      return error;
    }
    if (slash == std::string::npos) {
      return 0;
    }
  }
}

// Empty where the user says nothing of their home: no guess at a folder to litter.
std::string stateFolderName() {
  std::string folder;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && state[0] == '/') {
    folder = state;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    folder = std::string(home) + "/.local/state";
  } else {
    return folder;
  }
  while (folder.size() > 1 && folder.back() == '/') {
    folder.pop_back();
  }
  return folder + "/zelpin";
}

}  // namespace

Location openStateFolder(bool create) {
  Location location;
  location.folderError = ENOENT;
  const std::string folder = stateFolderName();
  if (folder.empty()) {
    return location;
  }
  try {
    location.path = decodeUtf8(folder);
  } catch (const ConversionError&) {
    return location;
  }
  location.folder = location.path;
  if (create) {
    if (const SystemError error = makeStateFolder(folder)) {
      location.folderError = error;
      return location;
    }
  }
  Handle opened(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!opened.isOpen()) {
    location.folderError = lastError();
    return location;
  }
  // What lies there is copied into menus and holds what menus held: it must be this user's (not a
  // home that sudo kept) and no one else's to write; being zelpin's own, it is closed to readers
  // too.
  struct stat status {};
  if (::fstat(fd(opened.get()), &status) != 0 || !isThisUsers(status) ||
      (status.st_mode & 022) != 0 ||
      ((status.st_mode & 077) != 0 && ::fchmod(fd(opened.get()), 0700) != 0)) {
    location.folderError = EACCES;
    return location;
  }
  location.folderHandle = std::move(opened);
  location.folderError = 0;
  return location;
}

std::u16string shownNameIn(const Location& folder, std::u16string_view name) {
  return folder.path + u"/" + std::u16string(name);
}

// The open folder's own name, where the system tells it (Linux, in one call), else its name's
// links resolved.
std::u16string fullNameOf(const Location& location) {
  std::string folder;
  if (!location.folderHandle.isOpen() ||
      !readLink("/proc/self/fd/" + std::to_string(fd(location.folderHandle.get())), folder) ||
      !folder.starts_with('/')) {
    const std::unique_ptr<char, decltype(&std::free)> resolved(
        ::realpath(nativeName(location.folder).c_str(), nullptr), &std::free);
    folder = resolved != nullptr ? resolved.get() : nativeName(location.folder);
  }
  try {
    return decodeUtf8(folder) + (folder == "/" ? u"" : u"/") + location.leaf;
  } catch (const ConversionError&) {
    return location.folder + u"/" + location.leaf;
  }
}

// The folder's owner (or root) alone may write it, or it is sticky, where others may not rename
// or remove what is this user's.
bool keepsOthersOut(const Location& location) {
  struct stat status {};
  if (!location.folderHandle.isOpen() || ::fstat(fd(location.folderHandle.get()), &status) != 0) {
    return false;
  }
  const bool ownedHere = status.st_uid == ::geteuid() || status.st_uid == 0;
  return ownedHere && ((status.st_mode & 022) == 0 || (status.st_mode & S_ISVTX) != 0);
}

SystemError describe(NativeHandle file, FileInfo& info) {
  const SystemError error = describeAt(fd(file), "", AT_EMPTY_PATH, info);
  if (error == 0) {
    info.volume = volumeOf(fd(file), info.device);
  }
  return error;
}

bool madeByThisUser(NativeHandle, const FileInfo& info) {
  return info.owner == ::geteuid();
}

SystemError describeLocation(const Location& location, FileInfo& info) {
  if (!location.folderHandle.isOpen()) {
    return location.folderError;
  }
  return describeAt(fd(location.folderHandle.get()), nativeName(location.leaf).c_str(),
                    AT_SYMLINK_NOFOLLOW, info);
}

SystemError readSome(NativeHandle file, char* buffer, std::size_t size, std::size_t& count) {
  for (;;) {
    const ssize_t result = ::read(fd(file), buffer, size);
    if (result >= 0) {
      count = static_cast<std::size_t>(result);
      return 0;
    }
    if (errno != EINTR) {
      return lastError();
    }
  }
}

SystemError writeAll(NativeHandle file, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t count = ::write(fd(file), bytes.data(), bytes.size());
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      return lastError();
    }
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return 0;
}

SystemError seekTo(NativeHandle file, std::uint64_t offset) {
  const off_t position = static_cast<off_t>(offset);
  return ::lseek(fd(file), position, SEEK_SET) == position ? 0 : lastError();
}

SystemError reserve(NativeHandle file, std::uint64_t size, std::uint64_t currentSize) {
  if (size <= currentSize) {
    return 0;
  }
  // A room kept past the end is not weighed against the process's file size limit; the writes are.
  rlimit limit{};
  if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      size > limit.rlim_cur) {
    return EFBIG;
  }
#ifdef FALLOC_FL_KEEP_SIZE
  // Blocks past the end, the length untouched: a full disk changes nothing that a reader sees.
  if (::fallocate(fd(file), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0) {
    return 0;
  }
  if (errno != EOPNOTSUPP && errno != ENOSYS) {
    return lastError();
  }
#endif
  // posix_fallocate may grow the file even where it fails: the old length is put back then.
  const int error = ::posix_fallocate(fd(file), 0, static_cast<off_t>(size));
  if (error == 0 || error == EOPNOTSUPP || error == EINVAL || error == ENODEV) {
    return 0;
  }
  ::ftruncate(fd(file), static_cast<off_t>(currentSize));
  return static_cast<SystemError>(error);
}

SystemError setLength(NativeHandle file, std::uint64_t size) {
  return resultOf(::ftruncate(fd(file), static_cast<off_t>(size)));
}

SystemError flush(NativeHandle file) {
  return resultOf(::fsync(fd(file)));
}

SystemError copyKeptProperties(NativeHandle menu, const FileInfo& menuInfo, NativeHandle file) {
  // Only root may give a file away; anyone else keeps the menu only where it is theirs already.
  struct stat status {};
  if (::fchown(fd(file), menuInfo.owner, menuInfo.group) != 0 || ::fstat(fd(file), &status) != 0) {
    return lastError();
  }
  if (status.st_uid != menuInfo.owner || status.st_gid != menuInfo.group) {
    return EPERM;
  }
  if (::fchmod(fd(file), static_cast<mode_t>(menuInfo.mode)) != 0) {
    return lastError();
  }
  return copyAttributes(fd(menu), fd(file));
}

SystemError renameBeside(const Location& location, std::u16string_view from,
                         std::u16string_view to) {
  const int folder = fd(location.folderHandle.get());
  return resultOf(::renameat(folder, nativeName(from).c_str(), folder, nativeName(to).c_str()));
}

// Here the rename's own answer tells (a sticky folder refuses it), and a refused one leaves a
// temporary file that this user may still remove.
SystemError probeRename(const Location&) {
  return 0;
}

SystemError makePrivate(const Location& location, std::u16string_view name) {
  return resultOf(::fchmodat(fd(location.folderHandle.get()), nativeName(name).c_str(), 0600, 0));
}

SystemError removeBeside(const Location& location, std::u16string_view name) {
  return resultOf(::unlinkat(fd(location.folderHandle.get()), nativeName(name).c_str(), 0));
}

std::vector<std::u16string> namesBeside(const Location& location) {
  std::vector<std::u16string> names;
  const int descriptor =
      ::openat(fd(location.folderHandle.get()), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) {
    return names;
  }
  DIR* folder = ::fdopendir(descriptor);
  if (folder == nullptr) {
    ::close(descriptor);
    return names;
  }
  while (const dirent* entry = ::readdir(folder)) {
    try {
      names.push_back(decodeUtf8(entry->d_name));
    } catch (const ConversionError&) {
      // not a name this program makes
    }
  }
  ::closedir(folder);
  return names;
}

SystemError flushFolder(const Location& location) {
  return resultOf(::fsync(fd(location.folderHandle.get())));
}

std::size_t nameLength(std::u16string_view name) {
  return nativeName(name).size();
}

int holdTerminationSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  sigset_t before;
  ::sigprocmask(SIG_BLOCK, &signals, &before);
  // Those that were held back already stay so.
  return (sigismember(&before, SIGINT) ? 1 : 0) | (sigismember(&before, SIGTERM) ? 2 : 0) |
         (sigismember(&before, SIGHUP) ? 4 : 0);
}

void releaseTerminationSignals(int held) {
  sigset_t signals;
  sigemptyset(&signals);
  if ((held & 1) == 0) {
    sigaddset(&signals, SIGINT);
  }
  if ((held & 2) == 0) {
    sigaddset(&signals, SIGTERM);
  }
  if ((held & 4) == 0) {
    sigaddset(&signals, SIGHUP);
  }
  // A signal that came meanwhile ends the process here, with the temporary file gone.
  ::sigprocmask(SIG_UNBLOCK, &signals, nullptr);
}

}  // namespace zelpin::platform
