// The texts the installation shows the user: its steps and its refusals.
#pragma once

// Where the install or update shows its steps.
extern const wchar_t kPreparingFolderStatus[];
extern const wchar_t kClosingRunningStatus[];
extern const wchar_t kWaitingForExitStatus[];
extern const wchar_t kUnpackingStatus[];
extern const wchar_t kReplacingStatus[];
extern const wchar_t kRestoringConfigStatus[];
extern const wchar_t kShortcutsStatus[];
extern const wchar_t kRemovingPreviousStatus[];
extern const wchar_t kRemovingConfigBackupStatus[];
extern const wchar_t kRevertingUpdateStatus[];

// Refusals of the install location.
extern const wchar_t kNotAnInstallation[];
extern const wchar_t kInstallationBusy[];
extern const wchar_t kUserFolderRefused[];
extern const wchar_t kCannotOpenInstallDir[];
extern const wchar_t kCannotCloseRunning[];

// Failures of unpacking a package.
extern const wchar_t kUnpackerInitFailed[];
extern const wchar_t kCannotOpenPackage[];
extern const wchar_t kPackageEmpty[];
extern const wchar_t kUnpackTimedOut[];
extern const wchar_t kUnpackFailed[];
extern const wchar_t kProgramMissing[];

// Failures of the install transaction, after which the previous installation stands as it was.
extern const wchar_t kBackupFailed[];
extern const wchar_t kWriteFailed[];
extern const wchar_t kCarryFailed[];
extern const wchar_t kRecordFailed[];
extern const wchar_t kConfigBackupFailed[];

// Names the installation shows.
extern const wchar_t kUninstallShortcutTitle[];
