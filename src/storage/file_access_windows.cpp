#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "storage/conversion.h"
#include "storage/file_access.h"
#include "storage/file_error.h"

namespace zelpin {
namespace {

// Closes the handle it holds when it goes out of scope.
class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { close(); }
  HANDLE get() const { return handle_; }
  bool isOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  bool close() {
    const bool closed = !isOpen() || CloseHandle(handle_) != 0;
    handle_ = INVALID_HANDLE_VALUE;
    return closed;
  }

 private:
  HANDLE handle_;
};

// Removes the temporary file on every way out but a successful replace.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::wstring name) : name_(std::move(name)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!name_.empty()) {
      DeleteFileW(name_.c_str());
    }
  }
  const std::wstring& name() const { return name_; }
  void keep() { name_.clear(); }

 private:
  std::wstring name_;
};

constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::wstring wide(std::u16string_view path) {
  return std::wstring(reinterpret_cast<const wchar_t*>(path.data()), path.size());
}

std::string utf8(std::wstring_view text) {
  try {
    return encodeLine(
        std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()), false);
  } catch (const ConversionError&) {
    return "?";
  }
}

std::string describe(DWORD error) {
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
  return utf8(text);
}

[[noreturn]] void fail(const char* action, const std::wstring& name, DWORD error) {
  throw FileError(std::string("cannot ") + action + " '" + utf8(name) + "': " + describe(error));
}

// Virus scanners and indexers open files for a moment; such a refusal is worth waiting out.
bool isTransient(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED;
}

// Calls attempt until it succeeds, fails for good, or about one second has passed.
template <typename Attempt>
bool retryWhileBusy(Attempt attempt) {
  DWORD pause = 10;
  for (DWORD waited = 0;; waited += pause, pause *= 2) {
    if (attempt()) {
      return true;
    }
    if (!isTransient(GetLastError()) || waited >= 1000) {
      return false;
    }
    Sleep(pause);
  }
}

HANDLE openExisting(const std::wstring& name, DWORD access) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  retryWhileBusy([&] {
    handle = CreateFileW(name.c_str(), access, shareAll, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    return handle != INVALID_HANDLE_VALUE;
  });
  return handle;
}

bool isMissing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

void writeAll(HANDLE file, std::string_view content, const std::wstring& name) {
  while (!content.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(content.size(), 1u << 30));
    DWORD written = 0;
    if (!WriteFile(file, content.data(), chunk, &written, nullptr)) {
      fail("write", name, GetLastError());
    }
    content.remove_prefix(written);
  }
}

bool setLength(HANDLE file, std::uint64_t length) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(length);
  return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

void writeContentTo(HANDLE file, const ContentWriter& writeContent, const std::wstring& name) {
  writeContent([&](std::string_view piece) { writeAll(file, piece, name); });
}

// For files that must keep their identity (hard links) or whose folder takes no new files. The file
// is grown to its new length first, so that a full disk stops the save while the old content is
// still whole.
void rewriteInPlace(Handle& file, const std::wstring& name, std::uint64_t size,
                    const ContentWriter& writeContent, std::uint64_t oldLength) {
  if (size > oldLength && !setLength(file.get(), size)) {
    fail("write", name, GetLastError());
  }
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN)) {
    fail("write", name, GetLastError());
  }
  writeContentTo(file.get(), writeContent, name);
  if (!SetEndOfFile(file.get()) || !FlushFileBuffers(file.get()) || !file.close()) {
    fail("write", name, GetLastError());
  }
}

// ReplaceFileW wants full names (Wine refuses relative ones), and so the temporary file's folder is
// read off the full name.
std::wstring fullNameOf(const std::wstring& name) {
  const DWORD length = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
  if (length == 0) {
    return name;
  }
  std::wstring full(length, L'\0');
  full.resize(GetFullPathNameW(name.c_str(), length, full.data(), nullptr));
  return full;
}

std::wstring folderOf(const std::wstring& fullName) {
  return fullName.substr(0, fullName.find_last_of(L"\\/") + 1);
}

// A new file with a name of its own next to the menu; CREATE_NEW makes the name exclusive.
HANDLE createTemporary(const std::wstring& folder, std::wstring& name) {
  const std::wstring prefix = folder + L".zelpin-" + std::to_wstring(GetCurrentProcessId()) + L"-";
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    name = prefix + std::to_wstring(GetTickCount() + attempt) + L".tmp";
    HANDLE handle = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) {
      return handle;
    }
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace

void readFileChunks(std::u16string_view path, const std::function<void(std::uint64_t size)>& onOpen,
                    const std::function<void(std::string_view chunk)>& onChunk) {
  const std::wstring name = wide(path);
  Handle file(openExisting(name, GENERIC_READ));
  if (!file.isOpen()) {
    const DWORD error = GetLastError();
    if (isMissing(error)) {
      return;
    }
    fail("read", name, error);
  }
  LARGE_INTEGER size{};
  onOpen(GetFileSizeEx(file.get(), &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0);
  std::vector<char> buffer(1 << 16);
  for (;;) {
    DWORD count = 0;
    if (!ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &count, nullptr)) {
      fail("read", name, GetLastError());
    }
    if (count == 0) {
      return;
    }
    onChunk(std::string_view(buffer.data(), count));
  }
}

void replaceFileContent(std::u16string_view path, std::uint64_t size,
                        const ContentWriter& writeContent) {
  const std::wstring name = wide(path);
  const std::wstring fullName = fullNameOf(name);

  // Probe without truncating: a read-only menu stays as it is.
  Handle existing(openExisting(fullName, GENERIC_WRITE));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!existing.isOpen()) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND) {
      fail("write", name, GetLastError());
    }
  } else if (!GetFileInformationByHandle(existing.get(), &info)) {
    fail("write", name, GetLastError());
  } else if (info.nNumberOfLinks > 1) {
    rewriteInPlace(existing, name, size, writeContent,
                   (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    return;
  }

  std::wstring temporaryName;
  Handle temporary(createTemporary(folderOf(fullName), temporaryName));
  if (!temporary.isOpen()) {
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED && existing.isOpen()) {
      rewriteInPlace(existing, name, size, writeContent,
                     (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
      return;
    }
    fail("write", name, error);
  }
  TemporaryFile guard(temporaryName);
  writeContentTo(temporary.get(), writeContent, temporaryName);
  if (!FlushFileBuffers(temporary.get()) || !temporary.close()) {
    fail("write", temporaryName, GetLastError());
  }

  const bool menuExisted = existing.isOpen();
  existing.close();  // ReplaceFileW needs the menu closed
  const bool replaced = retryWhileBusy([&] {
    if (menuExisted) {
      // Keeps the menu's attributes, ACL and creation time.
      return ReplaceFileW(fullName.c_str(), temporaryName.c_str(), nullptr,
                          REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0;
    }
    return MoveFileExW(temporaryName.c_str(), fullName.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  });
  if (!replaced) {
    fail("write", name, GetLastError());
  }
  guard.keep();
}

}  // namespace zelpin
