// printf-style formatting of wide texts with the system's own format language: "%s" takes a
// wide string and "l" integers are 32 bits, as in the Windows C runtime. The host build
// translates each format so that it prints the same text as the stub.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

namespace tzk::log {

// Number of units the format produces, without the terminator; negative on failure.
int countFormatted(const wchar_t* format, va_list args);

// Formats into buffer (capacity units, terminator included). Returns the number of units
// written without the terminator, or a negative value when the text did not fit.
int formatInto(wchar_t* buffer, std::size_t capacity, const wchar_t* format, va_list args);

// Convenience for callers that want a string; empty when formatting fails.
std::wstring formatString(const wchar_t* format, ...);
std::wstring formatStringV(const wchar_t* format, va_list args);

}  // namespace tzk::log
