// The few GDI+ flat-API functions the progress window uses, looked up at run time. The stub
// must start where GDI+ is missing, so nothing links against it: the library is loaded from
// the system folder by full path, and a missing library or function means plain GDI drawing.
#pragma once

#include <windows.h>
#include <objidl.h>

#include "vocabulary/scoped_handle.h"

namespace tzk::progress::gdiplus {

using Status = int;  // 0 is Ok
using Argb = DWORD;
struct GpImage;      // opaque; bitmaps are images
struct GpGraphics;
struct GpBrush;

constexpr Status kOk = 0;
constexpr int kPixelFormat32bppPargb = 0x000E200B;

struct StartupInput {
  UINT32 version;
  void* debugEventCallback;
  BOOL suppressBackgroundThread;
  BOOL suppressExternalCodecs;
};

struct Api {
  Status(WINAPI* startup)(ULONG_PTR* token, const StartupInput* input, void* output);
  void(WINAPI* shutdown)(ULONG_PTR token);
  Status(WINAPI* createBitmapFromStream)(IStream* stream, GpImage** bitmap);
  Status(WINAPI* createBitmapFromScan0)(INT width, INT height, INT stride, INT format, BYTE* scan0,
                                        GpImage** bitmap);
  Status(WINAPI* getImageGraphicsContext)(GpImage* image, GpGraphics** graphics);
  Status(WINAPI* getImageWidth)(GpImage* image, UINT* width);
  Status(WINAPI* getImageHeight)(GpImage* image, UINT* height);
  Status(WINAPI* disposeImage)(GpImage* image);
  Status(WINAPI* createFromHdc)(HDC dc, GpGraphics** graphics);
  Status(WINAPI* deleteGraphics)(GpGraphics* graphics);
  Status(WINAPI* drawImageRectI)(GpGraphics* graphics, GpImage* image, INT x, INT y, INT width, INT height);
  Status(WINAPI* createSolidFill)(Argb colour, GpBrush** brush);
  Status(WINAPI* deleteBrush)(GpBrush* brush);
  Status(WINAPI* fillRectangleI)(GpGraphics* graphics, GpBrush* brush, INT x, INT y, INT width, INT height);
};

// Loads "GdiPlus.dll" from the system folder and fills `api`; empty when the library or any
// of the functions is missing.
vocabulary::ScopedModule loadApi(Api& api);

}  // namespace tzk::progress::gdiplus

namespace tzk::progress::gdiplus {

// Owns one GDI+ object and releases it through the function it was created for.
template <typename T>
class Owned {
 public:
  using Release = Status(WINAPI*)(T*);

  Owned() = default;
  ~Owned() { reset(); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  Owned(Owned&& other) noexcept : object_(other.object_), release_(other.release_) { other.object_ = nullptr; }
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = other.object_;
      release_ = other.release_;
      other.object_ = nullptr;
    }
    return *this;
  }

  T* get() const { return object_; }
  // For the creating functions' out parameter; whatever was held is released first.
  T** receive(Release release) {
    reset();
    release_ = release;
    return &object_;
  }
  void reset() {
    if (object_ != nullptr) release_(object_);
    object_ = nullptr;
  }

 private:
  T* object_ = nullptr;
  Release release_ = nullptr;
};

}  // namespace tzk::progress::gdiplus
