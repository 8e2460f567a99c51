#include "storage/save/undo.h"

#include <string>

#include "storage/records/undo_record.h"
#include "storage/save/failing.h"
#include "storage/save/menu_save.h"

namespace zelpin {

using namespace platform;

void undoLastSave(MenuFile& menu) {
  readFileChunks(
      menu, [](std::uint64_t) {}, [](std::string_view) {});
  const Location state = openStateFolder(false);
  if (!menu.read.file) {
    failBecause("undo", menu.path, "zelpin kept no record of a save of it");
  }
  // One that is not there yet has never been needed.
  if (state.folderError != 0) {
    failBecause("undo", menu.path,
                isMissing(state.folderError) && !state.path.empty()
                    ? "zelpin kept no record of a save of it"
                    : "zelpin kept no record of a save of it: it has no state folder to keep "
                      "records in (" +
                          describeError(state.folderError) + ")");
  }
  const UndoRecord record =
      findUndoRecord(state, *menu.read.file, fullNameOf(menu.location), menu.read.hash);
  switch (record.state) {
    case UndoRecord::State::Missing:
      failBecause("undo", menu.path,
                  menu.read.file->size > largestUndoContent
                      ? "zelpin keeps no record of a save of a menu over 16 MiB"
                      : "zelpin kept no record of a save of it");
    case UndoRecord::State::Damaged:
      failBecause("undo", menu.path, "the record " + record.shown + " of its last save is damaged");
    case UndoRecord::State::Changed:
      failBecause("undo", menu.path, "it has changed since zelpin last saved it");
    case UndoRecord::State::Ready:
      break;
  }
  const std::string_view content = record.content;
  replaceFileContent(menu, content.size(), [&](const ContentSink& sink) {
    for (std::size_t at = 0; at < content.size(); at += 1 << 16) {
      sink(content.substr(at, 1 << 16));
    }
  });
}

}  // namespace zelpin
