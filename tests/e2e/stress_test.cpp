// Runs on one menu at the same time. Many in a row, two at a time: random toggles, promotions,
// replacements and deletions; afterwards the menu is still whole: a header, every foreign line
// once and in its order, and nothing but entries besides. And overlapping runs that must behave
// as if they had run one after the other.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <unordered_set>

#include "program.h"

namespace zelpin_test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> splitCrLf(const std::string& bytes) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(bytes.substr(start, end - start));
  }
  EXPECT_EQ(start, bytes.size()) << "the last line lacks its CR LF";
  return lines;
}

TEST(Stress, AThousandRunsTwoAtATimeKeepTheMenuWhole) {
  TemporaryFolder folder;
  std::vector<std::string> foreign;
  std::string menu = "zel stress\n";
  for (int i = 0; i < 12; ++i) {
    foreign.push_back("; foreign line " + std::to_string(i) + " \xE6\x96\x87\xE6\x9B\xB8");
    menu += foreign.back() + (i % 2 == 0 ? "\n" : "\r\n");
  }
  writeBytes(folder.path() / "menu.txt", menu);

  const std::vector<std::string> modes = {"-1n", "-M1n", "-m1n", "-d1n"};
  std::mt19937 random(20261207);
  auto randomArgs = [&] {
    const std::string folderName = "C:\\f" + std::to_string(random() % 8) + "\\\xE5\x86\x99";
    return std::vector<std::string>{modes[random() % modes.size()], "menu.txt", folderName};
  };
  RunSettings settings;
  settings.folder = folder.path();
  for (int round = 0; round < 500; ++round) {
    const std::vector<std::string> first = randomArgs();
    const std::vector<std::string> second = randomArgs();
    RunResult results[2];
    std::thread other([&] { results[1] = runProgram(second, settings); });
    results[0] = runProgram(first, settings);
    other.join();
    ASSERT_EQ(results[0].exitStatus, 0) << results[0].errorOutput;
    ASSERT_EQ(results[1].exitStatus, 0) << results[1].errorOutput;
  }

  const std::string bytes = readBytes(folder.path() / "menu.txt");
  ASSERT_TRUE(bytes.starts_with("\xEF\xBB\xBF"));
  const std::vector<std::string> lines = splitCrLf(bytes.substr(3));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "zel stress");
  const std::regex entry("\"[0-9] \xE5\x86\x99\"\t&CD \"C:\\\\f[0-7]\\\\\xE5\x86\x99\"");
  std::vector<std::string> foreignAfter;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    if (lines[i].starts_with("; ")) {
      foreignAfter.push_back(lines[i]);
    } else {
      EXPECT_TRUE(std::regex_match(lines[i], entry)) << "line " << i << ": " << lines[i];
    }
  }
  EXPECT_EQ(foreignAfter, foreign);
  EXPECT_TRUE(leftoverTemporaryFiles(folder.path()).empty());
}

// ---- Runs that overlap: each waits for the one before, as if they had run one after the other
// ----

bool underWine() {
  return std::getenv("ZELPIN_SKIP_POSIX_ONLY") != nullptr;
}

const std::string foreignMenu =
    "\xEF\xBB\xBFzel overlap\r\n; the host's first line\r\n\"a Music\"\t&CD \"D:\\Music\"\r\n"
    "; the host's last line\r\n";

// Starts every run before waiting for any.
std::vector<RunResult> runAtOnce(const std::vector<std::vector<std::string>>& runs,
                                 const RunSettings& settings) {
  std::vector<StartedRun> started;
  for (const auto& args : runs) {
    started.push_back(startProgram(args, settings));
  }
  std::vector<RunResult> results;
  for (const StartedRun& run : started) {
    results.push_back(waitForProgram(run));
  }
  return results;
}

struct Overlapping : testing::Test {
  TemporaryFolder folder;
  fs::path menu = folder.path() / "menu.txt";
  RunSettings settings = [this] {
    RunSettings s;
    s.folder = folder.path();
    return s;
  }();
};

TEST_F(Overlapping, ManyRunsAtOnceKeepEveryEntry) {
  writeBytes(menu, foreignMenu);
  const int count = underWine() ? 30 : 40;
  std::vector<std::vector<std::string>> runs;
  for (int i = 0; i < count; ++i) {
    runs.push_back({"menu.txt", "C:\\f" + std::to_string(i)});
  }
  for (const RunResult& result : runAtOnce(runs, settings)) {
    EXPECT_EQ(result.exitStatus, 0) << result.errorOutput;
  }
  const std::vector<std::string> lines = splitCrLf(readBytes(menu).substr(3));
  for (const char* line : {"zel overlap", "; the host's first line",
                           "\"a Music\"\t&CD \"D:\\Music\"", "; the host's last line"}) {
    EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1) << line;
  }
  for (int i = 0; i < count; ++i) {
    const std::string folderName = "C:\\f" + std::to_string(i);
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "\"" + folderName + "\"\t&CD \"" + folderName + "\""),
              1)
        << folderName;
  }
  EXPECT_EQ(lines.size(), 4u + static_cast<std::size_t>(count));
  EXPECT_TRUE(leftoverTemporaryFiles(folder.path()).empty());
}

