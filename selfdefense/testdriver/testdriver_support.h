// Test support around the stand-in self-protection driver: putting its image where a driver
// host loads it, running it as a service, steering its answers and reading what it was asked.
//
// What Wine 8 does with the stub's own driver installation, and what a test prepares for it:
// - A service created by a 32-bit process in a 64-bit prefix is marked WOW64 inside Wine's
//   service manager (in memory, so deleting the "WOW64" value changes nothing) and its driver
//   runs in the 32-bit driver host. That host needs an x86 image and, with file-system
//   redirection on, looks for it in syswow64\drivers, which a fresh prefix does not have.
//   prepareStubDriverFolder() links syswow64\drivers to system32\drivers, and stubModuleImage()
//   names the image to pack as the archive's "selfdefense_x64_" module (x86 under Wine).
// - A relative image path ("name.sys") is not resolved to system32\drivers: the host loads it
//   through the DLL search path and fails (1114). It works once "ImagePath" is deleted after
//   creation, as the stub does: Wine then falls back to system32\drivers\<key name>.sys.
// - Wine registers no "FltMgr" service (it ships fltmgr.sys but no key) and does not check
//   dependencies when starting a service, so the dependency needs no preparation.
// - NtRenameKey exists in Wine 8's ntdll and renames a service key; the service manager keeps
//   the service under its old name, so stopping it by the random name still works.
// - Opening "\\.\tzkSP" without sharing does not keep later shared opens out.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "vocabulary/result.h"

namespace tzk::testdriver {

enum class Image { kX86, kX64 };

// One control request as the driver recorded it.
struct Request {
  std::uint32_t code = 0;
  std::uint32_t device = 0;  // TZK_TD_DEVICE_*
  std::uint32_t inputLength = 0;
  std::uint32_t outputLength = 0;
  std::vector<std::uint8_t> input;  // at most the first TZK_TD_MAX_STORED_INPUT bytes
};

bool runningOnWine();
bool runningUnderWow64();  // a 32-bit process on 64-bit Windows
bool systemIs64Bit();      // a 64-bit process, or a 32-bit one under WOW64

// The built image as a path this process can open, and the system's drivers folder.
std::wstring imageFile(Image image);
std::wstring driversFolder();

// Copies an image to `target` and deletes such a copy again, both with file-system redirection
// off under WOW64 so they reach the real system32\drivers.
Result copyImage(Image image, const std::wstring& target);
Result deleteDriverFile(const std::wstring& target);
// Reads a file of the real system folders (redirection off under WOW64); empty when missing.
std::vector<std::uint8_t> readSystemFile(const std::wstring& path);
// The bytes of a built image.
std::vector<std::uint8_t> imageBytes(Image image);

// Runs the driver as a plain kernel service named `serviceName`, loaded by the driver host of
// the system's own bitness (the x64 image on 64-bit Windows), and starts it. Under WOW64 the
// service is created by the native "sc.exe", because Wine would give a service created by this
// 32-bit process to its 32-bit host. `uninstallTestDriver` stops and deletes the service and
// its image file; a service that is not running or not present is not an error.
Result installTestDriver(const std::wstring& serviceName);
Result uninstallTestDriver(const std::wstring& serviceName);

// The image a driver service created by this process must have so that it starts: x86 for a
// 32-bit process, also under WOW64 on Wine (see above), and x64 on 64-bit Windows or for a
// 64-bit process (the 64-bit test build).
Image stubModuleImage();
// Makes the driver folder that Wine's 32-bit driver host searches the real system32\drivers.
// Nothing to do outside a 64-bit Wine prefix; idempotent.
Result prepareStubDriverFolder();

// The driver's controls; each takes effect with the next request.
Result resetDriverState();  // forgets the configuration and the request log
Result setQueryActive(std::uint32_t value);
Result setQueryActiveLength(std::uint32_t bytes);
Result setControlStatus(std::uint32_t code, std::uint32_t ntStatus);  // 0 clears it
Result setDeniedOpenAccess(std::uint32_t access);

Result readRequests(std::vector<Request>& requests);
// The registry path the driver was started with, e.g. "\Registry\Machine\...\Services\name".
Result readLoadedServiceKey(std::wstring& key);
// Which image the driver host loaded.
Result readLoadedImage(Image& image);

}  // namespace tzk::testdriver
