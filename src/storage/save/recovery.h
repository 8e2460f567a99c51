#pragma once

#include <string_view>

#include "storage/platform/platform_file.h"
#include "storage/save/held_menu.h"

namespace zelpin {

// What to do with a journal of this very file that a run finds before it reads the menu.
enum class Verdict {
  Remove,    // never whole: its save was stopped before it began to copy
  SetAside,  // another file's, or the menu is anything its save cannot have left: what its save
             // was writing is kept for the user
  PutIn,     // the menu is what its save began from, or what the copy can leave
  Retire,    // its save is complete
};

struct Judgement {
  Verdict verdict = Verdict::SetAside;
  std::string_view newContent;  // but for Remove: what its save wrote, a part of journal
};

// The decision alone, from the bytes of the journal and of the menu, described by info (and
// fullName, where its id alone does not tell it).
Judgement judgeJournal(std::string_view journal, std::string_view menu,
                       const platform::FileInfo& info, std::u16string_view fullName);

// Before a run reads its menu (open as file, described by info): judges each journal of this file
// that the run may trust, and does what the judgement says. Returns whether the menu's content
// changed. Throws FileError.
bool finishInterruptedSave(MenuFile& menu, platform::NativeHandle file,
                           const platform::FileInfo& info);

}  // namespace zelpin
