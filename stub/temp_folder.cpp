#include "stub/temp_folder.h"

#include <sddl.h>
#include <winternl.h>

#include "root/system_function.h"
#include "stub/run_values.h"

namespace tzk::stub {
namespace {

constexpr wchar_t kProtectedSecurity[] = L"O:BAG:BAD:P(A;CIOI;FA;;;SY)(A;CIOI;FA;;;BA)(A;CIOI;FRFX;;;BU)";
// The working buffer of the name; a longer name is refused rather than cut.
constexpr DWORD kNameBuffer = 521;

bool readVariable(const wchar_t* name, std::wstring* value) {
  wchar_t buffer[kNameBuffer];
  const DWORD n = ::GetEnvironmentVariableW(name, buffer, kNameBuffer);
  if (n == 0 || n >= kNameBuffer) return false;
  value->assign(buffer, n);
  return true;
}

bool isExistingDirectory(const std::wstring& path) {
  vocabulary::ScopedFileHandle h(::CreateFileW(path.c_str(), SYNCHRONIZE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h) return false;
  BY_HANDLE_FILE_INFORMATION info;
  return ::GetFileInformationByHandle(h.get(), &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool pathExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// "\\?\C:\x" is "C:\x", and "\\?\UNC\server\share" is "\\server\share": the run's paths are
// joined and handed to the child in the plain form.
std::wstring withoutLongPrefix(const std::wstring& path) {
  if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\" + path.substr(7);
  if (path.compare(0, 4, L"\\\\?\\") == 0) return path.substr(4);
  return path;
}

}  // namespace

ProtectedSecurity::ProtectedSecurity() {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedSecurity, SDDL_REVISION_1, &sd, nullptr)) {
    descriptor_.reset(sd);
    attributes_ = {sizeof(attributes_), sd, FALSE};
  }
}

HANDLE createHeldFolder(const wchar_t* path, SECURITY_ATTRIBUTES* security) {
  UNICODE_STRING name{};
  if (!::RtlDosPathNameToNtPathName_U(path, &name, nullptr, nullptr)) {
    ::SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr,
                             security != nullptr ? security->lpSecurityDescriptor : nullptr);
  IO_STATUS_BLOCK status{};
  HANDLE handle = INVALID_HANDLE_VALUE;
  // The call CreateDirectoryW makes, but its handle is kept rather than closed: listing access,
  // read and write sharing, and no delete sharing, which is what pins the folder.
  const NTSTATUS created =
      ::NtCreateFile(&handle, FILE_LIST_DIRECTORY | SYNCHRONIZE, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE,
                     FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT, nullptr, 0);
  ::RtlFreeUnicodeString(&name);
  if (!NT_SUCCESS(created)) {
    ::SetLastError(::RtlNtStatusToDosError(created));
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

HANDLE createProtected(CreateFolder create, const wchar_t* path, bool* isProtected) {
  ProtectedSecurity security;
  *isProtected = security.attributes() != nullptr;
  const HANDLE made = create(path, security.attributes());
  if (made != INVALID_HANDLE_VALUE || !*isProtected || ::GetLastError() != ERROR_INVALID_OWNER) return made;
  *isProtected = false;
  return create(path, nullptr);
}

std::wstring tempFolderBase(bool elevated) {
  std::wstring base;
  if (elevated) {
    wchar_t windows[MAX_PATH];
    const UINT length = ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    base.assign(windows, length);
    if (base.back() != L'\\') base += L'\\';
    return base + L"Temp";
  }
  if (!readVariable(L"TEMP", &base) && !readVariable(L"TMP", &base)) base = L"C:\\TEMP";
  if (!isExistingDirectory(base)) base = L"C:\\TEMP";
  ::CreateDirectoryW(base.c_str(), nullptr);
  return base;
}

std::wstring objectNamePath(HANDLE folder) {
  alignas(UNICODE_STRING) BYTE buffer[sizeof(UNICODE_STRING) + kNameBuffer * sizeof(wchar_t)];
  ULONG length = 0;
  if (!NT_SUCCESS(::NtQueryObject(folder, static_cast<OBJECT_INFORMATION_CLASS>(1), buffer, sizeof(buffer), &length))) {
    return std::wstring();
  }
  const auto* name = reinterpret_cast<const UNICODE_STRING*>(buffer);
  const std::wstring object(name->Buffer, name->Length / sizeof(wchar_t));
  if (object.compare(0, 4, L"\\??\\") == 0) return withoutLongPrefix(L"\\\\?\\" + object.substr(4));
  for (wchar_t drive[] = L"A:"; drive[0] <= L'Z'; ++drive[0]) {
    wchar_t device[kNameBuffer];
    if (::QueryDosDeviceW(drive, device, kNameBuffer) == 0) continue;
    const std::wstring prefix = std::wstring(device) + L"\\";
    if (object.compare(0, prefix.size(), prefix) == 0) return drive + object.substr(prefix.size() - 1);
  }
  return std::wstring();
}

std::wstring resolvedFolderPath(HANDLE folder) {
  using FinalPath = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
  const auto finalPath = root::AsFunction<FinalPath>(root::FindLoadedFunction(L"kernel32.dll", "GetFinalPathNameByHandleW"));
  wchar_t buffer[kNameBuffer];
  if (finalPath != nullptr) {
    const DWORD length = finalPath(folder, buffer, kNameBuffer, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    return length != 0 && length < kNameBuffer ? withoutLongPrefix(std::wstring(buffer, length)) : std::wstring();
  }
  return objectNamePath(folder);
}

Result makeTempFolderIn(const std::wstring& base, std::wstring* folder, vocabulary::ScopedFileHandle* held,
                        bool* protectedFolder, CreateFolder create) {
  if (base.empty()) return code::kPathNotFound;
  const DWORD threadId = ::GetCurrentThreadId();
  for (wchar_t letter = L'a'; letter <= L'z'; ++letter) {
    const std::wstring candidate = tempFolderCandidate(base, letter, threadId);
    if (candidate.size() >= kNameBuffer) return code::kFilenameTooLong;
    if (pathExists(candidate)) continue;
    const HANDLE made = createProtected(create, candidate.c_str(), protectedFolder);
    if (made != INVALID_HANDLE_VALUE) {
      held->reset(made);
      const std::wstring resolved = resolvedFolderPath(made);
      *folder = resolved.empty() ? candidate : resolved;
      return code::kSuccess;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_ALREADY_EXISTS) return error;  // taken meanwhile: try the next letter
  }
  return code::kAlreadyExists;
}

Result makeTempFolder(std::wstring* folder, vocabulary::ScopedFileHandle* held, bool elevated,
                      bool* protectedFolder) {
  return makeTempFolderIn(tempFolderBase(elevated), folder, held, protectedFolder);
}

}  // namespace tzk::stub
