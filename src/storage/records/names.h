#pragma once

// Every name zelpin gives a file, and how each is known again: the temporary files of a save by
// rename (beside the menu), the journals of saves in place, undo records and what they keep, the
// journals set aside, and the sweep's marker. A record is named after the file it belongs to, but
// only its content says whose it really is.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "storage/platform/platform_file.h"

namespace zelpin {

enum class NameKind {
  Other,
  Temporary,
  Lock,
  Journal,
  UndoRecord,
  UndoContent,
  SetAside,
  SweptMarker
};

// What a name in a folder of records, or beside a menu, is.
NameKind kindOf(std::u16string_view name);

// A new temporary name for a save of the menu named leaf: the menu's name (cut short, with a hash
// of the whole, where the system's limit would be passed) and six random letters.
std::u16string temporaryName(std::u16string_view leaf);
// Whether name is one of the temporary names of the menu named leaf.
bool isTemporaryOf(std::u16string_view name, std::u16string_view leaf);
// The file beside the menu named leaf through which runs take turns where the system locks a file
// for every machine that opens it (Windows): it holds nothing and is never renamed or removed.
std::u16string lockFileName(std::u16string_view leaf);

// The names of a file's records, by device, index and birth time, in hex; a file without an id
// of its own goes by a hash of its full name.
std::u16string journalName(const platform::FileInfo& info, std::u16string_view fullName);
std::u16string undoRecordName(const platform::FileInfo& info, std::u16string_view fullName);
// What an undo record's save replaced, where the record does not hold it itself.
std::u16string undoContentName(std::u16string_view recordName);
// The record that the content of this name goes with; empty for any other name.
std::u16string recordOfContent(std::u16string_view contentName);
// What a journal that must never be put in leaves for the user: the menu its save was writing, as
// a plain file named after the menu and the time it was set aside (nanoseconds since 1970).
std::u16string setAsideName(std::u16string_view menuLeaf, std::int64_t time);
// When a file of that name was set aside, as its name says; none where it says nothing.
std::optional<std::int64_t> setAsideTime(std::u16string_view name);

// The file that says when a folder of records was last swept, and what its records hold since.
inline constexpr std::u16string_view sweptMarkerName = u".zelpin-swept";

}  // namespace zelpin
