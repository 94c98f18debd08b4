// The progress window on a real (virtual) screen: what it draws is read back from the screen.
#include "progress/listeners/progress_animator.h"
#include "root/library.h"
#include "vocabulary/path.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tzk::progress {
namespace {

// The first window of a run on a fresh virtual display can take longer than the stub's own bound
// when the machine is busy or its CPU emulated; tests whose point is not that bound wait longer.
constexpr AnimatorWaits kRoomy{30000, 10000};

constexpr std::uint32_t kLine = 0xCDD7E1;        // the progress line
constexpr std::uint32_t kBackground = 0x16202E;  // the frames' background (make_art.py)
constexpr std::uint32_t kTrack = 0x2C3848;       // the groove under the line
constexpr std::uint32_t kSlate = 0x34547A;       // the shield of the logo
constexpr std::uint32_t kPlainBackground = 0x37424D;
constexpr std::uint32_t kWhite = 0xFFFFFF;

// Pixels of a screen area as 0xRRGGBB, top row first.
struct Capture {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;

  std::uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x] & 0xFFFFFF; }
  // The last x of a run of `colour` on row y that starts at `from`; from - 1 when there is none.
  int runEnd(int from, int y, std::uint32_t colour) const {
    int x = from;
    while (x < width && at(x, y) == colour) ++x;
    return x - 1;
  }
  int count(int y, std::uint32_t colour) const {
    int n = 0;
    for (int x = 0; x < width; ++x) n += at(x, y) == colour;
    return n;
  }
};

Capture capture(const RECT& area) {
  Capture image;
  image.width = area.right - area.left;
  image.height = area.bottom - area.top;
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = image.width;
  info.bmiHeader.biHeight = -image.height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  const HDC screen = ::GetDC(nullptr);
  const HDC memory = ::CreateCompatibleDC(screen);
  void* bits = nullptr;
  const HBITMAP dib = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  const HGDIOBJ old = ::SelectObject(memory, dib);
  ::BitBlt(memory, 0, 0, image.width, image.height, screen, area.left, area.top, SRCCOPY);
  ::GdiFlush();
  const auto* p = static_cast<const std::uint32_t*>(bits);
  image.pixels.assign(p, p + static_cast<std::size_t>(image.width) * image.height);
  ::SelectObject(memory, old);
  ::DeleteObject(dib);
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
  return image;
}

std::wstring besideTheTest(const wchar_t* name) {
  return vocabulary::FolderOf(root::OwnImagePath()) + L"\\" + name;
}

// Kept in the build tree so a person can look at what the window showed.
void saveBitmap(const Capture& image, const wchar_t* name) {
  const DWORD bytes = static_cast<DWORD>(image.pixels.size() * 4);
  BITMAPFILEHEADER file = {};
  BITMAPINFOHEADER info = {};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof(file) + sizeof(info);
  file.bfSize = file.bfOffBits + bytes;
  info.biSize = sizeof(info);
  info.biWidth = image.width;
  info.biHeight = -image.height;
  info.biPlanes = 1;
  info.biBitCount = 32;
  FILE* out = _wfopen(besideTheTest(name).c_str(), L"wb");
  ASSERT_NE(out, nullptr);
  std::fwrite(&file, sizeof(file), 1, out);
  std::fwrite(&info, sizeof(info), 1, out);
  std::fwrite(image.pixels.data(), 1, bytes, out);
  std::fclose(out);
}

RECT windowRect(HWND window) {
  RECT r = {};
  ::GetWindowRect(window, &r);
  return r;
}

// How long a test waits for the window to show a state: far beyond a loaded machine's delays,
// and spent only when the state never comes.
constexpr DWORD kPatienceMs = 20000;

// The window paints on its own thread, and a capture may fall between the frame and the line;
// so captures are taken until one shows the state the test then asserts (the last one, if it
// never comes).
Capture captureUntil(HWND window, const std::function<bool(const Capture&)>& shows) {
  Capture image;
  for (const DWORD start = ::GetTickCount(); ::GetTickCount() - start < kPatienceMs;) {
    ::Sleep(50);
    image = capture(windowRect(window));
    if (shows(image)) break;
  }
  return image;
}

