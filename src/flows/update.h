// The update run started by the installed application.
#pragma once

bool run_update();   // idle callback of update mode; always false
