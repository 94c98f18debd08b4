#include "selfdefense/dll_load_guard.h"

#include <cstdint>
#include <cwchar>
#include <map>
#include <vector>

#include "pe/pe_image.h"
#include "vocabulary/path.h"
#include "vocabulary/recursive_lock.h"
#include "vocabulary/scoped_handle.h"
#include "root/file_checks.h"
#include "root/library.h"
#include "root/system_function.h"
#include "selfdefense/control_device.h"

namespace tzk::selfdefense {
namespace {

constexpr std::uint8_t kRefused = 0, kAllowed = 1;
constexpr DWORD kKeyNameCharacters = 256;

const wchar_t kScreenReaderKey[] = L"SOFTWARE\\Freedom Scientific\\JAWS";
const wchar_t kScreenReaderHook[] = L"JHOOK.DLL";
const wchar_t kScreenReaderHook32[] = L"X86\\JHOOK.DLL";
const wchar_t kSpeechKey[] = L"SOFTWARE\\NVDA";
const wchar_t kSpeechHelperPattern[] = L"*\\LIB\\NVDAHELPERREMOTE.DLL";

// What the guard has decided and what it allows. Made on first use and never destroyed: user32
// may still load a module while the process is being torn down.
struct GuardState {
  vocabulary::RecursiveLock lock;
  std::map<std::wstring, std::uint8_t> verdicts;
  std::vector<std::wstring> patterns;
};

GuardState& state() {
  static GuardState* const guard = new GuardState;
  return *guard;
}

std::wstring upperCase(std::wstring text) {
  if (!text.empty()) ::CharUpperBuffW(&text[0], static_cast<DWORD>(text.size()));
  return text;
}

void allow(const std::wstring& upperPath) {
  GuardState& guard = state();
  const vocabulary::Locked held(guard.lock);
  guard.verdicts[upperPath] = kAllowed;
}

// "Target" of one installed screen-reader version: the folder its hook modules sit in.
void addScreenReaderVersion(HKEY versions, const wchar_t* version, REGSAM access, bool wow64) {
  vocabulary::ScopedRegKey key;
  if (::RegOpenKeyExW(versions, version, 0, access, key.receive()) != ERROR_SUCCESS) return;
  wchar_t target[MAX_PATH + 1] = {};
  DWORD bytes = MAX_PATH * sizeof(wchar_t);
  if (::RegQueryValueExW(key.get(), L"Target", nullptr, nullptr, reinterpret_cast<BYTE*>(target), &bytes) !=
      ERROR_SUCCESS) {
    return;
  }
  const std::wstring folder = upperCase(target);
  if (root::PathExists(folder + kScreenReaderHook)) allow(folder + kScreenReaderHook);
  if (wow64 && root::PathExists(folder + kScreenReaderHook32)) allow(folder + kScreenReaderHook32);
}

void addScreenReaderHooks(bool wow64) {
  const REGSAM access = KEY_READ | (wow64 ? KEY_WOW64_64KEY : 0);
  vocabulary::ScopedRegKey versions;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kScreenReaderKey, 0, access, versions.receive()) != ERROR_SUCCESS) return;
  for (DWORD index = 0;; ++index) {
    wchar_t name[kKeyNameCharacters];
    DWORD length = kKeyNameCharacters;
    if (::RegEnumKeyExW(versions.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    addScreenReaderVersion(versions.get(), name, access, wow64);
  }
}

void addSpeechHelperPattern() {
  vocabulary::ScopedRegKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSpeechKey, 0, KEY_READ, key.receive()) != ERROR_SUCCESS) return;
  GuardState& guard = state();
  const vocabulary::Locked held(guard.lock);
  guard.patterns.push_back(kSpeechHelperPattern);
}

// False when the system folder is unknown: then nothing at all is known to be good.
bool addKnownGoodModules(bool wow64) {
  wchar_t folder[MAX_PATH];
  const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  const std::wstring system = upperCase(std::wstring(folder, length));
  allow(system + L"\\UXTHEME.DLL");
  allow(system + L"\\MSCTF.DLL");
  addScreenReaderHooks(wow64);
  addSpeechHelperPattern();
  return true;
}

using ImageDirectoryEntryToData = PVOID(NTAPI*)(PVOID base, BOOLEAN mappedAsImage, USHORT entry, PULONG size);

const IMAGE_IMPORT_DESCRIPTOR* findImportDescriptor(HMODULE module, const char* importedModule) {
  const auto directoryOf =
      root::AsFunction<ImageDirectoryEntryToData>(root::FindLoadedFunction(L"ntdll.dll", "RtlImageDirectoryEntryToData"));
  if (directoryOf == nullptr) return nullptr;
  ULONG size = 0;
  auto* descriptor =
      static_cast<const IMAGE_IMPORT_DESCRIPTOR*>(directoryOf(module, TRUE, pe::kImportDirectoryIndex, &size));
  if (descriptor == nullptr) return nullptr;
  const auto* base = reinterpret_cast<const char*>(module);
  for (; descriptor->Name != 0; ++descriptor) {
    if (::lstrcmpiA(base + descriptor->Name, importedModule) == 0) return descriptor;
  }
  return nullptr;
}

