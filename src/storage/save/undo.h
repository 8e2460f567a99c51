#pragma once

#include "storage/save/held_menu.h"

namespace zelpin {

// Puts the menu back as it was just before its last save by zelpin, where the menu is still byte
// for byte what that save wrote. The undo is a save like any other, with a record of its own, so a
// second undo puts the change back. Throws FileError, the menu unchanged, where zelpin kept no
// record of that save, the menu changed since, or the record is not whole.
void undoLastSave(MenuFile& menu);

}  // namespace zelpin
