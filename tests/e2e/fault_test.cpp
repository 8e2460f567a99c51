// The menu file under faults: permissions, odd file kinds, links, and saves that fail part-way.
// Each ends with the file either unchanged or wholly updated, never anything in between.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

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

TEST_F(Faults, AMenuInAMissingFolderIsNotCreated) {
  const RunResult result = runProgram({"-n", "missing/menu.txt", "C:\\F"}, settings);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.errorOutput,
            "zelpin: cannot write 'missing/menu.txt': No such file or directory\n");
  EXPECT_FALSE(fs::exists(folder.path() / "missing"));
}

// On a file system whose rename is not one step, a crash can leave the temporary file as the only
// whole copy of a menu: it is shown to the user, not removed.
TEST_F(Faults, ALeftoverBesideAMissingMenuIsKept) {
  const fs::path leftover = folder.path() / ".menu.txt.zelpin-Ab12Cd";
  writeBytes(leftover, oldMenu);
  RunResult result = runProgram(toggleF, settings);
  std::erase(result.errorOutput, '\r');  // the Windows build's line end
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.errorOutput,
            "zelpin: cannot write 'menu.txt': it is missing, but '.menu.txt.zelpin-Ab12Cd' beside "
            "it may hold its last content: look at it, then rename it to the menu or remove it\n");
  EXPECT_EQ(readBytes(leftover), oldMenu);
  EXPECT_FALSE(fs::exists(menu));
}