// How many different pictures (above the line) the window shows: watched for at least
// milliseconds, and on until expected ones were seen (a loaded machine may skip frames for a
// while). A picture caught only once may be a capture torn between two frames and is not counted.
int framesShown(HWND window, DWORD milliseconds, int expected) {
  std::map<std::vector<std::uint32_t>, int> seen;
  int frames = 0;
  for (const DWORD start = ::GetTickCount(); ::GetTickCount() - start < kPatienceMs;) {
    Capture image = capture(windowRect(window));
    image.pixels.resize(static_cast<std::size_t>(image.width) * 120);
    if (++seen[image.pixels] == 2) ++frames;
    if (::GetTickCount() - start >= milliseconds && frames >= expected) break;
    ::Sleep(20);
  }
  return frames;
}

bool gdiplusAvailable() {
  wchar_t folder[MAX_PATH];
  const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
  const std::wstring path = std::wstring(folder, length) + L"\\GdiPlus.dll";
  const HMODULE library = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (library != nullptr) ::FreeLibrary(library);
  return library != nullptr;
}

void expectCentred(HWND window, int width, int height) {
  const RECT r = windowRect(window);
  EXPECT_EQ(r.right - r.left, width);
  EXPECT_EQ(r.bottom - r.top, height);
  EXPECT_EQ(r.left, (::GetSystemMetrics(SM_CXSCREEN) - width) / 2);
  EXPECT_EQ(r.top, (::GetSystemMetrics(SM_CYSCREEN) - height) / 2);

  const HRGN region = ::CreateRectRgn(0, 0, 0, 0);
  ASSERT_NE(::GetWindowRgn(window, region), ERROR);
  EXPECT_FALSE(::PtInRegion(region, 0, 0));
  EXPECT_FALSE(::PtInRegion(region, width - 1, height - 1));
  EXPECT_TRUE(::PtInRegion(region, 7, 1));  // the 15 x 15 corner takes only a few pixels
  EXPECT_TRUE(::PtInRegion(region, width / 2, height / 2));
  ::DeleteObject(region);
}

// A module whose resources are only data, as a test of other sets of frames.
class DataModule {
 public:
  explicit DataModule(const wchar_t* name)
      : module_(::LoadLibraryExW(besideTheTest(name).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}
  ~DataModule() {
    if (module_ != nullptr) ::FreeLibrary(module_);
  }
  HINSTANCE get() const { return module_; }

 private:
  HMODULE module_;
};

class ProgressWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!gdiplusAvailable()) GTEST_SKIP() << "GDI+ is not available to this run";
  }
};

TEST_F(ProgressWindow, ShowsFramesAndALineThatFollowsThePercentage) {
  ProgressAnimator animator(::GetModuleHandleW(nullptr), kRoomy);
  ASSERT_TRUE(animator.startThread());
  const HWND window = animator.window();
  ASSERT_NE(window, nullptr);
  expectCentred(window, 199, 133);

  // Before any report: the frame with its empty groove, and the desktop in the cut corners.
  Capture image = captureUntil(window, [](const Capture& c) { return c.at(3, 66) == kBackground; });
  EXPECT_EQ(image.at(3, 66), kBackground);
  EXPECT_EQ(image.at(150, 127), kTrack);
  EXPECT_EQ(image.count(127, kLine), 0);
  EXPECT_NE(image.at(0, 0), kBackground);
  int slate = 0;
  for (int y = 5; y < 40; ++y) slate += image.count(y, kSlate);
  EXPECT_GT(slate, 100) << "the logo's shield";

  ProgressCallback callback;
  callback.addListener(&animator);
  callback.setTotal(Level::kOverall, 4);
  EXPECT_FALSE(callback.setPosition(Level::kOverall, 0));
  image = captureUntil(window, [](const Capture& c) { return c.at(10, 127) == kLine && c.count(127, kLine) == 1; });
  EXPECT_EQ(image.at(10, 127), kLine) << "0 % is a line of length 0: its start point";
  EXPECT_EQ(image.count(127, kLine), 1);

  callback.advance(Level::kOverall, 2);
  image = captureUntil(window, [](const Capture& c) { return c.runEnd(10, 127, kLine) == 99 && c.count(127, kLine) == 90; });
  saveBitmap(image, L"progress_window_50.bmp");
  EXPECT_EQ(image.runEnd(10, 127, kLine), 99) << "10 + 89.5 truncated";
  EXPECT_EQ(image.count(127, kLine), 90);

  callback.advance(Level::kOverall, 2);
  image = captureUntil(window, [](const Capture& c) { return c.runEnd(10, 127, kLine) == 189; });
  EXPECT_EQ(image.runEnd(10, 127, kLine), 189);
  EXPECT_EQ(framesShown(window, 2500, 12), 12);

  animator.stop();
  EXPECT_EQ(animator.window(), nullptr);
  EXPECT_FALSE(::IsWindow(window));
}

