#include "flows/uninstall.h"

void run_uninstall() {}
