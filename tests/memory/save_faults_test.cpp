// Saves whose calls fail, or meet another run, over the file system in memory: the branches that a
// disk shows rarely or only to root.
#include <gtest/gtest.h>

#include <cerrno>

#include "memory_system.h"
#include "storage/conversion.h"

namespace zelpin::memory {
namespace {

const std::string oldMenu = "\xEF\xBB\xBFzel\r\n\"0 A\"\t&CD \"C:\\A\"\r\n";
const std::string newMenu =
    "\xEF\xBB\xBFzel\r\n\"0 F\"\t&CD \"C:\\F\"\r\n\"1 A\"\t&CD \"C:\\A\"\r\n";

struct FaultCase {
  const char* name;
  bool hardLinked;  // saved in place
  Fault fault;
  int status;
  const char* line;
  const std::string* menu;  // as the run leaves it
};

void PrintTo(const FaultCase& c, std::ostream* out) {
  *out << c.name;
}

class SaveFault : public testing::TestWithParam<FaultCase> {
 protected:
  void endsWithTheOldMenuOrTheNew(bool windows);
};

TEST_P(SaveFault, EndsWithTheOldMenuOrTheNewAndSaysWhich) {
  for (const bool windows : {false, true}) {
    SCOPED_TRACE(windows ? "a file held open may not be removed" : "POSIX");
    endsWithTheOldMenuOrTheNew(windows);
  }
}

void SaveFault::endsWithTheOldMenuOrTheNew(bool windows) {
  World w;
  w.removeWaitsForHandles = windows;
  w.putFile(u"/home/me/menu.txt", oldMenu);
  if (GetParam().hardLinked) {
    w.linkFile(u"/home/me/menu.txt", u"/home/me/link.txt");
  }
  w.arm(GetParam().fault);
  const RunOutcome outcome = w.run({u"-1n", u"menu.txt", u"C:\\F"});
  EXPECT_EQ(outcome.status, GetParam().status);
  EXPECT_EQ(outcome.line, GetParam().line);
  EXPECT_EQ(w.bytesOf(u"/home/me/menu.txt"), *GetParam().menu);
  EXPECT_EQ(w.openHandles(), 0u);
  for (const std::u16string& name : w.namesIn(u"/home/me")) {
    EXPECT_TRUE(name == u"menu.txt" || name == u"link.txt" || name == u".local" ||
                name == u".menu.txt.zelpin-lock")
        << encodeLine(name, false) << " is left";
  }
  for (const std::u16string& name : w.namesIn(u"/home/me/.local/state/zelpin")) {
    EXPECT_TRUE(GetParam().status != 0 || !name.starts_with(u".zelpin-journal-"))
        << encodeLine(name, false) << " is left";
  }
}

Fault inAnotherRun(World& w, std::string call, int machine, RunOutcome& other) {
  Fault fault = stopAt(std::move(call), 1);
  fault.action = Fault::Action::Interleave;
  fault.interleave = [&w, machine, &other] {
    w.machine = machine;
    other = w.run({u"-1n", u"menu.txt", u"C:\\Other"});
    w.machine = 0;
  };
  return fault;
}

INSTANTIATE_TEST_SUITE_P(
    Memory, SaveFault,
    testing::Values(
        FaultCase{"TheTemporaryFilesFlushFails", false, failAt("flush", 1, EIO), 1,
                  "cannot write 'menu.txt': Input/output error", &oldMenu},
        FaultCase{"ATemporaryNameIsTaken", false, failAt("createBeside", 1, EEXIST), 0, "",
                  &newMenu},
        FaultCase{"TheRenameFails", false, failAt("renameBeside", 1, EXDEV), 1,
                  "cannot write 'menu.txt': Invalid cross-device link", &oldMenu},
        FaultCase{"TheFolderTakesNoNewFile", false, failAt("createBeside", 1, EACCES), 0, "",
                  &newMenu},
        FaultCase{"TheDiskIsFull", true, failAt("reserve", 1, ENOSPC), 1,
                  "cannot write 'menu.txt': No space left on device", &oldMenu},
        // The state folder cannot keep the journal: it goes beside the menu, then is removed.
        FaultCase{"TheJournalsFlushFails", true, failAt("flush", 1, EIO), 0, "", &newMenu},
        FaultCase{"TheStateFolderIsFull", true, failAt("createBeside", 1, ENOSPC), 0, "", &newMenu},
        FaultCase{"TheMenusFlushFails", true, failAt("flush", 2, EIO), 2,
                  "cannot write 'menu.txt': Input/output error: its new content is kept in "
                  "'/home/me/.local/state/zelpin/.zelpin-journal-803-4-18ef1e377c350002', and the "
                  "next run puts it in place",
                  &newMenu}),
    [](const auto& info) { return std::string(info.param.name); });

// Another program renames its save over the menu between this run's open and its first look: the
// run looks again, and saves over that save.
TEST(Memory, AMenuReplacedWhileItIsOpenedIsLookedAtAgain) {
  World w;
  w.putFile(u"/home/me/menu.txt", oldMenu);
  Fault fault = stopAt("describeLocation", 1);
  fault.action = Fault::Action::Interleave;
  fault.interleave = [&w] {
    w.putFile(u"/home/me/.menu.txt.new", oldMenu + "; theirs\r\n");
    w.moveFile(u"/home/me/.menu.txt.new", u"/home/me/menu.txt");
  };
  w.arm(fault);
  const RunOutcome outcome = w.run({u"-1n", u"menu.txt", u"C:\\F"});
  EXPECT_EQ(outcome.status, 0) << outcome.line;
  const std::string after = w.bytesOf(u"/home/me/menu.txt").value_or("");
  EXPECT_NE(after.find("; theirs"), std::string::npos) << after;
  EXPECT_NE(after.find("C:\\F"), std::string::npos) << after;
}

// Another program renames its save over a menu saved in place after the journal is written: the
// last look before the copy sees it, and the copy goes nowhere, neither over that save nor into
// the file it replaced.
TEST(Memory, AMenuReplacedBeforeTheCopyInPlaceIsLeftToItsNewSave) {
  World w;
  w.putFile(u"/home/me/menu.txt", oldMenu);
  w.linkFile(u"/home/me/menu.txt", u"/home/me/link.txt");
  Fault fault = stopAt("describeLocation", 3);  // the look before the copy
  fault.action = Fault::Action::Interleave;
  fault.interleave = [&w] {
    w.putFile(u"/home/me/.menu.txt.new", oldMenu + "; theirs\r\n");
    w.moveFile(u"/home/me/.menu.txt.new", u"/home/me/menu.txt");
  };
  w.arm(fault);
  const RunOutcome outcome = w.run({u"-1n", u"menu.txt", u"C:\\F"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.line,
            "cannot write 'menu.txt': it was replaced by another file since it was read");
  EXPECT_EQ(w.bytesOf(u"/home/me/menu.txt"), oldMenu + "; theirs\r\n");
  EXPECT_EQ(w.bytesOf(u"/home/me/link.txt"), oldMenu);
}

// Runs from two machines, the second at the moment the first renames its save over the menu:
// they take turns through the lock beside the menu, which both share, and no edit is lost
// without a line.
TEST(Memory, RunsFromTwoMachinesTakeTurnsAtTheRename) {
  for (const char* call : {"renameBeside", "readSome", "createBeside"}) {
    World w;
    w.putFile(u"/home/me/menu.txt", oldMenu);
    RunOutcome other;
    w.arm(inAnotherRun(w, call, 1, other));
    EXPECT_EQ(w.run({u"-1n", u"menu.txt", u"C:\\F"}).status, 0) << call;
    const std::string after = w.bytesOf(u"/home/me/menu.txt").value_or("");
    EXPECT_NE(after.find("C:\\F"), std::string::npos) << call;
    EXPECT_TRUE(other.status != 0 || after.find("C:\\Other") != std::string::npos)
        << call << ": the other machine's run said it saved, and its edit is lost";
    EXPECT_TRUE(other.status == 0 || !other.line.empty()) << call;
  }
}

// A save in place opens the menu for writing for its copy alone, not while it writes its journal
// and sweeps the records: a reader that shares no writing is kept out for those calls only.
TEST(Memory, ASaveInPlaceHoldsTheMenuForWritingForTheCopyAlone) {
  World w;
  w.putFile(u"/home/me/menu.txt", oldMenu);
  w.linkFile(u"/home/me/menu.txt", u"/home/me/link.txt");
  w.watched = w.indexOf(u"/home/me/menu.txt");
  EXPECT_EQ(w.run({u"-1n", u"menu.txt", u"C:\\F"}).status, 0);
  EXPECT_EQ(w.bytesOf(u"/home/me/menu.txt"), newMenu);
  EXPECT_LE(w.callsWhileWatchedIsWritten, 12u);
}

// Another run, from this machine or another, comes while this one holds the menu: it waits its
// turn on the file's own lock, which every machine shares, and gives up after five seconds.
TEST(Memory, AnotherMachinesRunWaitsForTheFilesLock) {
  for (const int machine : {0, 1}) {
    World w;
    w.putFile(u"/home/me/menu.txt", oldMenu);
    RunOutcome other;
    w.arm(inAnotherRun(w, "readSome", machine, other));
    EXPECT_EQ(w.run({u"-1n", u"menu.txt", u"C:\\F"}).status, 0);
    EXPECT_EQ(other.status, 1);
    EXPECT_EQ(other.line,
              "cannot edit 'menu.txt': it is busy: another process has held its lock for 5 "
              "seconds");
    EXPECT_EQ(w.bytesOf(u"/home/me/menu.txt"), newMenu);
  }
}

}  // namespace
}  // namespace zelpin::memory
