#pragma once

#include <string_view>

#include "storage/save/held_menu.h"
#include "storage/wide_line.h"

namespace zelpin {

// The header every menu starts with; a first line that begins with "zel" is one.
inline constexpr std::u16string_view defaultHeader = u"zel zelpin";

// True when line ends in folderCommand, right after white space, a double quote or nothing.
// An empty folderCommand matches no line.
bool isEntryFor(std::u16string_view line, std::u16string_view folderCommand);

// Reads the menu file into lines, leaving out every entry for folderCommand; returns whether there
// was one. When captureSlot is given it receives the last entry left out.
bool loadMenu(MenuFile& menu, std::u16string_view folderCommand, MenuLines& lines,
              WideLine* captureSlot = nullptr);

// Puts the default header in front unless the first line already is a header.
void ensureHeader(MenuLines& lines);

WideLine composeEntry(std::u16string_view entryLabel, std::u16string_view folderCommand);

// Puts line right under the header, where the newest entry belongs. lines must not be empty.
void insertAfterHeader(MenuLines& lines, WideLine line);

}  // namespace zelpin
