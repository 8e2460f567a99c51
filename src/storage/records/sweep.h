#pragma once

#include <cstdint>

#include "storage/platform/platform_file.h"

namespace zelpin {

// The undo records of a folder never add up to more than this; the oldest go first.
inline constexpr std::uint64_t undoRecordsBound = 64 << 20;

// Tells the folder's marker of a record of size bytes just written there, and sweeps the folder
// where a day has passed since its last sweep or its records have come to more than the bound.
void recordWritten(const platform::Location& folder, std::uint64_t size);

// Removes what outlived its use, by the times the files hold: menus set aside more than 30 days
// ago, undo records of menus that are no longer where they were, and the oldest undo records past
// the bound; only this user's. Never a journal: a journal goes when it has repaired its menu or is
// set aside. marked: the folder is one of records, which keeps the marker of its sweeps.
void sweepRecords(const platform::Location& folder, bool marked = true);

}  // namespace zelpin