TEST_F(Overlapping, TwoTogglesOfOneFolderCancelOut) {
  writeBytes(menu, foreignMenu);
  for (int round = 0; round < (underWine() ? 5 : 20); ++round) {
    const std::vector<std::string> toggle = {"-1a", "menu.txt", "C:\\Docs"};
    for (const RunResult& result : runAtOnce({toggle, toggle}, settings)) {
      ASSERT_EQ(result.exitStatus, 0) << result.errorOutput;
    }
    ASSERT_EQ(readBytes(menu), foreignMenu) << "round " << round;
  }
}

// The in-place rewrite keeps both names; its runs take turns like any others.
TEST_F(Overlapping, RunsOnAHardLinkedMenuTakeTurns) {
  fs::create_directory(folder.path() / "other");
  writeBytes(menu, foreignMenu);
  fs::create_hard_link(menu, folder.path() / "other" / "link.txt");
  const int count = underWine() ? 30 : 40;
  std::vector<std::vector<std::string>> runs;
  for (int i = 0; i < count; ++i) {
    runs.push_back({i % 2 == 0 ? "menu.txt" : "other/link.txt", "C:\\f" + std::to_string(i)});
  }
  for (const RunResult& result : runAtOnce(runs, settings)) {
    EXPECT_EQ(result.exitStatus, 0) << result.errorOutput;
  }
  const std::string after = readBytes(menu);
  EXPECT_EQ(readBytes(folder.path() / "other" / "link.txt"), after);
  const std::vector<std::string> lines = splitCrLf(after.substr(3));
  EXPECT_EQ(lines.size(), 4u + static_cast<std::size_t>(count));
  EXPECT_EQ(after.find('\0'), std::string::npos);
}

// A file manager reads the menu whenever it likes; it must never find it missing or cut short.
TEST_F(Overlapping, AReaderAlwaysFindsAWholeMenu) {
  writeBytes(menu, foreignMenu);
  std::atomic<bool> saving = true;
  std::atomic<int> reads = 0;
  std::atomic<int> bad = 0;
  std::thread reader([&] {
    while (saving) {
      const int fd = ::open(menu.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) {
        ++bad;
        continue;
      }
      std::string bytes;
      char buffer[4096];
      for (ssize_t count; (count = ::read(fd, buffer, sizeof buffer)) > 0;) {
        bytes.append(buffer, static_cast<std::size_t>(count));
      }
      ::close(fd);
      if (!bytes.ends_with("; the host's last line\r\n")) {
        ++bad;
      }
      ++reads;
    }
  });
  for (int i = 0; i < (underWine() ? 10 : 40); ++i) {
    EXPECT_EQ(runProgram({"menu.txt", "C:\\Docs"}, settings).exitStatus, 0);
  }
  saving = false;
  reader.join();
  EXPECT_GT(reads, 0);
  EXPECT_EQ(bad, 0) << "of " << reads << " reads";
}

// A run ended in the middle of its save: SIGKILL leaves its temporary file, which the next run
// removes; SIGTERM waits until the save is done and its file gone.
struct KillCase {
  const char* name;
  int signal;
  bool leavesFile;
};

void PrintTo(const KillCase& c, std::ostream* out) {
  *out << c.name;
}

class EndedRun : public Overlapping, public testing::WithParamInterface<KillCase> {};

