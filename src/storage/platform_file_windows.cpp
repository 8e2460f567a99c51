#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "storage/conversion.h"
#include "storage/platform_file.h"

namespace zelpin::platform {
namespace {

constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::wstring wide(std::u16string_view text) {
  return std::wstring(reinterpret_cast<const wchar_t*>(text.data()), text.size());
}

std::u16string narrow(std::wstring_view text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.data()), text.size());
}

HANDLE handleOf(NativeHandle handle) {
  return reinterpret_cast<HANDLE>(handle);
}

NativeHandle nativeOf(HANDLE handle) {
  return reinterpret_cast<NativeHandle>(handle);
}

SystemError resultOf(BOOL succeeded) {
  return succeeded ? 0 : GetLastError();
}

// The \\?\ form takes names past MAX_PATH without the system's long-path setting.
std::wstring extended(const std::wstring& full) {
  if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\")) {
    return full;
  }
  if (full.starts_with(L"\\\\")) {
    return L"\\\\?\\UNC\\" + full.substr(2);
  }
  return L"\\\\?\\" + full;
}

std::wstring fullNameOf(const std::wstring& name) {
  const DWORD length = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
  if (length == 0) {
    return name;
  }
  std::wstring full(length, L'\0');
  full.resize(GetFullPathNameW(name.c_str(), length, full.data(), nullptr));
  return full;
}

// Where the system says an open file or folder lies, after every link, in the \\?\ form.
bool finalNameOf(const std::wstring& name, std::wstring& finalName) {
  HANDLE handle = CreateFileW(name.c_str(), 0, shareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  const Handle owned(nativeOf(handle));
  finalName.assign(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetFinalPathNameByHandleW(handle, finalName.data(), static_cast<DWORD>(finalName.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) {
      return false;
    }
    if (length < finalName.size()) {
      finalName.resize(length);
      return true;
    }
    finalName.resize(length + 1);
  }
}

std::wstring inFolder(const Location& location, std::u16string_view name) {
  return wide(location.folder) + L"\\" + wide(name);
}

std::wstring menuName(const Location& location) {
  return inFolder(location, location.leaf);
}

// Virus scanners and indexers open files for a moment; such a refusal is worth waiting out. Calls
// attempt until it succeeds, fails otherwise, or about a second has passed.
template <typename Attempt, typename Transient>
SystemError retryWhileBusy(Attempt attempt, Transient transient) {
  DWORD pause = 10;
  for (DWORD waited = 0;; waited += pause, pause *= 2) {
    const SystemError error = attempt();
    if (error == 0 || !transient(error) || waited >= 1000) {
      return error;
    }
    Sleep(pause);
  }
}

bool isSharingConflict(SystemError error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

Opened openExisting(const std::wstring& name, DWORD access, DWORD share, DWORD flags = 0) {
  Opened result;
  result.error = retryWhileBusy(
      [&] {
        HANDLE handle = CreateFileW(name.c_str(), access, share, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | flags, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
          return GetLastError();
        }
        result.handle.reset(nativeOf(handle));
        return DWORD{0};
      },
      isSharingConflict);
  return result;
}

// Wine reports a time of the last change as a file's creation time, which names no file for good.
bool keepsCreationTimes() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr;
}

// Kernel object names may not hold a backslash and are limited in length; a hash of the name is
// neither, and two menus that meet in it only take turns they need not.
std::wstring hashedName(std::wstring_view prefix, std::u16string_view text) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char16_t unit : text) {
    hash = (hash ^ unit) * 1099511628211ull;
  }
  wchar_t digits[17];
  std::swprintf(digits, 17, L"%016llx", static_cast<unsigned long long>(hash));
  return std::wstring(prefix) + digits;
}

Handle openMutex(const std::wstring& name) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
  return mutex == nullptr ? Handle() : Handle(nativeOf(mutex));
}

