// The menu file under faults: permissions, odd file kinds, links, and saves that fail part-way.
// Each ends with the file either unchanged or wholly updated, never anything in between.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "program.h"

namespace zelpin_test {
namespace {

namespace fs = std::filesystem;

const std::string oldMenu = "zel\n\"5 A\"\t&CD \"C:\\A\"\n";
const std::string newMenu =
    "\xEF\xBB\xBFzel\r\n\"0 F\"\t&CD \"C:\\F\"\r\n\"1 A\"\t&CD \"C:\\A\"\r\n";
const std::vector<std::string> toggleF = {"-1n", "menu.txt", "C:\\F"};

void setOwner(const fs::path& path, uid_t user) {
  ASSERT_EQ(::lchown(path.c_str(), user, user), 0) << path;
}

RunSettings settingsIn(const fs::path& folder) {
  RunSettings settings;
  settings.folder = folder;
  return settings;
}

bool runningAsRoot() {
  return ::geteuid() == 0;
}

// Permission cases need a user whom permissions bind; root is not one.
#define REQUIRE_ROOT_TO_SWITCH_USER() \
  if (!runningAsRoot())               \
  GTEST_SKIP() << "needs root to run the program as nobody"

struct Fixture : testing::Test {
  TemporaryFolder folder;
  fs::path menu = folder.path() / "menu.txt";
  RunSettings settings = settingsIn(folder.path());

  void expectNoLeftovers() { EXPECT_TRUE(leftoverTemporaryFiles(folder.path()).empty()); }
};

using Faults = Fixture;

struct PermissionCase {
  const char* name;
  fs::perms menuPermissions;
  const char* error;
};

class MenuPermissions : public Fixture, public testing::WithParamInterface<PermissionCase> {};

// An unreadable menu is neither read as empty nor overwritten; a read-only one stays as it is.
TEST_P(MenuPermissions, LeaveTheMenuUnchangedAndSayWhy) {
  REQUIRE_ROOT_TO_SWITCH_USER();
  writeBytes(menu, oldMenu);
  fs::permissions(menu, GetParam().menuPermissions);
  setOwner(menu, 65534);
  settings.asOtherUser = true;
  const RunResult result = runProgram(toggleF, settings);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.errorOutput, GetParam().error);
  EXPECT_EQ(readBytes(menu), oldMenu);
  expectNoLeftovers();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MenuPermissions,
    testing::Values(PermissionCase{"Unreadable", fs::perms::owner_write,
                                   "zelpin: cannot read 'menu.txt': Permission denied\n"},
                    PermissionCase{
                        "ReadOnly",
                        fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read,
                        "zelpin: cannot write 'menu.txt': Permission denied\n"}),
    [](const testing::TestParamInfo<PermissionCase>& info) {
      return std::string(info.param.name);
    });

TEST_F(Faults, AMenuThatIsAFolderIsReported) {
  fs::create_directory(menu);
  const RunResult result = runProgram(toggleF, settings);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.errorOutput, "zelpin: cannot read 'menu.txt': it is not a regular file\n");
  EXPECT_TRUE(fs::is_directory(menu));
  expectNoLeftovers();
}

TEST_F(Faults, AMenuInAMissingFolderIsNotCreated) {
  const RunResult result = runProgram({"-n", "missing/menu.txt", "C:\\F"}, settings);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.errorOutput,
            "zelpin: cannot write 'missing/menu.txt': No such file or directory\n");
  EXPECT_FALSE(fs::exists(folder.path() / "missing"));
}

TEST_F(Faults, AnEmptyMenuNameIsReported) {
  const RunResult result = runProgram({"-n", "", "C:\\F"}, settings);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.errorOutput, "zelpin: cannot write '': No such file or directory\n");
  expectNoLeftovers();
}

TEST_F(Faults, ASymbolicLinkStaysALinkAndItsTargetIsUpdated) {
  fs::create_directory(folder.path() / "real");
  writeBytes(folder.path() / "real" / "target.txt", oldMenu);
  fs::create_symlink("real/target.txt", menu);
  EXPECT_EQ(runProgram(toggleF, settings).exitStatus, 0);
  EXPECT_TRUE(fs::is_symlink(menu));
  EXPECT_EQ(readBytes(folder.path() / "real" / "target.txt"), newMenu);
  expectNoLeftovers();
  EXPECT_TRUE(leftoverTemporaryFiles(folder.path() / "real").empty());
}

TEST_F(Faults, APermissionModeIsKept) {
  writeBytes(menu, oldMenu);
  fs::permissions(menu, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(runProgram(toggleF, settings).exitStatus, 0);
  EXPECT_EQ(readBytes(menu), newMenu);
  EXPECT_EQ(fs::status(menu).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(Faults, HardLinkedNamesAllShowTheNewContent) {
  writeBytes(menu, oldMenu);
  fs::create_hard_link(menu, folder.path() / "other-name.txt");
  EXPECT_EQ(runProgram(toggleF, settings).exitStatus, 0);
  EXPECT_EQ(readBytes(menu), newMenu);
  EXPECT_EQ(readBytes(folder.path() / "other-name.txt"), newMenu);
  EXPECT_EQ(fs::hard_link_count(menu), 2u);
}

TEST_F(Faults, AWritableMenuInALockedFolderIsRewrittenInPlace) {
  REQUIRE_ROOT_TO_SWITCH_USER();
  const fs::path locked = folder.path() / "locked";
  fs::create_directory(locked);
  writeBytes(locked / "menu.txt", oldMenu);
  setOwner(locked / "menu.txt", 65534);
  fs::permissions(locked, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
  settings.asOtherUser = true;
  const RunResult result = runProgram({"-1n", "locked/menu.txt", "C:\\F"}, settings);
  EXPECT_EQ(result.exitStatus, 0) << result.errorOutput;
  EXPECT_EQ(readBytes(locked / "menu.txt"), newMenu);
  EXPECT_TRUE(leftoverTemporaryFiles(locked).empty());
}

// A save that hits the file size limit: with SIGXFSZ ignored the write fails and the run reports
// it; at its default the signal ends the process in the middle of the save.
struct SizeLimitCase {
  const char* name;
  bool ignoreSignal;
  bool hardLinked;  // forces the in-place rewrite
};

class SizeLimit : public Fixture, public testing::WithParamInterface<SizeLimitCase> {};

TEST_P(SizeLimit, LeavesTheMenuUnchanged) {
  writeBytes(menu, oldMenu);
  if (GetParam().hardLinked) {
    fs::create_hard_link(menu, folder.path() / "other-name.txt");
  }
  settings.fileSizeLimit = oldMenu.size() + 4;  // less than the new content
  settings.ignoreFileSizeSignal = GetParam().ignoreSignal;
  const RunResult result = runProgram(toggleF, settings);
  if (GetParam().ignoreSignal) {
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.errorOutput.rfind("zelpin: cannot write '", 0), 0u) << result.errorOutput;
    expectNoLeftovers();
  } else {
    EXPECT_EQ(result.signal, SIGXFSZ);
  }
  EXPECT_EQ(readBytes(menu), oldMenu);
}

INSTANTIATE_TEST_SUITE_P(Save, SizeLimit,
                         testing::Values(SizeLimitCase{"SignalIgnored", true, false},
                                         SizeLimitCase{"SignalDefault", false, false},
                                         SizeLimitCase{"InPlaceSignalIgnored", true, true},
                                         SizeLimitCase{"InPlaceSignalDefault", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zelpin_test
