#pragma once

// Whose a record is, where records lie, and who may have put them there: the state folder, which
// is this user's alone, else beside the menu where no other user could put a file under this
// user's name. Only a record's content (record_format.h) says whose it really is.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/platform/platform_file.h"
#include "storage/records/record_format.h"

namespace zelpin {

FileKey fileKey(const platform::FileInfo& info);

// A file's full name as a record holds it (UTF-8); empty for a name that is no text, whose record
// still checks itself, but once 30 days old is swept as one whose file is gone.
std::string recordPath(std::u16string_view fullName);

// Whether a record says it is of this file: its key, and where the key alone cannot tell this file
// from a later one with the same number (no id, or no birth time and one name) its full name.
bool isRecordOf(const SaveRecord& record, const platform::FileInfo& info,
                std::u16string_view fullName);

enum class RecordPlace { StateFolder, BesideMenu };

struct RecordFolder {
  const platform::Location* folder;
  RecordPlace place;
};

// Where a menu's records may lie, in the order they are written to and looked in.
std::vector<RecordFolder> recordFolders(const platform::Location& state,
                                        const platform::Location& menu);
// The one rule of trust: what lies in the state folder is this user's doing; beside the menu,
// only where no other user could put a file under this user's name (the folder keeps others out)
// and only what this user made. Asked only when a record is to be written or read there.
bool mayHoldRecords(const RecordFolder& at);
// Whether a file found there may be taken for this user's record.
bool isTrustedRecord(const RecordFolder& at, platform::NativeHandle file,
                     const platform::FileInfo& info);

// A record's name as the user is told it.
std::string shownRecord(const RecordFolder& at, std::u16string_view name);

// Reads a whole record file, not following a link of its name. None where it is missing or no
// regular file; a failure to read it counts as missing too (it is never put in then).
std::optional<std::string> readRecordFile(const platform::Location& folder,
                                          std::u16string_view name);

// Writes what a journal that must never be put in was to give the menu (content) as a plain file,
// this user's alone, named after the menu (menuLeaf) and the time; aside is its name.
[[nodiscard]] platform::SystemError setAside(const platform::Location& folder,
                                             std::u16string_view menuLeaf, std::string_view content,
                                             std::u16string& aside);

}  // namespace zelpin