// The menu's access rules, where they are its own and not just what the folder hands down to every
// new file (and so to the temporary file already).
SystemError copySecurity(HANDLE menu, HANDLE file) {
  constexpr SECURITY_INFORMATION which = DACL_SECURITY_INFORMATION;
  PACL menuRules = nullptr;
  PSECURITY_DESCRIPTOR menuDescriptor = nullptr;
  if (GetSecurityInfo(menu, SE_FILE_OBJECT, which, nullptr, nullptr, &menuRules, nullptr,
                      &menuDescriptor) != ERROR_SUCCESS) {
    return 0;  // nothing to tell: the file system keeps no access rules
  }
  PACL fileRules = nullptr;
  PSECURITY_DESCRIPTOR fileDescriptor = nullptr;
  DWORD error = GetSecurityInfo(file, SE_FILE_OBJECT, which, nullptr, nullptr, &fileRules, nullptr,
                                &fileDescriptor);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  const bool same = error == ERROR_SUCCESS && menuRules != nullptr && fileRules != nullptr &&
                    menuRules->AclSize == fileRules->AclSize &&
                    std::memcmp(menuRules, fileRules, menuRules->AclSize) == 0;
  if (error == ERROR_SUCCESS && !same &&
      GetSecurityDescriptorControl(menuDescriptor, &control, &revision)) {
    const SECURITY_INFORMATION protection = (control & SE_DACL_PROTECTED) != 0
                                                ? PROTECTED_DACL_SECURITY_INFORMATION
                                                : UNPROTECTED_DACL_SECURITY_INFORMATION;
    error = SetSecurityInfo(file, SE_FILE_OBJECT, which | protection, nullptr, nullptr, menuRules,
                            nullptr);
  }
  LocalFree(menuDescriptor);
  LocalFree(fileDescriptor);
  return error;
}

}  // namespace

void closeHandle(NativeHandle handle) {
  CloseHandle(handleOf(handle));
}

Location locate(std::u16string_view path) {
  Location location;
  const std::wstring full = fullNameOf(wide(path));
  if (path.empty() || full.starts_with(L"\\\\.\\")) {
    // A device (CON, COM1) or no name: opened as given, so that it is refused as no menu.
    location.path = narrow(path.empty() ? std::wstring() : full);
    location.folderError = ERROR_FILE_NOT_FOUND;
    return location;
  }
  location.path = narrow(extended(full));
  std::wstring target;
  if (!finalNameOf(extended(full), target)) {
    // Missing: the name is what the save will create, in its folder's own spelling.
    const std::size_t slash = full.find_last_of(L"\\/");
    std::wstring folder;
    if (!finalNameOf(extended(full.substr(0, slash + 1)), folder)) {
      folder = extended(full.substr(0, slash));
    }
    if (folder.ends_with(L'\\')) {
      folder.pop_back();  // a drive's root
    }
    target = folder + L"\\" + full.substr(slash + 1);
  }
  const std::size_t slash = target.find_last_of(L'\\');
  location.folder = narrow(target.substr(0, slash));
  location.leaf = narrow(target.substr(slash + 1));
  // Names are compared without case; so is the lock's.
  std::wstring folded = target;
  CharUpperBuffW(folded.data(), static_cast<DWORD>(folded.size()));
  location.lockName = narrow(folded);
  return location;
}

// A mutex in the session's namespace: the system releases it when a run dies.
Handle openMenuLock(const Location& location) {
  if (location.lockName.empty()) {
    return Handle();
  }
  return openMutex(hashedName(L"Local\\zelpin-menu-", location.lockName));
}

Handle openFileLock(NativeHandle, const FileInfo& info) {
  const std::u16string identity =
      narrow(std::to_wstring(info.device) + L"-" + std::to_wstring(info.index));
  return openMutex(hashedName(L"Local\\zelpin-file-", identity));
}

LockAttempt tryLock(NativeHandle lock) {
  switch (WaitForSingleObject(handleOf(lock), 0)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // a run died holding it; the menu is whole, its save was a rename
      return LockAttempt::Taken;
    case WAIT_TIMEOUT:
      return LockAttempt::Busy;
    default:
      return LockAttempt::Unavailable;
  }
}

