#include "stub/path_join.h"

namespace tzk::stub {

std::wstring joinPath(const std::wstring& folder, const std::wstring& name) {
  if (folder.empty()) return name;
  if (name.empty()) return folder;
  std::wstring path = folder;
  if (path.back() == L'"') path.pop_back();
  const bool folderEndsInSeparator = !path.empty() && path.back() == L'\\';
  if (!folderEndsInSeparator && name.front() != L'\\') path += L'\\';
  path += name;
  if (path.front() == L'"') path += L'"';
  return path;
}

}  // namespace tzk::stub
