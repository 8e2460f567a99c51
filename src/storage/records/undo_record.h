#pragma once

// What saves keep for an undo, in the user's state folder, where only this user can read it: one
// record a file, named after the file the save left, so that every name of the menu finds it, and
// holding what the save replaced (a save in place keeps its journal, which holds the new content
// too). The next save of the menu replaces it. Nothing of the user's files is linked to or changed
// for it, and nothing is flushed: a crash may lose an undo, never a menu.

#include <cstdint>
#include <string>
#include <string_view>

#include "storage/platform/platform_file.h"

namespace zelpin {

// A menu larger than this keeps no undo record.
inline constexpr std::uint64_t largestUndoContent = 16 << 20;

// After a save replaced the file `replaced`, whose bytes were `replacedBytes` (hashing to
// replacedHash, as the run read them), by `replacement`, which holds newSize bytes that hash to
// newHash.
void keepUndoRecord(const platform::Location& state, std::u16string_view fullName,
                    const platform::FileInfo& replaced, std::string_view replacedBytes,
                    std::uint64_t replacedHash, const platform::FileInfo& replacement,
                    std::uint64_t newSize, std::uint64_t newHash);

// A journal that has done its work becomes the menu's undo record: it holds what the save
// replaced, and what it wrote. False where it could not be made one; it is still there then.
bool keepJournalAsUndoRecord(const platform::Location& state, std::u16string_view journal,
                             std::uint64_t journalSize, const platform::FileInfo& info,
                             std::u16string_view fullName);

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
