#include "stub/data_root.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstdarg>

#include "log/logger.h"
#include "root/file_checks.h"
#include "stub/main_sequence.h"
#include "stub/temp_folder.h"
#include "vocabulary/path.h"
#include "vocabulary/scoped_handle.h"

namespace tzk::stub {
namespace {

void warn(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  log::theLogger().writeV(log::level::kWarning, kTagQelvo, format, args);
  va_end(args);
}

// Every right that lets its holder write in a folder, delete or rename it or what it holds, or
// change its security (and so grant itself the rest).
constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                      FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                      GENERIC_ALL;

bool isAdministrative(PSID sid) {
  return ::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
}

std::wstring sidText(PSID sid) {
  LPWSTR text = nullptr;
  if (sid == nullptr || !::ConvertSidToStringSidW(sid, &text)) return L"nobody";
  const vocabulary::ScopedLocalMemory owned(text);
  return text;
}

// Taking back a folder whose owner locked Administrators out needs these two; an elevated
// token holds them, disabled. Enabled for the pass only, then put back as they were.
class EnabledPrivileges {
 public:
  EnabledPrivileges() {
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token_.receive())) return;
    Privileges wanted{2, {}};
    if (!::LookupPrivilegeValueW(nullptr, SE_TAKE_OWNERSHIP_NAME, &wanted.entries[0].Luid) ||
        !::LookupPrivilegeValueW(nullptr, SE_RESTORE_NAME, &wanted.entries[1].Luid)) {
      return;
    }
    wanted.entries[0].Attributes = wanted.entries[1].Attributes = SE_PRIVILEGE_ENABLED;
    DWORD length = 0;
    adjusted_ = ::AdjustTokenPrivileges(token_.get(), FALSE, wanted.get(), sizeof(previous_), previous_.get(),
                                        &length) != FALSE;
  }
  ~EnabledPrivileges() {
    if (adjusted_) ::AdjustTokenPrivileges(token_.get(), FALSE, previous_.get(), 0, nullptr, nullptr);
  }
  EnabledPrivileges(const EnabledPrivileges&) = delete;
  EnabledPrivileges& operator=(const EnabledPrivileges&) = delete;

 private:
  struct Privileges {
    DWORD count;
    LUID_AND_ATTRIBUTES entries[2];
    TOKEN_PRIVILEGES* get() { return reinterpret_cast<TOKEN_PRIVILEGES*>(this); }
  };
  vocabulary::ScopedKernelHandle token_;
  Privileges previous_{};
  bool adjusted_ = false;
};

