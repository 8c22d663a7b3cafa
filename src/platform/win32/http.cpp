// Windows backend: one HTTP(S) GET through WinHTTP in synchronous mode. The calls that wait on
// the network run on a helper thread while the caller's thread keeps calling on_idle, so a window
// on that thread answers even while the line stalls.
#include <windows.h>
#include <winhttp.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace plat {

namespace {

// The three WinHTTP handles of one transfer, closed request first on every way out.
struct HttpHandles {
  HINTERNET session = nullptr;
  HINTERNET connection = nullptr;
  HINTERNET request = nullptr;
  ~HttpHandles() {
    if (request) WinHttpCloseHandle(request);
    if (connection) WinHttpCloseHandle(connection);
    if (session) WinHttpCloseHandle(session);
  }
};

// One helper thread per transfer for the WinHTTP calls that may wait; the caller waits for each
// with its message queue watched, calling `idle` when a message comes and every 20 ms.
class WaitingCalls {
 public:
  explicit WaitingCalls(std::function<void()> idle) : idle_(std::move(idle)) {
    if (!idle_ || !asked_ || !answered_) return;
    thread_ = std::thread([this] { serve(); });
  }
  ~WaitingCalls() {
    if (thread_.joinable()) {
      call_ = nullptr;
      SetEvent(asked_);
      thread_.join();
    }
    if (asked_) CloseHandle(asked_);
    if (answered_) CloseHandle(answered_);
  }
  WaitingCalls(const WaitingCalls&) = delete;
  WaitingCalls& operator=(const WaitingCalls&) = delete;

  // The call's result, with its last error kept for the caller.
  BOOL run(const std::function<BOOL()>& call) {
    if (!thread_.joinable()) return call();
    call_ = &call;
    SetEvent(asked_);
    while (MsgWaitForMultipleObjects(1, &answered_, FALSE, 20, QS_ALLINPUT) != WAIT_OBJECT_0) idle_();
    SetLastError(error_);
    return result_;
  }

 private:
  void serve() {
    for (;;) {
      WaitForSingleObject(asked_, INFINITE);
      if (!call_) return;
      result_ = (*call_)();
      error_ = GetLastError();
      SetEvent(answered_);
    }
  }
  std::function<void()> idle_;
  HANDLE asked_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE answered_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  const std::function<BOOL()>* call_ = nullptr;
  BOOL result_ = FALSE;
  DWORD error_ = 0;
  std::thread thread_;
};

struct CrackedUrl {
  std::wstring host;
  std::wstring path;   // with the query when it fits
  INTERNET_PORT port = 0;
  bool secure = false;
};

#ifndef WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY
#define WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY 4
#endif
#ifndef WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP
#define WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP 1
#endif

bool crack_url(const std::wstring& url, CrackedUrl& out) {
  if (url.empty()) return false;
  wchar_t host[512] = {};
  wchar_t path[4096] = {};
  URL_COMPONENTS parts;
  ZeroMemory(&parts, sizeof parts);
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = host;
  parts.dwHostNameLength = 512;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = 4096;
  parts.dwSchemeLength = static_cast<DWORD>(-1);      // scheme and query as positions in the URL
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return false;
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return false;
  if (parts.dwHostNameLength == 0) return false;
  out.host.assign(host, parts.dwHostNameLength);
  out.path.assign(path, parts.dwUrlPathLength);
  // A query that would make the path longer than 4094 units is left off.
  if (parts.lpszExtraInfo && parts.dwExtraInfoLength > 0 &&
      static_cast<size_t>(parts.dwUrlPathLength) + parts.dwExtraInfoLength <= 4094)
    out.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  out.port = parts.nPort;
  out.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  return true;
}

DWORD query_number(HINTERNET request, DWORD what, bool& ok) {
  DWORD value = 0, size = sizeof value;
  ok = WinHttpQueryHeaders(request, what | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX, &value,
                           &size, WINHTTP_NO_HEADER_INDEX) != 0;
  return ok ? value : 0;
}

// A header of the answer as UTF-8 text; empty when absent.
std::string query_text(HINTERNET request, DWORD what) {
  DWORD size = 0;
  WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                      WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return std::string();
  std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
  if (!WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, &text[0], &size, WINHTTP_NO_HEADER_INDEX))
    return std::string();
  text.resize(size / sizeof(wchar_t));
  return wide_to_utf8(text);
}

