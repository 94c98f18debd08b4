// The progress window: a small borderless window with rounded corners in the middle of the
// screen, playing a looping animation with a line below it that follows the extraction. It
// lives on a thread of its own, so the installation never waits on it, and every failure in
// it is harmless: without GDI+ it draws a plain caption and a spoke, and without frames it
// shows nothing at all.
#pragma once

#include <windows.h>

#include <atomic>
#include <vector>

#include "progress/listeners/gdiplus_api.h"
#include "progress/progress_callback.h"
#include "vocabulary/scoped_handle.h"

namespace tzk::progress {

// How long the main thread waits for the window thread: for the window to show, and for the
// thread to end once the window was asked to close. Tests shorten them.
struct AnimatorWaits {
  DWORD readyMs = 5000;
  DWORD closeMs = 10000;
};

class ProgressAnimator : public ProgressInterface {
 public:
  // `module` holds the frames ("FILE" 1001 to 1012) and the icon (1000), and owns the class.
  explicit ProgressAnimator(HINSTANCE module, AnimatorWaits waits = {});
  virtual ~ProgressAnimator();
  ProgressAnimator(const ProgressAnimator&) = delete;
  ProgressAnimator& operator=(const ProgressAnimator&) = delete;

  // Starts the window thread and waits a bounded time for the window; false when a thread
  // already exists or none could be made.
  bool startThread();
  // Closes the window and ends the thread, terminating it when it does not end in time.
  // Nothing happens when no thread exists.
  void stop();
  // The shown window, for owning message boxes; null before it exists and once it closes.
  HWND window() const { return window_.load(); }

  // Takes the percentage over to the window thread and hands a pending Escape on to the
  // callback. Runs on the reporting thread with the callback's lock held.
  void onProgress(ProgressCallback& callback, std::uint32_t stepPercent, std::uint32_t shownPercent) override;

 private:
  struct Frame {
    gdiplus::Owned<gdiplus::GpImage> bitmap;
    UINT width = 0;
    UINT height = 0;
  };

  void startGraphics();
  bool loadFrame(int id);
  bool decode(IStream* stream, Frame& frame) const;
  bool drawsFrames() const { return graphicsLibrary_.valid(); }

  static DWORD WINAPI threadEntry(void* self);
  DWORD threadMain();
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT onCreate(HWND window);
  void onTimer(HWND window);
  void paintFrame(HWND window);
  void drawLine(gdiplus::GpGraphics* graphics, LONG percent) const;
  void paintPlain(HWND window);

  vocabulary::ScopedKernelHandle ready_;
  ULONG_PTR graphicsToken_ = 0;
  vocabulary::ScopedKernelHandle thread_;
  HINSTANCE module_;
  std::atomic<HWND> window_{nullptr};
  // Set by stop(): a window that comes up after it closes itself, as stop() found none to close.
  std::atomic<bool> stopping_{false};
  std::vector<Frame> frames_;
  bool graphicsStarted_ = false;  // touched only by the window thread, like the frames
  int frameIndex_ = 0;  // touched only by the window thread
  gdiplus::Api gdiplus_ = {};
  vocabulary::ScopedModule graphicsLibrary_;
  // The two values the threads share, only ever through interlocked exchanges.
  volatile LONG percent_ = -1;  // -1 until the first report
  volatile LONG cancel_ = 0;    // non-zero once Escape was pressed
  AnimatorWaits waits_;
};

}  // namespace tzk::progress
