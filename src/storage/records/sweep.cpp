#include "storage/records/sweep.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "storage/conversion.h"
#include "storage/platform/file_steps.h"
#include "storage/records/names.h"
#include "storage/records/places.h"

namespace zelpin {
namespace {

using namespace platform;

constexpr std::int64_t day = std::chrono::nanoseconds(std::chrono::hours(24)).count();
constexpr std::int64_t keptFor = 30 * day;
// Enough of a record to hold its header and the name of its file, nearly always.
constexpr std::uint64_t headerLimit = 8 << 10;
constexpr std::uint64_t longestHeader = (1 << 20) + 256;
// A sweep for room leaves room for some records more, so that the next ones need none.
constexpr std::uint64_t sweptDownTo = undoRecordsBound / 4 * 3;

// A time in the future counts as now: a clock put back never keeps a file for good.
std::int64_t ageOf(std::int64_t time) {
  const std::int64_t now = wallClock();
  return now - std::min(time, now);
}

struct Marker {
  std::int64_t swept = 0;
  std::uint64_t recordBytes = 0;  // what the undo records came to then, and what came since
};

std::optional<Marker> readMarker(const Location& folder) {
  Opened file = openBeside(folder, sweptMarkerName);
  std::string text;
  long long swept = 0;
  unsigned long long bytes = 0;
  if (file.error != 0 || readAll(file.handle.get(), text) != 0 ||
      std::sscanf(text.c_str(), "%lld %llu", &swept, &bytes) != 2) {
    return std::nullopt;
  }
  return Marker{swept, bytes};
}

// Another run may be writing it at the same moment; either one's count will do until the sweep.
void writeMarker(const Location& folder, const Marker& marker) {
  std::ignore = removeBeside(folder, sweptMarkerName);
  const Opened file = createBeside(folder, sweptMarkerName, NewFile{noHandle, false, false, true});
  if (file.error == 0) {
    std::ignore = writeAll(file.handle.get(), std::to_string(marker.swept) + " " +
                                                  std::to_string(marker.recordBytes) + "\n");
  }
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
  FileInfo there;
  const Opened file = openForReading(location);
  FileInfo info;
  return describeLocation(location, there) == 0 && there.regular && file.error == 0 &&
         describe(file.handle.get(), info) == 0 && info.sameFileAs(there) &&
         isRecordOf(record, info, fullNameOf(location));
}

struct Kept {
  std::int64_t made;
  std::uint64_t size;
  std::u16string name;
};

// An undo record that is still of use, this user's; none for one to be removed.
std::optional<Kept> undoRecordKept(const Location& folder, const std::u16string& name,
                                   bool& removable) {
  Opened file = openBeside(folder, name);
  FileInfo info;
  std::string start;
  removable = false;
  const auto readStart = [&](std::uint64_t limit) {
    return readPieces(
               file.handle.get(), [&](std::string_view piece) { start.append(piece); },
               limit - start.size()) == 0;
  };
  if (file.error != 0 || describe(file.handle.get(), info) != 0 || !info.regular ||
      !madeByThisUser(file.handle.get(), info) || !readStart(headerLimit)) {
    return std::nullopt;
  }
  std::optional<SaveRecord> header = parseRecordHeader(start);
  if (!header && start.size() == headerLimit) {
    if (!readStart(longestHeader)) {
      return std::nullopt;
    }
    header = parseRecordHeader(start);
  }
  removable = !header || !fileIsThere(*header);
  if (removable) {
    return std::nullopt;
  }
  return Kept{header->made != 0 ? std::min(header->made, wallClock()) : wallClock(), info.size,
              name};
}

bool isThisUsers(const Location& folder, std::u16string_view name) {
  const Opened file = openBeside(folder, name);
  FileInfo info;
  return file.error == 0 && describe(file.handle.get(), info) == 0 && info.regular &&
         madeByThisUser(file.handle.get(), info);
}

void removeRecord(const Location& folder, const std::u16string& name) {
  std::ignore = removeBeside(folder, name);  // another run's sweep may have been first
  std::ignore = removeBeside(folder, undoContentName(name));  // an older zelpin's, if any
}

}  // namespace

void recordWritten(const Location& folder, std::uint64_t size) {
  const std::optional<Marker> marker = readMarker(folder);
  if (!marker || ageOf(marker->swept) >= day || marker->recordBytes + size > undoRecordsBound) {
    sweepRecords(folder);
    return;
  }
  writeMarker(folder, Marker{marker->swept, marker->recordBytes + size});
}

void sweepRecords(const Location& folder, bool marked) {
  std::vector<Kept> kept;
  for (const std::u16string& name : namesBeside(folder)) {
    const NameKind kind = kindOf(name);
    const std::optional<std::int64_t> setAside = setAsideTime(name);
    bool removable = false;
    if (kind == NameKind::SetAside && setAside && ageOf(*setAside) > keptFor &&
        isThisUsers(folder, name)) {
      std::ignore = removeBeside(folder, name);
    } else if (kind == NameKind::UndoContent && isThisUsers(folder, name) &&
               !openBeside(folder, recordOfContent(name)).handle.isOpen()) {
      std::ignore = removeBeside(folder, name);  // an older zelpin's, without its record
    } else if (kind == NameKind::UndoRecord) {
      if (std::optional<Kept> record = undoRecordKept(folder, name, removable)) {
        kept.push_back(std::move(*record));
      } else if (removable) {
        removeRecord(folder, name);
      }
    }
  }
  std::sort(kept.begin(), kept.end(), [](const Kept& a, const Kept& b) { return a.made > b.made; });
  std::uint64_t total = 0;
  for (const Kept& record : kept) {
    total += record.size;
  }
  const std::uint64_t room = total > undoRecordsBound ? sweptDownTo : undoRecordsBound;
  total = 0;
  for (const Kept& record : kept) {
    total += record.size;
    if (total > room) {
      total -= record.size;
      removeRecord(folder, record.name);
    }
  }
  if (marked) {
    writeMarker(folder, Marker{wallClock(), total});
  }
}

}  // namespace zelpin