void unlock(NativeHandle lock) {
  ReleaseMutex(handleOf(lock));
}

Opened openForReading(const Location& location) {
  return openExisting(wide(location.path), GENERIC_READ, shareAll);
}

SystemError describeLocation(const Location& location, FileInfo& info) {
  HANDLE handle = CreateFileW(menuName(location).c_str(), FILE_READ_ATTRIBUTES, shareAll, nullptr,
                              OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return GetLastError();
  }
  const Handle owned(nativeOf(handle));
  return describe(owned.get(), info);
}

// The read-only attribute refuses writing as Windows does, also where the file system would let
// this user write (Wine run by root).
Opened openForWriting(const Location& location) {
  if (location.folderError != 0) {
    Opened missing;
    missing.error = location.folderError;
    return missing;
  }
  Opened file = openExisting(menuName(location),
                             GENERIC_WRITE | FILE_READ_ATTRIBUTES | READ_CONTROL, shareAll);
  BY_HANDLE_FILE_INFORMATION status{};
  if (file.error == 0 && GetFileInformationByHandle(handleOf(file.handle.get()), &status) &&
      (status.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    file.handle.reset(noHandle);
    file.error = ERROR_ACCESS_DENIED;
  }
  return file;
}

Opened createBeside(const Location& location, std::u16string_view name, NewFile) {
  Opened result;
  if (location.folderError != 0) {
    result.error = location.folderError;
    return result;
  }
  // Not FILE_ATTRIBUTE_TEMPORARY: the attribute would stay with the menu after the rename.
  HANDLE handle = CreateFileW(inFolder(location, name).c_str(),
                              GENERIC_WRITE | FILE_READ_ATTRIBUTES | READ_CONTROL | WRITE_DAC, 0,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    result.error = GetLastError();
  } else {
    result.handle.reset(nativeOf(handle));
  }
  return result;
}

Opened openBeside(const Location& location, std::u16string_view name) {
  if (location.folderError != 0) {
    Opened missing;
    missing.error = location.folderError;
    return missing;
  }
  return openExisting(inFolder(location, name), GENERIC_READ, shareAll,
                      FILE_FLAG_OPEN_REPARSE_POINT);
}

Location openStateFolder(bool create) {
  Location location;
  location.folderError = ERROR_PATH_NOT_FOUND;
  const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0);
  if (length == 0) {
    return location;
  }
  std::wstring folder(length, L'\0');
  folder.resize(GetEnvironmentVariableW(L"LOCALAPPDATA", folder.data(), length));
  folder = extended(fullNameOf(folder + L"\\zelpin"));
  if (create) {
    CreateDirectoryW(folder.c_str(), nullptr);
  }
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return location;
  }
  location.folder = narrow(folder);
  location.path = narrow(folder.substr(4));
  location.folderError = 0;
  return location;
}

std::u16string shownNameIn(const Location& folder, std::u16string_view name) {
  return folder.path + u"\\" + std::u16string(name);
}

// A user's local application data is their own; and in a shared folder a file's owner tells
// little under Windows' inherited rights.
bool madeByThisUser(const FileInfo&) {
  return true;
}

SystemError describe(NativeHandle file, FileInfo& info) {
  BY_HANDLE_FILE_INFORMATION status{};
  if (!GetFileInformationByHandle(handleOf(file), &status)) {
    // Devices have no such information; they are no menu either.
    info = FileInfo();
    return GetFileType(handleOf(file)) != FILE_TYPE_DISK ? 0 : GetLastError();
  }
  info.regular = GetFileType(handleOf(file)) == FILE_TYPE_DISK &&
                 (status.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  info.size = (static_cast<std::uint64_t>(status.nFileSizeHigh) << 32) | status.nFileSizeLow;
  info.links = status.nNumberOfLinks;
  info.device = status.dwVolumeSerialNumber;
  info.index = (static_cast<std::uint64_t>(status.nFileIndexHigh) << 32) | status.nFileIndexLow;
  info.mode = status.dwFileAttributes;
  info.created = (static_cast<std::uint64_t>(status.ftCreationTime.dwHighDateTime) << 32) |
                 status.ftCreationTime.dwLowDateTime;
  info.birth = keepsCreationTimes() ? info.created : 0;
  return 0;
}

SystemError readSome(NativeHandle file, char* buffer, std::size_t size, std::size_t& count) {
  DWORD read = 0;
  const BOOL succeeded =
      ReadFile(handleOf(file), buffer, static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30)),
               &read, nullptr);
  count = read;
  return resultOf(succeeded);
}

