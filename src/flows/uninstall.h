// What the Uninstall button does.
#pragma once

void run_uninstall();