// The session, connection and request of one GET of `target`, with its redirect policy and
// time-outs; Done when all three are open, else the stage that failed.
HttpStage open_request(const CrackedUrl& target, HttpHandles& h) {
  h.session = WinHttpOpen(L"Morvell Installer", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, 0);
  if (!h.session && GetLastError() == ERROR_INVALID_PARAMETER)   // systems before automatic discovery
    h.session = WinHttpOpen(L"Morvell Installer", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                            WINHTTP_NO_PROXY_BYPASS, 0);
  if (!h.session) return HttpStage::InitFailed;

  h.connection = WinHttpConnect(h.session, target.host.c_str(), target.port, 0);
  if (!h.connection) return HttpStage::ConnectFailed;

  h.request = WinHttpOpenRequest(h.connection, L"GET", target.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                 WINHTTP_DEFAULT_ACCEPT_TYPES, target.secure ? WINHTTP_FLAG_SECURE : 0);
  if (!h.request) return HttpStage::RequestFailed;

  // Redirects are followed, except from https down to plain http; 30 s for every phase.
  DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
  WinHttpSetOption(h.request, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy);
  WinHttpSetTimeouts(h.request, 30000, 30000, 30000, 30000);
  return HttpStage::Done;
}

// Sends the request (asking for the rest of a file when the handlers say so) and waits for the
// head of the final answer; false when the network failed on the way.
bool send_request(HINTERNET request, const HttpHandlers& handlers, WaitingCalls& waiting,
                  const std::function<void()>& idle) {
  // The rest of a file, kept to the version whose start is already here.
  std::wstring extra;
  if (handlers.range_from) {
    extra = L"Range: bytes=" + std::to_wstring(handlers.range_from) + L"-\r\n";
    if (!handlers.if_range.empty()) extra += L"If-Range: " + utf8_to_wide(handlers.if_range) + L"\r\n";
  }
  idle();
  if (!waiting.run([&] {
        return WinHttpSendRequest(request, extra.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : extra.c_str(),
                                  extra.empty() ? 0 : static_cast<DWORD>(-1L), WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
      }))
    return false;
  idle();
  if (!waiting.run([&] { return WinHttpReceiveResponse(request, nullptr); })) return false;
  idle();
  return true;
}

// The head of the answer handed to on_response; false when that asks to stop.
bool report_response(HINTERNET request, HttpHandlers& handlers) {
  bool ok = false;
  DWORD status = query_number(request, WINHTTP_QUERY_STATUS_CODE, ok);
  DWORD length = query_number(request, WINHTTP_QUERY_CONTENT_LENGTH, ok);
  handlers.etag = query_text(request, WINHTTP_QUERY_ETAG);
  handlers.last_modified = query_text(request, WINHTTP_QUERY_LAST_MODIFIED);
  handlers.content_range = query_text(request, WINHTTP_QUERY_CONTENT_RANGE);
  return !handlers.on_response || handlers.on_response(static_cast<long>(status), static_cast<uint32_t>(length));
}

// The body, piece by piece as it arrives, to on_data.
HttpStage read_body(HINTERNET request, const HttpHandlers& handlers, WaitingCalls& waiting,
                    const std::function<void()>& idle) {
  for (;;) {
    idle();
    DWORD available = 0;
    if (!waiting.run([&] { return WinHttpQueryDataAvailable(request, &available); })) return HttpStage::ReadFailed;
    if (available == 0) break;
    std::vector<char> chunk(available, '\0');
    DWORD read = 0;
    if (!waiting.run([&] { return WinHttpReadData(request, chunk.data(), available, &read); }))
      return HttpStage::DataFailed;
    if (read == 0) break;
    if (handlers.on_data && !handlers.on_data(chunk.data(), read)) return HttpStage::Aborted;
    idle();
  }
  return HttpStage::Done;
}

}  // namespace

HttpStage http_get(const std::string& url, HttpHandlers& handlers) {
  const std::function<void()> idle = [&handlers]() {
    if (handlers.on_idle) handlers.on_idle();
  };
  CrackedUrl target;
  if (!crack_url(utf8_to_wide(url), target)) return HttpStage::BadUrl;

  HttpHandles h;
  const HttpStage opened = open_request(target, h);
  if (opened != HttpStage::Done) return opened;
  WaitingCalls waiting(handlers.on_idle);
  if (!send_request(h.request, handlers, waiting, idle)) return HttpStage::NetworkFailed;
  if (!report_response(h.request, handlers)) return HttpStage::Aborted;
  return read_body(h.request, handlers, waiting, idle);
}

}  // namespace plat
