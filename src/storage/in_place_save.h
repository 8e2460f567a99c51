#pragma once

#include <cstdint>

#include "storage/file_access.h"
#include "storage/platform_file.h"

namespace zelpin {

// Rewrites the menu in place, keeping its identity (hard links, owner, a folder that takes no new
// file), through a journal that lets the next run finish the save if this one is stopped.
void rewriteInPlace(MenuFile& menu, std::uint64_t size, const ContentWriter& writeContent);

// Before a run reads its menu (open as file, described by info): a journal of this very file means
// a save of it in place may have stopped part-way. It is put in where the menu is what that save
// began from or what it can have left, and set aside where the menu is anything else. Returns
// whether the menu's content changed.
bool finishInterruptedSave(MenuFile& menu, platform::NativeHandle file,
                           const platform::FileInfo& info);

}  // namespace zelpin
