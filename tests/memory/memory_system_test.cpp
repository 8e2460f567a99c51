// What the file system in memory keeps through a power cut, shown through the platform's own
// functions: the crash test's verdicts are only as good as this model.
#include "memory_system.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace zelpin::memory {
namespace {

using namespace platform;

struct PowerCutCase {
  const char* name;
  bool flushFile;
  bool flushFolder;
  // What the states after a cut may hold at the new name: its bytes, or none for no such name.
  std::vector<std::optional<std::string>> possible;
};

class PowerCut : public testing::TestWithParam<PowerCutCase> {};

// A file of two blocks written under a new name, flushed or not, its folder flushed or not.
TEST_P(PowerCut, KeepsWhatWasFlushedAndAnySubsetOfTheRest) {
  World w;
  const std::string bytes = std::string(512, 'a') + "b";
  {
    const Location folder = locate(u"/home/me/new.txt");
    Opened file = createBeside(folder, u"new.txt", NewFile{});
    ASSERT_EQ(writeAll(file.handle.get(), bytes), 0u);
    if (GetParam().flushFile) {
      ASSERT_EQ(flush(file.handle.get()), 0u);
    }
    if (GetParam().flushFolder) {
      ASSERT_EQ(flushFolder(folder), 0u);
    }
  }
  std::vector<std::optional<std::string>> seen;
  for (const Disk& state : powerCutStates(w.disk)) {
    w.disk = state;
    const std::optional<std::string> found = w.bytesOf(u"/home/me/new.txt");
    if (std::find(seen.begin(), seen.end(), found) == seen.end()) {
      seen.push_back(found);
    }
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, GetParam().possible);
}

const std::string zeros(512, '\0');
const std::string as(512, 'a');

INSTANTIATE_TEST_SUITE_P(
    Memory, PowerCut,
    testing::Values(
        PowerCutCase{"NothingFlushed",
                     false,
                     false,
                     {std::nullopt, "", zeros + '\0', zeros + 'b', as + '\0', as + 'b'}},
        PowerCutCase{"OnlyTheFile", true, false, {std::nullopt, as + 'b'}},
        PowerCutCase{
            "OnlyTheFolder", false, true, {"", zeros + '\0', zeros + 'b', as + '\0', as + 'b'}},
        PowerCutCase{"Both", true, true, {as + 'b'}}),
    [](const auto& info) { return std::string(info.param.name); });

// A rename is one step: never both names, never neither; and a later change of the folder is kept
// only with every earlier one.
TEST(Memory, APowerCutKeepsAFoldersChangesInOrder) {
  World w;
  w.putFile(u"/home/me/a", "A");
  {
    const Location folder = locate(u"/home/me/a");
    ASSERT_EQ(renameBeside(folder, u"a", u"b"), 0u);
    ASSERT_EQ(removeBeside(folder, u"b"), 0u);
  }
  std::vector<std::vector<std::u16string>> seen;
  for (const Disk& state : powerCutStates(w.disk)) {
    w.disk = state;
    seen.push_back(w.namesIn(u"/home/me"));
  }
  EXPECT_EQ(seen, (std::vector<std::vector<std::u16string>>{{u"a"}, {u"b"}, {}}));
}

// Stopped at a call, the disk is as it was before that call; the run itself goes on in memory
// only.
TEST(Memory, AStopKeepsTheDiskAsItWasAtThatCall) {
  World w;
  w.putFile(u"/home/me/menu.txt", "zel\n");
  w.arm(stopAt("renameBeside", 1));
  EXPECT_EQ(w.run({u"-1n", u"menu.txt", u"C:\\F"}).status, 0);
  ASSERT_TRUE(w.stopped);
  w.disk = *w.stopped;
  EXPECT_EQ(w.bytesOf(u"/home/me/menu.txt"), "zel\n");
  EXPECT_EQ(w.openHandles(), 0u);
}

}  // namespace
}  // namespace zelpin::memory
