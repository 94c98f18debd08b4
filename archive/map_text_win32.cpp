#include <windows.h>

#include "archive/map_text.h"
#include "vocabulary/text.h"

namespace tzk::archive {

// The ANSI code page is the system's, fixed for the process: the one its "A" functions read
// names in, which no step of the run can change. (The C runtime's locale starts as "C", which
// reads every byte as the unit of the same value, and becomes the user's when the run sets it.)
std::wstring WidenMapText(std::string_view bytes) {
  if (bytes.empty()) return std::wstring();
  const int length = static_cast<int>(bytes.size());
  const int n = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), length, nullptr, 0);
  if (n <= 0) return vocabulary::widenBytes(bytes);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), length, &wide[0], n);
  return wide;
}

}  // namespace tzk::archive
