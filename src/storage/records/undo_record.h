#pragma once

// What saves keep for an undo, in the user's state folder, where only this user can read it: a
// save in place its journal, which holds the old content and the new; a save by rename the
// replaced file itself under a second name (or a copy), with a small record beside it that says
// whose it is and what the save wrote. One record a file, named after the file the save left, so
// that every name of the menu finds it; the next save of the menu replaces it. None is flushed: a
// crash may lose an undo, never a menu.

#include <cstdint>
#include <string>
#include <string_view>

#include "storage/platform/platform_file.h"

namespace zelpin {

// What a save by rename keeps of the file it replaces: the file itself, by a second name in the
// state folder where it is on the same volume, else a copy of it. Made before the rename, which
// takes the file's last name away; keep() writes the record that names it, after the rename.
// Unless kept, it is removed again.
class ReplacedFile {
 public:
  // readHash: of the bytes the run read, which a copy must match.
  ReplacedFile(const platform::Location& menu, std::uint64_t readHash,
               const platform::FileInfo& replaced, const platform::FileInfo& replacement);
  ReplacedFile(const ReplacedFile&) = delete;
  ReplacedFile& operator=(const ReplacedFile&) = delete;
  ~ReplacedFile();
  void keep(std::uint64_t newSize, std::uint64_t newHash);

 private:
  bool copy();
  void forgetEarlierRecord();

  const platform::Location& menu_;
  std::uint64_t readHash_;
  platform::FileInfo replaced_;
  platform::FileInfo replacement_;
  platform::Location state_;
  std::u16string fullName_;
  std::u16string record_;
  std::u16string content_;
  bool ready_ = false;
};

// A journal that has done its work becomes the menu's undo record: it holds what the save
// replaced, and what it wrote. False where it could not be made one; it is still there then.
bool keepJournalAsUndoRecord(const platform::Location& state, std::u16string_view journal,
                             const platform::FileInfo& info, std::u16string_view fullName);

// The record of the last save of a file, as undo finds it.
struct UndoRecord {
  enum class State { Missing, Damaged, Changed, Ready } state = State::Missing;
  std::string shown;    // its name, as the user is told it
  std::string content;  // Ready: what the save replaced
};

// The record of the save that left the file (info, whose bytes hash to readHash) as it is.
// Changed: the file is no longer what that save wrote.
UndoRecord findUndoRecord(const platform::Location& state, const platform::FileInfo& info,
                          std::u16string_view fullName, std::uint64_t readHash);

}  // namespace zelpin
