#pragma once

// Where the records of saves lie and how they are named: journals of saves in place, undo records,
// and those set aside. A record is named after the file it belongs to, but only its content (the
// format of journal.h) says whose it really is.

#include <optional>
#include <string>
#include <string_view>

#include "storage/journal.h"
#include "storage/platform_file.h"

namespace zelpin {

FileKey fileKey(const platform::FileInfo& info);

// Where a record lies: in this user's state folder, or beside the menu where that cannot be used.
enum class RecordPlace { StateFolder, BesideMenu };
// A record's name as the user is told it.
std::string shownRecord(const platform::Location& folder, RecordPlace place,
                        std::u16string_view name);

// The names of a file's records. A file without an id of its own goes by its full name.
std::u16string journalName(const platform::FileInfo& info, std::u16string_view fullName);
std::u16string undoRecordName(const platform::FileInfo& info, std::u16string_view fullName);
// What an undo record's save replaced, where the record does not hold it itself.
std::u16string undoContentName(std::u16string_view recordName);

// A file's full name as a record holds it (UTF-8); empty for a name that is no text, whose record
// still checks itself, but once 30 days old is swept as one whose file is gone.
std::string recordPath(std::u16string_view fullName);

// Whether a record says it is of this file: its key, and where the key alone cannot tell this file
// from a later one with the same number (no id, or no birth time and one name) its full name.
bool isRecordOf(const SaveRecord& record, const platform::FileInfo& info,
                std::u16string_view fullName);

// Reads a whole record file, not following a link of its name. None where it is missing or no
// regular file; a failure to read it counts as missing too (it is never put in then).
std::optional<std::string> readRecordFile(const platform::Location& folder,
                                          std::u16string_view name);

// Moves a journal that must never be put in out of the way, under a name that says it is set
// aside: it may hold an edit its user wants back. Returns what to tell the user.
std::string setAside(const platform::Location& folder, RecordPlace place, std::u16string_view name);

// Records outlive what they are for: a set-aside one after 30 days, a journal or undo record 30
// days after its last use where its file is gone (an older version's partial journal, never whole,
// with them). Removes those, in a folder of records; beside a menu only this user's. Once a day at
// the most: how many records a folder holds does not weigh on every save.
void sweepRecords(const platform::Location& folder);

}  // namespace zelpin
