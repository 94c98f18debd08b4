#pragma once

#include <windows.h>

#include "vocabulary/result.h"
#include "stub/main_sequence.h"

namespace tzk::stub {

// What the GUI entry point does: START record, the guarded main sequence, END record. Test
// builds of the stub pass steps of their own.
Result runEntryPoint(HINSTANCE instance, const wchar_t* rawArguments, const SequenceSteps& steps = SequenceSteps());

}  // namespace tzk::stub
