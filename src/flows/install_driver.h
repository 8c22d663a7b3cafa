// What the Install button does in the two install modes.
#pragma once

void run_install();
