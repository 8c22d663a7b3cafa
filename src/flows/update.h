// The update run started by the installed application.
#pragma once

#include <cstdint>

bool run_update();   // idle callback of update mode; always false
// Tests only: how long the new version is watched after its start (0 = the default of 10 s).
void set_health_watch_ms(uint32_t ms);
