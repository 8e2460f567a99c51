#pragma once

#include <cstdint>
#include <optional>

#include "menu/keys.h"
#include "storage/wide_line.h"

namespace zelpin {

enum class EditMode : std::uint8_t { Toggle = 0, Delete = 1, Replace = 2, Promote = 4 };

struct Options {
  EditMode editMode = EditMode::Toggle;
  KeySettings keys;
  std::optional<WideLine> menuFile;  // empty when no word was positional
  WideLine folderCommand;            // e.g. &CD "C:\Users\me\Documents"; empty without a folder
  WideLine entryLabel;               // e.g. "0 Documents"
  std::int32_t commandWord = 0;      // 0 writes "&CD ", 1 writes "&EXEC "
  bool undo = false;                 // -u, a word of its own: the menu as before its last save
  int otherWords = 0;                // words besides the menu file and -u
};

}  // namespace zelpin
