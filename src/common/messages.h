// The texts of the common layer that the user reads.
#pragma once

// Failures of an external program.
extern const wchar_t kCannotStartProgram[];
extern const wchar_t kProgramFailed[];
extern const wchar_t kCannotWaitForProgram[];
