#include "common/messages.h"

const wchar_t kCannotStartProgram[] = L"无法启动外部进程。";
const wchar_t kProgramFailed[] = L"外部进程执行失败。";
const wchar_t kCannotWaitForProgram[] = L"等待外部进程失败。";