// One cut off before its first byte was written is no last copy of anything.
TEST_F(Faults, AnEmptyLeftoverBesideAMissingMenuIsRemoved) {
  writeBytes(folder.path() / ".menu.txt.zelpin-Ab12Cd", "");
  const RunResult result = runProgram(toggleF, settings);
  EXPECT_EQ(result.exitStatus, 0) << result.errorOutput;
  EXPECT_EQ(readBytes(menu), "\xEF\xBB\xBFzel zelpin\r\n\"0 F\"\t&CD \"C:\\F\"\r\n");
  expectNoLeftovers();
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

TEST_F(Faults, ASymbolicLinkWithoutItsTargetGetsOne) {
  if (std::getenv("ZELPIN_SKIP_POSIX_ONLY") != nullptr) {
    GTEST_SKIP() << "Wine shows a Windows program no symbolic link whose target is missing";
  }
  fs::create_directory(folder.path() / "real");
  fs::create_symlink("real/target.txt", menu);
  EXPECT_EQ(runProgram(toggleF, settings).exitStatus, 0);
  EXPECT_TRUE(fs::is_symlink(menu));
  EXPECT_EQ(readBytes(folder.path() / "real" / "target.txt"),
            "\xEF\xBB\xBFzel zelpin\r\n\"0 F\"\t&CD \"C:\\F\"\r\n");
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

// A folder that takes no new file; one this user may not even list gives no lock either, and the
// run goes on without one.
class LockedFolder : public Fixture, public testing::WithParamInterface<fs::perms> {};

TEST_P(LockedFolder, AWritableMenuInItIsRewrittenInPlace) {
  REQUIRE_ROOT_TO_SWITCH_USER();
  const fs::path locked = folder.path() / "locked";
  fs::create_directory(locked);
  writeBytes(locked / "menu.txt", oldMenu);
  setOwner(locked / "menu.txt", 65534);
  fs::permissions(locked, GetParam());
  settings.asOtherUser = true;
  const RunResult result = runProgram({"-1n", "locked/menu.txt", "C:\\F"}, settings);
  EXPECT_EQ(result.exitStatus, 0) << result.errorOutput;
  EXPECT_EQ(readBytes(locked / "menu.txt"), newMenu);
  EXPECT_TRUE(leftoverTemporaryFiles(locked).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LockedFolder,
    testing::Values(fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                        fs::perms::others_read | fs::perms::others_exec,
                    fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec),
    [](const auto& info) {
      return std::string((info.param & fs::perms::others_read) != fs::perms::none ? "Listable"
                                                                                  : "NotListable");
    });

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

// ---- What is not a menu: refused at once, nothing read past the check, nothing written ----

// A loop device over a file of the test's: a block device the test may watch being left alone.
struct LoopDevice {
  fs::path image;
  std::string device;
  ~LoopDevice() {
    if (!device.empty()) {
      std::system(("losetup -d " + device).c_str());
    }
  }
};

struct NotAMenuCase {
  const char* name;
  // Makes the thing in folder (or attaches loop) and returns the menu argument; empty to skip,
  // with the reason in skipReason.
  std::function<std::string(const fs::path& folder, LoopDevice& loop, std::string& skipReason)>
      make;
};

void PrintTo(const NotAMenuCase& c, std::ostream* out) {
  *out << c.name;
}

class NotAMenu : public Fixture, public testing::WithParamInterface<NotAMenuCase> {};

std::string attachLoopDevice(LoopDevice& loop, std::string& skipReason) {
  if (!runningAsRoot() || std::system("command -v losetup >/dev/null 2>&1") != 0) {
    skipReason = "needs root and losetup";
    return "";
  }
  writeBytes(loop.image, std::string(65536, 'x'));
  const std::string output = loop.image.string() + ".device";
  if (std::system(
          ("losetup -f --show '" + loop.image.string() + "' >'" + output + "' 2>&1").c_str()) !=
      0) {
    skipReason = "losetup could not attach a loop device: " + readBytes(output);
    return "";
  }
  loop.device = readBytes(output);
  loop.device.erase(loop.device.find_last_not_of('\n') + 1);
  return loop.device;
}

TEST_P(NotAMenu, IsRefusedAtOnce) {
  std::string skipReason;
  LoopDevice loop{folder.path() / "image", ""};
  const std::string menuName = GetParam().make(folder.path(), loop, skipReason);
  if (menuName.empty()) {
    GTEST_SKIP() << skipReason;
  }
  const auto start = std::chrono::steady_clock::now();
  const RunResult result = runProgram({"-1n", menuName, "C:\\F"}, settings);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.errorOutput,
            "zelpin: cannot read '" + menuName + "': it is not a regular file\n");
  if (!loop.device.empty()) {
    EXPECT_EQ(readBytes(loop.image), std::string(65536, 'x'));
  }
  expectNoLeftovers();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, NotAMenu,
    testing::Values(
        NotAMenuCase{"Folder",
                     [](const fs::path& folder, LoopDevice&, std::string&) {
                       fs::create_directory(folder / "menu.txt");
                       return std::string("menu.txt");
                     }},
        NotAMenuCase{"Fifo",
                     [](const fs::path& folder, LoopDevice&, std::string&) {
                       ::mkfifo((folder / "menu.txt").c_str(), 0666);
                       return std::string("menu.txt");
                     }},
        NotAMenuCase{"EndlessDevice", [](const fs::path&, LoopDevice&,
                                         std::string&) { return std::string("/dev/zero"); }},
        NotAMenuCase{"NullDevice", [](const fs::path&, LoopDevice&,
                                      std::string&) { return std::string("/dev/null"); }},
        NotAMenuCase{"LoopDevice",
                     [](const fs::path&, LoopDevice& loop, std::string& skipReason) {
                       return attachLoopDevice(loop, skipReason);
                     }}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- What the file carries besides its bytes stays with it ----

std::string commandOutput(const std::string& command) {
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    for (std::size_t count; (count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
      output.append(buffer, count);
    }
    ::pclose(pipe);
  }
  return output;
}

std::string aclAndAttributes(const fs::path& file) {
  return commandOutput("getfacl -cp '" + file.string() + "' 2>&1; getfattr -d -m - '" +
                       file.string() + "' 2>&1 | tail -n +2");
}

TEST_F(Faults, AnAclAndExtendedAttributesAreKept) {
  writeBytes(menu, oldMenu);
  if (std::system(("setfacl -m u:1234:rw-,g:4321:r-- '" + menu.string() +
                   "' && setfattr -n user.note -v kept '" + menu.string() + "'")
                      .c_str()) != 0) {
    GTEST_SKIP() << "needs setfacl and setfattr (Debian's acl and attr) and a file system with "
                    "ACLs and user attributes";
  }
  const std::string before = aclAndAttributes(menu);
  const RunResult result = runProgram(toggleF, settings);
  EXPECT_EQ(result.exitStatus, 0) << result.errorOutput;
  EXPECT_EQ(readBytes(menu), newMenu);
  EXPECT_EQ(aclAndAttributes(menu), before);
}

// A new menu gets what any new file gets there: the umask, and the folder's default ACL.
TEST_F(Faults, ANewMenuGetsWhatTheFolderGivesANewFile) {
  const fs::path shared = folder.path() / "shared";
  fs::create_directory(shared);
  if (std::system(("setfacl -d -m u:1234:rw- '" + shared.string() + "'").c_str()) != 0) {
    GTEST_SKIP() << "needs setfacl (Debian's acl) and a file system with ACLs";
  }
  const int reference = ::open((shared / "reference").c_str(), O_WRONLY | O_CREAT, 0666);
  ASSERT_GE(reference, 0);
  ::close(reference);
  EXPECT_EQ(runProgram({"-1n", "shared/menu.txt", "C:\\F"}, settings).exitStatus, 0);
  EXPECT_EQ(commandOutput("getfacl -cp '" + (shared / "menu.txt").string() + "'"),
            commandOutput("getfacl -cp '" + (shared / "reference").string() + "'"));
  EXPECT_EQ(fs::status(shared / "menu.txt").permissions(),
            fs::status(shared / "reference").permissions());
}

// Another user may write the menu; the save leaves it theirs, also where the folder would not let
// the file be replaced (sticky).
class AnotherUsersMenu : public Fixture, public testing::WithParamInterface<fs::perms> {};

TEST_P(AnotherUsersMenu, StaysTheirsWithItsMode) {
  REQUIRE_ROOT_TO_SWITCH_USER();
  const fs::path shared = folder.path() / "shared";
  fs::create_directory(shared);
  fs::permissions(shared, GetParam());
  writeBytes(shared / "menu.txt", oldMenu);
  fs::permissions(shared / "menu.txt", fs::perms::owner_read | fs::perms::owner_write |
                                           fs::perms::group_read | fs::perms::group_write |
                                           fs::perms::others_read | fs::perms::others_write);
  settings.asOtherUser = true;
  const RunResult result = runProgram({"-1n", "shared/menu.txt", "C:\\F"}, settings);
  EXPECT_EQ(result.exitStatus, 0) << result.errorOutput;
  EXPECT_EQ(readBytes(shared / "menu.txt"), newMenu);
  struct stat status {};
  ASSERT_EQ(::stat((shared / "menu.txt").c_str(), &status), 0);
  EXPECT_EQ(status.st_uid, 0u);
  EXPECT_EQ(status.st_gid, 0u);
  EXPECT_EQ(status.st_mode & 07777, 0666u);
  EXPECT_TRUE(leftoverTemporaryFiles(shared).empty());
}

INSTANTIATE_TEST_SUITE_P(Faults, AnotherUsersMenu,
                         testing::Values(fs::perms::all, fs::perms::all | fs::perms::sticky_bit),
                         [](const auto& info) {
                           return std::string((info.param & fs::perms::sticky_bit) !=
                                                      fs::perms::none
                                                  ? "StickyFolder"
                                                  : "OpenFolder");
                         });

// Root may write another user's menu whose rules grant root nothing (as a share's rules name only
// the server's accounts): the system's answer counts, not a reading of the rules.
TEST_F(Faults, AMenuTheSystemLetsThisUserWriteIsSaved) {
  if (!runningAsRoot()) {
    GTEST_SKIP() << "needs root, whom the menu's mode does not name";
  }
  writeBytes(menu, oldMenu);
  setOwner(menu, 65534);
  fs::permissions(menu, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                            fs::perms::group_write | fs::perms::others_read);
  const RunResult result = runProgram(toggleF, settings);
  EXPECT_EQ(result.exitStatus, 0) << result.errorOutput;
  EXPECT_EQ(readBytes(menu), newMenu);
}

// ---- The file that was read is the file that is saved ----

// Holds the lock a run takes on folder while the test changes what the menu's name leads to.
class FolderLock {
 public:
  explicit FolderLock(const fs::path& folder)
      : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    ::flock(fd_, LOCK_EX);
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  ~FolderLock() { release(); }
  void release() {
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }

 private:
  int fd_;
};

TEST_F(Faults, ALinkSwappedBeforeTheReadStopsTheRun) {
  const fs::path real = folder.path() / "real";
  fs::create_directory(real);
  writeBytes(real / "a.txt", oldMenu);
  writeBytes(real / "b.txt", "zel b\n");
  fs::create_symlink("real/a.txt", menu);
  FolderLock lock(real);
  const StartedRun run = startProgram(toggleF, settings);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the run follows the link
  fs::create_symlink("real/b.txt", folder.path() / "swap");
  fs::rename(folder.path() / "swap", menu);
  lock.release();
  const RunResult result = waitForProgram(run);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.errorOutput,
            "zelpin: cannot read 'menu.txt': it was replaced by another file while it was being "
            "opened\n");
  EXPECT_EQ(readBytes(real / "a.txt"), oldMenu);
  EXPECT_EQ(readBytes(real / "b.txt"), "zel b\n");
}

// The kernel refuses to follow another user's link in a sticky world-writable folder; so does
// the save.
TEST_F(Faults, AProtectedLinkIsNotFollowed) {
  if (!runningAsRoot() || readBytes("/proc/sys/fs/protected_symlinks") != "1\n") {
    GTEST_SKIP() << "needs root and fs.protected_symlinks = 1";
  }
  const fs::path sticky = folder.path() / "sticky";
  fs::create_directory(sticky);
  fs::permissions(sticky, fs::perms::all | fs::perms::sticky_bit);
  writeBytes(folder.path() / "secret.txt", oldMenu);
  fs::permissions(folder.path() / "secret.txt", fs::perms::owner_read | fs::perms::owner_write);
  fs::create_symlink("../secret.txt", sticky / "menu.txt");
  setOwner(sticky / "menu.txt", 65534);
  const RunResult result = runProgram({"-1n", "sticky/menu.txt", "C:\\F"}, settings);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.errorOutput, "zelpin: cannot read 'sticky/menu.txt': Permission denied\n");
  EXPECT_EQ(readBytes(folder.path() / "secret.txt"), oldMenu);
}

// ---- Temporary files live relative to the folder, not to its name ----

TEST_F(Faults, AFolderRenamedDuringTheSaveKeepsNoTemporaryFile) {
  const std::string big = largeMenu(200000);
  bool caught = false;
  for (int attempt = 0; attempt < 20 && !caught; ++attempt) {
    const fs::path sub = folder.path() / "sub";
    const fs::path moved = folder.path() / ("moved" + std::to_string(attempt));
    fs::create_directory(sub);
    writeBytes(sub / "menu.txt", big);
    const StartedRun run = startProgram({"-n", "sub/menu.txt", "C:\\New"}, settings);
    while (isRunning(run) && leftoverTemporaryFiles(sub).empty()) {
    }
    fs::rename(sub, moved);
    caught = !leftoverTemporaryFiles(moved).empty();
    const RunResult result = waitForProgram(run);
    EXPECT_EQ(result.exitStatus, 0) << result.errorOutput;
    EXPECT_TRUE(leftoverTemporaryFiles(moved).empty());
    EXPECT_TRUE(readBytes(moved / "menu.txt").starts_with("\xEF\xBB\xBFzel big\r\n\"0 C:\\New\""));
  }
  EXPECT_TRUE(caught) << "no folder was renamed in the middle of a save";
}

// Temporary names add to the menu's; they are cut to fit the system's limit of 255 bytes a name.
class LongName : public Fixture, public testing::WithParamInterface<std::size_t> {};

TEST_P(LongName, IsSaved) {
  const std::string name = std::string(GetParam() - 4, 'm') + ".txt";
  writeBytes(folder.path() / name, oldMenu);
  const RunResult result = runProgram({"-1n", name, "C:\\F"}, settings);
  EXPECT_EQ(result.exitStatus, 0) << result.errorOutput;
  EXPECT_EQ(readBytes(folder.path() / name), newMenu);
  expectNoLeftovers();
}

INSTANTIATE_TEST_SUITE_P(Faults, LongName, testing::Values(241, 255));

// A private menu's new content is never open to another user, not even while it is written: a
// watcher run as nobody tries to open every temporary file it sees during a hundred saves.
TEST_F(Faults, APrivateMenusTemporaryFileIsNeverOpenToOthers) {
  REQUIRE_ROOT_TO_SWITCH_USER();
  fs::permissions(folder.path(), fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
  writeBytes(menu, largeMenu(20000));
  fs::permissions(menu, fs::perms::owner_read | fs::perms::owner_write);
  const pid_t watcher = ::fork();
  if (watcher == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
      ::_exit(3);
    }
    bool seen = false;
    bool opened = false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!fs::exists(folder.path() / "stop") && std::chrono::steady_clock::now() < until) {
      DIR* names = ::opendir(folder.path().c_str());
      while (const dirent* entry = names != nullptr ? ::readdir(names) : nullptr) {
        if (std::strstr(entry->d_name, ".zelpin-") != nullptr) {
          seen = true;
          const int file = ::openat(::dirfd(names), entry->d_name, O_RDONLY);
          opened = opened || file >= 0;
          ::close(file);
        }
      }
      ::closedir(names);
    }
    ::_exit(opened ? 1 : seen ? 0 : 2);
  }
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(runProgram({"-n", "menu.txt", "C:\\F" + std::to_string(i % 2)}, settings).exitStatus,
              0);
  }
  writeBytes(folder.path() / "stop", "");
  int status = 0;
  ::waitpid(watcher, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: a temporary file was opened; 2: none was ever seen";
}

// A single file bound over the menu (docker run -v menu.txt:...) cannot be renamed over: it is
// saved in place, through the mount.
TEST_F(Faults, AMenuThatIsAMountPointIsSavedInPlace) {
  writeBytes(folder.path() / "source.txt", oldMenu);
  writeBytes(menu, "");
  if (!runningAsRoot() || std::system(("mount --bind '" + (folder.path() / "source.txt").string() +
                                       "' '" + menu.string() + "' 2>/dev/null")
                                          .c_str()) != 0) {
    GTEST_SKIP() << "needs root and a system that lets it mount";
  }
  const RunResult result = runProgram(toggleF, settings);
  const std::string seen = readBytes(menu);
  std::system(("umount '" + menu.string() + "'").c_str());
  EXPECT_EQ(result.exitStatus, 0) << result.errorOutput;
  EXPECT_EQ(seen, newMenu);
  EXPECT_EQ(readBytes(folder.path() / "source.txt"), newMenu);
  expectNoLeftovers();
}

TEST_F(Faults, AMenuWhosePathIsNearTheSystemsLimitIsSaved) {
  constexpr std::size_t pathLength = 4090;  // PATH_MAX is 4096
  fs::path deep = folder.path();
  const std::size_t tail = std::string("/menu.txt").size();
  while (deep.string().size() + tail < pathLength) {
    const std::size_t room = pathLength - deep.string().size() - tail - 1;
    deep /= std::string(std::min<std::size_t>(room, 200), 'd');
  }
  fs::create_directories(deep);
  const fs::path deepMenu = deep / "menu.txt";
  ASSERT_EQ(deepMenu.string().size(), pathLength);
  writeBytes(deepMenu, oldMenu);
  const RunResult result = runProgram({"-1n", deepMenu.string(), "C:\\F"}, settings);
  EXPECT_EQ(result.exitStatus, 0) << result.errorOutput;
  EXPECT_EQ(readBytes(deepMenu), newMenu);
  EXPECT_TRUE(leftoverTemporaryFiles(deep).empty());
}

// ---- Memory runs out ----

TEST_F(Faults, RunningOutOfMemoryIsSaidInWords) {
  settings.memoryLimit = 24 << 20;
  writeBytes(menu, oldMenu);
  if (runProgram(toggleF, settings).exitStatus != 0) {
    GTEST_SKIP() << "the program does not start under a 24 MiB address-space limit (as under "
                    "AddressSanitizer)";
  }
  const std::string big = largeMenu(400000);  // 13 MB
  writeBytes(menu, big);
  const RunResult result = runProgram(toggleF, settings);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.errorOutput, "zelpin: cannot edit 'menu.txt': out of memory\n");
  EXPECT_TRUE(readBytes(menu) == big);
  expectNoLeftovers();
}

}  // namespace
}  // namespace zelpin_test

