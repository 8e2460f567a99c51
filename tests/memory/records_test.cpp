// What saves leave for later runs, over the file system in memory: journals and undo records that
// outlast replugs, moves, sweeps and a clock that runs on, and statuses that say what changed.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>

#include "memory_system.h"
#include "storage/conversion.h"

namespace zelpin::memory {
namespace {

const std::string oldMenu = "\xEF\xBB\xBFzel\r\n\"0 A\"\t&CD \"C:\\A\"\r\n";
const std::string newMenu =
    "\xEF\xBB\xBFzel\r\n\"0 F\"\t&CD \"C:\\F\"\r\n\"1 A\"\t&CD \"C:\\A\"\r\n";
const std::string interrupted =
    "\xEF\xBB\xBFzel\r\n\"0 Interrupted\"\t&CD \"C:\\Interrupted\"\r\n\"1 A\"\t&CD \"C:\\A\"\r\n";
const std::u16string menu = u"/home/me/menu.txt";
const std::u16string state = u"/home/me/.local/state/zelpin";
const std::vector<std::u16string> toggle = {u"-1n", u"menu.txt", u"C:\\F"};
constexpr std::int64_t day = 24 * 3600 * 1000000000ll;

// A menu with a second name, saved in place, and a toggle of it killed as its copy begins: its
// journal is whole, the menu as it was.
void killedInPlace(World& w) {
  w.putFile(menu, oldMenu);
  w.makeFolder(u"/home/me/other");
  w.linkFile(menu, u"/home/me/other/link.txt");
  w.arm(stopAt("reserve", 1));
  w.run({u"-1n", u"menu.txt", u"C:\\Interrupted"});
  w.disk = settled(*w.stopped);
  w.arm(Fault{});
}

std::size_t namesStarting(World& w, std::u16string_view folder, std::u16string_view start) {
  std::size_t count = 0;
  for (const std::u16string& name : w.namesIn(folder)) {
    count += name.starts_with(start) ? 1 : 0;
  }
  return count;
}

struct RecordCase {
  const char* name;
  // Sets the world up and makes the run under test; its outcome and the menu after it count.
  RunOutcome (*run)(World& w);
  int status;
  const char* line;  // the start of the run's line
  const std::string* menuAfter;
};

void PrintTo(const RecordCase& c, std::ostream* out) {
  *out << c.name;
}

class Records : public testing::TestWithParam<RecordCase> {};

TEST_P(Records, KeepWhatMayRepairAMenuAndSayWhatChanged) {
  World w;
  const RunOutcome outcome = GetParam().run(w);
  EXPECT_EQ(outcome.status, GetParam().status) << outcome.line;
  EXPECT_TRUE(outcome.line.starts_with(GetParam().line)) << outcome.line;
  if (GetParam().menuAfter != nullptr) {
    EXPECT_EQ(w.bytesOf(menu), *GetParam().menuAfter);
  }
  EXPECT_EQ(w.openHandles(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Memory, Records,
    testing::Values(
        // Set aside today, though its save was interrupted 40 days ago: not swept by that run.
        RecordCase{"ASetAsideMenuIsKeptFromTheDayItIsSetAside",
                   [](World& w) {
                     killedInPlace(w);
                     w.clock += 40 * day;
                     w.editFile(menu, oldMenu + "; mine\r\n");
                     RunOutcome outcome = w.run({u"-n", u"menu.txt"});
                     const std::size_t at = outcome.line.find("set aside as '") + 14;
                     const std::string aside =
                         outcome.line.substr(at, outcome.line.find('\'', at) - at);
                     EXPECT_EQ(w.bytesOf(decodeUtf8(aside)), interrupted) << aside;
                     return outcome;
                   },
                   2, "saved 'menu.txt', but the journal", nullptr},
        RecordCase{"AJournalIsFoundAfterTheDriveIsAttachedAgain",
                   [](World& w) {
                     killedInPlace(w);
                     w.disk.device = 0x804;
                     return w.run({u"-n", u"menu.txt"});
                   },
                   0, "", &interrupted},
        // Moved, and 31 days on, after other menus' saves that swept the state folder.
        RecordCase{"AJournalOfAMovedMenuOutlastsTheSweep",
                   [](World& w) {
                     killedInPlace(w);
                     w.moveFile(menu, u"/home/me/renamed.txt");
                     w.clock += 31 * day;
                     w.putFile(u"/home/me/menu2.txt", oldMenu);
                     w.linkFile(u"/home/me/menu2.txt", u"/home/me/other/link2.txt");
                     w.run({u"-1n", u"menu2.txt", u"C:\\Other"});
                     const RunOutcome outcome = w.run({u"-n", u"renamed.txt"});
                     w.moveFile(u"/home/me/renamed.txt", menu);
                     return outcome;
                   },
                   0, "", &interrupted},
        RecordCase{"AnUndoThatFinishesAnInterruptedSaveSaysSo",
                   [](World& w) {
                     w.stateHome.reset();
                     killedInPlace(w);
                     return w.run({u"-u", u"menu.txt"});
                   },
                   2,
                   "finished the interrupted save of 'menu.txt', but cannot undo 'menu.txt': "
                   "zelpin kept no record of a save of it: it has no state folder",
                   &interrupted},
        // A stray keypress that changes nothing does not cost the undo.
        RecordCase{"ARunThatChangesNothingKeepsTheUndo",
                   [](World& w) {
                     w.putFile(menu, oldMenu);
                     w.run(toggle);
                     for (const auto& words : std::vector<std::vector<std::u16string>>{
                              {u"-d", u"menu.txt", u"C:\\Not\\There"}, {u"-n", u"menu.txt"}}) {
                       EXPECT_EQ(w.run(words).status, 0);
                     }
                     return w.run({u"-u", u"menu.txt"});
                   },
                   0, "", &oldMenu},
        RecordCase{"WhatIsSetAsideBesideTheMenuGoesAfter30Days",
                   [](World& w) {
                     w.stateHome.reset();
                     killedInPlace(w);
                     w.editFile(menu, oldMenu + "; mine\r\n");
                     EXPECT_EQ(w.run({u"-n", u"menu.txt"}).status, 2);
                     EXPECT_EQ(namesStarting(w, u"/home/me", u".zelpin-set-aside-"), 1u);
                     w.clock += 31 * day;
                     w.putFile(menu, oldMenu);
                     const RunOutcome outcome = w.run(toggle);
                     EXPECT_EQ(namesStarting(w, u"/home/me", u".zelpin-set-aside-"), 0u);
                     return outcome;
                   },
                   0, "", &newMenu},
        // Killed at its rename: the next run saves by rename again and leaves nothing behind.
        RecordCase{"AKilledRenameChangesNoLaterSave",
                   [](World& w) {
                     w.putFile(menu, oldMenu);
                     w.arm(stopAt("renameBeside", 1));
                     w.run({u"-1n", u"menu.txt", u"C:\\Killed"});
                     w.disk = settled(*w.stopped);
                     w.arm(Fault{});
                     const std::uint64_t before = w.indexOf(menu);
                     const RunOutcome outcome = w.run(toggle);
                     EXPECT_NE(w.indexOf(menu), before) << "saved in place";
                     EXPECT_EQ(namesStarting(w, u"/home/me", u".menu.txt.zelpin-"), 1u)
                         << "beside the lock";
                     return outcome;
                   },
                   0, "", &newMenu},
        // Seventy menus of a megabyte each, saved one after the other.
        RecordCase{"UndoRecordsStayWithinTheirBound",
                   [](World& w) {
                     const std::string big = oldMenu + std::string(1 << 20, ';') + "\r\n";
                     for (int i = 0; i < 70; ++i) {
                       const std::u16string name = u"m" + decodeUtf8(std::to_string(i));
                       w.putFile(u"/home/me/" + name, big);
                       w.run({u"-1n", name, u"C:\\F"});
                     }
                     std::uint64_t total = 0;
                     for (const std::u16string& name : w.namesIn(state)) {
                       total += name.starts_with(u".zelpin-undo-")
                                    ? w.bytesOf(state + u"/" + name)->size()
                                    : 0;
                     }
                     EXPECT_LE(total, 64u << 20);
                     EXPECT_GE(total, 48u << 20);
                     w.putFile(menu, oldMenu);
                     return w.run(toggle);
                   },
                   0, "", &newMenu},
        // FAT: the record is named after the file as the rename left it.
        RecordCase{"AnUndoWhereIdsChangeWithARename",
                   [](World& w) {
                     w.idsFollowEntries = true;
                     w.putFile(menu, oldMenu);
                     EXPECT_EQ(w.run(toggle).status, 0);
                     return w.run({u"-u", u"menu.txt"});
                   },
                   0, "", &oldMenu},
        RecordCase{"ABlankTailIsAChangeAndSaidSo",
                   [](World& w) {
                     w.putFile(menu, newMenu);
                     w.linkFile(menu, u"/home/me/link.txt");
                     w.arm(failAt("setLength", 1, EPERM));
                     return w.run({u"-1n", u"menu.txt", u"C:\\F"});
                   },
                   2,
                   "saved 'menu.txt', but Operation not permitted: the new menu is in place, "
                   "followed by 9 blank lines",
                   nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zelpin::memory
