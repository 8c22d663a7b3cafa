#include "catalogue/manifest.h"

bool fill_version_list() { return false; }
void show_release_notes() {}
