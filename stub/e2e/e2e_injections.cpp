// The injecting test build of the stub (sfxstub_injecting): the shipped sequence, with some of
// its steps answered as the environment variable SFX_E2E_INJECT says (words separated by
// spaces), so that the sequence's decisions can be watched in whole runs without a line of test
// code in it:
//   user           the stub does not run as an administrator
//   old            the stub was built 400 days ago
//   selfdefense:N  early self-defense answers N without starting anything
//   throw          saving the embedded items runs out of memory (std::bad_alloc)
//   wait           waiting for the child fails with ERROR_INVALID_HANDLE; the child goes on
//   waitthrow      waiting for the child throws a C++ exception; the child goes on
//   cleanupthrow   taking early self-defense down throws a C++ exception
#include <windows.h>

#include <cstdint>
#include <ctime>
#include <cwchar>
#include <new>
#include <stdexcept>
#include <string>

#include "archive/sfx_archive.h"
#include "root/library.h"
#include "selfdefense/driver_service.h"
#include "stub/entry_point.h"
#include "stub/run_values.h"

namespace {

using tzk::Result;

std::wstring injected() {
  wchar_t value[256];
  const DWORD n = ::GetEnvironmentVariableW(L"SFX_E2E_INJECT", value, 256);
  return L" " + std::wstring(value, n < 256 ? n : 0) + L" ";
}

bool has(const wchar_t* word) { return injected().find(L" " + std::wstring(word) + L" ") != std::wstring::npos; }

bool isUserAdmin() { return !has(L"user") && tzk::root::IsUserAdmin(); }

std::int64_t buildTimestamp() {
  if (has(L"old")) return static_cast<std::int64_t>(std::time(nullptr)) - 400LL * 86400;
  return tzk::stub::buildTimestamp();
}

DWORD waitForChild(HANDLE process) {
  if (has(L"waitthrow")) throw std::runtime_error("waiting");
  if (!has(L"wait")) return tzk::stub::waitForProcessEnd(process);
  ::SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

Result installEarlySelfDefense(const std::wstring& tempFolder, std::wstring& serviceName,
                               tzk::archive::SfxArchive& archive) {
  const std::wstring words = injected();
  const std::size_t at = words.find(L" selfdefense:");
  if (at != std::wstring::npos) return static_cast<Result>(std::wcstoul(words.c_str() + at + 13, nullptr, 0));
  return tzk::selfdefense::InstallEarlySelfDefense(tempFolder, serviceName, archive);
}

tzk::archive::ItemsBlock extractItems(tzk::archive::SfxArchive& archive, const std::wstring& folder) {
  if (has(L"throw")) throw std::bad_alloc();
  return archive.ExtractItems(folder);
}

Result cleanUpEarlySelfDefense(const std::wstring& serviceName) {
  if (has(L"cleanupthrow")) throw std::runtime_error("cleaning up");
  return tzk::selfdefense::CleanUpEarlySelfDefense(serviceName);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR rawArguments, int) {
  tzk::stub::SequenceSteps steps;
  steps.isUserAdmin = &isUserAdmin;
  steps.buildTimestamp = &buildTimestamp;
  steps.waitForChild = &waitForChild;
  steps.installEarlySelfDefense = &installEarlySelfDefense;
  steps.extractItems = &extractItems;
  steps.cleanUpEarlySelfDefense = &cleanUpEarlySelfDefense;
  return static_cast<int>(tzk::stub::runEntryPoint(instance, rawArguments, steps));
}
