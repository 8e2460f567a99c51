#include "app/run.h"

#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/report.h"
#include "menu/entries.h"
#include "menu/keys.h"
#include "storage/conversion.h"
#include "storage/failure.h"
#include "storage/menu_file.h"
#include "storage/save/undo.h"

namespace zelpin {
namespace {

bool addsNewEntry(const Options& options, bool found) {
  if (options.editMode == EditMode::Delete || options.folderCommand.empty()) {
    return false;
  }
  return !found || options.editMode == EditMode::Replace || options.editMode == EditMode::Promote;
}

void applyEdit(const Options& options, bool found, WideLine&& promotedEntry, MenuLines& lines) {
  if (options.editMode == EditMode::Promote && found) {
    // Renumber first: the moved entry keeps the key it had.
    renumberKeys(lines, options.keys);
    insertAfterHeader(lines, std::move(promotedEntry));
    return;
  }
  if (addsNewEntry(options, found)) {
    insertAfterHeader(lines, composeEntry(options.entryLabel, options.folderCommand));
  }
  renumberKeys(lines, options.keys);
}

std::string joined(const std::vector<std::string>& notices) {
  std::string text;
  for (const std::string& notice : notices) {
    text += text.empty() ? "" : "; and ";
    text += notice;
  }
  return text;
}

void editMenu(MenuFile& menu, const Options& options) {
  MenuLines lines;
  WideLine promotedEntry;
  const bool promote = options.editMode == EditMode::Promote;
  const bool found =
      loadMenu(menu, options.folderCommand, lines, promote ? &promotedEntry : nullptr);
  ensureHeader(lines);
  applyEdit(options, found, std::move(promotedEntry), lines);
  saveMenu(menu, lines);
}

// How a run ended: its status, and its line (empty when silent).
struct Ending {
  int status = 0;
  std::string line;
};

// A failure after the run had changed the menu (an interrupted save put in, a copy begun) is no
// "nothing changed": status 2, and the line says what was done.
Ending endingOfFailure(const MenuFile& menu, const std::exception& failure) {
  const auto* fileError = dynamic_cast<const FileError*>(&failure);
  const bool changed =
      menu.finishedInterrupted || (fileError != nullptr && fileError->failure().menuChanged);
  std::string line = menu.finishedInterrupted
                         ? "finished the interrupted save of " + quoted(menu.path) + ", but "
                         : "";
  line += failure.what();
  if (!menu.notices.empty()) {
    line += "; and " + joined(menu.notices);
  }
  return Ending{changed ? 2 : 1, line};
}

// Does the run's work on the menu.
Ending workOnMenu(const Options& options) {
  // Held to the end of the run: another run on this menu waits until this one has saved.
  MenuFile menu(*options.menuFile);
  try {
    if (options.undo) {
      undoLastSave(menu);
    } else {
      editMenu(menu, options);
    }
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& failure) {
    return endingOfFailure(menu, failure);
  }
  if (menu.notices.empty()) {
    return {};
  }
  return Ending{2, "saved " + quoted(menu.path) + ", but " + joined(menu.notices)};
}

// Why the run must not touch the menu at all; empty where it may go on.
std::string refusal(const Options& options) {
  if (options.undo && options.otherWords > 0) {
    return failureLine(Failure{*options.menuFile, "undo", "-u takes the menu file alone"});
  }
  // An entry spanning two lines could never be found again: each toggle would add a copy.
  if (options.folderCommand.find_first_of(u"\r\n") != WideLine::npos) {
    return failureLine(Failure{*options.menuFile, "edit", "the folder holds a line break"});
  }
  return {};
}

}  // namespace

int runZelpin(std::span<const WideLine> words) {
  if (words.size() < 3) {
    showUsage();
    return 0;
  }
  const Options options = parseCommandLine(words);
  if (!options.undo && options.keys.keyClassMask == 0 && options.folderCommand.empty()) {
    return 0;  // nothing to do: the file is not even read
  }
  if (!options.menuFile) {
    showUsage();  // only options were given
    return 0;
  }
  if (const std::string why = refusal(options); !why.empty()) {
    reportFailure(why);
    return 1;
  }
  try {
    const Ending ending = workOnMenu(options);
    if (!ending.line.empty()) {
      reportFailure(ending.line);
    }
    return ending.status;
  } catch (const std::bad_alloc&) {
    reportFailure(failureLine(Failure{*options.menuFile, "edit", "out of memory"}));
    return 1;
  } catch (const std::exception& failure) {
    reportFailure(failure.what());
    return 1;
  }
}

}  // namespace zelpin
