// The access rules of files, folders and locks: who this run is, what it may do, and what the new
// files of a save are given.
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include "storage/platform/platform_windows.h"

namespace zelpin::platform {
namespace {

// What the system tells of this run's access token (a user, an owner: a SID each, which fits);
// empty where it tells nothing.
std::vector<BYTE> tokenInformation(TOKEN_INFORMATION_CLASS which) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return {};
  }
  const Handle owned(nativeOf(token));
  std::vector<BYTE> buffer(256);
  DWORD size = 0;
  if (!GetTokenInformation(token, which, buffer.data(), static_cast<DWORD>(buffer.size()), &size)) {
    return {};
  }
  return buffer;
}

// The user this run runs as, in the S-1-5-... form; empty where it cannot be told.
std::wstring thisUser() {
  const std::vector<BYTE> user = tokenInformation(TokenUser);
  LocalMemory text;
  if (user.empty() ||
      !ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid,
                              reinterpret_cast<wchar_t**>(&text.memory))) {
    return {};
  }
  return static_cast<wchar_t*>(text.memory);
}

// This run's user, or the owner it gives what it makes (for an elevated run, Administrators).
bool isThisUser(PSID sid) {
  const std::vector<BYTE> user = tokenInformation(TokenUser);
  const std::vector<BYTE> defaultOwner = tokenInformation(TokenOwner);
  return (!user.empty() &&
          EqualSid(sid, reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid)) ||
         (!defaultOwner.empty() &&
          EqualSid(sid, reinterpret_cast<const TOKEN_OWNER*>(defaultOwner.data())->Owner));
}

// This user, or an account of the system itself, which can do anything anyway.
bool isTrusted(PSID sid) {
  static constexpr WELL_KNOWN_SID_TYPE system[] = {WinLocalSystemSid, WinBuiltinAdministratorsSid,
                                                   WinCreatorOwnerSid, WinCreatorOwnerRightsSid};
  for (const WELL_KNOWN_SID_TYPE type : system) {
    if (IsWellKnownSid(sid, type)) {
      return true;
    }
  }
  LocalMemory text;
  if (ConvertSidToStringSidW(sid, reinterpret_cast<wchar_t**>(&text.memory)) &&
      std::wstring_view(static_cast<wchar_t*>(text.memory)).starts_with(L"S-1-5-80-")) {
    return true;  // a service's account (TrustedInstaller owns the system's folders)
  }
  return isThisUser(sid);
}

// The rules of an access control list that are the file's own: those it inherited come again from
// the folder of the new file.
std::vector<BYTE> ownRules(PACL rules) {
  ACL_SIZE_INFORMATION size{};
  GetAclInformation(rules, &size, sizeof size, AclSizeInformation);
  std::vector<BYTE> own(sizeof(ACL) + size.AclBytesInUse);
  const auto acl = reinterpret_cast<PACL>(own.data());
  InitializeAcl(acl, static_cast<DWORD>(own.size()), rules->AclRevision);
  for (DWORD i = 0; i < size.AceCount; ++i) {
    void* rule = nullptr;
    if (GetAce(rules, i, &rule) &&
        (static_cast<ACE_HEADER*>(rule)->AceFlags & INHERITED_ACE) == 0) {
      AddAce(acl, rules->AclRevision, MAXDWORD, rule, static_cast<ACE_HEADER*>(rule)->AceSize);
    }
  }
  return own;
}

}  // namespace

bool ModelSecurity::describe(HANDLE model, bool ownerToo) {
  PSID owner = nullptr;
  PACL acl = nullptr;
  if (GetSecurityInfo(model, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                      &owner, nullptr, &acl, nullptr, &original.memory) != ERROR_SUCCESS) {
    return false;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(original.memory, &control, &revision);
  const bool isProtected = (control & SE_DACL_PROTECTED) != 0;
  PACL given = acl;
  if (acl != nullptr && !isProtected) {
    rules = ownRules(acl);
    given = reinterpret_cast<PACL>(rules.data());
  }
  return InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
         SetSecurityDescriptorOwner(&descriptor, ownerToo ? owner : nullptr, FALSE) &&
         SetSecurityDescriptorDacl(&descriptor, TRUE, given, FALSE) &&
         SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED,
                                      isProtected ? SE_DACL_PROTECTED : 0);
}

