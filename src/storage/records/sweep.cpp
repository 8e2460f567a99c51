#include "storage/records/sweep.h"

#include <chrono>
#include <string>

#include "storage/conversion.h"
#include "storage/platform/file_steps.h"
#include "storage/records/names.h"
#include "storage/records/places.h"

namespace zelpin {
namespace {

using namespace platform;

constexpr auto keptFor = std::chrono::hours(24 * 30);
constexpr auto sweptEvery = std::chrono::hours(24);

bool isOlderThan(const FileInfo& info, std::chrono::nanoseconds age) {
  return wallClock() - info.modified > age.count();
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
  const NameKind kind = kindOf(name);
  if (kind != NameKind::SetAside && kind != NameKind::Journal && kind != NameKind::UndoRecord &&
      kind != NameKind::UndoContent) {
    return false;
  }
  Opened file = openBeside(folder, name);
  FileInfo info;
  if (file.error != 0 || describe(file.handle.get(), info) != 0 || !info.regular ||
      !isOlderThan(info, keptFor) || !madeByThisUser(file.handle.get(), info)) {
    return false;
  }
  if (kind == NameKind::SetAside) {
    return true;
  }
  if (kind == NameKind::UndoContent) {
    // Goes with its record; alone, it is of no use.
    return !openBeside(folder, recordOfContent(name)).handle.isOpen();
  }
  std::string bytes;
  if (readAll(file.handle.get(), bytes) != 0) {
    return false;
  }
  const std::optional<SaveRecord> header = parseRecordHeader(bytes);
  return !header || !fileIsThere(*header);
}

bool sweptLately(const Location& folder) {
  const Opened marker = openBeside(folder, sweptMarkerName);
  FileInfo info;
  return marker.error == 0 && describe(marker.handle.get(), info) == 0 &&
         !isOlderThan(info, sweptEvery);
}

}  // namespace

void sweepRecords(const Location& folder) {
  // Once a day is enough for a rule of 30 days; a save looks at one file instead of every record.
  if (sweptLately(folder)) {
    return;
  }
  std::ignore = removeBeside(folder, sweptMarkerName);
  std::ignore = createBeside(folder, sweptMarkerName, NewFile{noHandle, false, false, true});
  for (const std::u16string& name : namesBeside(folder)) {
    if (outlivedItsUse(folder, name)) {
      std::ignore = removeBeside(folder, name);  // another run's sweep may have been first
    }
  }
}

}  // namespace zelpin
