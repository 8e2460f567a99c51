#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "storage/conversion.h"
#include "storage/file_access.h"
#include "storage/file_error.h"

namespace zelpin {
namespace {

// Closes the descriptor it holds when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  int get() const { return fd_; }
  bool isOpen() const { return fd_ >= 0; }
  // Closes now, so that a failing close can be reported.
  int close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

// Removes the temporary file on every way out but a successful rename.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string name) : name_(std::move(name)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!name_.empty()) {
      ::unlink(name_.c_str());
    }
  }
  const std::string& name() const { return name_; }
  void keep() { name_.clear(); }

 private:
  std::string name_;
};

[[noreturn]] void fail(const char* action, const std::string& name, int error) {
  throw FileError(std::string("cannot ") + action + " '" + name + "': " + std::strerror(error));
}

// File names are byte strings here; the wide name is spelled in UTF-8.
std::string nativeName(std::u16string_view path) {
  return encodeLine(path, false);
}

std::string folderOf(const std::string& name) {
  const std::size_t slash = name.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : name.substr(0, slash);
}

std::string readLink(const std::string& name) {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t length = ::readlink(name.c_str(), target.data(), target.size());
    if (length < 0) {
      fail("read the link", name, errno);
    }
    if (static_cast<std::size_t>(length) < target.size()) {
      target.resize(static_cast<std::size_t>(length));
      return target;
    }
    target.resize(target.size() * 2);
  }
}

// The save replaces the file a chain of symbolic links ends at, so the links stay links.
std::string followLinks(std::string name) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (::lstat(name.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      return name;
    }
    const std::string target = readLink(name);
    name = target.starts_with('/') ? target : folderOf(name) + "/" + target;
  }
  return name;  // a loop; opening it fails with ELOOP
}

void writeAll(int fd, std::string_view content, const std::string& name) {
  std::size_t written = 0;
  while (written < content.size()) {
    const ssize_t count = ::write(fd, content.data() + written, content.size() - written);
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      fail("write", name, errno);
    }
    written += static_cast<std::size_t>(count);
  }
}

void writeContentTo(int fd, const ContentWriter& writeContent, const std::string& name) {
  writeContent([&](std::string_view piece) { writeAll(fd, piece, name); });
}

// For files that must keep their identity (hard links, devices) or whose folder takes no new files.
// The space is reserved before the first byte changes, so a full disk or a file size limit stops
// the save while the old content is still whole.
void rewriteInPlace(Descriptor& file, const std::string& name, std::uint64_t size,
                    const ContentWriter& writeContent) {
  if (size != 0) {
    const int error = ::posix_fallocate(file.get(), 0, static_cast<off_t>(size));
    if (error != 0 && error != EOPNOTSUPP && error != EINVAL && error != ENODEV) {
      fail("write", name, error);
    }
  }
  if (::lseek(file.get(), 0, SEEK_SET) != 0) {
    fail("write", name, errno);
  }
  writeContentTo(file.get(), writeContent, name);
  if (::ftruncate(file.get(), static_cast<off_t>(size)) != 0) {
    fail("write", name, errno);
  }
  if (::fsync(file.get()) != 0 && errno != EINVAL) {
    fail("write", name, errno);
  }
  if (file.close() != 0) {
    fail("write", name, errno);
  }
}

mode_t modeForNewFile() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

// Best effort: the content is already in place once the rename is done.
void flushFolder(const std::string& folder) {
  Descriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.isOpen()) {
    ::fsync(directory.get());
  }
}

}  // namespace

void readFileChunks(std::u16string_view path, const std::function<void(std::uint64_t size)>& onOpen,
                    const std::function<void(std::string_view chunk)>& onChunk) {
  const std::string name = nativeName(path);
  Descriptor file(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.isOpen()) {
    if (errno == ENOENT) {
      return;
    }
    fail("read", name, errno);
  }
  struct stat status {};
  onOpen(::fstat(file.get(), &status) == 0 && S_ISREG(status.st_mode)
             ? static_cast<std::uint64_t>(status.st_size)
             : 0);
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t count = ::read(file.get(), buffer.data(), buffer.size());
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      fail("read", name, errno);
    }
    if (count == 0) {
      return;
    }
    onChunk(std::string_view(buffer.data(), static_cast<std::size_t>(count)));
  }
}

void replaceFileContent(std::u16string_view path, std::uint64_t size,
                        const ContentWriter& writeContent) {
  const std::string name = followLinks(nativeName(path));

  // Probe without truncating: a file this user may not write stays as it is.
  Descriptor existing(::open(name.c_str(), O_WRONLY | O_CLOEXEC));
  struct stat info {};
  if (!existing.isOpen()) {
    if (errno != ENOENT) {
      fail("write", name, errno);
    }
  } else if (::fstat(existing.get(), &info) != 0) {
    fail("write", name, errno);
  } else if (info.st_nlink > 1 || !S_ISREG(info.st_mode)) {
    // A rename would split the names or drop the device.
    rewriteInPlace(existing, name, size, writeContent);
    return;
  }

  const std::string folder = folderOf(name);
  std::string pattern = folder + "/.zelpin-XXXXXX";
  Descriptor temporary(::mkostemp(pattern.data(), O_CLOEXEC));
  if (!temporary.isOpen()) {
    if ((errno == EACCES || errno == EPERM) && existing.isOpen()) {
      rewriteInPlace(existing, name, size, writeContent);
      return;
    }
    fail("write", name, errno);
  }
  TemporaryFile guard(pattern);

  if (existing.isOpen()) {
    // Only root may hand the file back to its owner; for everyone else it is theirs already.
    [[maybe_unused]] const int ignored = ::fchown(temporary.get(), info.st_uid, info.st_gid);
  }
  const mode_t mode = existing.isOpen() ? (info.st_mode & 07777) : modeForNewFile();
  if (::fchmod(temporary.get(), mode) != 0) {
    fail("write", guard.name(), errno);
  }
  writeContentTo(temporary.get(), writeContent, guard.name());
  if (::fsync(temporary.get()) != 0 || temporary.close() != 0) {
    fail("write", guard.name(), errno);
  }
  if (::rename(guard.name().c_str(), name.c_str()) != 0) {
    fail("write", name, errno);
  }
  guard.keep();
  flushFolder(folder);
}

}  // namespace zelpin