TEST_P(EndedRun, LeavesNothingForGood) {
  if (!GetParam().leavesFile && underWine()) {
    GTEST_SKIP() << "a Windows program gets no signal to finish its save on";
  }
  const std::string big = largeMenu(200000);
  bool caught = false;
  RunResult ended;
  for (int attempt = 0; attempt < 20 && !caught; ++attempt) {
    writeBytes(menu, big);
    const StartedRun run = startProgram({"-n", "menu.txt", "C:\\New"}, settings);
    while (!caught && isRunning(run)) {
      caught = !leftoverTemporaryFiles(folder.path()).empty();
    }
    ::kill(run.process, GetParam().signal);
    ended = waitForProgram(run);
    caught = caught && ended.signal == GetParam().signal;
  }
  ASSERT_TRUE(caught) << "no run was caught in the middle of its save";
  EXPECT_EQ(leftoverTemporaryFiles(folder.path()).empty(), !GetParam().leavesFile);
  const std::string before = readBytes(menu);
  EXPECT_TRUE(before == big || before.starts_with("\xEF\xBB\xBFzel big\r\n"));
  const RunResult next = runProgram({"menu.txt", "C:\\Other"}, settings);
  EXPECT_EQ(next.exitStatus, 0) << next.errorOutput;
  EXPECT_TRUE(leftoverTemporaryFiles(folder.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(Overlapping, EndedRun,
                         testing::Values(KillCase{"Killed", SIGKILL, true},
                                         KillCase{"Terminated", SIGTERM, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A hard link made while a run is under way (a backup by `cp -al`), and a run through the new name
// at once: every run takes the lock of the file itself, so no edit is lost and no line is torn. The
// names come apart only if the link lands during a rename, and then each is whole.
TEST_F(Overlapping, ALinkMadeWhileARunIsUnderWayLosesNoEdit) {
  const std::string big = largeMenu(underWine() ? 5000 : 50000);
  std::unordered_set<std::string> known;
  for (const std::string& line : splitCrLf(std::regex_replace(big, std::regex("\n"), "\r\n"))) {
    known.insert(line);
  }
  const std::string a = "\"C:\\a\"\t&CD \"C:\\a\"";
  const std::string b = "\"C:\\b\"\t&CD \"C:\\b\"";
  known.insert({a, b});
  const fs::path link = folder.path() / "other" / "link.txt";
  fs::create_directory(folder.path() / "other");
  std::mt19937 random(20261207);
  for (int round = 0; round < (underWine() ? 3 : 10); ++round) {
    fs::remove(link);
    writeBytes(menu, big);
    const StartedRun first = startProgram({"menu.txt", "C:\\a"}, settings);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    fs::create_hard_link(menu, link);
    const StartedRun second = startProgram({"other/link.txt", "C:\\b"}, settings);
    for (const StartedRun& run : {first, second}) {
      const RunResult result = waitForProgram(run);
      ASSERT_EQ(result.exitStatus, 0) << result.errorOutput;
    }
    std::set<std::string> edits;
    for (const fs::path& name : {menu, link}) {
      for (const std::string& line : splitCrLf(readBytes(name).substr(3))) {
        ASSERT_TRUE(known.contains(line)) << "round " << round << ", " << name << ": " << line;
        edits.insert(line);
      }
    }
    EXPECT_TRUE(edits.contains(a) && edits.contains(b)) << "round " << round;
  }
}

// An in-place save (a menu with a second name, or in a folder this user may not write) ended at
// any moment: the next run, through either name, finds the menu whole, old or new.
struct InPlaceCase {
  const char* name;
  int signal;
  bool folderNotWritable;  // else the menu has a second name, in another folder
  bool stateFolderUnwritable;
};

void PrintTo(const InPlaceCase& c, std::ostream* out) {
  *out << c.name;
}

class InPlaceSaveEnded : public Overlapping, public testing::WithParamInterface<InPlaceCase> {};

std::vector<std::string> journalsIn(const fs::path& place) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(place, ignored)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".zelpin-journal-") != std::string::npos && !name.ends_with(".partial")) {
      names.push_back(name);
    }
  }
  return names;
}

TEST_P(InPlaceSaveEnded, LeavesTheMenuWholeOldOrNew) {
  const InPlaceCase& c = GetParam();
  if (underWine() && (c.signal != SIGKILL || c.folderNotWritable || c.stateFolderUnwritable)) {
    GTEST_SKIP() << "the Windows build is tried with a hard link and SIGKILL alone";
  }
  if (c.folderNotWritable && ::geteuid() != 0) {
    GTEST_SKIP() << "needs root to run the program as nobody";
  }
  const std::string big = largeMenu(underWine() ? 50000 : 200000);
  // What one more run makes of the old menu, and of the new one.
  const fs::path side = folder.path() / "side";
  fs::create_directory(side);
  RunSettings sideSettings = settings;
  sideSettings.folder = side;
  writeBytes(side / "old.txt", big);
  writeBytes(side / "new.txt", big);
  ASSERT_EQ(runProgram({"-n", "old.txt"}, sideSettings).exitStatus, 0);
  ASSERT_EQ(runProgram({"-n", "new.txt", "C:\\New"}, sideSettings).exitStatus, 0);
  ASSERT_EQ(runProgram({"-n", "new.txt"}, sideSettings).exitStatus, 0);
  const std::string fromOld = readBytes(side / "old.txt");
  const std::string fromNew = readBytes(side / "new.txt");

  const fs::path menus = folder.path() / "menus";
  const fs::path state = folder.path() / "state";
  fs::create_directory(menus);
  fs::create_directory(state);
  const fs::path theMenu = menus / "menu.txt";
  writeBytes(theMenu, big);
  std::string otherName = "menus/menu.txt";
  if (c.folderNotWritable) {
    settings.asOtherUser = true;
    ASSERT_EQ(::chown(theMenu.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chown(state.c_str(), 65534, 65534), 0);
    fs::permissions(menus, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
  } else {
    fs::create_directory(folder.path() / "other");
    fs::create_hard_link(theMenu, folder.path() / "other" / "link.txt");
    // A journal beside the menu serves runs through that name only.
    otherName = c.stateFolderUnwritable ? "menus/menu.txt" : "other/link.txt";
  }
  settings.stateHome = c.stateFolderUnwritable ? fs::path("/dev/null/state") : state;

  const fs::path journals = state / "zelpin";  // the Windows build keeps them in Wine's prefix
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(runProgram({"-n", "menus/menu.txt", "C:\\New"}, settings).exitStatus, 0);
  const auto duration = std::chrono::steady_clock::now() - started;
  std::mt19937 random(20261207);
  int journalsFound = 0;
  int endedMidway = 0;
  for (int attempt = 0; attempt < (underWine() ? 8 : 20); ++attempt) {
    writeBytes(theMenu, big);
    const StartedRun run = startProgram({"-n", "menus/menu.txt", "C:\\New"}, settings);
    if (attempt % 2 == 0 || underWine()) {
      std::this_thread::sleep_for(duration * (random() % 1000) / 800);
    } else {
      // The journal is complete for a moment only: while it is copied in.
      while (isRunning(run) && journalsIn(journals).empty() && journalsIn(menus).empty()) {
      }
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    }
    ::kill(run.process, c.signal);
    const RunResult ended = waitForProgram(run);
    if (ended.signal != 0) {
      ++endedMidway;
    }
    journalsFound += !journalsIn(journals).empty() || !journalsIn(menus).empty();
    const RunResult next = runProgram({"-n", otherName}, settings);
    ASSERT_EQ(next.exitStatus, 0) << next.errorOutput;
    const std::string after = readBytes(theMenu);
    ASSERT_TRUE(after == fromOld || after == fromNew) << "attempt " << attempt;
  }
  EXPECT_GT(endedMidway, 0) << "no run was ended before it finished";
  if (c.signal == SIGKILL && !underWine()) {
    EXPECT_GT(journalsFound, 0) << "no run was killed while its journal was in place";
  }
  EXPECT_TRUE(journalsIn(menus).empty());
  EXPECT_TRUE(journalsIn(journals).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Stress, InPlaceSaveEnded,
    testing::Values(InPlaceCase{"KilledWithASecondName", SIGKILL, false, false},
                    InPlaceCase{"KilledWithTheJournalBesideIt", SIGKILL, false, true},
                    InPlaceCase{"KilledInAFolderItMayNotWrite", SIGKILL, true, false},
                    InPlaceCase{"TerminatedWithASecondName", SIGTERM, false, false},
                    InPlaceCase{"InterruptedInAFolderItMayNotWrite", SIGINT, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

// Another process holds the lock the way a run takes it: on the menu's folder.
struct LockCase {
  const char* name;
  int holdMilliseconds;
  int exitStatus;
};

class HeldLock : public Overlapping, public testing::WithParamInterface<LockCase> {};

TEST_P(HeldLock, MakesTheRunWaitThenSucceedOrGiveUp) {
  if (underWine()) {
    GTEST_SKIP() << "the Windows program locks with a named mutex; its own tests hold that";
  }
  writeBytes(menu, foreignMenu);
  const int lock = ::open(folder.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  const auto start = std::chrono::steady_clock::now();
  const StartedRun run = startProgram({"menu.txt", "C:\\Docs"}, settings);
  std::this_thread::sleep_for(std::chrono::milliseconds(GetParam().holdMilliseconds));
  const std::string whileHeld = readBytes(menu);
  ::close(lock);
  const RunResult result = waitForProgram(run);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(whileHeld, foreignMenu) << "the run did not wait";
  EXPECT_EQ(result.exitStatus, GetParam().exitStatus) << result.errorOutput;
  if (GetParam().exitStatus == 0) {
    EXPECT_NE(readBytes(menu), foreignMenu);
  } else {
    EXPECT_EQ(result.errorOutput,
              "zelpin: cannot edit 'menu.txt': it is busy: another process has held its lock for "
              "5 seconds\n");
    EXPECT_EQ(readBytes(menu), foreignMenu);
    EXPECT_LT(waited, std::chrono::seconds(7));
  }
}

INSTANTIATE_TEST_SUITE_P(Overlapping, HeldLock,
                         testing::Values(LockCase{"ReleasedSoon", 500, 0},
                                         LockCase{"HeldPastTheDeadline", 6000, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zelpin_test
