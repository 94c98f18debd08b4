// The one result vocabulary of the stub and the producer: an unsigned 32-bit Win32-style code,
// 0 for success. Every step returns it; each failure site produces its own code.
#pragma once

#include <cstdint>

namespace tzk {

using Result = std::uint32_t;

namespace code {
constexpr Result kSuccess = 0;
constexpr Result kFileNotFound = 2;             // ERROR_FILE_NOT_FOUND
constexpr Result kPathNotFound = 3;             // ERROR_PATH_NOT_FOUND
constexpr Result kAccessDenied = 5;             // ERROR_ACCESS_DENIED
constexpr Result kInvalidHandle = 6;            // ERROR_INVALID_HANDLE
constexpr Result kNotEnoughMemory = 8;          // ERROR_NOT_ENOUGH_MEMORY
constexpr Result kInvalidData = 13;             // ERROR_INVALID_DATA
constexpr Result kCannotMake = 82;              // ERROR_CANNOT_MAKE
constexpr Result kInvalidParameter = 87;        // ERROR_INVALID_PARAMETER
constexpr Result kOpenFailed = 110;             // ERROR_OPEN_FAILED
constexpr Result kCallNotImplemented = 120;     // ERROR_CALL_NOT_IMPLEMENTED
constexpr Result kInsufficientBuffer = 122;     // ERROR_INSUFFICIENT_BUFFER
constexpr Result kInvalidName = 123;            // ERROR_INVALID_NAME
constexpr Result kBadArguments = 160;           // ERROR_BAD_ARGUMENTS
constexpr Result kBadPathname = 161;            // ERROR_BAD_PATHNAME
constexpr Result kAlreadyExists = 183;          // ERROR_ALREADY_EXISTS
constexpr Result kFilenameTooLong = 206;        // ERROR_FILENAME_EXCED_RANGE
constexpr Result kMoreData = 234;               // ERROR_MORE_DATA
constexpr Result kUnhandledException = 574;     // ERROR_UNHANDLED_EXCEPTION
constexpr Result kNoaccess = 998;               // ERROR_NOACCESS
constexpr Result kFileInvalid = 1006;           // ERROR_FILE_INVALID
constexpr Result kOldWinVersion = 1150;         // ERROR_OLD_WIN_VERSION
constexpr Result kNotFound = 1168;              // ERROR_NOT_FOUND
constexpr Result kInternalError = 1359;         // ERROR_INTERNAL_ERROR
constexpr Result kPackageCorrupt = 0xA002;      // a file package cannot be unpacked
constexpr Result kDamagedInstallation = 0xA003; // a product service runs with nothing installed
}  // namespace code

}  // namespace tzk
