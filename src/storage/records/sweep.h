#pragma once

#include "storage/platform/platform_file.h"

namespace zelpin {

// Records outlive what they are for: a set-aside one after 30 days, a journal or undo record 30
// days after its last use where its file is gone (an older version's partial journal, never whole,
// with them). Removes those, in a folder of records; beside a menu only this user's. Once a day at
// the most: how many records a folder holds does not weigh on every save.
void sweepRecords(const platform::Location& folder);

}  // namespace zelpin
