// The spine of the stub: one straight run of steps on the main thread, each turning its
// subsystem's result into the run's result code, and the same clean-up on every way out.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "archive/sfx_archive.h"
#include "log/logger.h"
#include "ping/analytics_request.h"
#include "vocabulary/result.h"
#include "stub/child_process.h"

namespace tzk::progress {
class ProgressCallback;
}

namespace tzk::stub {

extern const log::ComponentTag kTagQelvo;

// The calls through which the sequence meets what a test cannot arrange on a machine: who the
// user is, the stub's age, the child, the driver, the archive's contents and the analytics
// endpoint. Each starts as the real call; test builds of the stub hand in their own through
// runEntryPoint, so the shipped code runs unchanged around them.
struct SequenceSteps {
  SequenceSteps();

  bool (*isUserAdmin)();
  std::int64_t (*buildTimestamp)();
  WaitForProcess waitForChild;
  Result (*installEarlySelfDefense)(const std::wstring& tempFolder, std::wstring& serviceName,
                                    archive::SfxArchive& archive);
  archive::ItemsBlock (*extractItems)(archive::SfxArchive& archive, const std::wstring& folder);
  Result (*cleanUpEarlySelfDefense)(const std::wstring& serviceName);
  Result (*extractFiles)(archive::SfxArchive& archive, const std::wstring& folder,
                         progress::ProgressCallback* progress, archive::SfxArchive::InstallerTask* installer);
  ping::AnalyticsSettings (*analyticsSettings)();
};

Result runMainSequence(HINSTANCE instance, const wchar_t* rawArguments, const SequenceSteps& steps);

}  // namespace tzk::stub
