// The one owner of Windows handles. A traits class names the invalid value and the close
// function; ownership moves explicitly and every path out closes what it opened.
#pragma once

#include <windows.h>

#include <utility>

namespace tzk::vocabulary {

template <typename Traits>
class ScopedHandle {
 public:
  using Handle = typename Traits::Handle;

  ScopedHandle() noexcept : handle_(Traits::invalid()) {}
  explicit ScopedHandle(Handle handle) noexcept : handle_(handle) {}
  ~ScopedHandle() { reset(); }

  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  bool valid() const noexcept { return handle_ != Traits::invalid(); }
  explicit operator bool() const noexcept { return valid(); }
  Handle get() const noexcept { return handle_; }

  // Closes the current handle, if any, and takes the new one. Returns false when the close
  // reported a failure, so that callers who must log release problems can.
  bool reset(Handle handle = Traits::invalid()) noexcept {
    bool closed = true;
    if (valid()) closed = Traits::close(handle_);
    handle_ = handle;
    return closed;
  }

  Handle release() noexcept { return std::exchange(handle_, Traits::invalid()); }

  // For APIs that return a handle through an out parameter; the current one is closed first.
  Handle* receive() noexcept {
    reset();
    return &handle_;
  }

 private:
  Handle handle_;
};

struct KernelHandleTraits {  // events, threads, processes, tokens, mappings
  using Handle = HANDLE;
  static Handle invalid() noexcept { return nullptr; }
  static bool close(Handle h) noexcept { return ::CloseHandle(h) != FALSE; }
};

struct FileHandleTraits {  // CreateFileW reports failure as INVALID_HANDLE_VALUE
  using Handle = HANDLE;
  static Handle invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static bool close(Handle h) noexcept { return ::CloseHandle(h) != FALSE; }
};

struct FindHandleTraits {
  using Handle = HANDLE;
  static Handle invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static bool close(Handle h) noexcept { return ::FindClose(h) != FALSE; }
};

struct RegKeyTraits {
  using Handle = HKEY;
  static Handle invalid() noexcept { return nullptr; }
  static bool close(Handle h) noexcept { return ::RegCloseKey(h) == ERROR_SUCCESS; }
};

struct ServiceHandleTraits {
  using Handle = SC_HANDLE;
  static Handle invalid() noexcept { return nullptr; }
  static bool close(Handle h) noexcept { return ::CloseServiceHandle(h) != FALSE; }
};

struct LocalMemoryTraits {  // buffers the system allocates with LocalAlloc for us
  using Handle = HLOCAL;
  static Handle invalid() noexcept { return nullptr; }
  static bool close(Handle h) noexcept { return ::LocalFree(h) == nullptr; }
};

struct HeapMemoryTraits {  // blocks taken from the process heap with HeapAlloc
  using Handle = void*;
  static Handle invalid() noexcept { return nullptr; }
  static bool close(Handle h) noexcept { return ::HeapFree(::GetProcessHeap(), 0, h) != FALSE; }
};

struct ModuleTraits {
  using Handle = HMODULE;
  static Handle invalid() noexcept { return nullptr; }
  static bool close(Handle h) noexcept { return ::FreeLibrary(h) != FALSE; }
};

struct GdiObjectTraits {
  using Handle = HGDIOBJ;
  static Handle invalid() noexcept { return nullptr; }
  static bool close(Handle h) noexcept { return ::DeleteObject(h) != FALSE; }
};

using ScopedKernelHandle = ScopedHandle<KernelHandleTraits>;
using ScopedFileHandle = ScopedHandle<FileHandleTraits>;
using ScopedFindHandle = ScopedHandle<FindHandleTraits>;
using ScopedRegKey = ScopedHandle<RegKeyTraits>;
using ScopedServiceHandle = ScopedHandle<ServiceHandleTraits>;
using ScopedLocalMemory = ScopedHandle<LocalMemoryTraits>;
using ScopedHeapMemory = ScopedHandle<HeapMemoryTraits>;
using ScopedModule = ScopedHandle<ModuleTraits>;
using ScopedGdiObject = ScopedHandle<GdiObjectTraits>;

}  // namespace tzk::vocabulary
