#include "flows/update.h"

bool run_update() { return false; }
