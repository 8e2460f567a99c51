// Cases only Windows has: wide command lines (with lone surrogates), file attributes, hard links
// through the Windows API. zelpin.exe is started with CreateProcessW and a command line built here.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "storage/platform/platform_file.h"
#include "storage/records/names.h"

namespace {

namespace fs = std::filesystem;

fs::path programPath() {
  std::wstring self(MAX_PATH, L'\0');
  self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
  return fs::path(self).parent_path() / L"zelpin.exe";
}

// Runs the program with arguments as a file manager passes them: one line, which Windows' own
// rules split into words.
// A standard error it is given, as a script gives one: without one, a failure is shown in a box.
DWORD runCommandLine(const std::wstring& arguments, const fs::path& folder) {
  std::wstring commandLine = L"\"" + programPath().wstring() + L"\" " + arguments;
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  HANDLE nowhere = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inherited, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdError = startup.hStdOutput = nowhere;
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, folder.c_str(), &startup, &process);
  CloseHandle(nowhere);
  if (!started) {
    ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
    return 999;
  }
  WaitForSingleObject(process.hProcess, 60000);
  DWORD status = 999;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return status;
}

// Quotes each word; none of the words here holds a quote or ends in a backslash.
DWORD runZelpin(const std::vector<std::wstring>& words, const fs::path& folder) {
  std::wstring arguments;
  for (const std::wstring& word : words) {
    arguments += L" \"" + word + L"\"";
  }
  return runCommandLine(arguments, folder);
}

std::string readBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const fs::path& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary) << bytes;
}

class WindowsProgram : public testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    folder_ = fs::temp_directory_path() / (L"zelpin-win-" + std::to_wstring(random()));
    fs::create_directory(folder_);
  }
  void TearDown() override {
    for (const auto& entry : fs::directory_iterator(folder_)) {
      SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
      const std::wstring name = entry.path().filename().wstring();
      EXPECT_TRUE(name.find(L".zelpin-") == std::wstring::npos || name.ends_with(L".zelpin-lock"))
          << "a temporary file stayed behind";
    }
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  fs::path folder_;
};

const std::string bom = "\xEF\xBB\xBF";
const std::string oldMenu = "zel\n\"5 A\"\t&CD \"C:\\A\"\n";

// The forms the README gives for a file manager's command, whose placeholder stands for the folder
// (C:\Program Files\App, or D:\ for a drive's root).
struct CommandLineCase {
  const char* name;
  const wchar_t* arguments;
  const char* entry;
};

void PrintTo(const CommandLineCase& c, std::ostream* out) {
  *out << c.name;
}

class FileManagerCommand : public WindowsProgram,
                           public testing::WithParamInterface<CommandLineCase> {};

