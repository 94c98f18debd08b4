// The early self-defense: the self-protection driver travels in the archive, is copied into the
// drivers folder under a random service name, started as a file-system minifilter, handed
// over to the permanent service name and, at the end of the run, stopped and removed again.
#pragma once

#include <windows.h>

#include <string>

#include "vocabulary/result.h"

namespace tzk::archive {
class SfxArchive;
}

namespace tzk::selfdefense {

constexpr wchar_t kServicesRoot[] = L"SYSTEM\\CurrentControlSet\\Services";
constexpr wchar_t kPermanentServiceName[] = L"tzkSP";

// Eight lower-case letters from the C runtime's generator, which the library start-up seeds.
std::wstring GenerateServiceName();

// The Windows folder followed by "\System32\drivers"; empty when the Windows folder is unknown.
std::wstring GetDriversFolder();

// Brings the driver up from the archive's module for this platform, with tempFolder as the
// installer's working folder. serviceName is cleared, then holds the generated name whatever
// the result; none is drawn when the archive has no module for the platform. 0 when the
// self-defense runs (or nothing had to be done: safe mode, a driver that already answers),
// 1168 when the archive has no module for the platform, otherwise the failing call's Windows
// error or the key rename's NTSTATUS.
Result InstallEarlySelfDefense(const std::wstring& tempFolder, std::wstring& serviceName,
                               archive::SfxArchive& archive);

// Stops and removes what InstallEarlySelfDefense left under serviceName (possibly empty),
// partial driver files of that name included, leaving a permanently installed driver service
// alone apart from its "InstupFolder" value. 0 or the Windows error of the step that failed.
Result CleanUpEarlySelfDefense(const std::wstring& serviceName);

// How the two native functions of the hand-over (NtRenameKey, RtlNtStatusToDosError) are
// found. Tests hand in a look-up with functions that fail as a real system may; null restores
// the look-up in the loaded ntdll.dll. A look-up that finds nothing must set the last error.
using NativeFunctionLookup = FARPROC (*)(const char* name);
void SetNativeFunctionLookup(NativeFunctionLookup lookup);

// How the installation learns how Windows was started (GetSystemMetrics(SM_CLEANBOOT): 0
// normally, above 0 in safe mode). Tests hand in their own answer; null restores the system's.
using BootModeQuery = int (*)();
void SetBootModeQuery(BootModeQuery query);

}  // namespace tzk::selfdefense
