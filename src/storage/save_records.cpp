#include "storage/save_records.h"

#include <chrono>

#include "storage/conversion.h"
#include "storage/save_steps.h"

namespace zelpin {
namespace {

using namespace platform;

constexpr std::u16string_view journalMark = u".zelpin-journal-";
constexpr std::u16string_view undoMark = u".zelpin-undo-";
constexpr std::u16string_view setAsideMark = u".zelpin-set-aside-";
constexpr std::u16string_view contentSuffix = u".old";

constexpr auto keptFor = std::chrono::hours(24 * 30);

std::int64_t now() {
  return wallClock();
}

// Device, index and birth time, in hex; the lower half of a 128-bit index in full, so that no two
// indexes give one text. A file without an id goes by a hash of its full name.
std::u16string keyText(const FileInfo& info, std::u16string_view fullName) {
  if (!info.identified) {
    return u"name-" + hexText(nameHash(fullName));
  }
  std::u16string index = hexText(info.index);
  if (info.indexHigh != 0) {
    index = hexText(info.indexHigh) + std::u16string(16 - index.size(), u'0') + index;
  }
  return hexText(info.device) + u"-" + index + u"-" + hexText(info.birth);
}

bool isOld(const FileInfo& info) {
  return now() - info.modified > std::chrono::nanoseconds(keptFor).count();
}

// Whether a journal's or undo record's file still lies where the record says.
bool fileIsThere(const SaveRecord& record) {
  std::u16string path;
  try {
    path = decodeUtf8(record.path);
  } catch (const ConversionError&) {
    return false;
  }
  const Location location = locate(path);
  FileInfo info;
  return describeLocation(location, info) == 0 && info.regular &&
         isRecordOf(record, info, fullNameOf(location));
}

// What a sweep does with one name of a folder of records.
bool outlivedItsUse(const Location& folder, std::u16string_view name) {
  const bool setAside = name.starts_with(setAsideMark);
  const bool record = name.starts_with(journalMark) || name.starts_with(undoMark);
  if (!setAside && !record) {
    return false;
  }
  Opened file = openBeside(folder, name);
  FileInfo info;
  if (file.error != 0 || describe(file.handle.get(), info) != 0 || !info.regular || !isOld(info) ||
      !madeByThisUser(file.handle.get(), info)) {
    return false;
  }
  if (setAside) {
    return true;
  }
  if (name.ends_with(contentSuffix)) {
    // Goes with its record; alone, it is of no use.
    return !openBeside(folder, name.substr(0, name.size() - contentSuffix.size())).handle.isOpen();
  }
  std::string bytes;
  if (readAll(file.handle.get(), bytes) != 0) {
    return false;
  }
  const std::optional<SaveRecord> header = parseRecordHeader(bytes);
  return !header || !fileIsThere(*header);
}

}  // namespace

FileKey fileKey(const FileInfo& info) {
  if (!info.identified) {
    return FileKey{};
  }
  return FileKey{info.device, info.index, info.indexHigh, info.birth};
}

std::u16string journalName(const FileInfo& info, std::u16string_view fullName) {
  return std::u16string(journalMark) + keyText(info, fullName);
}

std::u16string undoRecordName(const FileInfo& info, std::u16string_view fullName) {
  return std::u16string(undoMark) + keyText(info, fullName);
}

std::u16string undoContentName(std::u16string_view recordName) {
  return std::u16string(recordName) + std::u16string(contentSuffix);
}

std::string recordPath(std::u16string_view fullName) {
  try {
    return encodeLine(fullName, false);
  } catch (const ConversionError&) {
    return {};
  }
}

bool isRecordOf(const SaveRecord& record, const FileInfo& info, std::u16string_view fullName) {
  if (record.file != fileKey(info)) {
    return false;
  }
  // Without a birth time a new file can get a gone one's number, and only the path tells them
  // apart; a file with other names has to be known by its number alone (a record names only one).
  if (info.identified && (info.birth != 0 || info.links > 1)) {
    return true;
  }
  try {
    return decodeUtf8(record.path) == fullName;
  } catch (const ConversionError&) {
    return false;
  }
}

std::string shownRecord(const Location& folder, RecordPlace place, std::u16string_view name) {
  return place == RecordPlace::StateFolder ? quoted(shownNameIn(folder, name))
                                           : quoted(name) + " beside it";
}

std::optional<std::string> readRecordFile(const Location& folder, std::u16string_view name) {
  Opened file = openBeside(folder, name);
  FileInfo info;
  std::string bytes;
  if (file.error != 0 || describe(file.handle.get(), info) != 0 || !info.regular ||
      readAll(file.handle.get(), bytes) != 0) {
    return std::nullopt;
  }
  return bytes;
}

std::string setAside(const Location& folder, RecordPlace place, std::u16string_view name) {
  std::u16string aside(setAsideMark);
  aside += name.substr(journalMark.find(u'j'));  // "journal-" and the key
  aside += u"-";
  aside += hexText(static_cast<std::uint64_t>(now()));
  const std::string shown = "the journal " + shownRecord(folder, place, name) +
                            " of an interrupted save does not fit it as it is now";
  if (const SystemError error = renameBeside(folder, name, aside)) {
    return shown + ", and could not be set aside: " + describeError(error);
  }
  return shown + " and is set aside as " + shownRecord(folder, place, aside);
}

void sweepRecords(const Location& folder) {
  // Once a day is enough for a rule of 30 days; a save looks at one file instead of every record.
  constexpr std::u16string_view swept = u".zelpin-swept";
  {
    const Opened marker = openBeside(folder, swept);
    FileInfo info;
    if (marker.error == 0 && describe(marker.handle.get(), info) == 0 &&
        now() - info.modified < std::chrono::nanoseconds(std::chrono::hours(24)).count()) {
      return;
    }
  }
  std::ignore = removeBeside(folder, swept);
  std::ignore = createBeside(folder, swept, NewFile{noHandle, false, false, true});
  for (const std::u16string& name : namesBeside(folder)) {
    if (outlivedItsUse(folder, name)) {
      std::ignore = removeBeside(folder, name);  // another run's sweep may have been first
    }
  }
}

}  // namespace zelpin
