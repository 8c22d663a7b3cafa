#include "flows/install_driver.h"

void run_install() {}
