// The one policy that decides how a menu is read and saved, the same on every platform: read under
// the lock, after finishing what an earlier run left; then save by rename, or in place where a
// rename would lose what the file is.
#include "storage/save/menu_save.h"

#include "storage/content_hash.h"
#include "storage/platform/file_steps.h"
#include "storage/records/undo_record.h"
#include "storage/save/failing.h"
#include "storage/save/in_place_save.h"
#include "storage/save/recovery.h"
#include "storage/save/rename_save.h"

namespace zelpin {
namespace {

using namespace platform;

// Whether the new content is byte for byte what the run read; compared by hash where the bytes
// were not kept.
bool holdsAlready(const MenuFile& menu, std::uint64_t size, const ContentWriter& writeContent) {
  if (!menu.read.done || !menu.read.file || size != menu.read.file->size) {
    return false;
  }
  ContentHash hash;
  bool same = true;
  writeContent([&](std::string_view piece) {
    if (menu.read.kept) {
      same = same && std::string_view(menu.read.bytes).substr(hash.size(), piece.size()) == piece;
    }
    hash.add(piece);
  });
  return same && hash.size() == size && hash.value() == menu.read.hash;
}

}  // namespace

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
    menu.finishedInterrupted = true;
    describeAgain(menu, file.handle.get(), info);
  }
  check("read", menu.path, seekTo(file.handle.get(), 0));
  menu.read.file = info;
  // What the save replaces goes into its undo record: kept as it is read, where a record holds it.
  menu.read.kept = info.size <= largestUndoContent;
  onOpen(info.size);
  ContentHash hash;
  check("read", menu.path, readPieces(file.handle.get(), [&](std::string_view chunk) {
          hash.add(chunk);
          if (menu.read.kept) {
            menu.read.bytes.append(chunk);
          }
          onChunk(chunk);
        }));
  menu.read.hash = hash.value();
}

void replaceFileContent(MenuFile& menu, std::uint64_t size, const ContentWriter& writeContent) {
  if (holdsAlready(menu, size, writeContent)) {
    return;  // nothing to save, and the last save's record stays for an undo
  }
  // A file this user may not write stays as it is.
  Opened existing = openToProbe(menu.location);
  const std::optional<FileInfo> info = describeSaved(existing, menu);
  // What a killed run left never changes how later runs save.
  if (menu.menuLock.taken) {
    removeLeftovers(menu, info.has_value());
  }
  // A rename would split the names of a file with several, and a file this user may not delete
  // would leave a temporary file behind that could not be removed either.
  if (info && (info->links > 1 || probeRename(menu.location) != 0)) {
    existing.handle.reset(noHandle);
    rewriteInPlace(menu, size, writeContent);
    return;
  }
  if (replaceByRename(menu, existing, info, writeContent)) {
    return;
  }
  existing.handle.reset(noHandle);
  rewriteInPlace(menu, size, writeContent);
}

}  // namespace zelpin