namespace {

// A moment's handle for writing: the system's own answer.
bool mayOpenToWrite(const std::wstring& name) {
  HANDLE writer = CreateFileW(name.c_str(), GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (writer == INVALID_HANDLE_VALUE) {
    return GetLastError() != ERROR_ACCESS_DENIED;
  }
  CloseHandle(writer);
  return true;
}

}  // namespace

// Whether this user may write the file, by its access rules, without opening it for writing (which
// would keep out every reader that does not share writing, for as long as the handle is open). The
// rules alone can say "no" wrongly: on a share they name the server's accounts, against which this
// run's token matches only Everyone, while the server would let the write through. So a "no" is
// asked again of the system, with a moment's handle, as a "maybe" is.
bool mayWrite(HANDLE file, const std::wstring& name) {
  LocalMemory descriptor;
  HANDLE process = nullptr;
  HANDLE token = nullptr;
  if (GetSecurityInfo(
          file, SE_FILE_OBJECT,
          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
          nullptr, nullptr, nullptr, nullptr, &descriptor.memory) == ERROR_SUCCESS &&
      OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process)) {
    const Handle ownedProcess(nativeOf(process));
    if (DuplicateToken(process, SecurityImpersonation, &token)) {
      const Handle ownedToken(nativeOf(token));
      GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                              FILE_ALL_ACCESS};
      PRIVILEGE_SET privileges{};
      DWORD privilegesSize = sizeof privileges;
      DWORD granted = 0;
      BOOL allowed = FALSE;
      if (AccessCheck(descriptor.memory, token, FILE_WRITE_DATA, &mapping, &privileges,
                      &privilegesSize, &granted, &allowed) &&
          allowed) {
        return true;
      }
    }
  }
  return mayOpenToWrite(name);
}

// Allowing rules that give anyone else a way to add, rename or remove a file there, or to change
// the rules themselves. Rules meant only for what is made inside are not the folder's own.
bool keepsOthersOutOf(HANDLE folder) {
  PSID owner = nullptr;
  PACL rules = nullptr;
  LocalMemory descriptor;
  if (GetSecurityInfo(folder, SE_FILE_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                      &rules, nullptr, &descriptor.memory) != ERROR_SUCCESS ||
      owner == nullptr || !isTrusted(owner) || rules == nullptr) {
    return false;
  }
  constexpr DWORD changes = FILE_ADD_FILE | FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER |
                            GENERIC_WRITE | GENERIC_ALL;
  ACL_SIZE_INFORMATION size{};
  GetAclInformation(rules, &size, sizeof size, AclSizeInformation);
  for (DWORD i = 0; i < size.AceCount; ++i) {
    void* rule = nullptr;
    if (!GetAce(rules, i, &rule)) {
      return false;
    }
    const auto* header = static_cast<const ACE_HEADER*>(rule);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) {
      continue;
    }
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(rule);
    PSID who = const_cast<DWORD*>(&allowed->SidStart);
    if ((allowed->Mask & changes) != 0 && !isTrusted(who)) {
      return false;
    }
  }
  return true;
}

namespace {

// A protected list of one rule: the user, full access.
bool thisUsersAlone(LocalMemory& descriptor) {
  const std::wstring user = thisUser();
  return !user.empty() &&
         ConvertStringSecurityDescriptorToSecurityDescriptorW(
             (L"D:P(A;;FA;;;" + user + L")").c_str(), SDDL_REVISION_1, &descriptor.memory, nullptr);
}

}  // namespace

bool ModelSecurity::describeThisUsersAlone() {
  if (!thisUsersAlone(original)) {
    return false;
  }
  attributes.lpSecurityDescriptor = original.memory;
  return true;
}

SystemError closeToOthers(const std::wstring& name) {
  LocalMemory descriptor;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL rules = nullptr;
  if (!thisUsersAlone(descriptor) ||
      !GetSecurityDescriptorDacl(descriptor.memory, &present, &rules, &defaulted)) {
    return GetLastError();
  }
  return SetNamedSecurityInfoW(const_cast<wchar_t*>(name.c_str()), SE_FILE_OBJECT,
                               DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                               nullptr, nullptr, rules, nullptr);
}

// The owner of what this user makes: the user, or for an elevated run the Administrators group.
bool madeByThisUser(NativeHandle file, const FileInfo&) {
  PSID owner = nullptr;
  LocalMemory descriptor;
  return GetSecurityInfo(handleOf(file), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                         nullptr, nullptr, nullptr, &descriptor.memory) == ERROR_SUCCESS &&
         isThisUser(owner);
}

}  // namespace zelpin::platform