namespace zelpin_test {
namespace {

// ---- A journal goes back only onto the save it was written for ----

// Runs the program under strace, killed the moment it makes room in the menu: its journal is whole
// and durable then, and the menu untouched. Empty where there is no strace to do so.
std::vector<std::string> killedBeforeTheCopy() {
  for (const char* strace : {"/usr/bin/strace", "/bin/strace"}) {
    if (::access(strace, X_OK) == 0) {
      return {strace, "-f", "-o", "/dev/null", "-e", "inject=fallocate:signal=KILL"};
    }
  }
  return {};
}

#define REQUIRE_STRACE()             \
  if (killedBeforeTheCopy().empty()) \
  GTEST_SKIP() << "needs strace to stop a run at the start of its copy"

std::vector<std::string> namesIn(const fs::path& folder, const std::string& part) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(folder, ignored)) {
    if (entry.path().filename().string().find(part) != std::string::npos) {
      names.push_back(entry.path().filename().string());
    }
  }
  return names;
}

// An ext4 file system of its own, in an image mounted for the test.
class Ext4Disk {
 public:
  Ext4Disk(const fs::path& where, const std::string& options) : path_(where / "disk") {
    const fs::path image = where / "disk.img";
    fs::create_directory(path_);
    mounted_ = runningAsRoot() &&
               std::system(("truncate -s 8M '" + image.string() + "' && mkfs.ext4 -q " + options +
                            " '" + image.string() + "' >/dev/null 2>&1 && mount -o loop '" +
                            image.string() + "' '" + path_.string() + "' 2>/dev/null")
                               .c_str()) == 0;
  }
  Ext4Disk(const Ext4Disk&) = delete;
  Ext4Disk& operator=(const Ext4Disk&) = delete;
  ~Ext4Disk() {
    if (mounted_) {
      std::system(("umount '" + path_.string() + "'").c_str());
    }
  }
  bool mounted() const { return mounted_; }
  const fs::path& path() const { return path_; }
  void fill() const {
    std::system(("dd if=/dev/zero of='" + (path_ / "filler").string() + "' bs=4k 2>/dev/null; " +
                 "dd if=/dev/zero of='" + (path_ / "crumbs").string() + "' bs=1 2>/dev/null")
                    .c_str());
  }

