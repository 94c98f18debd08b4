// The end of the stub's work: starting the installer/updater as a child and reading its exit
// code, handing over to an installed product, the desktop link after a failed installation and
// the restart the child may ask for.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "vocabulary/result.h"
#include "stub/command_line.h"

namespace tzk::stub {

// The child signals this event once its own user interface is on screen.
constexpr wchar_t kSetupGuiShownEvent[] = L"Global\\tzkSetupGuiShown_0x02fa47cc9a31afba";

// The child's whole command line, terminator included, must fit in this many units.
constexpr std::size_t kCommandLineUnits = 1024;

// The progress window, or none: closes the window. Empty when no window is shown.
using CloseWindow = std::function<void()>;

// Waits until a started child has ended: WAIT_OBJECT_0, or WAIT_FAILED with the thread's last
// error set.
DWORD waitForProcessEnd(HANDLE process);
using WaitForProcess = DWORD (*)(HANDLE process);

// Starts application with the argument text (nullptr: none) and the environment block
// (nullptr: the stub's own), waits for it and reads its exit code. Returns 0 when all of that
// worked, otherwise the Win32 error of the failed step; a command line too long for its buffer
// is refused with ERROR_FILENAME_EXCED_RANGE and a program path that is not absolute (it would
// be searched for, from the current directory on) with ERROR_BAD_PATHNAME, before anything
// starts. exitCode is written in every case (0 when it was not read). The window is closed when
// the child signals kSetupGuiShownEvent, or at the latest when the child has ended.
// *childMayRun (if given) is set from the child's start until it is seen to end, so that it
// stays set on every way out while the child may run, an exception's included: its files are
// in use.
Result runProcess(const CloseWindow& closeWindow, const wchar_t* arguments, const std::wstring& application,
                  std::uint32_t& exitCode, const wchar_t* environment, bool* childMayRun = nullptr,
                  WaitForProcess wait = &waitForProcessEnd);

// Tells the self-defense driver about a process (the control device's registration).
using RegisterWithSelfDefense = std::function<Result(std::uint32_t processId, bool flag)>;
using SleepMilliseconds = std::function<void(std::uint32_t milliseconds)>;

constexpr std::uint32_t kOldSetupRetryDelayMs = 3000;

// Lets an installed product take the new installer: its setup copies the files from
// tempFolder into its own "Sfx" folder, and childPath (and, for an old setup, childEnvironment)
// is redirected there. Any failure leaves both as they were, and so does a setup folder that is
// not a full path. Never fails outward.
void handOverToInstalledProduct(CommandLine& options, const std::wstring& tempFolder, const std::wstring& setupFolder,
                                std::uint32_t setupVersion, std::wstring& childPath, std::wstring& childEnvironment,
                                const RegisterWithSelfDefense& registerWithSelfDefense,
                                const SleepMilliseconds& sleep = [](std::uint32_t ms) { ::Sleep(ms); });

// The child environment for an old setup: every entry of block (a Unicode environment block),
// the first PATH entry (any capitalisation) extended by folder and ";". Each entry keeps its
// terminator and one more zero ends the block. Empty when there is no PATH entry or the block
// has 100000 entries or more: the child then inherits the stub's environment.
std::wstring buildChildEnvironment(const wchar_t* block, const std::wstring& folder);

// Creates a file that did not exist, for writing and for deleting: never over a file, nor
// through a link, that has the name (a name taken fails with 80). INVALID_HANDLE_VALUE with the
// Win32 error as last error when it fails.
using CreateNewFile = HANDLE (*)(const wchar_t* path, SECURITY_ATTRIBUTES* security);
HANDLE createNewFile(const wchar_t* path, SECURITY_ATTRIBUTES* security);

// Copies the stub's own executable onto the all-users desktop, so the user can run it again
// after a failed installation. Every user of the machine may start it from there, so it is a
// file of its own that only administrators may change (ProtectedSecurity; never a link to the
// user's download, which that user could rewrite), made new with create and there only once
// complete; a file or link that already has the name is left as it is. Failures are logged and
// ignored.
void linkSfxToDesktop(CreateNewFile create = &createNewFile);

using InitiateShutdown = BOOL(WINAPI*)(LPWSTR machine, LPWSTR message, DWORD timeout, BOOL forceAppsClosed,
                                       BOOL rebootAfterShutdown, DWORD reason);

// Restarts Windows with the shutdown privilege enabled; does not wait. Failures are logged.
void restartWindows(InitiateShutdown initiateShutdown = &::InitiateSystemShutdownExW);

}  // namespace tzk::stub
