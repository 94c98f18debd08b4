#include "progress/listeners/gdiplus_api.h"

#include "root/system_library.h"

namespace tzk::progress::gdiplus {

namespace {

template <typename Function>
bool bind(HMODULE library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(library, name)));
  return function != nullptr;
}

}  // namespace

vocabulary::ScopedModule loadApi(Api& api) {
  // Never by bare name: a planted GdiPlus.dll beside the stub must not be found first.
  vocabulary::ScopedModule owned(root::LoadSystemLibrary(L"GdiPlus.dll"));
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