SystemError writeAll(NativeHandle file, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!WriteFile(handleOf(file), bytes.data(), chunk, &written, nullptr)) {
      return GetLastError();
    }
    bytes.remove_prefix(written);
  }
  return 0;
}

SystemError seekToStart(NativeHandle file) {
  LARGE_INTEGER start{};
  return resultOf(SetFilePointerEx(handleOf(file), start, nullptr, FILE_BEGIN));
}

SystemError setLength(NativeHandle file, std::uint64_t size) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(size);
  return resultOf(SetFilePointerEx(handleOf(file), position, nullptr, FILE_BEGIN) &&
                  SetEndOfFile(handleOf(file)));
}

// Growing the file first makes a full disk show before anything is overwritten.
SystemError reserve(NativeHandle file, std::uint64_t size, std::uint64_t currentSize) {
  return size > currentSize ? setLength(file, size) : 0;
}

SystemError flush(NativeHandle file) {
  return resultOf(FlushFileBuffers(handleOf(file)));
}

SystemError copyKeptProperties(NativeHandle menu, const FileInfo& menuInfo, NativeHandle file) {
  constexpr DWORD keptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                   FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  FILE_BASIC_INFO basic{};  // times left 0 stay as they are
  basic.CreationTime.QuadPart = static_cast<LONGLONG>(menuInfo.created);
  basic.FileAttributes = menuInfo.mode & keptAttributes;
  if (basic.FileAttributes == 0) {
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  }
  if (!SetFileInformationByHandle(handleOf(file), FileBasicInfo, &basic, sizeof basic)) {
    return GetLastError();
  }
  return copySecurity(handleOf(menu), handleOf(file));
}

// A reader that holds the menu without delete sharing makes the rename fail for as long as it does.
SystemError renameBeside(const Location& location, std::u16string_view fromName,
                         std::u16string_view toName) {
  const std::wstring from = inFolder(location, fromName);
  const std::wstring to = inFolder(location, toName);
  return retryWhileBusy(
      [&] {
        return resultOf(MoveFileExW(from.c_str(), to.c_str(),
                                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
      },
      [](SystemError error) { return isSharingConflict(error) || error == ERROR_ACCESS_DENIED; });
}

SystemError removeBeside(const Location& location, std::u16string_view name) {
  return resultOf(DeleteFileW(inFolder(location, name).c_str()));
}

std::vector<std::u16string> namesBeside(const Location& location) {
  std::vector<std::u16string> names;
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileExW((wide(location.folder) + L"\\*").c_str(), FindExInfoBasic,
                                   &found, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    return names;
  }
  do {
    names.push_back(narrow(found.cFileName));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

void flushFolder(const Location&) {
  // MOVEFILE_WRITE_THROUGH has flushed the rename already.
}

bool isMissing(SystemError error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool isAccessDenied(SystemError error) {
  return error == ERROR_ACCESS_DENIED;
}

bool isNameTaken(SystemError error) {
  return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

// A rename that stays refused after the wait is a reader holding the menu, not a rule of the
// folder: rewriting in place under that reader would be worse than failing.
bool refusesRename(SystemError) {
  return false;
}

std::string describeError(SystemError error) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text =
      length != 0 ? std::wstring(buffer, length) : L"error " + std::to_wstring(error);
  LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L'.')) {
    text.pop_back();
  }
  return shownText(narrow(text));
}

// A GUI program gets no console signals; a killed run's file is removed by the next run.
int holdTerminationSignals() {
  return 0;
}

void releaseTerminationSignals(int) {}

}  // namespace zelpin::platform