TEST_P(FileManagerCommand, GivesTheFolderAsTheFileManagerMeantIt) {
  EXPECT_EQ(runCommandLine(GetParam().arguments, folder_), 0u);
  EXPECT_EQ(readBytes(folder_ / "menu.txt"), bom + "zel zelpin\r\n" + GetParam().entry + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    WindowsProgram, FileManagerCommand,
    testing::Values(CommandLineCase{"QuotedFolder", L"-1n menu.txt \"C:\\Program Files\\App\"",
                                    "\"0 App\"\t&CD \"C:\\Program Files\\App\""},
                    CommandLineCase{"QuotedDriveRootLosesItsBackslash", L"-1n menu.txt \"D:\\\"",
                                    "\"0 D:\"\t&CD \"D:\""},
                    CommandLineCase{"BackslashBeforeTheClosingQuote",
                                    L"-1n menu.txt \"C:\\Program Files\\App\\\"",
                                    "\"0 App\"\t&CD \"C:\\Program Files\\App\""},
                    CommandLineCase{"BackslashBeforeTheClosingQuoteOfADriveRoot",
                                    L"-1n menu.txt \"D:\\\\\"", "\"0 \"\t&CD \"D:\\\""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowsProgram, NonAsciiMenuNameAndFolder) {
  const std::wstring menuName = L"\u30E1\u30CB\u30E5\u30FC.txt";  // メニュー.txt
  EXPECT_EQ(runZelpin({L"-1n", menuName, L"C:\\\u5199\u771F\\\U0001F600"}, folder_), 0u);
  EXPECT_EQ(readBytes(folder_ / menuName),
            bom +
                "zel zelpin\r\n\"0 \xF0\x9F\x98\x80\"\t&CD \"C:\\\xE5\x86\x99\xE7\x9C\x9F\\"
                "\xF0\x9F\x98\x80\"\r\n");
}

TEST_F(WindowsProgram, ALoneLowSurrogateIsWrittenAsItsThreeByteForm) {
  EXPECT_EQ(runZelpin({L"menu.txt", std::wstring(L"C:\\x") + wchar_t(0xDC00), L"L"}, folder_), 0u);
  EXPECT_EQ(readBytes(folder_ / "menu.txt"),
            bom + "zel zelpin\r\n\"L\"\t&CD \"C:\\x\xED\xB0\x80\"\r\n");
}

TEST_F(WindowsProgram, ALoneHighSurrogateStopsTheRunAndLeavesTheMenu) {
  writeBytes(folder_ / "menu.txt", oldMenu);
  EXPECT_EQ(runZelpin({L"menu.txt", std::wstring(L"C:\\x") + wchar_t(0xD800), L"L"}, folder_), 1u);
  EXPECT_EQ(readBytes(folder_ / "menu.txt"), oldMenu);
}

// What cannot be a menu, or cannot be written, fails at once: waiting would not help.
struct RefusedCase {
  const char* name;
  // Makes the thing in folder and returns the menu argument.
  std::wstring (*make)(const fs::path& folder);
  DWORD patienceMilliseconds;
};

void PrintTo(const RefusedCase& c, std::ostream* out) {
  *out << c.name;
}

class Refused : public WindowsProgram, public testing::WithParamInterface<RefusedCase> {};

TEST_P(Refused, FailsAtOnceAndLeavesTheMenu) {
  writeBytes(folder_ / "menu.txt", oldMenu);
  const std::wstring menu = GetParam().make(folder_);
  // Windows 11 no longer takes COM1.menu for the port: there it is a menu like any other name.
  wchar_t full[MAX_PATH];
  GetFullPathNameW((folder_ / menu).c_str(), MAX_PATH, full, nullptr);
  const bool aDevice = std::wstring_view(full).starts_with(L"\\\\.\\");
  if (!aDevice && GetParam().patienceMilliseconds > 700) {
    EXPECT_EQ(runZelpin({L"-1n", menu, L"C:\\F"}, folder_), 0u);
    EXPECT_TRUE(fs::exists(full));
    DeleteFileW(full);
    return;
  }
  const DWORD started = GetTickCount();
  EXPECT_EQ(runZelpin({L"-1n", menu, L"C:\\F"}, folder_), 1u);
  EXPECT_LT(GetTickCount() - started, GetParam().patienceMilliseconds);
  EXPECT_EQ(readBytes(folder_ / "menu.txt"), oldMenu);
}

// Starting the program under Wine takes some hundred milliseconds of the patience.
INSTANTIATE_TEST_SUITE_P(
    WindowsProgram, Refused,
    testing::Values(
        RefusedCase{"ReadOnly",
                    [](const fs::path& folder) {
                      SetFileAttributesW((folder / "menu.txt").c_str(), FILE_ATTRIBUTE_READONLY);
                      return std::wstring(L"menu.txt");
                    },
                    700},
        RefusedCase{"Folder",
                    [](const fs::path& folder) {
                      fs::create_directory(folder / "folder.txt");
                      return std::wstring(L"folder.txt");
                    },
                    700},
        RefusedCase{"SerialPort", [](const fs::path&) { return std::wstring(L"COM1"); }, 3000},
        RefusedCase{"AuxDevice", [](const fs::path&) { return std::wstring(L"AUX"); }, 3000},
        RefusedCase{"DeviceNameInAFolder",
                    [](const fs::path& folder) { return (folder / L"COM1.menu").wstring(); },
                    3000}),
    [](const auto& info) { return std::string(info.param.name); });

// ReplaceFileW used to keep these; the rename must carry them over itself.
TEST_F(WindowsProgram, AttributesAndTheNamesSpellingAreKept) {
  const fs::path menu = folder_ / "menu.txt";
  writeBytes(menu, oldMenu);
  ASSERT_TRUE(SetFileAttributesW(menu.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(runZelpin({L"-1n", L"MENU.TXT", L"C:\\F"}, folder_), 0u);
  EXPECT_EQ(readBytes(menu), bom + "zel\r\n\"0 F\"\t&CD \"C:\\F\"\r\n\"1 A\"\t&CD \"C:\\A\"\r\n");
  const DWORD attributes = GetFileAttributesW(menu.c_str());
  EXPECT_EQ(attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY),
            DWORD{FILE_ATTRIBUTE_HIDDEN});
  std::vector<std::wstring> names;
  for (const auto& entry : fs::directory_iterator(folder_)) {
    if (!entry.path().filename().wstring().ends_with(L".zelpin-lock")) {
      names.push_back(entry.path().filename().wstring());
    }
  }
  EXPECT_EQ(names, std::vector<std::wstring>{L"menu.txt"});
}

TEST_F(WindowsProgram, ANewMenuIsNotLeftTemporaryOrHidden) {
  EXPECT_EQ(runZelpin({L"-1n", L"menu.txt", L"C:\\F"}, folder_), 0u);
  EXPECT_EQ(GetFileAttributesW((folder_ / "menu.txt").c_str()) &
                (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY),
            0u);
}

// Past MAX_PATH, without the system's long-path setting.
TEST_F(WindowsProgram, AMenuPastTheOldPathLimitIsSaved) {
  std::wstring deep = L"\\\\?\\" + fs::absolute(folder_).wstring();
  for (int level = 0; level < 3; ++level) {
    deep += L"\\" + std::wstring(100, L'd');
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr)) << GetLastError();
  }
  const std::wstring menu = deep.substr(4) + L"\\menu.txt";
  ASSERT_GT(menu.size(), 300u);
  EXPECT_EQ(runZelpin({L"-1n", menu, L"C:\\F"}, folder_), 0u);
  HANDLE file = CreateFileW((deep + L"\\menu.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  char bytes[64] = {};
  DWORD count = 0;
  ReadFile(file, bytes, sizeof bytes, &count, nullptr);
  CloseHandle(file);
  EXPECT_EQ(std::string(bytes, count), bom + "zel zelpin\r\n\"0 F\"\t&CD \"C:\\F\"\r\n");
  std::error_code ignored;
  fs::remove_all(fs::path(deep.substr(0, deep.size() - 202)), ignored);
}

TEST_F(WindowsProgram, ASuccessfulRunExitsWithZeroAndReplacesTheMenu) {
  writeBytes(folder_ / "menu.txt", oldMenu);
  EXPECT_EQ(runZelpin({L"-1n", L"menu.txt", L"C:\\F"}, folder_), 0u);
  EXPECT_EQ(readBytes(folder_ / "menu.txt"),
            bom + "zel\r\n\"0 F\"\t&CD \"C:\\F\"\r\n\"1 A\"\t&CD \"C:\\A\"\r\n");
}

TEST_F(WindowsProgram, HardLinkedNamesAllShowTheNewContent) {
  writeBytes(folder_ / "menu.txt", oldMenu);
  ASSERT_TRUE(
      CreateHardLinkW((folder_ / "other.txt").c_str(), (folder_ / "menu.txt").c_str(), nullptr));
  EXPECT_EQ(runZelpin({L"-d", L"menu.txt", L"C:\\A"}, folder_), 0u);
  EXPECT_EQ(readBytes(folder_ / "menu.txt"), bom + "zel\r\n");
  EXPECT_EQ(readBytes(folder_ / "other.txt"), bom + "zel\r\n");
}

bool underWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

DWORD setRules(const fs::path& path, const std::wstring& rules, SECURITY_INFORMATION how) {
  void* descriptor = nullptr;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL acl = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(rules.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return GetLastError();
  }
  GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted);
  const DWORD error =
      SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | how, nullptr, nullptr, acl, nullptr);
  LocalFree(descriptor);
  return error;
}

// The user this test runs as, in the S-1-5-... form.
std::wstring thisUser() {
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  BYTE buffer[256];
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size);
  CloseHandle(token);
  wchar_t* text = nullptr;
  ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text);
  std::wstring user = text;
  LocalFree(text);
  return user;
}