// Gives the folder behind the handle Administrators as owner and the protected descriptor.
bool takeBack(HANDLE folder, ProtectedSecurity& security) {
  PSECURITY_DESCRIPTOR descriptor = security.attributes() != nullptr ? security.attributes()->lpSecurityDescriptor
                                                                     : nullptr;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  if (descriptor == nullptr || !::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
      !::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
    return false;
  }
  return ::SetSecurityInfo(folder, SE_FILE_OBJECT,
                           OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                           owner, nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

// A real folder at the level, made where nothing was and made anew where a link or a file was.
bool makeRealFolder(const std::wstring& path, ProtectedSecurity& security) {
  DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)) {
    warn(L"The data folder '%s' was a link or a file (attributes 0x%x); it is removed as itself", path.c_str(),
         attributes);
    if (!removeEntryItself(path)) {
      warn(L"The link or file at '%s' cannot be removed as itself", path.c_str());
      return false;
    }
    attributes = INVALID_FILE_ATTRIBUTES;
  }
  if (attributes == INVALID_FILE_ATTRIBUTES) ::CreateDirectoryW(path.c_str(), security.attributes());
  attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// One level made safe: a real folder that only SYSTEM and Administrators can change.
bool secureLevel(const std::wstring& path, ProtectedSecurity& security) {
  if (!makeRealFolder(path, security)) return false;
  // Opened on the entry itself: had a link come in the meantime, the handle shows it.
  vocabulary::ScopedFileHandle folder(::CreateFileW(
      path.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!folder || !::GetFileInformationByHandle(folder.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    warn(L"The data folder '%s' cannot be opened as a folder of its own (code 0x%x)", path.c_str(), ::GetLastError());
    return false;
  }
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR read = nullptr;
  if (::GetSecurityInfo(folder.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        &owner, nullptr, &dacl, nullptr, &read) != ERROR_SUCCESS) {
    return takeBack(folder.get(), security);
  }
  const vocabulary::ScopedLocalMemory held(read);
  if (onlyAdministratorsChange(owner, dacl)) return true;
  warn(L"The data folder '%s' could be changed by others than Administrators (owner %s); it is taken back",
       path.c_str(), sidText(owner).c_str());
  if (takeBack(folder.get(), security)) return true;
  warn(L"The data folder '%s' cannot be taken back (code 0x%x)", path.c_str(), ::GetLastError());
  return false;
}

// The log is appended to by every elevated run: a link at its name, or a second name of the
// file elsewhere, would have those appends land in a file the user chose.
bool logFileIsOwn(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  if ((attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    warn(L"The setup log '%s' was a link or a folder (attributes 0x%x); it is removed as itself", path.c_str(),
         attributes);
    return removeEntryItself(path);
  }
  vocabulary::ScopedFileHandle file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!file || !::GetFileInformationByHandle(file.get(), &info)) return false;
  if (info.nNumberOfLinks <= 1) return true;
  file.reset();
  warn(L"The setup log '%s' had %u names; this one is removed", path.c_str(), info.nNumberOfLinks);
  return ::DeleteFileW(path.c_str()) != FALSE;
}

}  // namespace

std::wstring DataPaths::logsFolder() const { return vocabulary::FolderOf(logFile); }

DataPaths makeDataPaths(const std::wstring& commonAppData) {
  const std::wstring base = L"\\\\.\\" + commonAppData + L"\\";
  const std::wstring zanti = base + L"ZANTI Software\\Persistent Data\\Zanti";
  return {base + L"ZANTI Software", zanti + L"\\Reboot.txt", zanti + L"\\Logs\\Setup.log"};
}

void createDirectoryLevels(const std::wstring& path, SECURITY_ATTRIBUTES* security) {
  for (std::size_t i = 1; i < path.size(); ++i) {
    if (path[i] == L'\\' || path[i] == L'/') {
      ::CreateDirectoryW(path.substr(0, i + 1).c_str(), security);
    }
  }
  ::CreateDirectoryW(path.c_str(), security);
}

bool onlyAdministratorsChange(PSID owner, const ACL* dacl) {
  // No DACL at all lets everyone do everything.
  if (owner == nullptr || !isAdministrative(owner) || dacl == nullptr) return false;
  auto* list = const_cast<ACL*>(dacl);
  ACL_SIZE_INFORMATION size{};
  if (!::GetAclInformation(list, &size, sizeof(size), AclSizeInformation)) return false;
  for (DWORD i = 0; i < size.AceCount; ++i) {
    void* entry = nullptr;
    if (!::GetAce(list, i, &entry)) return false;
    const BYTE type = static_cast<const ACE_HEADER*>(entry)->AceType;
    if (type == ACCESS_DENIED_ACE_TYPE || type == SYSTEM_AUDIT_ACE_TYPE) continue;
    // Object and callback grants are not read here: a grant not understood is one too many.
    if (type != ACCESS_ALLOWED_ACE_TYPE) return false;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    if ((allowed->Mask & kChangeRights) != 0 && !isAdministrative(&allowed->SidStart)) return false;
  }
  return true;
}

bool removeEntryItself(const std::wstring& path) {
  const DWORD seen = ::GetFileAttributesW(path.c_str());
  if (seen == INVALID_FILE_ATTRIBUTES) return false;
  vocabulary::ScopedFileHandle entry(::CreateFileW(
      path.c_str(), DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!entry || !::GetFileInformationByHandle(entry.get(), &info)) return false;
  // A handle that does not show the link the name shows was opened on what it points at (some
  // systems follow a link whatever the flag says): deleting through it would delete there.
  const bool isLink = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (((seen & FILE_ATTRIBUTE_REPARSE_POINT) != 0) != isLink) return false;
  if (!isLink && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  return root::SetDeletePending(entry.get(), true) == code::kSuccess;
}

bool prepareDataRoot(const DataPaths& paths, bool elevated) {
  ProtectedSecurity security;
  if (!elevated) {
    createDirectoryLevels(paths.dataRoot, security.attributes());
    createDirectoryLevels(paths.logsFolder(), nullptr);
    return true;
  }
  const EnabledPrivileges privileges;
  std::wstring level = paths.dataRoot;
  bool safe = true;
  for (const wchar_t* below : {L"", L"\\Persistent Data", L"\\Zanti", L"\\Logs"}) {
    level += below;
    safe = safe && secureLevel(level, security);
  }
  if (safe && logFileIsOwn(paths.logFile)) return true;
  warn(L"The data root '%s' cannot be made safe; this run keeps no setup log there", paths.dataRoot.c_str());
  return false;
}

bool rebootMarkerPresent(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

}  // namespace tzk::stub
