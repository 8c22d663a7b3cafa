// The install log: with --log FILE every run appends timestamped UTF-8 lines to FILE. Without
// an open log every function here does nothing; a log that cannot be written never fails a run.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

bool open_log(const std::wstring& path);      // appends to `path`, folders created; false: no log this run
void close_log();
bool log_enabled();
std::wstring log_path();                      // the open log's path as given; empty without one
void log_line(const std::string& text);       // one line with the local time, written whole in one write
void log_status(const std::wstring& text);    // a status text, once each time it changes
// A bar position at clock `now_ms`, in whole percent: once per change, at most every 100 ms
// under one status text.
void log_progress(double fraction, uint32_t now_ms);
// A failed step: the status it ran under and its message; with `system_error`, also the system's
// own text of the failure that has just happened (call it right after the failing operation).
void log_failure(const std::wstring& message, bool system_error = false);
// An external program: started (or not, with the system's error), and how it ended.
void log_process_start(const std::wstring& program, const std::wstring& parameters, bool started);
void log_process_end(const std::wstring& program, bool exited, uint32_t exit_code);
void log_dialog(bool error, const std::string& text);   // a message shown to the user; an error is a failure
void log_detached_start(const std::wstring& program, bool started);   // a program we do not wait for
void log_exit_code(int code);                 // the last line of a run; closes the log
std::string url_without_credentials(const std::string& url);   // drops "user:password@"
// plat::http_get with one line per request: URL without credentials, status, length and time.
plat::HttpStage logged_http_get(const std::string& url, plat::HttpHandlers& handlers);