// Windows will not shorten a file while another program maps it: the old end of a hard-linked
// menu that shrinks is then line ends only, never a fragment of an old line, and the run says so.
// The same without a journal: no state folder, and a folder anyone may write takes none either.
class MappedMenu : public WindowsProgram, public testing::WithParamInterface<bool> {};

TEST_P(MappedMenu, ThatShrinksKeepsNoFragment) {
  wchar_t state[MAX_PATH] = L"";
  GetEnvironmentVariableW(L"LOCALAPPDATA", state, MAX_PATH);
  if (!GetParam()) {
    SetEnvironmentVariableW(L"LOCALAPPDATA", (folder_ / L"none").c_str());
    ASSERT_EQ(setRules(folder_, L"D:(A;OICI;FA;;;WD)", UNPROTECTED_DACL_SECURITY_INFORMATION), 0u);
  }
  const std::string entries = "\"0 A\"\t&CD \"C:\\A\"\n\"1 B\"\t&CD \"C:\\B\"\n";
  writeBytes(folder_ / "menu.txt", "zel\n" + entries + "\"2 Cee\"\t&CD \"C:\\Cee\"\n");
  ASSERT_TRUE(
      CreateHardLinkW((folder_ / "other.txt").c_str(), (folder_ / "menu.txt").c_str(), nullptr));
  HANDLE file = CreateFileW((folder_ / "menu.txt").c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  ASSERT_NE(view, nullptr);
  const DWORD status = runZelpin({L"-d", L"menu.txt", L"C:\\Cee"}, folder_);
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  CloseHandle(file);
  SetEnvironmentVariableW(L"LOCALAPPDATA", state);
  const std::string saved = bom + "zel\r\n\"0 A\"\t&CD \"C:\\A\"\r\n\"1 B\"\t&CD \"C:\\B\"\r\n";
  const std::string after = readBytes(folder_ / "menu.txt");
  ASSERT_TRUE(after.starts_with(saved)) << after;
  EXPECT_EQ(after.find_first_not_of("\r\n", saved.size()), std::string::npos) << after;
  EXPECT_EQ(status, after == saved ? 0u : 2u) << "the menu changed, with a blank tail or none";
}

INSTANTIATE_TEST_SUITE_P(WindowsProgram, MappedMenu, testing::Bool(), [](const auto& info) {
  return std::string(info.param ? "ThroughAJournal" : "WithoutAJournal");
});

// A state folder that anyone may write could hold another user's journal: it is not used, as on
// POSIX, and the save keeps no record there.
TEST_F(WindowsProgram, AStateFolderOthersMayWriteIsNotUsed) {
  wchar_t state[MAX_PATH] = L"";
  GetEnvironmentVariableW(L"LOCALAPPDATA", state, MAX_PATH);
  SetEnvironmentVariableW(L"LOCALAPPDATA", (folder_ / L"local").c_str());
  fs::create_directories(folder_ / L"local" / L"zelpin");
  ASSERT_EQ(setRules(folder_ / L"local" / L"zelpin", L"D:P(A;OICI;FA;;;WD)",
                     PROTECTED_DACL_SECURITY_INFORMATION),
            0u);
  writeBytes(folder_ / "menu.txt", "zel\n");
  const DWORD toggled = runZelpin({L"-1n", L"menu.txt", L"C:\\F"}, folder_);
  const DWORD undone = runZelpin({L"-u", L"menu.txt"}, folder_);
  SetEnvironmentVariableW(L"LOCALAPPDATA", state);
  EXPECT_EQ(toggled, 0u);
  EXPECT_EQ(undone, 1u) << "a record was kept in the open folder";
  EXPECT_TRUE(fs::is_empty(folder_ / L"local" / L"zelpin"));
  fs::remove_all(folder_ / L"local");
}

// \\.\ before a drive names a path, as \\?\ does: only a device after it is a device.
TEST_F(WindowsProgram, AMenuNamedWithTheDevicePrefixIsAPath) {
  writeBytes(folder_ / "menu.txt", oldMenu);
  const std::wstring name = L"\\\\.\\" + fs::absolute(folder_ / "menu.txt").wstring();
  EXPECT_EQ(runZelpin({L"-1n", name, L"C:\\F"}, folder_), 0u);
  EXPECT_EQ(readBytes(folder_ / "menu.txt"),
            bom + "zel\r\n\"0 F\"\t&CD \"C:\\F\"\r\n\"1 A\"\t&CD \"C:\\A\"\r\n");
}

// A file manager reads the menu while runs save it, sharing reading alone, as most programs do: it
// is kept out at the instant of the rename, or while a save in place copies the new content in,
// never while a save writes its journal or its temporary file.
struct ReaderCase {
  const char* name;
  bool hardLinked;  // saved in place
  // Some 190 a save in place while its journal was written with the menu open for writing; 15 to
  // 25 now, more on a busy machine.
  int refusalsPerSave;
};

void PrintTo(const ReaderCase& c, std::ostream* out) {
  *out << c.name;
}

class Reader : public WindowsProgram, public testing::WithParamInterface<ReaderCase> {};

TEST_P(Reader, IsRarelyKeptOutDuringSaves) {
  std::string menu = "zel\n";
  for (int i = 0; i < 2000; ++i) {
    menu +=
        "\"5 Folder " + std::to_string(i) + "\"\t&CD \"C:\\Folder\\" + std::to_string(i) + "\"\n";
  }
  writeBytes(folder_ / "menu.txt", menu);
  if (GetParam().hardLinked) {
    ASSERT_TRUE(
        CreateHardLinkW((folder_ / "other.txt").c_str(), (folder_ / "menu.txt").c_str(), nullptr));
  }
  std::atomic<bool> saving = true;
  std::atomic<int> refusals = 0;
  std::thread reader([&] {
    while (saving) {
      HANDLE file = CreateFileW((folder_ / "menu.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, 0, nullptr);
      if (file == INVALID_HANDLE_VALUE) {
        refusals += GetLastError() == ERROR_SHARING_VIOLATION ? 1 : 0;
      } else {
        CloseHandle(file);
      }
    }
  });
  constexpr int saves = 10;
  for (int i = 0; i < saves; ++i) {
    EXPECT_EQ(runZelpin({L"-1n", L"menu.txt", L"C:\\F"}, folder_), 0u);
  }
  saving = false;
  reader.join();
  std::printf("%d refusals in %d saves\n", refusals.load(), saves);
  EXPECT_LE(refusals, GetParam().refusalsPerSave * saves);
}

INSTANTIATE_TEST_SUITE_P(WindowsProgram, Reader,
                         testing::Values(ReaderCase{"ByRename", false, 10},
                                         ReaderCase{"InPlace", true, 100}),
                         [](const auto& info) { return std::string(info.param.name); });

// A scanner holding the menu without sharing: a short hold is waited out, a long one fails cleanly.
TEST_F(WindowsProgram, ABrieflyLockedMenuIsWaitedFor) {
  writeBytes(folder_ / "menu.txt", oldMenu);
  HANDLE lock = CreateFileW((folder_ / "menu.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  std::thread release([lock] {
    Sleep(300);
    CloseHandle(lock);
  });
  const DWORD status = runZelpin({L"-1n", L"menu.txt", L"C:\\F"}, folder_);
  release.join();
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(readBytes(folder_ / "menu.txt"),
            bom + "zel\r\n\"0 F\"\t&CD \"C:\\F\"\r\n\"1 A\"\t&CD \"C:\\A\"\r\n");
}

TEST_F(WindowsProgram, AMenuLockedForLongFailsCleanly) {
  writeBytes(folder_ / "menu.txt", oldMenu);
  HANDLE lock = CreateFileW((folder_ / "menu.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  const DWORD started = GetTickCount();
  const DWORD status = runZelpin({L"-1n", L"menu.txt", L"C:\\F"}, folder_);
  const DWORD elapsed = GetTickCount() - started;
  CloseHandle(lock);
  EXPECT_EQ(status, 1u);
  EXPECT_GE(elapsed, 900u) << "the program gave up without waiting";
  EXPECT_LT(elapsed, 10000u);
  EXPECT_EQ(readBytes(folder_ / "menu.txt"), oldMenu);
}

// Another process holds the menu's lock the way a run takes it, under a name spelled otherwise: a
// run waits for it, then edits the menu, or gives up and leaves it alone.
struct HeldLockCase {
  const char* name;
  DWORD holdMilliseconds;
  DWORD exitStatus;
};

class HeldLock : public WindowsProgram, public testing::WithParamInterface<HeldLockCase> {};

TEST_P(HeldLock, MakesARunWaitThenSucceedOrGiveUp) {
  namespace platform = zelpin::platform;
  writeBytes(folder_ / "menu.txt", oldMenu);
  const platform::Location location = platform::locate((folder_ / L"MENU.TXT").u16string());
  platform::Opened lock = platform::openMenuLock(location, zelpin::lockFileName(location.leaf));
  ASSERT_EQ(platform::tryLock(lock.handle.get()), platform::LockAttempt::Taken);
  DWORD status = 999;
  std::thread run([&] { status = runZelpin({L"-1n", L"menu.txt", L"C:\\F"}, folder_); });
  Sleep(GetParam().holdMilliseconds);
  const std::string whileHeld = readBytes(folder_ / "menu.txt");
  platform::unlock(lock.handle.get());
  run.join();
  EXPECT_EQ(whileHeld, oldMenu) << "the run did not wait";
  EXPECT_EQ(status, GetParam().exitStatus);
  EXPECT_EQ(readBytes(folder_ / "menu.txt") == oldMenu, GetParam().exitStatus != 0);
  EXPECT_TRUE(GetFileAttributesW((folder_ / L".menu.txt.zelpin-lock").c_str()) &
              FILE_ATTRIBUTE_HIDDEN)
      << "the lock beside the menu is not hidden";
}

INSTANTIATE_TEST_SUITE_P(WindowsProgram, HeldLock,
                         testing::Values(HeldLockCase{"ReleasedSoon", 500, 0},
                                         HeldLockCase{"HeldPastTheDeadline", 6000, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- What Windows itself shows and Wine cannot ----
//
// Wine keeps no owner, encryption or compression as Windows does, hides a dangling link from
// Windows programs, renames no file that any handle holds, and lets root past rules that deny:
// these rows run on Windows (the Windows workflow runs them there) and skip under Wine.

const std::string newMenu = bom + "zel\r\n\"0 F\"\t&CD \"C:\\F\"\r\n\"1 A\"\t&CD \"C:\\A\"\r\n";

struct NativeCase {
  const char* name;
  // Prepares folder\menu.txt, which holds oldMenu; returns why it cannot, or "". A handle it
  // leaves in held stays open during the run.
  std::string (*arrange)(const fs::path& folder, HANDLE& held);
  // What must hold after the run, which ended with status 0.
  void (*check)(const fs::path& folder, HANDLE held);
};

void PrintTo(const NativeCase& c, std::ostream* out) {
  *out << c.name;
}

class OnWindows : public WindowsProgram, public testing::WithParamInterface<NativeCase> {};

TEST_P(OnWindows, TheSaveKeepsWhatTheMenuCarries) {
  if (underWine()) {
    GTEST_SKIP() << "only Windows itself can show this";
  }
  writeBytes(folder_ / "menu.txt", oldMenu);
  HANDLE held = INVALID_HANDLE_VALUE;
  if (const std::string why = GetParam().arrange(folder_, held); !why.empty()) {
    GTEST_SKIP() << why;
  }
  const DWORD started = GetTickCount();
  EXPECT_EQ(runZelpin({L"-1n", L"menu.txt", L"C:\\F"}, folder_), 0u);
  EXPECT_LT(GetTickCount() - started, 1500u) << "the run waited";
  GetParam().check(folder_, held);
  if (held != INVALID_HANDLE_VALUE) {
    CloseHandle(held);
  }
}

std::wstring ownerOf(const fs::path& file) {
  PSID owner = nullptr;
  void* descriptor = nullptr;
  wchar_t* text = nullptr;
  GetNamedSecurityInfoW(file.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor);
  ConvertSidToStringSidW(owner, &text);
  std::wstring sid = text;
  LocalFree(text);
  LocalFree(descriptor);
  return sid;
}

DWORD attributesOf(const fs::path& file) {
  return GetFileAttributesW(file.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    WindowsProgram, OnWindows,
    testing::Values(
        // An elevated run on the menu of the user it elevates: the new file's owner is the user,
        // not the Administrators group that an elevated run gives what it makes.
        NativeCase{"TheOwnerIsKept",
                   [](const fs::path& folder, HANDLE&) {
                     const std::wstring user = thisUser();
                     void* descriptor = nullptr;
                     PSID owner = nullptr;
                     BOOL defaulted = FALSE;
                     ConvertStringSecurityDescriptorToSecurityDescriptorW(
                         (L"O:" + user).c_str(), SDDL_REVISION_1, &descriptor, nullptr);
                     GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
                     const DWORD error = SetNamedSecurityInfoW(
                         const_cast<wchar_t*>((folder / "menu.txt").c_str()), SE_FILE_OBJECT,
                         OWNER_SECURITY_INFORMATION, owner, nullptr, nullptr, nullptr);
                     LocalFree(descriptor);
                     return error == 0 ? std::string() : "cannot make the user the menu's owner";
                   },
                   [](const fs::path& folder, HANDLE) {
                     EXPECT_EQ(readBytes(folder / "menu.txt"), newMenu);
                     EXPECT_EQ(ownerOf(folder / "menu.txt"), thisUser());
                   }},
        NativeCase{"EncryptionIsKept",
                   [](const fs::path& folder, HANDLE&) {
                     return EncryptFileW((folder / "menu.txt").c_str())
                                ? std::string()
                                : "the file system encrypts nothing (EFS)";
                   },
                   [](const fs::path& folder, HANDLE) {
                     EXPECT_EQ(readBytes(folder / "menu.txt"), newMenu);
                     EXPECT_NE(attributesOf(folder / "menu.txt") & FILE_ATTRIBUTE_ENCRYPTED, 0u);
                   }},
        // Saved in place: its journal, then the undo record it becomes, are encrypted too.
        NativeCase{"EncryptionIsKeptByWhatTheSaveKeeps",
                   [](const fs::path& folder, HANDLE&) {
                     if (!EncryptFileW((folder / "menu.txt").c_str())) {
                       return std::string("the file system encrypts nothing (EFS)");
                     }
                     fs::create_hard_link(folder / "menu.txt", folder / "link.txt");
                     return std::string();
                   },
                   [](const fs::path& folder, HANDLE) {
                     EXPECT_EQ(readBytes(folder / "link.txt"), newMenu);
                     wchar_t state[MAX_PATH] = L"";
                     GetEnvironmentVariableW(L"LOCALAPPDATA", state, MAX_PATH);
                     fs::path newest;
                     for (const auto& entry : fs::directory_iterator(fs::path(state) / "zelpin")) {
                       if (newest.empty() ||
                           fs::last_write_time(entry.path()) > fs::last_write_time(newest)) {
                         newest = entry.path();
                       }
                     }
                     ASSERT_FALSE(newest.empty());
                     EXPECT_NE(attributesOf(newest) & FILE_ATTRIBUTE_ENCRYPTED, 0u) << newest;
                   }},
        NativeCase{"CompressionIsKept",
                   [](const fs::path& folder, HANDLE&) {
                     HANDLE file =
                         CreateFileW((folder / "menu.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
                     USHORT format = COMPRESSION_FORMAT_DEFAULT;
                     DWORD size = 0;
                     const BOOL done = DeviceIoControl(file, FSCTL_SET_COMPRESSION, &format,
                                                       sizeof format, nullptr, 0, &size, nullptr);
                     CloseHandle(file);
                     return done ? std::string() : "the file system compresses nothing";
                   },
                   [](const fs::path& folder, HANDLE) {
                     EXPECT_EQ(readBytes(folder / "menu.txt"), newMenu);
                     EXPECT_NE(attributesOf(folder / "menu.txt") & FILE_ATTRIBUTE_COMPRESSED, 0u);
                   }},
        NativeCase{"ANamedStreamIsKept",
                   [](const fs::path& folder, HANDLE&) {
                     writeBytes(folder / "menu.txt:note", "kept");
                     return readBytes(folder / "menu.txt:note") == "kept"
                                ? std::string()
                                : "the file system keeps no named streams";
                   },
                   [](const fs::path& folder, HANDLE) {
                     EXPECT_EQ(readBytes(folder / "menu.txt"), newMenu);
                     EXPECT_EQ(readBytes(folder / "menu.txt:note"), "kept");
                   }},
        // A reader that shares deletion (as .NET's File.Open with FileShare.Delete does) keeps
        // the old content and does not hold the save up, where the rename has POSIX semantics.
        NativeCase{"AReaderSharingDeletionDoesNotHoldTheSave",
                   [](const fs::path& folder, HANDLE& held) {
                     held = CreateFileW((folder / "menu.txt").c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
                     return std::string();
                   },
                   [](const fs::path& folder, HANDLE held) {
                     EXPECT_EQ(readBytes(folder / "menu.txt"), newMenu);
                     char bytes[64] = {};
                     DWORD count = 0;
                     ReadFile(held, bytes, sizeof bytes, &count, nullptr);
                     EXPECT_EQ(std::string(bytes, count), oldMenu);
                   }},
        // The user may write the menu but not delete it, in a folder where they may not delete
        // either (Modify, without delete-child): saved in place, no temporary file left behind.
        NativeCase{"AMenuTheUserMayNotDeleteIsSavedInPlace",
                   [](const fs::path& folder, HANDLE&) {
                     const std::wstring user = thisUser();
                     if (setRules(folder, L"D:P(A;OICI;0x1301bf;;;" + user + L")",
                                  PROTECTED_DACL_SECURITY_INFORMATION) != 0 ||
                         setRules(folder / "menu.txt", L"D:(D;;SD;;;" + user + L")",
                                  UNPROTECTED_DACL_SECURITY_INFORMATION) != 0) {
                       return std::string("cannot set the rules");
                     }
                     return std::string();
                   },
                   [](const fs::path& folder, HANDLE) {
                     EXPECT_EQ(readBytes(folder / "menu.txt"), newMenu);
                     setRules(folder / "menu.txt", L"D:", UNPROTECTED_DACL_SECURITY_INFORMATION);
                     setRules(folder, L"D:", UNPROTECTED_DACL_SECURITY_INFORMATION);
                   }},
        // A link whose target is missing: the target is made, the link stays a link.
        NativeCase{"ADanglingLinkGetsItsTarget",
                   [](const fs::path& folder, HANDLE&) {
                     fs::remove(folder / "menu.txt");
                     fs::create_directory(folder / "real");
                     return CreateSymbolicLinkW((folder / "menu.txt").c_str(),
                                                (folder / "real" / "target.txt").c_str(),
                                                SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)
                                ? std::string()
                                : "this user may not make symbolic links";
                   },
                   [](const fs::path& folder, HANDLE) {
                     EXPECT_TRUE(fs::is_symlink(folder / "menu.txt"));
                     EXPECT_EQ(readBytes(folder / "real" / "target.txt"),
                               bom + "zel zelpin\r\n\"0 F\"\t&CD \"C:\\F\"\r\n");
                   }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowsProgram, AnUndoOfAReadOnlyMenuFailsAsASaveDoes) {
  writeBytes(folder_ / "menu.txt", oldMenu);
  ASSERT_EQ(runZelpin({L"-1n", L"menu.txt", L"C:\\F"}, folder_), 0u);
  ASSERT_TRUE(SetFileAttributesW((folder_ / "menu.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(runZelpin({L"-u", L"menu.txt"}, folder_), 1u);
  EXPECT_EQ(readBytes(folder_ / "menu.txt"), newMenu);
}

// On FAT and exFAT a file's id is where its entry lies, and a rename moves it: the record must be
// found by what the menu is after the save. The Windows workflow makes such a volume.
TEST_F(WindowsProgram, AnUndoOnAFatVolumeFindsItsRecord) {
  wchar_t fat[MAX_PATH] = {};
  if (underWine() || GetEnvironmentVariableW(L"ZELPIN_FAT_FOLDER", fat, MAX_PATH) == 0) {
    GTEST_SKIP() << "no FAT volume (Wine gives FAT files ids of its own); set ZELPIN_FAT_FOLDER";
  }
  const fs::path there = fs::path(fat) / folder_.filename();
  fs::create_directory(there);
  writeBytes(there / "menu.txt", oldMenu);
  EXPECT_EQ(runZelpin({L"-1n", L"menu.txt", L"C:\\F"}, there), 0u);
  EXPECT_EQ(runZelpin({L"-u", L"menu.txt"}, there), 0u);
  EXPECT_EQ(readBytes(there / "menu.txt"), oldMenu);
  fs::remove_all(there);
}

// Another spelling of the same path: through the drive's share on Windows, through the drive
// that Wine gives the whole Unix tree under Wine.
std::wstring otherSpelling(const fs::path& path) {
  const std::wstring local = path.wstring();
  if (!underWine()) {
    return L"\\\\localhost\\" + local.substr(0, 1) + L"$" + local.substr(2);
  }
  using UnixName = char* (*)(const wchar_t*);
  const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* name = unixName != nullptr ? unixName(local.c_str()) : nullptr;
  if (name == nullptr) {
    return {};
  }
  std::wstring spelled = L"Z:" + fs::path(name).wstring();
  HeapFree(GetProcessHeap(), 0, name);
  std::replace(spelled.begin(), spelled.end(), L'/', L'\\');
  return spelled;
}

// The same menu by two spellings of its path: one turn, whatever the spelling. Wine gives both
// spellings one final name, which a lock named after it took for one menu as well; through a
// share on Windows the names differ.
TEST_F(WindowsProgram, RunsThroughTwoSpellingsOfTheMenuTakeTurns) {
  const std::wstring local = (folder_ / "menu.txt").wstring();
  const std::wstring other = otherSpelling(folder_ / "menu.txt");
  writeBytes(folder_ / "menu.txt", oldMenu);
  if (other.empty() || !fs::exists(other)) {
    GTEST_SKIP() << "no second way to the folder (an administrative share of its drive)";
  }
  constexpr int runs = 16;
  std::vector<std::thread> started;
  for (int i = 0; i < runs; ++i) {
    started.emplace_back([&, i] {
      EXPECT_EQ(runZelpin({i % 2 == 0 ? local : other, L"C:\\f" + std::to_wstring(i)}, folder_),
                0u);
    });
  }
  for (std::thread& run : started) {
    run.join();
  }
  const std::string menu = readBytes(folder_ / "menu.txt");
  for (int i = 0; i < runs; ++i) {
    EXPECT_NE(menu.find("&CD \"C:\\f" + std::to_string(i) + "\""), std::string::npos) << i;
  }
}

TEST_F(WindowsProgram, AMenuInAMissingFolderIsNotCreated) {
  EXPECT_EQ(runZelpin({L"-n", L"missing\\menu.txt", L"C:\\F"}, folder_), 1u);
  EXPECT_FALSE(fs::exists(folder_ / "missing"));
}

}  // namespace
