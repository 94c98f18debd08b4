// Functions newer than Windows XP are found at run time, and only in modules the process has
// already loaded: a module name handed to GetModuleHandleW never makes the loader search.
#pragma once

#include <windows.h>

namespace tzk::root {

// A looked-up address as the function type the caller names; null stays null.
template <typename Function>
Function AsFunction(FARPROC address) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}

inline FARPROC FindLoadedFunction(const wchar_t* module, const char* name) {
  const HMODULE handle = ::GetModuleHandleW(module);
  return handle != nullptr ? ::GetProcAddress(handle, name) : nullptr;
}

}  // namespace tzk::root
