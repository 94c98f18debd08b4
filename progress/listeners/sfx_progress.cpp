#include "progress/listeners/sfx_progress.h"

#include <windows.h>

#include "root/registry.h"

namespace tzk::progress {

void SfxProgress::onProgress(ProgressCallback&, std::uint32_t, std::uint32_t shownPercent) {
  root::SetRegistryValue(HKEY_CLASSES_ROOT, kProgressKey, kProgressValue, nullptr, &shownPercent);
}

}  // namespace tzk::progress
