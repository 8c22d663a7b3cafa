// The texts of the carried package and the work folder that the user reads.
#pragma once

// The carried package and the work folder.
extern const wchar_t kNoCarriedPackage[];
extern const wchar_t kCleaningWorkStatus[];
