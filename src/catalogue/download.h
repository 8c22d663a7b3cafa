// Fetching one file over HTTP(S) into memory or onto disk, with progress for files; a file whose
// connection breaks after part of it has arrived is asked for again from where it broke off.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// GET `url`; with an empty `destination` the body goes into `body` (when given), else into
// that file. False with `error` set to the message of the failing step.
bool http_download(const std::string& url, std::string* body, const std::wstring& destination,
                   std::wstring& error);

// The waits before each further attempt of a file download that lost its connection (1, 2, 4,
// 8 and 16 s: at most five more attempts), and how a wait is spent (sleep_with_events).
// Tests put a shorter schedule or a recording sleep in place.
extern std::vector<uint32_t> reconnect_waits_ms;
using ReconnectSleepFunction = void (*)(uint32_t ms);
extern ReconnectSleepFunction reconnect_sleep;

// The first byte and the full length that a Content-Range value "bytes FIRST-LAST/LENGTH"
// names; false for anything else (a "*" length included).
bool parse_content_range(const std::string& text, uint64_t& first, uint64_t& length);
