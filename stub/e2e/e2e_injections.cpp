// Linked into the injecting test build of the stub only (sfxstub_injecting). The linker routes a
// few of the main sequence's calls here (--wrap), and the environment variable SFX_E2E_INJECT
// (words separated by spaces) says which of them answer otherwise than the system would, so that
// the sequence's decisions can be watched in whole runs without a line of test code in it:
//   user           the stub does not run as an administrator
//   old            the stub was built 400 days ago
//   selfdefense:N  early self-defense answers N without starting anything
//   throw          saving the embedded items runs out of memory (std::bad_alloc)
//   wait           waiting for the child fails with ERROR_INVALID_HANDLE; the child goes on
#include <windows.h>

#include <cstdint>
#include <ctime>
#include <cwchar>
#include <new>
#include <string>

namespace {

std::wstring injected() {
  wchar_t value[256];
  const DWORD n = ::GetEnvironmentVariableW(L"SFX_E2E_INJECT", value, 256);
  return L" " + std::wstring(value, n < 256 ? n : 0) + L" ";
}

bool has(const wchar_t* word) { return injected().find(L" " + std::wstring(word) + L" ") != std::wstring::npos; }

}  // namespace

using Result = std::uint32_t;
using ItemSaver = Result (*)(const std::wstring&, const std::uint8_t*, std::uint32_t);

extern "C" {

bool __real__ZN3tzk4root11IsUserAdminEv();
bool __wrap__ZN3tzk4root11IsUserAdminEv() { return !has(L"user") && __real__ZN3tzk4root11IsUserAdminEv(); }

std::int64_t __real__ZN3tzk4stub14buildTimestampEv();
std::int64_t __wrap__ZN3tzk4stub14buildTimestampEv() {
  if (has(L"old")) return static_cast<std::int64_t>(std::time(nullptr)) - 400LL * 86400;
  return __real__ZN3tzk4stub14buildTimestampEv();
}

DWORD __real__ZN3tzk4stub17waitForProcessEndEPv(HANDLE process);
DWORD __wrap__ZN3tzk4stub17waitForProcessEndEPv(HANDLE process) {
  if (!has(L"wait")) return __real__ZN3tzk4stub17waitForProcessEndEPv(process);
  ::SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

Result __real__ZN3tzk11selfdefense23InstallEarlySelfDefenseERKNSt7__cxx1112basic_stringIwSt11char_traitsIwESaIwEEERS6_RNS_7archive10SfxArchiveE(
    const std::wstring& tempFolder, std::wstring& serviceName, void* archive);
Result __wrap__ZN3tzk11selfdefense23InstallEarlySelfDefenseERKNSt7__cxx1112basic_stringIwSt11char_traitsIwESaIwEEERS6_RNS_7archive10SfxArchiveE(
    const std::wstring& tempFolder, std::wstring& serviceName, void* archive) {
  const std::wstring words = injected();
  const std::size_t at = words.find(L" selfdefense:");
  if (at != std::wstring::npos) return static_cast<Result>(std::wcstoul(words.c_str() + at + 13, nullptr, 0));
  return __real__ZN3tzk11selfdefense23InstallEarlySelfDefenseERKNSt7__cxx1112basic_stringIwSt11char_traitsIwESaIwEEERS6_RNS_7archive10SfxArchiveE(
      tempFolder, serviceName, archive);
}

// Member functions take `this` in ECX on this target: the wrapper must match.
__attribute__((thiscall)) Result
__real__ZN3tzk7archive10SfxArchive20ExtractEmbeddedItemsERKNSt7__cxx1112basic_stringIwSt11char_traitsIwESaIwEEEPFjS9_PKhjE(
    void* self, const std::wstring& folder, ItemSaver save);
__attribute__((thiscall)) Result
__wrap__ZN3tzk7archive10SfxArchive20ExtractEmbeddedItemsERKNSt7__cxx1112basic_stringIwSt11char_traitsIwESaIwEEEPFjS9_PKhjE(
    void* self, const std::wstring& folder, ItemSaver save) {
  if (has(L"throw")) throw std::bad_alloc();
  return __real__ZN3tzk7archive10SfxArchive20ExtractEmbeddedItemsERKNSt7__cxx1112basic_stringIwSt11char_traitsIwESaIwEEEPFjS9_PKhjE(
      self, folder, save);
}
}
