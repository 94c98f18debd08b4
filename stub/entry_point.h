#pragma once

#include <windows.h>

#include "root/result.h"

namespace tzk::stub {

// What the GUI entry point does: START record, the guarded main sequence, END record.
Result runEntryPoint(HINSTANCE instance, const wchar_t* rawArguments);

}  // namespace tzk::stub
