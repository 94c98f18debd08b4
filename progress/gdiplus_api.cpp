#include "progress/gdiplus_api.h"

#include <string>

namespace tzk::progress::gdiplus {

namespace {

// Never by bare name: the stub runs elevated from a Downloads folder, where a planted
// GdiPlus.dll would otherwise be found first.
HMODULE loadFromSystemFolder(const wchar_t* name) {
  wchar_t folder[MAX_PATH];
  const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  const std::wstring path = std::wstring(folder, length) + L"\\" + name;
  // The altered search path makes the library's own imports resolve from its folder as well.
  return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

template <typename Function>
bool bind(HMODULE library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(library, name)));
  return function != nullptr;
}

}  // namespace

root::ScopedModule loadApi(Api& api) {
  root::ScopedModule owned(loadFromSystemFolder(L"GdiPlus.dll"));
  const HMODULE library = owned.get();
  if (library == nullptr) return owned;
  const bool complete = bind(library, "GdiplusStartup", api.startup) &&
                        bind(library, "GdiplusShutdown", api.shutdown) &&
                        bind(library, "GdipCreateBitmapFromStream", api.createBitmapFromStream) &&
                        bind(library, "GdipCreateBitmapFromScan0", api.createBitmapFromScan0) &&
                        bind(library, "GdipGetImageGraphicsContext", api.getImageGraphicsContext) &&
                        bind(library, "GdipGetImageWidth", api.getImageWidth) &&
                        bind(library, "GdipGetImageHeight", api.getImageHeight) &&
                        bind(library, "GdipDisposeImage", api.disposeImage) &&
                        bind(library, "GdipCreateFromHDC", api.createFromHdc) &&
                        bind(library, "GdipDeleteGraphics", api.deleteGraphics) &&
                        bind(library, "GdipDrawImageRectI", api.drawImageRectI) &&
                        bind(library, "GdipCreateSolidFill", api.createSolidFill) &&
                        bind(library, "GdipDeleteBrush", api.deleteBrush) &&
                        bind(library, "GdipFillRectangleI", api.fillRectangleI);
  if (!complete) owned.reset();
  return owned;
}

}  // namespace tzk::progress::gdiplus
