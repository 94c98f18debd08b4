// Publishes the shown percentage in the registry, where the product's own programs and support
// tools read how far an installation got, also after the stub is gone.
#pragma once

#include "progress/progress_callback.h"

namespace tzk::progress {

constexpr wchar_t kProgressKey[] = L"ZantiPersistentStorage";  // under HKEY_CLASSES_ROOT
constexpr wchar_t kProgressValue[] = L"QelvoProgress";

class SfxProgress : public ProgressInterface {
 public:
  // Writes on every notification; a key that cannot be made is logged by the key creator and
  // otherwise ignored, since the installation must not depend on it.
  void onProgress(ProgressCallback& callback, std::uint32_t stepPercent, std::uint32_t shownPercent) override;
};

}  // namespace tzk::progress
