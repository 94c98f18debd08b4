#include "stub/temp_folder.h"

#include <sddl.h>
#include <winternl.h>

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

Result makeTempFolder(std::wstring* folder, vocabulary::ScopedFileHandle* held, bool administrator,
                      CreateFolder create) {
  std::wstring base;
  if (!readVariable(L"TEMP", &base) && !readVariable(L"TMP", &base)) base = L"C:\\TEMP";
  if (!isExistingDirectory(base)) base = L"C:\\TEMP";
  ::CreateDirectoryW(base.c_str(), nullptr);

  ProtectedSecurity security;
  const DWORD threadId = ::GetCurrentThreadId();
  for (wchar_t letter = L'a'; letter <= L'z'; ++letter) {
    const std::wstring candidate = tempFolderCandidate(base, letter, threadId);
    if (candidate.size() >= kNameBuffer) return code::kFilenameTooLong;
    if (pathExists(candidate)) continue;
    const HANDLE made = create(candidate.c_str(), administrator ? security.attributes() : nullptr);
    if (made != INVALID_HANDLE_VALUE) {
      held->reset(made);
      *folder = candidate;
      return code::kSuccess;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_ALREADY_EXISTS) return error;  // taken meanwhile: try the next letter
  }
  return code::kAlreadyExists;
}

}  // namespace tzk::stub