 private:
  fs::path path_;
  bool mounted_ = false;
};

#define REQUIRE_DISK(disk) \
  if (!(disk).mounted())   \
  GTEST_SKIP() << "needs root, mkfs.ext4 and a loop device to mount an image"

struct Journals : Fixture {
  fs::path link = folder.path() / "link.txt";
  fs::path state = folder.path() / "state";
  Journals() {
    settings.stateHome = state;
    writeBytes(menu, oldMenu);
    fs::create_hard_link(menu, link);  // saved in place
  }
  // A run of toggleF killed with its journal whole and the menu untouched.
  void killBeforeTheCopy() {
    RunSettings killed = settings;
    killed.wrapper = killedBeforeTheCopy();
    ASSERT_EQ(runProgram(toggleF, killed).signal, SIGKILL);
    ASSERT_EQ(namesIn(state / "zelpin", ".zelpin-journal-").size(), 1u);
  }
};

const std::string later = "\"9 Later\"\t&CD \"C:\\Later\"\r\n";

// Written in place through the other name after the kill, by anyone: the journal is stale.
TEST_F(Journals, AStaleOneNeverUndoesALaterWrite) {
  REQUIRE_STRACE();
  killBeforeTheCopy();
  std::ofstream(link, std::ios::app) << later;
  const RunResult result = runProgram({"-n", "menu.txt", "C:\\Next"}, settings);
  EXPECT_EQ(result.exitStatus, 2) << result.errorOutput;
  EXPECT_NE(result.errorOutput.find("does not fit it as it is now and is set aside as"),
            std::string::npos)
      << result.errorOutput;
  EXPECT_NE(readBytes(menu).find("Later"), std::string::npos);
  EXPECT_EQ(namesIn(state / "zelpin", ".zelpin-set-aside-").size(), 1u);
  EXPECT_EQ(runProgram({"-n", "menu.txt"}, settings).exitStatus, 0) << "set aside for good";
}

