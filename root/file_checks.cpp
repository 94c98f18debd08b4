#include "root/file_checks.h"

#include <windows.h>
#include <winternl.h>

#include "vocabulary/scoped_handle.h"

namespace tzk::root {

bool PathExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool PathOpens(const std::wstring& path) {
  const vocabulary::ScopedFileHandle file(::CreateFileW(path.c_str(), 0,
                                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return file.valid();
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

Result SetDeletePending(HANDLE entry, bool pending) {
  FILE_DISPOSITION_INFORMATION disposition = {static_cast<BOOLEAN>(pending)};
  IO_STATUS_BLOCK status = {};
  const NTSTATUS set =
      ::NtSetInformationFile(entry, &status, &disposition, sizeof(disposition), FileDispositionInformation);
  return NT_SUCCESS(set) ? code::kSuccess : ::RtlNtStatusToDosError(set);
}

}  // namespace tzk::root
