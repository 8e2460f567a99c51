#include <windows.h>
// After windows.h, which they need.
#include <winioctl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

#include "storage/conversion.h"
#include "storage/platform/platform_file.h"
#include "storage/platform/platform_windows.h"

namespace zelpin::platform {
namespace {

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

std::wstring absoluteName(const std::wstring& name) {
  const DWORD length = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
  if (length == 0) {
    return name;
  }
  std::wstring full(length, L'\0');
  full.resize(GetFullPathNameW(name.c_str(), length, full.data(), nullptr));
  return full;
}

// Where the system says an open file or folder lies, after every link: in the \\?\ form, or as the
// system's own device name (VOLUME_NAME_NT) where a volume has no drive letter to give (virtual
// disks).
bool finalNameOf(const std::wstring& name, std::wstring& finalName,
                 DWORD volumeName = VOLUME_NAME_DOS) {
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
                                  FILE_NAME_NORMALIZED | volumeName);
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
// attempt until it succeeds, fails otherwise, or about patience milliseconds have passed.
template <typename Attempt, typename Transient>
SystemError retryWhileBusy(Attempt attempt, Transient transient, DWORD patience = 1000) {
  DWORD pause = 10;
  for (DWORD waited = 0;; waited += pause, pause = std::min<DWORD>(pause * 2, 200)) {
    const SystemError error = attempt();
    if (error == 0 || !transient(error) || waited >= patience) {
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

std::uint64_t timeOf(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Named streams beside the content ("menu.txt:note"): a new file would not have them.
bool hasNamedStreams(HANDLE file) {
  std::vector<BYTE> buffer(64 * 1024);
  if (!GetFileInformationByHandleEx(file, FileStreamInfo, buffer.data(),
                                    static_cast<DWORD>(buffer.size()))) {
    return false;  // none to tell of, or a file system that keeps none
  }
  const auto* stream = reinterpret_cast<const FILE_STREAM_INFO*>(buffer.data());
  return stream->NextEntryOffset != 0 ||
         std::wstring_view(stream->StreamName, stream->StreamNameLength / sizeof(wchar_t)) !=
             L"::$DATA";
}

// Windows 10's class number; the headers name it only for builds that require Windows 10 1607.
constexpr auto fileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

// Replaces to with from in one step, even while readers hold to open (a scanner, an indexer):
// POSIX semantics, where the file system offers them. The handle writes through, which makes the
// rename durable before the call returns, as MOVEFILE_WRITE_THROUGH does for the classic move.
SystemError renameByHandle(const std::wstring& from, const std::wstring& to) {
  HANDLE file = CreateFileW(from.c_str(), DELETE | SYNCHRONIZE, shareAll, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_WRITE_THROUGH, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return GetLastError();
  }
  const Handle owned(nativeOf(file));
  const DWORD nameBytes = static_cast<DWORD>(to.size() * sizeof(wchar_t));
  // FILE_RENAME_INFO holds room for one character of the name: the terminating NUL.
  std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  // Flags share their place with ReplaceIfExists, which older headers alone name.
  const DWORD flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
  std::memcpy(buffer.data(), &flags, sizeof flags);
  rename->RootDirectory = nullptr;
  rename->FileNameLength = nameBytes;
  std::memcpy(rename->FileName, to.data(), nameBytes);
  rename->FileName[to.size()] = L'\0';
  return resultOf(SetFileInformationByHandle(file, fileRenameInfoEx, buffer.data(),
                                             static_cast<DWORD>(buffer.size())));
}

bool lacksPosixRename(SystemError error) {
  return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_FUNCTION || error == ERROR_CALL_NOT_IMPLEMENTED;
}

// What a symbolic link holds, as a full name; empty for anything else.
std::wstring linkTargetOf(const std::wstring& name) {
  HANDLE link =
      CreateFileW(extended(name).c_str(), FILE_READ_ATTRIBUTES, shareAll, nullptr, OPEN_EXISTING,
                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (link == INVALID_HANDLE_VALUE) {
    return {};
  }
  const Handle owned(nativeOf(link));
  // The symbolic link form of the reparse data, which the user-mode headers do not declare.
  struct LinkData {
    DWORD tag;
    WORD dataLength;
    WORD reserved;
    WORD substituteOffset;
    WORD substituteLength;
    WORD printOffset;
    WORD printLength;
    ULONG flags;
    wchar_t names[1];
  };
  std::vector<BYTE> buffer(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
  DWORD size = 0;
  if (!DeviceIoControl(link, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(),
                       static_cast<DWORD>(buffer.size()), &size, nullptr) ||
      size < sizeof(LinkData)) {
    return {};
  }
  const auto* data = reinterpret_cast<const LinkData*>(buffer.data());
  if (data->tag != IO_REPARSE_TAG_SYMLINK) {
    return {};
  }
  std::wstring target(data->names + data->substituteOffset / sizeof(wchar_t),
                      data->substituteLength / sizeof(wchar_t));
  if ((data->flags & SYMLINK_FLAG_RELATIVE) != 0) {
    return absoluteName(name.substr(0, name.find_last_of(L"\\/") + 1) + target);
  }
  if (target.starts_with(L"\\??\\UNC\\")) {
    return L"\\\\" + target.substr(8);
  }
  return target.starts_with(L"\\??\\") ? target.substr(4) : target;
}

// Where a new menu is to be created: at the end of the chain of links its name may be, as POSIX
// creates a dangling link's target.
std::wstring missingTargetOf(std::wstring name) {
  for (int hops = 0; hops < 40; ++hops) {
    std::wstring target = linkTargetOf(name);
    if (target.empty()) {
      break;
    }
    name = std::move(target);
  }
  return name;
}

// \\.\ before a drive, a share or a volume names a path as \\?\ does; before anything else it
// names a device (\\.\COM1, \\.\PhysicalDrive0, \\.\pipe\...).
bool isDeviceName(std::wstring_view full) {
  if (!full.starts_with(L"\\\\.\\")) {
    return false;
  }
  const std::wstring_view rest = full.substr(4);
  const bool drive =
      rest.size() >= 3 && std::iswalpha(rest[0]) && rest[1] == L':' && rest[2] == L'\\';
  const bool volume = rest.starts_with(L"Volume{") && rest.find(L"}\\") != std::wstring_view::npos;
  return !drive && !volume && !rest.starts_with(L"UNC\\");
}

}  // namespace

void closeHandle(NativeHandle handle) {
  CloseHandle(handleOf(handle));
}

Location locate(std::u16string_view path) {
  Location location;
  std::wstring full = absoluteName(wide(path));
  if (path.empty() || isDeviceName(full)) {
    // A device (CON, COM1) or no name: opened as given, so that it is refused as no menu.
    location.path = narrow(path.empty() ? std::wstring() : full);
    location.folderError = ERROR_FILE_NOT_FOUND;
    return location;
  }
  if (full.starts_with(L"\\\\.\\")) {
    full[2] = L'?';
  }
  location.path = narrow(extended(full));
  std::wstring target;
  std::wstring lockBasis;
  const bool found = finalNameOf(extended(full), target);
  if (!found && finalNameOf(extended(full), lockBasis, VOLUME_NAME_NT)) {
    target = extended(full);  // there, but on a volume without a drive letter's name for it
  } else if (!found) {
    // Missing: the name is what the save will create, in its folder's own spelling.
    const std::wstring created = missingTargetOf(full);
    const std::size_t slash = created.find_last_of(L"\\/");
    std::wstring folder;
    if (!finalNameOf(extended(created.substr(0, slash + 1)), folder)) {
      folder = extended(created.substr(0, slash));
    }
    if (folder.ends_with(L'\\')) {
      folder.pop_back();  // a drive's root
    }
    target = folder + L"\\" + created.substr(slash + 1);
  }
  const std::size_t slash = target.find_last_of(L'\\');
  location.folder = narrow(target.substr(0, slash));
  location.leaf = narrow(target.substr(slash + 1));
  // Names are compared without case; so is the lock's.
  std::wstring folded = lockBasis.empty() ? target : lockBasis;
  CharUpperBuffW(folded.data(), static_cast<DWORD>(folded.size()));
  location.lockName = narrow(folded);
  return location;
}

// A file beside the menu, locked by byte range as the file's own lock is: a server keeps that lock
// for every machine that opens the file on a share, where no mutex reaches, and every spelling of
// the menu's name leads to it. It holds nothing, and no save renames it, so no run waits holding
// the menu open while another renames it. Where the folder takes no new file and has none, runs
// take turns through the file's own lock alone.
Opened openMenuLock(const Location& location, std::u16string_view companion) {
  if (location.lockName.empty() || location.folderError != 0) {
    return Opened();
  }
  HANDLE lock = CreateFileW(inFolder(location, companion).c_str(), GENERIC_READ, shareAll, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
  Opened opened;
  if (lock != INVALID_HANDLE_VALUE) {
    opened.handle.reset(nativeOf(lock));
  }
  return opened;
}

// The file's own lock is a byte-range lock, which the file system keeps: a server keeps it for
// every machine that opens the file on a share, where no mutex reaches. The byte lies far past
// any menu's end, so that it keeps no reader or writer of the content out; a copy of the reading
// handle holds it, and it needs no name (a redirector's file ids may name nothing).
constexpr DWORD lockedByteHigh = 0x40000000;  // 2^62, within any system's file offsets

Opened openFileLock(NativeHandle file, const FileInfo&) {
  HANDLE copy = nullptr;
  Opened lock;
  if (DuplicateHandle(GetCurrentProcess(), handleOf(file), GetCurrentProcess(), &copy, 0, FALSE,
                      DUPLICATE_SAME_ACCESS)) {
    lock.handle.reset(nativeOf(copy));
  }
  return lock;
}

// The system lets go of a run's byte-range locks when it ends in any way.
LockAttempt tryLock(NativeHandle lock) {
  OVERLAPPED at{};
  at.OffsetHigh = lockedByteHigh;
  if (LockFileEx(handleOf(lock), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                 &at)) {
    return LockAttempt::Taken;
  }
  // A share without byte-range locks: runs on other machines cannot be kept out, and a change of
  // theirs is found when the save checks the menu against what was read.
  return GetLastError() == ERROR_LOCK_VIOLATION ? LockAttempt::Busy : LockAttempt::Unavailable;
}

void unlock(NativeHandle lock) {
  OVERLAPPED at{};
  at.OffsetHigh = lockedByteHigh;
  UnlockFileEx(handleOf(lock), 0, 1, 0, &at);
}

// A folder opens only with backup semantics, and is refused as access denied without them: opened
// so, it is seen for what it is, no menu.
Opened openForReading(const Location& location) {
  const std::wstring name = wide(location.path);
  Opened file = openExisting(name, GENERIC_READ, shareAll);
  const DWORD attributes = file.error == ERROR_ACCESS_DENIED ? GetFileAttributesW(name.c_str())
                                                             : INVALID_FILE_ATTRIBUTES;
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return openExisting(name, FILE_READ_ATTRIBUTES, shareAll, FILE_FLAG_BACKUP_SEMANTICS);
  }
  return file;
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
// this user write (Wine run by root). The basic information is the one look that costs Wine no
// look at the volume.
Opened refusingReadOnly(Opened file) {
  FILE_BASIC_INFO basic{};
  if (file.error == 0 &&
      GetFileInformationByHandleEx(handleOf(file.handle.get()), FileBasicInfo, &basic,
                                   sizeof basic) &&
      (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    file.handle.reset(noHandle);
    file.error = ERROR_ACCESS_DENIED;
  }
  return file;
}

Opened openMenu(const Location& location, DWORD access) {
  if (location.folderError != 0) {
    Opened missing;
    missing.error = location.folderError;
    return missing;
  }
  return refusingReadOnly(
      openExisting(menuName(location), access | FILE_READ_ATTRIBUTES | READ_CONTROL, shareAll));
}

Opened openToProbe(const Location& location) {
  Opened file = openMenu(location, 0);
  if (file.error == 0 && !mayWrite(handleOf(file.handle.get()), menuName(location))) {
    file.handle.reset(noHandle);
    file.error = ERROR_ACCESS_DENIED;
  }
  return file;
}

Opened openForWriting(const Location& location) {
  return openMenu(location, GENERIC_WRITE);
}

// The same file, with no second look at its name: the handle that writes keeps readers out, so it
// is opened after the looks, not before them.
Opened reopenForWriting(NativeHandle probe) {
  Opened result;
  result.error = retryWhileBusy(
      [&] {
        HANDLE handle = ReOpenFile(
            handleOf(probe), GENERIC_WRITE | FILE_READ_ATTRIBUTES | READ_CONTROL, shareAll, 0);
        if (handle == INVALID_HANDLE_VALUE) {
          return GetLastError();
        }
        result.handle.reset(nativeOf(handle));
        return DWORD{0};
      },
      isSharingConflict);
  return refusingReadOnly(std::move(result));
}

// The rights are given at creation, not set after: no moment open to whom the folder lets in, and
// no need of WRITE_DAC, which a share with the "Change" permission does not grant. A copy of an
// encrypted menu is encrypted from its first byte. A file opened to write through makes its
// creation durable before the call returns, as it makes every write: that is what stands in for a
// flush of the folder here, which Windows does not offer.
Opened createBeside(const Location& location, std::u16string_view name, const NewFile& how) {
  Opened result;
  if (location.folderError != 0) {
    result.error = location.folderError;
    return result;
  }
  ModelSecurity security;
  const bool modelled =
      how.isPrivate ? security.describeThisUsersAlone()
                    : how.model != noHandle && security.describe(handleOf(how.model), how.ownerToo);
  BY_HANDLE_FILE_INFORMATION model{};
  const bool encrypted = how.model != noHandle &&
                         GetFileInformationByHandle(handleOf(how.model), &model) &&
                         (model.dwFileAttributes & FILE_ATTRIBUTE_ENCRYPTED) != 0;
  // Not FILE_ATTRIBUTE_TEMPORARY: the attribute would stay with the menu after the rename.
  const DWORD flags = (encrypted ? FILE_ATTRIBUTE_ENCRYPTED : FILE_ATTRIBUTE_NORMAL) |
                      (how.durable ? FILE_FLAG_WRITE_THROUGH : 0);
  HANDLE handle = CreateFileW(
      inFolder(location, name).c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES | READ_CONTROL, 0,
      modelled ? &security.attributes : nullptr, CREATE_NEW, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    result.error = GetLastError();
    if (result.error == ERROR_INVALID_OWNER) {
      result.error = ERROR_ACCESS_DENIED;  // another owner's menu: saved in place, theirs
    }
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
  folder = extended(absoluteName(folder + L"\\zelpin"));
  if (create) {
    // Made this user's alone: what lies there is copied into menus and holds what menus held.
    ModelSecurity security;
    CreateDirectoryW(folder.c_str(),
                     security.describeThisUsersAlone() ? &security.attributes : nullptr);
  }
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return location;
  }
  // Used only where it is this user's and no one else may add, rename or remove what lies in it,
  // as on POSIX: a folder another user made, or may write, could hold a journal of theirs.
  HANDLE handle = CreateFileW(folder.c_str(), READ_CONTROL, shareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  const Handle owned(nativeOf(handle));
  if (handle == INVALID_HANDLE_VALUE || !madeByThisUser(owned.get(), FileInfo()) ||
      !keepsOthersOutOf(handle)) {
    location.folderError = ERROR_ACCESS_DENIED;
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

std::u16string fullNameOf(const Location& location) {
  return location.folder + u"\\" + location.leaf;
}

bool keepsOthersOut(const Location& location) {
  HANDLE folder = CreateFileW(wide(location.folder).c_str(), READ_CONTROL, shareAll, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) {
    return false;
  }
  const Handle owned(nativeOf(folder));
  return keepsOthersOutOf(folder);
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
  // The 64-bit index need not be unique on ReFS; the 128-bit id is, where it is given.
  FILE_ID_INFO id{};
  if (GetFileInformationByHandleEx(handleOf(file), FileIdInfo, &id, sizeof id)) {
    info.device = id.VolumeSerialNumber;
    std::memcpy(&info.index, id.FileId.Identifier, sizeof info.index);
    std::memcpy(&info.indexHigh, id.FileId.Identifier + sizeof info.index, sizeof info.indexHigh);
  }
  info.volume = info.device;  // a volume's serial number is its own, wherever it is attached
  // An id of 0 is given alike to every file on some redirectors: it names none.
  info.identified = info.index != 0 || info.indexHigh != 0;
  info.mode = status.dwFileAttributes;
  info.created = timeOf(status.ftCreationTime);
  info.birth = keepsCreationTimes() ? info.created : 0;
  // From 100-nanosecond steps since 1601.
  info.modified =
      (static_cast<std::int64_t>(timeOf(status.ftLastWriteTime)) - 116444736000000000) * 100;
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

SystemError seekTo(NativeHandle file, std::uint64_t offset) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  return resultOf(SetFilePointerEx(handleOf(file), position, nullptr, FILE_BEGIN));
}

SystemError setLength(NativeHandle file, std::uint64_t size) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(size);
  return resultOf(SetFilePointerEx(handleOf(file), position, nullptr, FILE_BEGIN) &&
                  SetEndOfFile(handleOf(file)));
}

// Room kept for the file without moving its end: a full disk shows before anything is overwritten,
// and a reader never sees a length the content has not reached. A file system that keeps no room
// ahead gets none.
SystemError reserve(NativeHandle file, std::uint64_t size, std::uint64_t currentSize) {
  if (size <= currentSize) {
    return 0;
  }
  FILE_ALLOCATION_INFO room{};
  room.AllocationSize.QuadPart = static_cast<LONGLONG>(size);
  const SystemError error =
      resultOf(SetFileInformationByHandle(handleOf(file), FileAllocationInfo, &room, sizeof room));
  return error == ERROR_INVALID_PARAMETER || error == ERROR_INVALID_FUNCTION ||
                 error == ERROR_NOT_SUPPORTED || error == ERROR_CALL_NOT_IMPLEMENTED  // Wine
             ? 0
             : error;
}

SystemError flush(NativeHandle file) {
  return resultOf(FlushFileBuffers(handleOf(file)));
}

bool isSyncUnsupported(SystemError error) {
  return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED;
}

// The owner and access rules came with the creation. Encryption, compression and named streams a
// new file would lose: such a menu is saved in place.
SystemError copyKeptProperties(NativeHandle menu, const FileInfo& menuInfo, NativeHandle file) {
  if ((menuInfo.mode & (FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_COMPRESSED)) != 0 ||
      hasNamedStreams(handleOf(menu))) {
    return ERROR_NOT_SUPPORTED;
  }
  constexpr DWORD keptAttributes =
      FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  FILE_BASIC_INFO basic{};  // times left 0 stay as they are
  basic.CreationTime.QuadPart = static_cast<LONGLONG>(menuInfo.created);
  // Changed, so to be backed up again, whatever the old file said.
  basic.FileAttributes = (menuInfo.mode & keptAttributes) | FILE_ATTRIBUTE_ARCHIVE;
  return resultOf(SetFileInformationByHandle(handleOf(file), FileBasicInfo, &basic, sizeof basic));
}

// The classic rename fails while any handle to the target is open; a scanner's goes away by itself,
// so refusals are waited out for about two seconds. The rename by handle is flushed with the next
// flush of the folder's metadata, which NTFS journals: it is as durable as the write-through move.
SystemError renameBeside(const Location& location, std::u16string_view fromName,
                         std::u16string_view toName) {
  const std::wstring from = inFolder(location, fromName);
  const std::wstring to = inFolder(location, toName);
  bool byHandle = true;
  return retryWhileBusy(
      [&] {
        if (byHandle) {
          const SystemError error = renameByHandle(from, to);
          if (!lacksPosixRename(error)) {
            return error;
          }
          byHandle = false;  // FAT, older NTFS, some servers, Wine
        }
        return resultOf(MoveFileExW(from.c_str(), to.c_str(),
                                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
      },
      [](SystemError error) { return isSharingConflict(error) || error == ERROR_ACCESS_DENIED; },
      2000);
}

// Opening for DELETE asks what a rename over the menu needs: delete on the file, or delete-child on
// its folder. A holder that shares no deletion is no refusal: the rename waits for it.
SystemError probeRename(const Location& location) {
  HANDLE file = CreateFileW(menuName(location).c_str(), DELETE, shareAll, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const SystemError error = GetLastError();
    return isSharingConflict(error) ? 0 : error;
  }
  CloseHandle(file);
  return 0;
}

SystemError makePrivate(const Location& location, std::u16string_view name) {
  return closeToOthers(inFolder(location, name));
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

// Windows offers no flush of a folder: files are created, and renamed, through handles that write
// through, which commit each change of a name before the call returns.
SystemError flushFolder(const Location&) {
  return 0;
}

std::size_t nameLength(std::u16string_view name) {
  return name.size();
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