// The journal's folder read-only after the kill: the journal is put in once, then stays, and is
// never put in again over a later save.
TEST_F(Journals, OneThatCannotBeRemovedIsPutInOnce) {
  REQUIRE_ROOT_TO_SWITCH_USER();
  REQUIRE_STRACE();
  settings.asOtherUser = true;
  fs::create_directory(state);
  for (const fs::path& path : {folder.path(), state, menu}) {
    setOwner(path, 65534);
  }
  killBeforeTheCopy();
  fs::permissions(state / "zelpin", fs::perms::owner_read | fs::perms::owner_exec);
  for (const char* added : {"C:\\X", "C:\\Y"}) {
    const RunResult result = runProgram({"-1n", "menu.txt", added}, settings);
    EXPECT_EQ(result.exitStatus, 2) << result.errorOutput;
  }
  for (const char* entry : {"C:\\F", "C:\\X", "C:\\Y"}) {
    EXPECT_NE(readBytes(menu).find(entry), std::string::npos) << entry;
  }
}

// Another member of a shared folder renames the victim's private file to the journal's name.
TEST_F(Journals, OneInAFolderOthersMayWriteIsNotTrusted) {
  REQUIRE_ROOT_TO_SWITCH_USER();
  const fs::path shared = folder.path() / "shared";
  fs::create_directory(shared);
  ASSERT_EQ(::chown(shared.c_str(), 0, 65534), 0);
  ::chmod(shared.c_str(), 02770);
  writeBytes(shared / "menu.txt", oldMenu);
  fs::create_hard_link(shared / "menu.txt", shared / "link.txt");
  writeBytes(shared / "secret.txt", "my secret\n");
  for (const char* name : {"menu.txt", "secret.txt"}) {
    setOwner(shared / name, 65534);
  }
  struct statx menuStatus {};
  ASSERT_EQ(
      ::statx(AT_FDCWD, (shared / "menu.txt").c_str(), 0, STATX_INO | STATX_BTIME, &menuStatus), 0);
  char name[128];
  std::snprintf(
      name, sizeof name, ".zelpin-journal-%llx-%llx-%llx",
      static_cast<unsigned long long>(makedev(menuStatus.stx_dev_major, menuStatus.stx_dev_minor)),
      static_cast<unsigned long long>(menuStatus.stx_ino),
      static_cast<unsigned long long>(menuStatus.stx_btime.tv_sec * 1000000000ll +
                                      menuStatus.stx_btime.tv_nsec));
  fs::rename(shared / "secret.txt", shared / name);
  settings.asOtherUser = true;
  settings.stateHome = "/dev/null/state";  // so that the journal would lie beside the menu
  const RunResult result = runProgram({"-1n", "shared/menu.txt", "C:\\F"}, settings);
  EXPECT_EQ(result.exitStatus, 0) << result.errorOutput;
  EXPECT_EQ(readBytes(shared / "menu.txt"), newMenu);
  EXPECT_EQ(readBytes(shared / name), "my secret\n");
}

