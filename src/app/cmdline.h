// Reading the command line and settling the process-wide values at start-up.
#pragma once

#include <string>

// True when some argument after the program name equals `name` exactly.
bool has_flag(int argc, char** argv, const char* name);
// The value of `name`: the next argument, or the text after "name="; first match wins; else empty.
std::string option_value(int argc, char** argv, const char* name);
// Settles run_mode and install_options from the arguments and the program's name.
void settle_options(int argc, char** argv);
// The whole start-up after the toolkit: settle options, silent install or window; returns the exit code.
int run_program(int argc, char** argv, bool have_display);
