#include "menu/entries.h"

#include "menu/char_classes.h"
#include "storage/menu_file.h"

namespace zelpin {

bool isEntryFor(std::u16string_view line, std::u16string_view folderCommand) {
  if (folderCommand.empty() || !line.ends_with(folderCommand)) {
    return false;
  }
  if (line.size() == folderCommand.size()) {
    return true;
  }
  const char16_t before = line[line.size() - folderCommand.size() - 1];
  return isSpaceUnit(before) || before == u'"';
}

bool loadMenu(MenuFile& menu, std::u16string_view folderCommand, MenuLines& lines,
              WideLine* captureSlot) {
  bool found = false;
  readMenuLines(menu, [&](WideLine&& line) {
    if (!isEntryFor(line, folderCommand)) {
      lines.push_back(std::move(line));
      return;
    }
    found = true;
    if (captureSlot != nullptr) {
      *captureSlot = std::move(line);
    }
  });
  return found;
}

void ensureHeader(MenuLines& lines) {
  if (lines.empty() || !lines.front().starts_with(u"zel")) {
    lines.insert(lines.begin(), WideLine(defaultHeader));
  }
}

WideLine composeEntry(std::u16string_view entryLabel, std::u16string_view folderCommand) {
  WideLine line;
  line.reserve(entryLabel.size() + 1 + folderCommand.size());
  line.append(entryLabel).append(1, u'\t').append(folderCommand);
  return line;
}

void insertAfterHeader(MenuLines& lines, WideLine line) {
  lines.insert(lines.begin() + 1, std::move(line));
}

}  // namespace zelpin