// The import table is usually read-only once bound; a copy-on-write page takes the write
// without touching the image file's other users.
Result writeImportEntry(FARPROC* entry, FARPROC replacement) {
  const HANDLE self = ::GetCurrentProcess();
  if (::WriteProcessMemory(self, entry, &replacement, sizeof(replacement), nullptr)) return code::kSuccess;
  if (::GetLastError() != ERROR_NOACCESS) return code::kNoaccess;
  DWORD previous = 0;
  if (!::VirtualProtect(entry, sizeof(replacement), PAGE_WRITECOPY, &previous)) return code::kNoaccess;
  const BOOL written = ::WriteProcessMemory(self, entry, &replacement, sizeof(replacement), nullptr);
  ::VirtualProtect(entry, sizeof(replacement), previous, &previous);
  return written ? code::kSuccess : code::kNoaccess;
}

std::uint8_t decide(const std::wstring& upperPath) {
  GuardState& guard = state();
  const vocabulary::Locked held(guard.lock);
  const auto known = guard.verdicts.find(upperPath);
  if (known != guard.verdicts.end()) return known->second;
  std::uint8_t verdict = kRefused;
  for (const std::wstring& pattern : guard.patterns) {
    if (MatchesWildcard(pattern.c_str(), upperPath.c_str())) {
      verdict = kAllowed;
      break;
    }
  }
  guard.verdicts.emplace(upperPath, verdict);
  return verdict;
}

// Whether the pattern's literal run is found in the text at this place.
bool literalAt(const wchar_t* text, const wchar_t* literal, std::size_t length) {
  return std::wcsncmp(text, literal, length) == 0;
}

}  // namespace

bool MatchesWildcard(const wchar_t* pattern, const wchar_t* text) {
  while (*pattern != L'\0') {
    if (*pattern == L'*') {
      while (*pattern == L'*' || *pattern == L'?') ++pattern;
      if (*pattern == L'\0') return true;
      const std::size_t literal = std::wcscspn(pattern, L"*?");
      for (const wchar_t* at = text; *at != L'\0'; ++at) {
        if (literalAt(at, pattern, literal) && MatchesWildcard(pattern + literal, at + literal)) return true;
      }
      return false;
    }
    if (*text == L'\0') return false;
    if (*pattern != L'?' && *pattern != *text) return false;
    ++pattern;
    ++text;
  }
  return *text == L'\0';
}

Result ReplaceImportEntry(HMODULE module, const char* importedModule, FARPROC function, FARPROC replacement) {
  if (module == nullptr || function == nullptr) return code::kSuccess;
  const IMAGE_IMPORT_DESCRIPTOR* descriptor = findImportDescriptor(module, importedModule);
  if (descriptor == nullptr) return code::kSuccess;
  auto* entry = reinterpret_cast<FARPROC*>(reinterpret_cast<char*>(module) + descriptor->FirstThunk);
  for (; *entry != nullptr; ++entry) {
    if (*entry == function) return writeImportEntry(entry, replacement);
  }
  return code::kSuccess;
}

Result InstallDllLoadGuard() {
  const bool wow64 = root::ProcessRunsUnderWow64();
  state();
  if (!addKnownGoodModules(wow64)) return code::kSuccess;
  return ReplaceImportEntry(::GetModuleHandleW(L"user32.dll"), "kernel32.dll",
                            root::FindLoadedFunction(L"kernel32.dll", "LoadLibraryExW"),
                            reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&GuardedLoadLibraryExW)));
}

HMODULE WINAPI GuardedLoadLibraryExW(const wchar_t* name, HANDLE file, DWORD flags) {
  // Only a load by location is judged: a name the search resolves comes from the system's folders.
  if (flags != LOAD_WITH_ALTERED_SEARCH_PATH || name == nullptr || !vocabulary::HasRoot(name)) {
    return ::LoadLibraryExW(name, file, flags);
  }
  try {
    if (decide(upperCase(name)) == kRefused && QuerySelfDefenseActive() != 0) {
      ::SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
  } catch (...) {
    // Memory ran out (or worse) while deciding: a module that cannot be judged is not let in.
    ::SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return ::LoadLibraryExW(name, file, flags);
}

int CachedDllVerdict(const std::wstring& upperPath) {
  GuardState& guard = state();
  const vocabulary::Locked held(guard.lock);
  const auto known = guard.verdicts.find(upperPath);
  return known == guard.verdicts.end() ? -1 : known->second;
}

}  // namespace tzk::selfdefense
