// The one policy that decides how a menu is read and saved, the same on every platform: read under
// the lock, after finishing what an earlier run left; then save by rename, or in place where a
// rename would lose what the file is.
#include "storage/save/menu_save.h"

#include "storage/content_hash.h"
#include "storage/platform/file_steps.h"
#include "storage/save/failing.h"
#include "storage/save/in_place_save.h"
#include "storage/save/recovery.h"
#include "storage/save/rename_save.h"

namespace zelpin {

using namespace platform;

void readFileChunks(MenuFile& menu, const std::function<void(std::uint64_t size)>& onOpen,
                    const std::function<void(std::string_view chunk)>& onChunk) {
  menu.read.done = true;
  FileInfo info;
  Opened file = openLockedForReading(menu, info);
  if (file.error != 0) {
    if (isMissing(file.error)) {
      return;
    }
    fail("read", menu.path, file.error);
  }
  if (finishInterruptedSave(menu, file.handle.get(), info)) {
    describeAgain(menu, file.handle.get(), info);
  }
  check("read", menu.path, seekTo(file.handle.get(), 0));
  menu.read.file = info;
  onOpen(info.size);
  ContentHash hash;
  check("read", menu.path, readPieces(file.handle.get(), [&](std::string_view chunk) {
          hash.add(chunk);
          onChunk(chunk);
        }));
  menu.read.hash = hash.value();
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
  if (menu.menuLock.taken) {
    removeLeftovers(menu, info.has_value());
  }
  if (replaceByRename(menu, existing, info, writeContent)) {
    return;
  }
  existing.handle.reset(noHandle);
  rewriteInPlace(menu, size, writeContent);
}

}  // namespace zelpin
