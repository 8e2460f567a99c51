#pragma once

#include <optional>

#include "storage/platform/platform_file.h"
#include "storage/save/content_writer.h"
#include "storage/save/held_menu.h"

namespace zelpin {

// Removes the temporary files that killed runs left of this menu. Only a run that holds the lock
// may: no other run can be writing one of them then. Where the menu itself is missing, a leftover
// may be its last whole copy, and the run fails naming it instead.
void removeLeftovers(const MenuFile& menu, bool menuExists);

// Writes the new content to a temporary file and renames it over the menu (existing, described by
// info; none where the menu is missing). Returns false, with the menu untouched, where the new
// file could not carry what the menu carries (owner, ACL, attributes) or the folder takes no new
// file or refuses the rename: the menu is then to be rewritten in place. Throws FileError.
bool replaceByRename(MenuFile& menu, platform::Opened& existing,
                     const std::optional<platform::FileInfo>& info,
                     const ContentWriter& writeContent);

}  // namespace zelpin
