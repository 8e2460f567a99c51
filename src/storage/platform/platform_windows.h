#pragma once

// What the Windows files of the platform share: spelling names and handles, and the questions of
// access rules that the save asks (platform_security_windows.cpp).

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "storage/platform/platform_file.h"

namespace zelpin::platform {

constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

inline std::wstring wide(std::u16string_view text) {
  return std::wstring(reinterpret_cast<const wchar_t*>(text.data()), text.size());
}

inline std::u16string narrow(std::wstring_view text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.data()), text.size());
}

inline HANDLE handleOf(NativeHandle handle) {
  return reinterpret_cast<HANDLE>(handle);
}

inline NativeHandle nativeOf(HANDLE handle) {
  return reinterpret_cast<NativeHandle>(handle);
}

inline SystemError resultOf(BOOL succeeded) {
  return succeeded ? 0 : GetLastError();
}

// Frees what the system allocated for a security descriptor.
struct LocalMemory {
  void* memory = nullptr;
  LocalMemory() = default;
  LocalMemory(const LocalMemory&) = delete;
  LocalMemory& operator=(const LocalMemory&) = delete;
  ~LocalMemory() { LocalFree(memory); }
};

// A security descriptor for a file that is to replace model: its owner and its access rules.
struct ModelSecurity {
  LocalMemory original;
  std::vector<BYTE> rules;
  SECURITY_DESCRIPTOR descriptor{};
  SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};

  // False where the model's file system keeps no access rules: the new file then gets the folder's.
  bool describe(HANDLE model, bool ownerToo);
  // Rules that let this user alone open the file; false where they cannot be made.
  bool describeThisUsersAlone();
};

// Whether this user may write the file (open without writing, under name).
bool mayWrite(HANDLE file, const std::wstring& name);

// Whether the folder's rules let no one but this user and the system's own accounts add, rename
// or remove files in it.
bool keepsOthersOutOf(HANDLE folder);

// Gives the file rules that let this user alone open it. By name, not handle: the traversal of
// the folders above counts for nothing on Windows, as everyone may bypass it by default.
SystemError closeToOthers(const std::wstring& name);

}  // namespace zelpin::platform
