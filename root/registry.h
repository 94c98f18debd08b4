// Small registry operations every module uses. They keep no state, may run on any thread and
// report failures as Win32 codes or false; only key creation and a logged branch deletion
// write log records (tag "registry").
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "vocabulary/result.h"
#include "vocabulary/scoped_handle.h"

namespace tzk::root {

// Creates the key with every missing level; extraAccess may add KEY_WOW64_64KEY.
bool EnsureRegistryKey(HKEY root, const wchar_t* path, REGSAM extraAccess);

// With number set, writes it as REG_DWORD and ignores text; otherwise writes text as REG_SZ
// with its terminator. The key path is created first.
bool SetRegistryValue(HKEY root, const wchar_t* path, const wchar_t* name, const wchar_t* text,
                      const std::uint32_t* number = nullptr);

// Reads a value of any type below HKEY_LOCAL_MACHINE. On success data holds size bytes;
// on failure data is empty.
Result QueryRegistryValue(const wchar_t* path, const wchar_t* name, DWORD& size, std::vector<std::uint8_t>& data,
                          DWORD& type);

// Reads a string value of any length from an open key, without its trailing NULs. type is 0
// unless the value was read.
Result ReadRegistryString(HKEY key, const wchar_t* name, std::wstring& text, DWORD* type = nullptr);

// Opens path below root, or, when root is null, below the root named exactly
// "HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT" or "HKEY_USERS".
Result OpenRegistryKeyByRootName(HKEY root, const wchar_t* rootName, const wchar_t* path, REGSAM access,
                                 vocabulary::ScopedRegKey& key);

// Removes path below root with all its subkeys and values. 2 for an empty path.
Result DeleteBranchImpl(HKEY root, const wchar_t* path, REGSAM extraAccess, bool log);

// How DeleteBranchImpl finds the deletion functions that Windows XP lacks (RegDeleteTreeW,
// RegDeleteKeyExW). Tests hand in a look-up that finds nothing to walk the path older systems
// take; null restores the look-up in the loaded advapi32.
using RegistryFunctionLookup = FARPROC (*)(const char* name);
void SetRegistryFunctionLookup(RegistryFunctionLookup lookup);

}  // namespace tzk::root