// A new menu that got the inode of a deleted one, where the file system keeps no birth time.
TEST_F(Journals, OneOfADeletedMenuStaysOutOfItsSuccessor) {
  REQUIRE_STRACE();
  const Ext4Disk disk(folder.path(), "-I 128");
  REQUIRE_DISK(disk);
  writeBytes(disk.path() / "menu.txt", oldMenu);
  fs::create_hard_link(disk.path() / "menu.txt", disk.path() / "link.txt");
  struct stat before {};
  ::stat((disk.path() / "menu.txt").c_str(), &before);
  RunSettings killed = settings;
  killed.wrapper = killedBeforeTheCopy();
  ASSERT_EQ(runProgram({"-1n", "disk/menu.txt", "C:\\Killed"}, killed).signal, SIGKILL);
  fs::remove(disk.path() / "menu.txt");
  fs::remove(disk.path() / "link.txt");
  writeBytes(disk.path() / "menu.txt", "zel new\n");
  struct stat after {};
  ::stat((disk.path() / "menu.txt").c_str(), &after);
  if (after.st_ino != before.st_ino) {
    GTEST_SKIP() << "the file system gave the new menu another inode";
  }
  const RunResult result = runProgram({"-n", "disk/menu.txt"}, settings);
  EXPECT_EQ(result.exitStatus, 2) << result.errorOutput;
  EXPECT_EQ(readBytes(disk.path() / "menu.txt"), "\xEF\xBB\xBFzel new\r\n");
}

