#include "progress/listeners/progress_animator.h"

#include <cmath>
#include <cstring>

namespace tzk::progress {

namespace {

constexpr wchar_t kClassName[] = L"zantiSfxProgressClass";
constexpr wchar_t kTitle[] = L"Zanti self-extract";
constexpr wchar_t kCaption[] = L"zanti! Self Extract";
constexpr wchar_t kFrameType[] = L"FILE";
constexpr int kFirstFrame = 1001;
constexpr int kLastFrame = 1012;
constexpr int kIcon = 1000;
constexpr UINT_PTR kTimer = 1000;
constexpr UINT kTimerMs = 70;
constexpr gdiplus::Argb kLineColour = 0xFFCDD7E1;
constexpr int kLineY = 127;
constexpr int kLineInset = 10;
// Without GDI+: a fixed size, and a spoke that turns once in 20 ticks.
constexpr int kPlainWidth = 199;
constexpr int kPlainHeight = 133;
constexpr int kPlainSteps = 20;
constexpr COLORREF kPlainBackground = RGB(55, 66, 77);
constexpr COLORREF kWhite = RGB(255, 255, 255);

struct GlobalMemoryTraits {
  using Handle = HGLOBAL;
  static Handle invalid() noexcept { return nullptr; }
  static bool close(Handle h) noexcept { return ::GlobalFree(h) == nullptr; }
};

struct StreamTraits {
  using Handle = IStream*;
  static Handle invalid() noexcept { return nullptr; }
  static bool close(Handle h) noexcept {
    h->Release();
    return true;
  }
};

// The window procedure finds its animator here; so there is one progress window per process.
std::atomic<ProgressAnimator*> theAnimator{nullptr};

// An atomic read that leaves the value as it is: the exchange only happens when it changes nothing.
LONG readShared(volatile LONG* value) { return ::InterlockedCompareExchange(value, 0, 0); }

}  // namespace

// GDI+ and the frames are left to the window thread: a silent run never shows a window, and
// starting GDI+ (its codecs, the theme) took longer than verifying the archive.
ProgressAnimator::ProgressAnimator(HINSTANCE module, AnimatorWaits waits)
    : ready_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)), module_(module), waits_(waits) {}

ProgressAnimator::~ProgressAnimator() {
  stop();
  // GDI+ objects must go before GDI+ shuts down, and GDI+ before its library is unloaded.
  frames_.clear();
  if (drawsFrames()) gdiplus_.shutdown(graphicsToken_);
  graphicsLibrary_.reset();
}

// A library that loads but does not start counts as missing, so the window still shows, in
// plain GDI, instead of failing for want of frames it could never have decoded.
void ProgressAnimator::startGraphics() {
  vocabulary::ScopedModule library = gdiplus::loadApi(gdiplus_);
  if (!library) return;
  const gdiplus::StartupInput input = {1, nullptr, FALSE, FALSE};
  if (gdiplus_.startup(&graphicsToken_, &input, nullptr) != gdiplus::kOk) return;
  graphicsLibrary_ = std::move(library);
  for (int id = kFirstFrame; id <= kLastFrame; ++id) loadFrame(id);
}

// A missing or broken frame is skipped; the animation then has fewer frames.
bool ProgressAnimator::loadFrame(int id) {
  const HRSRC found = ::FindResourceW(module_, MAKEINTRESOURCEW(id), kFrameType);
  if (found == nullptr) return false;
  const DWORD size = ::SizeofResource(module_, found);
  const HGLOBAL loaded = ::LoadResource(module_, found);
  const void* data = loaded != nullptr ? ::LockResource(loaded) : nullptr;
  if (size == 0 || data == nullptr) return false;

  vocabulary::ScopedHandle<GlobalMemoryTraits> block(::GlobalAlloc(GMEM_MOVEABLE, size));
  void* copy = block ? ::GlobalLock(block.get()) : nullptr;
  if (copy == nullptr) return false;
  std::memcpy(copy, data, size);
  ::GlobalUnlock(block.get());

  // Declared after the block, so the stream is released before the block is freed.
  vocabulary::ScopedHandle<StreamTraits> stream;
  if (FAILED(::CreateStreamOnHGlobal(block.get(), FALSE, stream.receive()))) return false;
  Frame frame;
  if (!decode(stream.get(), frame)) return false;
  frames_.push_back(std::move(frame));
  return true;
}

