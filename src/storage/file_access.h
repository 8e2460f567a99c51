#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/platform_file.h"
#include "storage/wide_line.h"

namespace zelpin {

// A lock that is released, then closed, when it goes out of scope.
struct HeldLock {
  platform::Handle handle;
  bool taken = false;
  HeldLock() = default;
  HeldLock(HeldLock&&) = default;
  HeldLock& operator=(HeldLock&& other) noexcept {
    release();
    handle = std::move(other.handle);
    taken = std::exchange(other.taken, false);
    return *this;
  }
  ~HeldLock() { release(); }
  void release() {
    if (taken) {
      platform::unlock(handle.get());
      taken = false;
    }
  }
};

// One run's hold on a menu file, from before it is read to after it is saved. Runs on the same menu
// take turns: opening waits while another run holds it, so each run reads the menu as the one
// before left it. Where the system offers no lock the run goes on without one.
struct MenuFile {
  explicit MenuFile(std::u16string_view path);
  MenuFile(const MenuFile&) = delete;
  MenuFile& operator=(const MenuFile&) = delete;

  WideLine path;  // as the user gave it: failures name the menu so
  platform::Location location;
  HeldLock menuLock;
  HeldLock fileLock;                           // the file itself, whichever name leads to it
  bool read = false;                           // whether readFileChunks ran
  std::optional<platform::FileInfo> readFile;  // what it read; none when the menu was missing
  std::uint64_t readHash = 0;                  // of the bytes it read
  // What the user is to be told although the run did its edit (a journal set aside or left).
  std::vector<std::string> notices;
};

// Tells onOpen the file's size as it stands when opened, then hands the file's bytes to onChunk in
// order. A missing file calls neither; any other failure to open or read, or a file that is not a
// regular file, throws FileError. A save in place of this file that was stopped part-way is
// finished first.
void readFileChunks(MenuFile& menu, const std::function<void(std::uint64_t size)>& onOpen,
                    const std::function<void(std::string_view chunk)>& onChunk);

using ContentSink = std::function<void(std::string_view piece)>;
using ContentWriter = std::function<void(const ContentSink& sink)>;

// Replaces the file's content with the pieces writeContent hands to its sink, which come to size
// bytes, so that a reader finds either its whole old content or the whole new one at every moment.
// The file must be the one that was read (or still be missing). An exception from writeContent
// abandons the save before the file is replaced. Throws FileError.
void replaceFileContent(MenuFile& menu, std::uint64_t size, const ContentWriter& writeContent);

}  // namespace zelpin