// The menu's disk is full: nothing is written, not even room past its end.
TEST_F(Journals, AFullDiskLeavesTheMenuAsItWas) {
  const Ext4Disk disk(folder.path(), "-m 0");
  REQUIRE_DISK(disk);
  writeBytes(disk.path() / "menu.txt", largeMenu(25000));
  fs::create_hard_link(disk.path() / "menu.txt", disk.path() / "link.txt");
  disk.fill();
  const RunResult result = runProgram({"-n", "disk/menu.txt", "C:\\F"}, settings);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.errorOutput, "zelpin: cannot write 'disk/menu.txt': No space left on device\n");
  EXPECT_TRUE(readBytes(disk.path() / "menu.txt") == largeMenu(25000));
}

// The state folder's disk is full: the journal goes beside the menu.
TEST_F(Journals, AFullStateFolderSendsItBesideTheMenu) {
  const Ext4Disk disk(folder.path(), "-m 0");
  REQUIRE_DISK(disk);
  fs::create_directory(disk.path() / "zelpin");
  fs::permissions(disk.path() / "zelpin", fs::perms::owner_all);
  disk.fill();
  settings.stateHome = disk.path();
  fs::permissions(folder.path(), fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
  const RunResult result = runProgram(toggleF, settings);
  EXPECT_EQ(result.exitStatus, 0) << result.errorOutput;
  EXPECT_EQ(readBytes(link), newMenu);
  EXPECT_TRUE(namesIn(folder.path(), ".zelpin-journal-").empty());
}

// Root with another user's HOME, as sudo keeps it on some systems: nothing of root's there.
TEST_F(Journals, NoFolderIsMadeInAnotherUsersHome) {
  REQUIRE_ROOT_TO_SWITCH_USER();
  const fs::path home = folder.path() / "home";
  fs::create_directory(home);
  setOwner(home, 65534);
  settings.home = home;
  const RunResult result = runProgram(toggleF, settings);
  EXPECT_EQ(result.exitStatus, 0) << result.errorOutput;
  EXPECT_EQ(readBytes(menu), newMenu);
  EXPECT_FALSE(fs::exists(home / ".local"));
}

}  // namespace
}  // namespace zelpin_test

