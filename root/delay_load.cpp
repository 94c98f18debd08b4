// The resolver behind the delay-loaded imports of user32, gdi32 and ole32 (see
// cmake/delay_imports.cmake). It replaces the C runtime's helper of the same name, which loads
// the DLL by bare name: this one takes it from the system folder by full path, like every other
// library the stub loads at run time, so no file beside the stub or in the current directory can
// stand in for it, whatever the DLL search order of the system.
#include <windows.h>

#include <delayimp.h>

#include "root/system_library.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

// The linker lays the delay-import descriptors of every DLL side by side in ".text$2", but marks
// neither end of that table and leaves it out of the image's data directory, where the standard
// tools look for it. These two bracket it (sections sort by name): a marker right before it and
// the all-zero descriptor that ends it, so that tools/pe_imports.py can enter it after linking.
extern "C" {
__attribute__((section(".text$1zz"), used, aligned(4))) const char sfxDelayTableMarker[8] = {
    'S', 'F', 'X', 'D', 'L', 'Y', 'T', 'B'};
__attribute__((section(".text$2zz"), used, aligned(4))) const ImgDelayDescr sfxDelayTableEnd = {};
}

namespace {

template <typename T>
T* AtRva(DWORD rva) {
  return reinterpret_cast<T*>(reinterpret_cast<BYTE*>(&__ImageBase) + rva);
}

// The same exception codes as the standard helper's, so a crash report reads as usual.
[[noreturn]] void Fail(DWORD error) {
  ::RaiseException(VcppException(ERROR_SEVERITY_ERROR, error), EXCEPTION_NONCONTINUABLE, 0, nullptr);
  for (;;) {
  }
}

HMODULE LoadNamedSystemLibrary(const char* name) {
  wchar_t wide[MAX_PATH];
  if (::MultiByteToWideChar(CP_ACP, 0, name, -1, wide, MAX_PATH) == 0) return nullptr;
  return tzk::root::LoadSystemLibrary(wide);
}

// The module handle is shared by every import of the DLL; two threads that race on a first call
// each load it, and the loser drops its reference.
HMODULE ModuleOf(const ImgDelayDescr& descriptor) {
  HMODULE* slot = AtRva<HMODULE>(descriptor.rvaHmod);
  HMODULE module = *slot;
  if (module != nullptr) return module;
  module = LoadNamedSystemLibrary(AtRva<const char>(descriptor.rvaDLLName));
  if (module == nullptr) Fail(ERROR_MOD_NOT_FOUND);
  const HMODULE earlier = static_cast<HMODULE>(
      ::InterlockedCompareExchangePointer(reinterpret_cast<PVOID*>(slot), module, nullptr));
  if (earlier != nullptr) {
    ::FreeLibrary(module);
    return earlier;
  }
  return module;
}

}  // namespace

extern "C" FARPROC WINAPI __delayLoadHelper2(PCImgDelayDescr descriptor, FARPROC* importSlot) {
  // Only the RVA form exists in images this toolchain links, and only descriptors between the
  // table's two brackets are served. Naming the brackets here also keeps them through section
  // garbage collection, so that the table can be entered after linking.
  const auto at = reinterpret_cast<UINT_PTR>(descriptor);
  if ((descriptor->grAttrs & dlattrRva) == 0 ||
      at < reinterpret_cast<UINT_PTR>(sfxDelayTableMarker + sizeof(sfxDelayTableMarker)) ||
      at >= reinterpret_cast<UINT_PTR>(&sfxDelayTableEnd)) {
    Fail(ERROR_INVALID_PARAMETER);
  }
  const HMODULE module = ModuleOf(*descriptor);
  const auto* firstSlot = AtRva<FARPROC>(descriptor->rvaIAT);
  const IMAGE_THUNK_DATA& name = AtRva<IMAGE_THUNK_DATA>(descriptor->rvaINT)[importSlot - firstSlot];
  const char* procedure =
      IMAGE_SNAP_BY_ORDINAL(name.u1.Ordinal)
          ? reinterpret_cast<const char*>(static_cast<ULONG_PTR>(IMAGE_ORDINAL(name.u1.Ordinal)))
          : reinterpret_cast<const char*>(AtRva<IMAGE_IMPORT_BY_NAME>(static_cast<DWORD>(name.u1.AddressOfData))->Name);
  const FARPROC address = ::GetProcAddress(module, procedure);
  if (address == nullptr) Fail(ERROR_PROC_NOT_FOUND);
  *importSlot = address;
  return address;
}