TEST_F(ProgressWindow, FiveFramesCycleAndGiveTheWindowTheirSize) {
  DataModule five(L"progress_five_frames.dll");
  ASSERT_NE(five.get(), nullptr);
  ProgressAnimator animator(five.get(), kRoomy);
  ASSERT_TRUE(animator.startThread());
  const HWND window = animator.window();
  ASSERT_NE(window, nullptr);
  expectCentred(window, 240, 150);
  EXPECT_EQ(framesShown(window, 1500, 5), 5);

  ProgressCallback callback;
  callback.addListener(&animator);
  callback.setTotal(Level::kOverall, 2);
  callback.setPosition(Level::kOverall, 1);
  const Capture image = captureUntil(window, [](const Capture& c) { return c.runEnd(10, 127, kLine) == 120; });
  EXPECT_EQ(image.runEnd(10, 127, kLine), 120) << "10 + half of 240 - 20";
}

TEST_F(ProgressWindow, WithoutFramesNoWindowShowsAndTheRunGoesOn) {
  DataModule iconOnly(L"progress_no_frames.dll");
  ASSERT_NE(iconOnly.get(), nullptr);
  ProgressAnimator animator(iconOnly.get(), AnimatorWaits{800, 5000});
  const DWORD start = ::GetTickCount();
  EXPECT_TRUE(animator.startThread());
  EXPECT_GE(::GetTickCount() - start, 750u) << "the starter waits its bound for a window that never comes";
  EXPECT_EQ(animator.window(), nullptr);
  EXPECT_EQ(::FindWindowW(L"zantiSfxProgressClass", nullptr), nullptr);

  ProgressCallback callback;
  callback.addListener(&animator);
  callback.setTotal(Level::kOverall, 1);
  EXPECT_FALSE(callback.advance(Level::kOverall, 1));

  const DWORD stopping = ::GetTickCount();
  animator.stop();
  EXPECT_LT(::GetTickCount() - stopping, 1000u) << "the thread had ended on its own";
}

TEST_F(ProgressWindow, EscapeCancelsTheNextReportAndEveryLaterOne) {
  ProgressAnimator animator(::GetModuleHandleW(nullptr), kRoomy);
  ASSERT_TRUE(animator.startThread());
  const HWND window = animator.window();
  ASSERT_NE(window, nullptr);
  ProgressCallback callback;
  callback.addListener(&animator);
  callback.setTotal(Level::kOverall, 10);

  ::SendMessageW(window, WM_KEYDOWN, 'A', 0);
  ::SendMessageW(window, WM_KEYDOWN, VK_RETURN, 0);
  EXPECT_FALSE(callback.setPosition(Level::kOverall, 0)) << "only Escape cancels";

  ::SendMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
  ::SendMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
  EXPECT_FALSE(callback.cancelRequested()) << "the request travels with the next report";
  EXPECT_TRUE(callback.advance(Level::kOverall, 1));
  EXPECT_TRUE(callback.advance(Level::kOverall, 1));
  EXPECT_TRUE(callback.setTotal(Level::kOverall, 3));
  EXPECT_TRUE(callback.advance(Level::kOverall, 9));
  EXPECT_TRUE(callback.cancelRequested());
}

TEST_F(ProgressWindow, StopIsRepeatableAndAStoppedWindowCanStartAgain) {
  ProgressAnimator animator(::GetModuleHandleW(nullptr), kRoomy);
  animator.stop();  // no thread yet: nothing to do

  ASSERT_TRUE(animator.startThread());
  EXPECT_FALSE(animator.startThread()) << "one window thread at a time";
  const HWND first = animator.window();
  ASSERT_NE(first, nullptr);
  animator.stop();
  animator.stop();
  EXPECT_EQ(animator.window(), nullptr);
  EXPECT_FALSE(::IsWindow(first));

  ASSERT_TRUE(animator.startThread());
  const HWND second = animator.window();
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(::IsWindowVisible(second));

  // Closed from outside: the handle is withdrawn, so nobody uses a dead owner window. (Wine
  // without a window manager takes a second or more to take a window off the screen, and the
  // handle is withdrawn at WM_DESTROY, a moment before the window itself is gone.)
  ::PostMessageW(second, WM_CLOSE, 0, 0);
  for (const DWORD start = ::GetTickCount();
       ::GetTickCount() - start < kPatienceMs && (animator.window() != nullptr || ::IsWindow(second));) {
    ::Sleep(20);
  }
  EXPECT_FALSE(::IsWindow(second));
  EXPECT_EQ(animator.window(), nullptr);
  animator.stop();
}

