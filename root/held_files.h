// Files that another program holds for a moment: scanners and indexers open every freshly
// written file, so deleting or replacing one may fail for a while and then work.
#pragma once

#include <cstdint>
#include <functional>

namespace tzk::root {

// Calls attempt until it succeeds, up to ten times 200 ms apart: two seconds cover a scanner.
// After each failure worthRetrying (when given) may stop the tries early, when the failure
// cannot be a holder's (the file is gone, say). True when an attempt succeeded.
bool RetryWhileHeld(const std::function<bool()>& attempt, const std::function<bool()>& worthRetrying = {});

// The pause between attempts, replaceable so that tests need not wait and can act between two
// attempts. Null restores the real pause. Returns the previous one.
using RetrySleep = void (*)(std::uint32_t milliseconds);
RetrySleep SetRetrySleep(RetrySleep sleep);

}  // namespace tzk::root
