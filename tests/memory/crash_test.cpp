// Every save path, stopped at every call of its run: by a kill, and by a power cut (each state the
// file system in memory says a cut can leave). After the next run the menu is what the next run
// makes of the old content or of the new, its status says whether it changed the menu, and
// nothing is left that would be put in over a later save.
#include <gtest/gtest.h>

#include <set>

#include "memory_system.h"
#include "storage/conversion.h"

namespace zelpin::memory {
namespace {

const std::string oldMenu = "\xEF\xBB\xBFzel\r\n\"0 A\"\t&CD \"C:\\A\"\r\n";
const std::u16string menu = u"/home/me/menu.txt";
const std::vector<std::u16string> toggle = {u"-1n", u"menu.txt", u"C:\\F"};
// Changes nothing in either the old menu or the new one but puts in what a stopped save left.
const std::vector<std::u16string> nextRun = {u"-n", u"menu.txt"};
const std::vector<std::u16string> laterSave = {u"-1n", u"menu.txt", u"C:\\Later"};

struct SavePath {
  const char* name;
  void (*setUp)(World& w);
  std::vector<std::u16string> words = toggle;
};

void PrintTo(const SavePath& path, std::ostream* out) {
  *out << path.name;
}

void hardLinked(World& w) {
  w.putFile(menu, oldMenu);
  w.makeFolder(u"/home/me/other");
  w.linkFile(menu, u"/home/me/other/link.txt");
}

// A toggle killed as its copy into the menu begins: its journal is whole, the menu as it was.
void interruptedInPlace(World& w) {
  hardLinked(w);
  w.arm(stopAt("reserve", 1));
  w.run({u"-1n", u"menu.txt", u"C:\\Interrupted"});
  w.disk = *w.stopped;
  w.arm(Fault{});
}

const SavePath paths[] = {
    {"RenameSave", [](World& w) { w.putFile(menu, oldMenu); }},
    {"ThroughASymbolicLink",
     [](World& w) {
       w.makeFolder(u"/home/me/real");
       w.putFile(u"/home/me/real/target.txt", oldMenu);
       w.makeLink(menu, u"real/target.txt");
     }},
    {"MissingMenu", [](World&) {}},
    {"InPlaceJournalInTheStateFolder", hardLinked},
    {"InPlaceJournalBesideTheMenu",
     [](World& w) {
       hardLinked(w);
       w.stateHome.reset();
     }},
    {"FolderTheUserMayNotWrite",
     [](World& w) {
       w.makeFolder(u"/home/me/locked", 0755, 0);
       w.putFile(u"/home/me/locked/menu.txt", oldMenu);
       w.workingFolder = u"/home/me/locked";
     }},
    {"UndoByRename",
     [](World& w) {
       w.putFile(menu, oldMenu);
       w.run(toggle);
     },
     {u"-u", u"menu.txt"}},
    {"UndoInPlace",
     [](World& w) {
       hardLinked(w);
       w.run(toggle);
     },
     {u"-u", u"menu.txt"}},
    {"PuttingInAJournal", interruptedInPlace},
    // Blocks enough that a power cut's states are sampled, not all tried.
    {"InPlaceOfALargerMenu",
     [](World& w) {
       std::string bytes = "\xEF\xBB\xBFzel\r\n";
       for (int i = 0; i < 60; ++i) {
         bytes +=
             "\"" + std::to_string(i % 10) + " A\"\t&CD \"C:\\A" + std::to_string(i) + "\"\r\n";
       }
       hardLinked(w);
       w.putFile(menu, bytes);
     }},
};

class Crash : public testing::TestWithParam<SavePath> {
 protected:
  World w;
  Disk before;
  Disk saved;  // as the run left it
  std::uint64_t calls = 0;
  std::optional<std::string> fromNew;            // what the next run makes of the new menu
  std::set<std::optional<std::string>> allowed;  // what the next run may leave
  std::u16string menuName;

  std::optional<std::string> menuBytes() { return w.bytesOf(menuName); }

  void SetUp() override {
    GetParam().setUp(w);
    menuName = w.workingFolder + u"/menu.txt";
    before = settled(w.disk);
    allowed.insert(afterNextRun(before));
    w.disk = before;
    w.arm(Fault{});
    const RunOutcome whole = w.run(GetParam().words);
    ASSERT_TRUE(whole.status == 0 || whole.status == 2) << whole.line;
    calls = w.calls;
    saved = w.disk;
    fromNew = afterNextRun(saved);
    allowed.insert(fromNew);
  }

  std::optional<std::string> afterNextRun(const Disk& disk) {
    w.disk = disk;
    w.run(nextRun);
    return menuBytes();
  }

  // The next run, and a later save after it that nothing left behind may undo.
  void recoverFrom(const Disk& disk, const std::string& where) {
    w.disk = disk;
    w.arm(Fault{});
    const std::optional<std::string> found = menuBytes();
    const RunOutcome next = w.run(nextRun);
    ASSERT_EQ(w.openHandles(), 0u) << where;
    // Nothing a kill or a power cut leaves is news to the user: a journal that is not whole was
    // never begun to be copied, and one that is fits what its copy can have left.
    ASSERT_NE(next.status, 2) << where << ": " << next.line;
    if (next.status == 1) {
      ASSERT_EQ(menuBytes(), found) << where << ": " << next.line;
      ASSERT_TRUE(!found || allowed.contains(found)) << where << ": " << next.line;
      return;
    }
    ASSERT_TRUE(allowed.contains(menuBytes())) << where << ": " << next.line << "\n"
                                               << menuBytes().value_or("(none)");
    const RunOutcome later = w.run(laterSave);
    ASSERT_TRUE(later.status == 0 || later.status == 2) << where << ": " << later.line;
    const std::optional<std::string> saved = menuBytes();
    w.run(nextRun);
    ASSERT_EQ(menuBytes(), saved) << where << ": what the later save wrote was undone";
  }
};

TEST_P(Crash, AtEveryCallLeavesTheOldMenuOrTheNew) {
  std::size_t states = 0;
  for (std::uint64_t n = 1; n <= calls; ++n) {
    w.disk = before;
    w.arm(stopAt("", n));
    w.run(GetParam().words);
    ASSERT_TRUE(w.stopped) << "the run made fewer calls than before";
    const Disk stopped = *w.stopped;
    const std::string where =
        "stopped at call " + std::to_string(n) + " of " + std::to_string(calls);
    recoverFrom(stopped, "killed " + where);
    const std::vector<Disk> cuts = powerCutStates(stopped);
    for (std::size_t i = 0; i < cuts.size() && !HasFatalFailure(); ++i) {
      recoverFrom(cuts[i], "power cut " + std::to_string(i) + " " + where);
    }
    states += cuts.size();
    if (HasFatalFailure()) {
      return;
    }
  }
  RecordProperty("states", static_cast<int>(states));
}

// What a run said is done outlasts a power cut that comes right after it.
TEST_P(Crash, RightAfterTheRunKeepsTheNewMenu) {
  for (const Disk& cut : powerCutStates(saved)) {
    ASSERT_EQ(afterNextRun(cut), fromNew);
  }
}

INSTANTIATE_TEST_SUITE_P(Memory, Crash, testing::ValuesIn(paths),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zelpin::memory