// GDI+ decodes a stream's image lazily and keeps reading the stream. Drawing it into a bitmap
// of our own decodes it now, so the frame stays valid once the stream and its block are gone.
bool ProgressAnimator::decode(IStream* stream, Frame& frame) const {
  gdiplus::Owned<gdiplus::GpImage> source;
  if (gdiplus_.createBitmapFromStream(stream, source.receive(gdiplus_.disposeImage)) != gdiplus::kOk) return false;
  UINT width = 0;
  UINT height = 0;
  if (gdiplus_.getImageWidth(source.get(), &width) != gdiplus::kOk ||
      gdiplus_.getImageHeight(source.get(), &height) != gdiplus::kOk || width == 0 || height == 0) {
    return false;
  }
  gdiplus::Owned<gdiplus::GpImage> decoded;
  if (gdiplus_.createBitmapFromScan0(width, height, 0, gdiplus::kPixelFormat32bppPargb, nullptr,
                                     decoded.receive(gdiplus_.disposeImage)) != gdiplus::kOk) {
    return false;
  }
  gdiplus::Owned<gdiplus::GpGraphics> canvas;
  if (gdiplus_.getImageGraphicsContext(decoded.get(), canvas.receive(gdiplus_.deleteGraphics)) != gdiplus::kOk ||
      gdiplus_.drawImageRectI(canvas.get(), source.get(), 0, 0, width, height) != gdiplus::kOk) {
    return false;
  }
  frame.bitmap = std::move(decoded);
  frame.width = width;
  frame.height = height;
  return true;
}

bool ProgressAnimator::startThread() {
  if (thread_) return false;
  // A window that came up after an earlier start stopped waiting left the event set.
  if (ready_) ::ResetEvent(ready_.get());
  stopping_.store(false);
  thread_.reset(::CreateThread(nullptr, 0, &ProgressAnimator::threadEntry, this, 0, nullptr));
  if (!thread_) return false;
  if (ready_) ::WaitForSingleObject(ready_.get(), waits_.readyMs);
  return true;
}

void ProgressAnimator::stop() {
  if (!thread_) return;
  stopping_.store(true);
  const HWND window = window_.exchange(nullptr);
  if (window != nullptr) ::PostMessageW(window, WM_CLOSE, 0, 0);
  if (::WaitForSingleObject(thread_.get(), waits_.closeMs) != WAIT_OBJECT_0) {
    ::TerminateThread(thread_.get(), 1);
    // Termination completes asynchronously; the frames must not be freed under the thread.
    ::WaitForSingleObject(thread_.get(), waits_.closeMs);
  }
  thread_.reset();
}

void ProgressAnimator::onProgress(ProgressCallback& callback, std::uint32_t, std::uint32_t shownPercent) {
  ::InterlockedExchange(&percent_, static_cast<LONG>(shownPercent));
  if (::InterlockedExchange(&cancel_, 0) != 0) callback.requestCancel();
}

DWORD WINAPI ProgressAnimator::threadEntry(void* self) { return static_cast<ProgressAnimator*>(self)->threadMain(); }