// Keeps the window thread from ever coming back from its message loop. It hangs where the
// system calls out to its hooks, which holds none of the window manager's locks: a thread
// suspended at some arbitrary point (as an earlier version of this test did) may hold one, and
// then its termination blocks every later window of the process, which is the test's and not
// the animator's fault (seen through a CPU emulator, where threads are suspended elsewhere).
std::atomic<bool> g_hanging{false};
LRESULT CALLBACK hangInTheMessageLoop(int, WPARAM, LPARAM) {
  g_hanging = true;
  for (;;) ::Sleep(INFINITE);
}

TEST_F(ProgressWindow, AWindowThreadThatDoesNotEndIsTerminated) {
  ProgressAnimator animator(::GetModuleHandleW(nullptr), AnimatorWaits{kRoomy.readyMs, 600});
  ASSERT_TRUE(animator.startThread());
  const HWND window = animator.window();
  ASSERT_NE(window, nullptr);
  const HHOOK hook = ::SetWindowsHookExW(WH_GETMESSAGE, &hangInTheMessageLoop, nullptr,
                                         ::GetWindowThreadProcessId(window, nullptr));
  ASSERT_NE(hook, nullptr);
  ::PostMessageW(window, WM_NULL, 0, 0);
  for (const DWORD start = ::GetTickCount(); !g_hanging && ::GetTickCount() - start < kPatienceMs;) ::Sleep(10);
  ASSERT_TRUE(g_hanging);

  const DWORD start = ::GetTickCount();
  animator.stop();
  const DWORD took = ::GetTickCount() - start;
  EXPECT_GE(took, 550u);
  EXPECT_LT(took, kPatienceMs) << "it waits its bound, not for the thread";
  EXPECT_EQ(animator.window(), nullptr);
  ::UnhookWindowsHookEx(hook);

  // The cut-off thread left its class registered; the next window uses it.
  ASSERT_TRUE(animator.startThread());
  EXPECT_NE(animator.window(), nullptr);
  animator.stop();
}

// A machine slow enough that the start stops waiting before the window is up: the stop comes
// while the thread still starts GDI+. The thread must end by itself, not be cut off where it may
// hold the loader's lock, which would hang the process at its exit.
TEST_F(ProgressWindow, AStopBeforeTheWindowIsUpEndsTheThread) {
  for (int round = 0; round < 3; ++round) {
    ProgressAnimator animator(::GetModuleHandleW(nullptr), AnimatorWaits{0, 60000});
    ASSERT_TRUE(animator.startThread());
    const DWORD start = ::GetTickCount();
    animator.stop();
    EXPECT_LT(::GetTickCount() - start, kPatienceMs) << "round " << round << ": it waited its bound, not for the thread";
    EXPECT_EQ(animator.window(), nullptr);
  }
}

// Run with GDI+ taken away from the process (see CMakeLists.txt); skipped where it exists.
TEST(ProgressWindowPlainGdi, DrawsTheCaptionAndATurningSpokeAtTheFixedSize) {
  if (gdiplusAvailable()) GTEST_SKIP() << "GDI+ is available to this run";
  ProgressAnimator animator(::GetModuleHandleW(nullptr), kRoomy);
  ASSERT_TRUE(animator.startThread());
  const HWND window = animator.window();
  ASSERT_NE(window, nullptr);
  expectCentred(window, 199, 133);

  ProgressCallback callback;
  callback.addListener(&animator);
  callback.setTotal(Level::kOverall, 2);
  EXPECT_FALSE(callback.setPosition(Level::kOverall, 1));

  const Capture image = captureUntil(window, [](const Capture& c) { return c.at(3, 66) == kPlainBackground; });
  saveBitmap(image, L"progress_window_plain.bmp");
  EXPECT_EQ(image.at(3, 66), kPlainBackground);
  EXPECT_EQ(image.count(127, kLine), 0) << "no progress line without GDI+";
  int caption = 0;
  for (int y = 20; y < 40; ++y) caption += image.count(y, kWhite);
  EXPECT_GT(caption, 40) << "the caption";
  int spoke = 0;
  for (int y = 66; y < 111; ++y) spoke += image.count(y, kWhite);
  EXPECT_GT(spoke, 10) << "the spoke";
  EXPECT_EQ(framesShown(window, 3500, 20), 20) << "20 steps make one turn";

  ::SendMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
  EXPECT_TRUE(callback.advance(Level::kOverall, 1));
  animator.stop();
  EXPECT_EQ(animator.window(), nullptr);
}

}  // namespace
}  // namespace tzk::progress
