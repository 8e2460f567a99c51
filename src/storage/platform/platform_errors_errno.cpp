// What the system's error numbers mean to the save, where they are errno values: on POSIX, and in
// the tests' file system in memory, which answers as POSIX does.
#include <cerrno>
#include <cstring>

#include "storage/platform/platform_file.h"

namespace zelpin::platform {

// fsync's answer for a file system that keeps nothing it could flush (some FUSE and virtual ones).
bool isSyncUnsupported(SystemError error) {
  return error == EINVAL || error == ENOTSUP;
}

bool isMissing(SystemError error) {
  return error == ENOENT;
}

bool isAccessDenied(SystemError error) {
  return error == EACCES || error == EPERM;
}

bool isNameTaken(SystemError error) {
  return error == EEXIST;
}

bool refusesRename(SystemError error) {
  return error == EPERM || error == EACCES || error == EBUSY;
}

std::string describeError(SystemError error) {
  return std::strerror(static_cast<int>(error));
}

}  // namespace zelpin::platform
