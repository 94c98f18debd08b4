#include "log/wide_format.h"

#include <cwchar>
#include <vector>

namespace tzk::log {
namespace {

bool isIntegerConversion(wchar_t c) {
  return c == L'd' || c == L'i' || c == L'u' || c == L'x' || c == L'X' || c == L'o';
}

// Rewrites a format of the Windows C runtime into glibc's: "%s"/"%c" become "%ls"/"%lc",
// "%hs" becomes "%s", and "l" on integers is dropped because a Windows long is 32 bits.
std::wstring translate(const wchar_t* format) {
  std::wstring out;
  for (const wchar_t* p = format; *p != L'\0'; ++p) {
    out.push_back(*p);
    if (*p != L'%') continue;
    ++p;
    if (*p == L'%') {
      out.push_back(*p);
      continue;
    }
    while (*p != L'\0' && std::wcschr(L"-+ #0123456789.*", *p) != nullptr) out.push_back(*p++);
    std::wstring length;
    while (*p != L'\0' && std::wcschr(L"hlLqjztI346", *p) != nullptr) length.push_back(*p++);
    if (*p == L'\0') break;
    const wchar_t conv = *p;
    if (conv == L's' || conv == L'c' || conv == L'S' || conv == L'C') {
      const bool narrow = (length == L"h") == (conv == L's' || conv == L'c');
      out += narrow ? L"" : L"l";
      out.push_back(conv == L'S' ? L's' : conv == L'C' ? L'c' : conv);
      continue;
    }
    if (isIntegerConversion(conv)) {
      if (length == L"I64" || length == L"ll") out += L"ll";
      else if (length == L"h" || length == L"hh") out += length;
      out.push_back(conv);
      continue;
    }
    out += length;
    out.push_back(conv);
  }
  return out;
}

}  // namespace

int countFormatted(const wchar_t* format, va_list args) {
  const std::wstring fmt = translate(format);
  // glibc has no counting mode for wide texts: grow until the text fits.
  for (std::size_t capacity = 256; capacity <= (std::size_t{1} << 24); capacity *= 4) {
    std::vector<wchar_t> buffer(capacity);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vswprintf(buffer.data(), capacity, fmt.c_str(), copy);
    va_end(copy);
    if (n >= 0) return n;
  }
  return -1;
}

int formatInto(wchar_t* buffer, std::size_t capacity, const wchar_t* format, va_list args) {
  if (capacity == 0) return -1;
  const std::wstring fmt = translate(format);
  const int n = std::vswprintf(buffer, capacity, fmt.c_str(), args);
  if (n < 0) buffer[capacity - 1] = L'\0';
  return n;
}

}  // namespace tzk::log
