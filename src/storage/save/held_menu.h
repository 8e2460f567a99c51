#pragma once

// One run's hold on a menu file, from before it is read to after it is saved: its locks, and the
// checks that the file saved is the file that was read, as it was read.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/platform/platform_file.h"
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

// What the run read of the menu.
struct ReadSnapshot {
  bool done = false;                       // whether it was read at all
  std::optional<platform::FileInfo> file;  // none when the menu was missing
  std::uint64_t hash = 0;                  // of the bytes read
  bool kept = false;                       // whether bytes holds them: up to an undo record's size
  std::string bytes;
};

// Runs on the same menu take turns: opening waits while another run holds it, so each run reads
// the menu as the one before left it. Where the system offers no lock the run goes on without one.
struct MenuFile {
  explicit MenuFile(std::u16string_view path);
  MenuFile(const MenuFile&) = delete;
  MenuFile& operator=(const MenuFile&) = delete;

  WideLine path;  // as the user gave it: failures name the menu so
  platform::Location location;
  HeldLock menuLock;
  HeldLock fileLock;  // the file itself, whichever name leads to it
  ReadSnapshot read;
  bool finishedInterrupted = false;  // the run put in a save an earlier run left part done
  // What the user is to be told although the run did its edit (a journal set aside or left).
  std::vector<std::string> notices;
};

// Opens the menu to read it and takes the lock on the file itself, which every name of it leads
// to; where another run replaced the file meanwhile, the new file is opened in its turn. Throws
// FileError where the menu is no regular file or its name and the opened file disagree.
platform::Opened openLockedForReading(MenuFile& menu, platform::FileInfo& info);
// A new look at an open file, which keeps what the run learnt of its ids.
void describeAgain(const MenuFile& menu, platform::NativeHandle file, platform::FileInfo& info);
// The lock on the file itself, taken again after it was let go for a rename that was refused.
void lockFileAgain(MenuFile& menu);
// What the save is about to replace: nothing, or the regular file that was read, unchanged.
std::optional<platform::FileInfo> describeSaved(const platform::Opened& existing,
                                                const MenuFile& menu);

}  // namespace zelpin
