#include "root/registry.h"

#include <atomic>
#include <cstring>
#include <new>

#include "log/logger.h"
#include "log/wide_format.h"
#include "root/system_function.h"

namespace tzk::root {

namespace {

const log::ComponentTag kTagRegistry(L"registry");

constexpr DWORD kStringBufferBytes = 520;
constexpr DWORD kKeyNameCharacters = 261;

using RegDeleteTreeFunction = LONG(WINAPI*)(HKEY, LPCWSTR);
using RegDeleteKeyExFunction = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);

FARPROC findInAdvapi(const char* name) { return FindLoadedFunction(L"Advapi32.dll", name); }

std::atomic<RegistryFunctionLookup> gLookup{&findInAdvapi};

std::wstring codeText(Result code) { return log::formatString(L"%d (0x%08X)", code, code); }

// Characters of a value read as bytes, without the NULs that end it.
std::wstring textOf(const wchar_t* data, DWORD bytes) {
  std::size_t length = bytes / sizeof(wchar_t);
  while (length > 0 && data[length - 1] == L'\0') --length;
  return std::wstring(data, length);
}

Result deleteSubkeys(HKEY key, REGSAM extraAccess, bool log) {
  wchar_t name[kKeyNameCharacters];
  while (::RegEnumKeyW(key, 0, name, kKeyNameCharacters) == ERROR_SUCCESS) {
    const Result result = DeleteBranchImpl(key, name, extraAccess, log);
    if (result != code::kSuccess) return result;
  }
  return code::kSuccess;
}

}  // namespace

bool EnsureRegistryKey(HKEY root, const wchar_t* path, REGSAM extraAccess) {
  vocabulary::ScopedRegKey key;
  wchar_t noClass[] = L"";
  const LONG result = ::RegCreateKeyExW(root, path, 0, noClass, REG_OPTION_NON_VOLATILE,
                                        extraAccess | KEY_READ | KEY_WRITE, nullptr, key.receive(), nullptr);
  if (result == ERROR_SUCCESS) return true;
  log::theLogger().write(log::level::kError, kTagRegistry, L"Cannot create registry key: %s, code %s",
                         path != nullptr ? path : L"", codeText(result).c_str());
  return false;
}

bool SetRegistryValue(HKEY root, const wchar_t* path, const wchar_t* name, const wchar_t* text,
                      const std::uint32_t* number) {
  if (number == nullptr && text == nullptr) return false;
  if (!EnsureRegistryKey(root, path, 0)) return false;
  vocabulary::ScopedRegKey key;
  if (::RegOpenKeyExW(root, path, 0, KEY_WRITE, key.receive()) != ERROR_SUCCESS) return false;
  if (number != nullptr) {
    return ::RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(number),
                            sizeof(*number)) == ERROR_SUCCESS;
  }
  const DWORD bytes = static_cast<DWORD>((std::wcslen(text) + 1) * sizeof(wchar_t));
  return ::RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes) == ERROR_SUCCESS;
}

Result QueryRegistryValue(const wchar_t* path, const wchar_t* name, DWORD& size, std::vector<std::uint8_t>& data,
                          DWORD& type) {
  data.clear();
  vocabulary::ScopedRegKey key;
  const LONG opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.receive());
  if (opened != ERROR_SUCCESS) return opened;
  LONG result = ::RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size);
  if (result != ERROR_SUCCESS) return result;
  try {
    data.resize(size);
  } catch (const std::bad_alloc&) {
    return code::kNotEnoughMemory;
  }
  result = ::RegQueryValueExW(key.get(), name, nullptr, &type, data.data(), &size);
  if (result != ERROR_SUCCESS) data.clear();
  return result;
}

Result ReadRegistryString(HKEY key, const wchar_t* name, std::wstring& text, DWORD* type) {
  if (key == nullptr || name == nullptr) return code::kInvalidParameter;
  text.clear();
  DWORD valueType = REG_NONE;
  if (type != nullptr) *type = REG_NONE;

  wchar_t local[kStringBufferBytes / sizeof(wchar_t)];
  DWORD bytes = kStringBufferBytes;
  LONG result = ::RegQueryValueExW(key, name, nullptr, &valueType, reinterpret_cast<BYTE*>(local), &bytes);
  if (result == ERROR_SUCCESS) {
    text = textOf(local, bytes);
  } else if (result == ERROR_MORE_DATA) {
    // Two spare bytes so that an odd byte count still leaves whole characters.
    std::vector<wchar_t> buffer;
    try {
      buffer.resize(bytes / sizeof(wchar_t) + 2);
    } catch (const std::bad_alloc&) {
      return code::kNotEnoughMemory;
    }
    bytes += 2;
    result = ::RegQueryValueExW(key, name, nullptr, &valueType, reinterpret_cast<BYTE*>(buffer.data()), &bytes);
    if (result == ERROR_SUCCESS) text = textOf(buffer.data(), bytes);
  }
  if (result == ERROR_SUCCESS && type != nullptr) *type = valueType;
  return result;
}

Result OpenRegistryKeyByRootName(HKEY root, const wchar_t* rootName, const wchar_t* path, REGSAM access,
                                 vocabulary::ScopedRegKey& key) {
  if (path == nullptr || (root == nullptr && rootName == nullptr)) return code::kInvalidParameter;
  if (root == nullptr) {
    static const struct {
      const wchar_t* name;
      HKEY root;
    } kRoots[] = {{L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                  {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                  {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
                  {L"HKEY_USERS", HKEY_USERS}};
    for (const auto& entry : kRoots) {
      if (std::wcscmp(entry.name, rootName) == 0) root = entry.root;
    }
    if (root == nullptr) return code::kInvalidParameter;
  }
  return ::RegOpenKeyExW(root, path, 0, access, key.receive());
}

Result DeleteBranchImpl(HKEY root, const wchar_t* path, REGSAM extraAccess, bool log) {
  if (path == nullptr || *path == L'\0') return code::kFileNotFound;
  const RegistryFunctionLookup lookUp = gLookup.load();
  const auto deleteTree = AsFunction<RegDeleteTreeFunction>(lookUp("RegDeleteTreeW"));

  vocabulary::ScopedRegKey key;
  const LONG opened = ::RegOpenKeyExW(root, path, 0, extraAccess | KEY_ALL_ACCESS, key.receive());
  if (opened != ERROR_SUCCESS) return opened;

  // Without a subkey name RegDeleteTreeW empties the key but leaves the key itself.
  Result result = deleteTree != nullptr ? static_cast<Result>(deleteTree(key.get(), nullptr))
                                        : deleteSubkeys(key.get(), extraAccess, log);
  if (result != code::kSuccess) return result;

  const auto deleteKeyEx = AsFunction<RegDeleteKeyExFunction>(lookUp("RegDeleteKeyExW"));
  result = deleteKeyEx != nullptr ? deleteKeyEx(root, path, extraAccess | KEY_ALL_ACCESS, 0)
                                  : ::RegDeleteKeyW(root, path);
  if (log && result == code::kSuccess) {
    log::theLogger().write(log::level::kInfo, kTagRegistry, L"DeleteBranchImpl: %s deleted", path);
  } else if (log) {
    log::theLogger().write(log::level::kError, kTagRegistry, L"DeleteBranchImpl: %s not deleted, code %s", path,
                           codeText(result).c_str());
  }
  return result;
}

void SetRegistryFunctionLookup(RegistryFunctionLookup lookup) {
  gLookup.store(lookup != nullptr ? lookup : &findInAdvapi);
}

}  // namespace tzk::root