namespace zelpin_test {
namespace {

// ---- Undo: only over the save it undoes ----

struct UndoCase {
  const char* name;
  bool hardLinked;   // saved in place; the undo goes through the other name
  bool asOtherUser;  // so that permissions bind
  // What happens after the toggle, before the undo: another program's change, a mode.
  void (*between)(const fs::path& menu);
  int exitStatus;
  const char* error;  // the undo's line after "zelpin: ", or nothing
};

void PrintTo(const UndoCase& c, std::ostream* out) {
  *out << c.name;
}

class Undo : public Fixture, public testing::WithParamInterface<UndoCase> {};

TEST_P(Undo, PutsBackOnlyWhatTheLastSaveWrote) {
  const UndoCase& c = GetParam();
  if (c.asOtherUser && (!runningAsRoot() || std::getenv("ZELPIN_SKIP_POSIX_ONLY") != nullptr)) {
    GTEST_SKIP() << "needs root to run the program as nobody (Wine runs as its prefix's owner)";
  }
  const fs::path state = folder.path() / "state";
  settings.stateHome = state;
  settings.asOtherUser = c.asOtherUser;
  writeBytes(menu, oldMenu);
  std::string name = "menu.txt";
  if (c.hardLinked) {
    fs::create_hard_link(menu, folder.path() / "other.txt");
    name = "other.txt";
  }
  if (c.asOtherUser) {
    fs::create_directory(state);
    setOwner(state, 65534);
    setOwner(menu, 65534);
  }
  if (c.between != nullptr || c.exitStatus == 0) {
    ASSERT_EQ(runProgram(toggleF, settings).exitStatus, 0);
  }
  if (c.between != nullptr) {
    c.between(menu);
  }
  const std::string before = readBytes(menu);
  RunResult result = runProgram({"-u", name}, settings);
  std::erase(result.errorOutput, '\r');  // the Windows build's line end
  EXPECT_EQ(result.exitStatus, c.exitStatus) << result.errorOutput;
  if (c.exitStatus == 0) {
    EXPECT_EQ(readBytes(menu), oldMenu);
    EXPECT_EQ(result.errorOutput, "");
  } else {
    EXPECT_EQ(readBytes(menu), before);
    EXPECT_EQ(result.errorOutput, std::string("zelpin: ") + c.error + "\n");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, Undo,
    testing::Values(
        UndoCase{"AfterAToggle", false, false, nullptr, 0, ""},
        UndoCase{"ThroughTheOtherNameOfAHardLinkedMenu", true, false, nullptr, 0, ""},
        UndoCase{"WithNoRecord", false, false, nullptr, 1,
                 "cannot undo 'menu.txt': zelpin kept no record of a save of it"},
        UndoCase{"AfterAHandEdit", false, false,
                 [](const fs::path& menu) { std::ofstream(menu, std::ios::app) << "; mine\n"; }, 1,
                 "cannot undo 'menu.txt': it has changed since zelpin last saved it"},
        // Another program saves by rename: the menu is another file now.
        UndoCase{"AfterAnotherProgramsSave", false, false,
                 [](const fs::path& menu) {
                   writeBytes(menu.string() + ".new", "zel\n");
                   fs::rename(menu.string() + ".new", menu);
                 },
                 1, "cannot undo 'menu.txt': zelpin kept no record of a save of it"},
        UndoCase{"OfAMenuTheUserMayNotWrite", false, true,
                 [](const fs::path& menu) { fs::permissions(menu, fs::perms::owner_read); }, 1,
                 "cannot write 'menu.txt': Permission denied"}),
    [](const auto& info) { return std::string(info.param.name); });

// Root saving a menu in a folder another user may write keeps what it replaced as bytes of its own:
// nothing of that user's is linked into root's state folder, nor made private by a name there.
TEST_F(Faults, RootKeepsNothingOfAnotherUsersFileForAnUndo) {
  REQUIRE_ROOT_TO_SWITCH_USER();
  const fs::path home = folder.path() / "home";
  fs::create_directory(home);
  setOwner(home, 65534);
  writeBytes(home / "m", oldMenu);
  setOwner(home / "m", 65534);
  fs::permissions(home / "m", fs::perms::owner_read | fs::perms::owner_write |
                                  fs::perms::group_read | fs::perms::others_read);
  settings.stateHome = folder.path() / "state";
  const RunResult result = runProgram({"-1n", "home/m", "C:\\F"}, settings);
  EXPECT_EQ(result.exitStatus, 0) << result.errorOutput;
  const fs::path records = folder.path() / "state" / "zelpin";
  ASSERT_EQ(namesIn(records, ".zelpin-undo-").size(), 1u);
  for (const auto& entry : fs::directory_iterator(records)) {
    struct stat status {};
    ASSERT_EQ(::lstat(entry.path().c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode) && status.st_uid == 0 && status.st_nlink == 1)
        << entry.path() << " is not root's own file";
  }
  EXPECT_EQ(runProgram({"-u", "home/m"}, settings).exitStatus, 0);
  EXPECT_EQ(readBytes(home / "m"), oldMenu);
}

// What a save replaced is kept where only its user can read it.
TEST_F(Faults, AnUndoRecordIsClosedToOtherUsers) {
  REQUIRE_ROOT_TO_SWITCH_USER();
  settings.stateHome = folder.path() / "state";
  writeBytes(menu, oldMenu);
  fs::permissions(menu, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
  ASSERT_EQ(runProgram(toggleF, settings).exitStatus, 0);
  const fs::path records = folder.path() / "state" / "zelpin";
  ASSERT_EQ(namesIn(records, ".zelpin-undo-").size(), 1u);
  const pid_t reader = ::fork();
  if (reader == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
      ::_exit(3);
    }
    for (const std::string& name : namesIn(records, ".zelpin-undo-")) {
      if (::open((records / name).c_str(), O_RDONLY) >= 0) {
        ::_exit(1);
      }
    }
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(reader, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "another user could read a record";
  for (const std::string& name : namesIn(records, ".zelpin-undo-")) {
    EXPECT_EQ(fs::status(records / name).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write)
        << name;
  }
}

}  // namespace
}  // namespace zelpin_test
