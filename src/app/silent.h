// Installing the carried package, or starting the uninstall, without a window; the result is the
// process exit code.
#pragma once

#include <cstdint>

int32_t run_silent_install();     // 0 installed, 2 no package copied out, 3 install failed
int32_t run_silent_uninstall();   // 0 the removal started, 3 refused
