// The lane-faulting test build of the stub: extraction gets one more progress listener, which
// writes through a null pointer when the second extraction lane reports a finished entry, so the
// build faults on a thread the main sequence started, with no line of test code in the stub.
// Reports from the main thread wait a moment first, so that the other lane takes an entry of
// its own.
#include <windows.h>

#include <cstdint>
#include <string>

#include "archive/sfx_archive.h"
#include "progress/progress_callback.h"
#include "stub/entry_point.h"

namespace {

int* volatile g_nowhere = nullptr;
// Static initialisation runs on the main thread.
const DWORD g_mainThread = ::GetCurrentThreadId();

class FaultOnTheOtherLane : public tzk::progress::ProgressInterface {
 public:
  void onProgress(tzk::progress::ProgressCallback&, std::uint32_t, std::uint32_t) override {
    if (::GetCurrentThreadId() != g_mainThread) *g_nowhere = 1;
    ::Sleep(500);
  }
};

FaultOnTheOtherLane g_faultOnTheOtherLane;

tzk::Result extractFiles(tzk::archive::SfxArchive& archive, const std::wstring& folder,
                         tzk::progress::ProgressCallback* progress,
                         tzk::archive::SfxArchive::InstallerTask* installer) {
  progress->addListener(&g_faultOnTheOtherLane);
  return archive.ExtractFiles(folder, progress, nullptr, installer);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR rawArguments, int) {
  tzk::stub::SequenceSteps steps;
  steps.extractFiles = &extractFiles;
  return static_cast<int>(tzk::stub::runEntryPoint(instance, rawArguments, steps));
}
