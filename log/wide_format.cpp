#include "log/wide_format.h"

#include <vector>

namespace tzk::log {

std::wstring formatStringV(const wchar_t* format, va_list args) {
  if (format == nullptr) return {};
  va_list counting;
  va_copy(counting, args);
  const int count = countFormatted(format, counting);
  va_end(counting);
  if (count <= 0) return {};
  std::vector<wchar_t> buffer(static_cast<std::size_t>(count) + 1);
  va_list writing;
  va_copy(writing, args);
  const int written = formatInto(buffer.data(), buffer.size(), format, writing);
  va_end(writing);
  if (written != count) return {};
  return std::wstring(buffer.data(), static_cast<std::size_t>(count));
}

std::wstring formatString(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring text = formatStringV(format, args);
  va_end(args);
  return text;
}

}  // namespace tzk::log