DWORD ProgressAnimator::threadMain() {
  // Once per animator: a window started again after a stop reuses the frames.
  if (!graphicsStarted_) {
    graphicsStarted_ = true;
    startGraphics();
  }
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = &ProgressAnimator::windowProc;
  windowClass.hInstance = module_;
  windowClass.hIcon = ::LoadIconW(nullptr, IDI_APPLICATION);
  windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(1);
  windowClass.lpszClassName = kClassName;
  // A thread terminated earlier could not unregister the class; the class is the same one.
  if (::RegisterClassExW(&windowClass) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return 0;

  const HWND window = ::CreateWindowExW(0, kClassName, L"", WS_POPUP | WS_VISIBLE, 0, 0, 0, 0, nullptr, nullptr,
                                        module_, this);
  window_.store(window);
  // Stopped while the window was still coming (its wait for readiness ran out): without this the
  // message loop would run until stop() gave up and terminated the thread.
  if (window != nullptr && stopping_.load()) ::PostMessageW(window, WM_CLOSE, 0, 0);
  DWORD exitCode = 0;
  if (window != nullptr) {
    const HICON icon = ::LoadIconW(module_, MAKEINTRESOURCEW(kIcon));
    if (icon != nullptr) {
      ::SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
      ::SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    }
    ::SetWindowTextW(window, kTitle);
    if (ready_) ::SetEvent(ready_.get());
    MSG message;
    BOOL got;
    while ((got = ::GetMessageW(&message, nullptr, 0, 0)) > 0) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
    if (got == 0) exitCode = static_cast<DWORD>(message.wParam);
  }
  ::UnregisterClassW(kClassName, module_);
  return exitCode;
}

LRESULT CALLBACK ProgressAnimator::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CREATE) {
    auto* self = static_cast<ProgressAnimator*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    theAnimator.store(self);
    return self != nullptr ? self->onCreate(window) : -1;
  }
  ProgressAnimator* self = theAnimator.load();
  if (self == nullptr) return ::DefWindowProcW(window, message, wParam, lParam);
  switch (message) {
    case WM_TIMER:
      self->onTimer(window);
      break;
    case WM_PAINT:
      if (self->drawsFrames()) {
        self->paintFrame(window);
      } else {
        self->paintPlain(window);
      }
      break;
    case WM_KEYDOWN:
      if (wParam == VK_ESCAPE) ::InterlockedExchange(&self->cancel_, 1);
      break;
    case WM_CLOSE:
      ::KillTimer(window, kTimer);
      break;
    case WM_DESTROY: {
      // However the window went, message boxes must not be handed a dead owner.
      HWND expected = window;
      self->window_.compare_exchange_strong(expected, nullptr);
      theAnimator.compare_exchange_strong(self, nullptr);
      ::PostQuitMessage(0);
      return 0;
    }
    default:
      break;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

LRESULT ProgressAnimator::onCreate(HWND window) {
  int width = kPlainWidth;
  int height = kPlainHeight;
  if (drawsFrames()) {
    if (frames_.empty()) return -1;
    width = static_cast<int>(frames_[0].width);
    height = static_cast<int>(frames_[0].height);
  }
  const int x = (::GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  const int y = (::GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  ::MoveWindow(window, x, y, width, height, TRUE);

  RECT client = {};
  ::GetClientRect(window, &client);
  vocabulary::ScopedGdiObject region(::CreateRoundRectRgn(0, 0, client.right + 1, client.bottom + 1, 15, 15));
  // Once set, the region belongs to the window.
  if (region && ::SetWindowRgn(window, static_cast<HRGN>(region.get()), TRUE) != 0) region.release();

  ::InterlockedExchange(&cancel_, 0);
  ::InterlockedExchange(&percent_, -1);
  ::SetTimer(window, kTimer, kTimerMs, nullptr);
  return 0;
}

void ProgressAnimator::onTimer(HWND window) {
  const int count = drawsFrames() ? static_cast<int>(frames_.size()) : kPlainSteps;
  ++frameIndex_;
  if (frameIndex_ >= count) frameIndex_ = 0;
  ::InvalidateRect(window, nullptr, FALSE);
}

void ProgressAnimator::paintFrame(HWND window) {
  PAINTSTRUCT paint;
  const HDC dc = ::BeginPaint(window, &paint);
  gdiplus::Owned<gdiplus::GpGraphics> graphics;
  if (dc != nullptr && gdiplus_.createFromHdc(dc, graphics.receive(gdiplus_.deleteGraphics)) == gdiplus::kOk) {
    const Frame& frame = frames_[static_cast<std::size_t>(frameIndex_) % frames_.size()];
    gdiplus_.drawImageRectI(graphics.get(), frame.bitmap.get(), 0, 0, frame.width, frame.height);
    const LONG percent = readShared(&percent_);
    if (percent >= 0) drawLine(graphics.get(), percent);
  }
  graphics.reset();
  ::EndPaint(window, &paint);
}

// The line from (10, 127) to (10 + L, 127), both ends lit, one pixel high. It is filled as a
// rectangle rather than stroked: renderers differ on whether a stroked line lights its last
// pixel, and the end must sit on the same pixel everywhere.
void ProgressAnimator::drawLine(gdiplus::GpGraphics* graphics, LONG percent) const {
  const int length = static_cast<int>(percent / 100.0 * (static_cast<int>(frames_[0].width) - 2 * kLineInset));
  gdiplus::Owned<gdiplus::GpBrush> brush;
  if (gdiplus_.createSolidFill(kLineColour, brush.receive(gdiplus_.deleteBrush)) == gdiplus::kOk) {
    gdiplus_.fillRectangleI(graphics, brush.get(), kLineInset, kLineY, length + 1, 1);
  }
}

void ProgressAnimator::paintPlain(HWND window) {
  PAINTSTRUCT paint;
  const HDC dc = ::BeginPaint(window, &paint);
  if (dc == nullptr) return;
  vocabulary::ScopedGdiObject brush(::CreateSolidBrush(kPlainBackground));
  vocabulary::ScopedGdiObject pen(::CreatePen(PS_SOLID, 2, kWhite));

  RECT all = {0, 0, kPlainWidth, kPlainHeight};
  ::FillRect(dc, &all, static_cast<HBRUSH>(brush.get()));
  ::SetBkMode(dc, TRANSPARENT);
  ::SetTextColor(dc, kWhite);
  const HGDIOBJ oldFont = ::SelectObject(dc, ::GetStockObject(DEFAULT_GUI_FONT));
  RECT text = {0, 20, kPlainWidth, kPlainHeight};
  ::DrawTextW(dc, kCaption, -1, &text, DT_CENTER);

  // Straight up at step 0, turning clockwise.
  const float angle = static_cast<float>(frameIndex_) * 0.31415f;
  const float s = std::sin(angle);
  const float c = std::cos(angle);
  const HGDIOBJ oldPen = ::SelectObject(dc, pen.get());
  ::MoveToEx(dc, static_cast<int>(99 + 20 * s), static_cast<int>(88 - 20 * c), nullptr);
  ::LineTo(dc, static_cast<int>(99 + 5 * s), static_cast<int>(88 - 5 * c));

  ::SelectObject(dc, oldPen);
  ::SelectObject(dc, oldFont);
  ::EndPaint(window, &paint);
}

}  // namespace tzk::progress
