#include "log/wide_format.h"

#include <wchar.h>

#include <cstdio>

namespace tzk::log {

int countFormatted(const wchar_t* format, va_list args) { return _vscwprintf(format, args); }

int formatInto(wchar_t* buffer, std::size_t capacity, const wchar_t* format, va_list args) {
  if (capacity == 0) return -1;
  const int n = _vsnwprintf(buffer, capacity, format, args);
  // msvcrt does not terminate a text that fills the buffer exactly.
  if (n < 0 || static_cast<std::size_t>(n) >= capacity) {
    buffer[capacity - 1] = L'\0';
    return -1;
  }
  return n;
}

}  // namespace tzk::log
