// POSIX backend: one HTTP(S) GET through libcurl's multi interface, polled in short steps so
// that the window stays live during name resolution, connection, TLS handshake and transfer.
#include <curl/curl.h>
#include <dlfcn.h>

#include <cstring>
#include <string>

#include "platform/platform.h"

namespace plat {

namespace {

constexpr long kMaxRedirects = 50;           // a longer chain is a loop
constexpr long kTimeoutSeconds = 30;         // resolve + connect, and any stretch without progress
constexpr int kPollStepMs = 20;              // longest wait between two on_idle calls
constexpr long kReceiveBuffer = 256 * 1024;  // fewer, larger pieces for big packages
constexpr size_t kMaxHostUnits = 511;        // the same limits on every platform
constexpr size_t kMaxPathUnits = 4095;
constexpr size_t kMaxPathWithQuery = 4094;

// libcurl is loaded the first time an address is fetched: the runs that never download (an
// offline install, an update, an uninstall) start without it and the many libraries it brings.
// Every function is called through this table once curl_ready() has said the library is there.
#define MORVELL_CURL_FUNCTIONS(X)                                                                 \
  X(global_init) X(easy_init) X(easy_setopt) X(easy_getinfo) X(easy_cleanup) X(multi_init)         \
  X(multi_add_handle) X(multi_perform) X(multi_poll) X(multi_info_read) X(multi_remove_handle)     \
  X(multi_cleanup) X(slist_append) X(slist_free_all) X(url) X(url_set) X(url_get) X(url_cleanup)   \
  X(free)

struct CurlFunctions {
#define MORVELL_CURL_MEMBER(name) decltype(&::curl_##name) name = nullptr;
  MORVELL_CURL_FUNCTIONS(MORVELL_CURL_MEMBER)
#undef MORVELL_CURL_MEMBER
};

const CurlFunctions* curl = nullptr;

// The library the program was built against (its ABI has not changed since 2006), or the same
// library built on another TLS stack. False when neither is there or one lacks a function.
bool load_curl() {
  static CurlFunctions functions;
  for (const char* name : {"libcurl.so.4", "libcurl-gnutls.so.4"}) {
    void* library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (!library) continue;
    bool whole = true;
#define MORVELL_CURL_LOOKUP(name)                                                                      \
  functions.name = reinterpret_cast<decltype(functions.name)>(dlsym(library, "curl_" #name)); \
  whole = whole && functions.name;
    MORVELL_CURL_FUNCTIONS(MORVELL_CURL_LOOKUP)
#undef MORVELL_CURL_LOOKUP
    if (whole) {
      curl = &functions;
      return true;
    }
    dlclose(library);
  }
  return false;
}

bool curl_ready() {
  static const bool ready = load_curl() && curl->global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return ready;
}

// Length of a UTF-8 text in UTF-16 code units, which is how the address limits are counted.
size_t utf16_units(const std::string& text) {
  size_t units = 0;
  for (wchar_t c : utf8_to_wide(text)) units += static_cast<uint32_t>(c) > 0xFFFF ? 2 : 1;
  return units;
}

std::string url_part(CURLU* url, CURLUPart part) {
  char* value = nullptr;
  std::string text;
  if (curl->url_get(url, part, &value, 0) == CURLUE_OK && value) text = value;
  curl->free(value);
  return text;
}

bool equals_ignoring_case(const std::string& a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Checks an absolute http(s) address and gives it back in the form that is requested: spaces
// and other bytes that cannot travel as they are get percent-encoded, credentials and a query
// that would make the path too long are left off. False for anything else.
bool prepare_url(const std::string& text, std::string& prepared, bool& secure) {
  size_t authority = text.find("://");
  if (authority == std::string::npos || authority + 3 >= text.size() || text[authority + 3] == '/' ||
      text[authority + 3] == '\\')
    return false;   // no host between the slashes
  CURLU* url = curl->url();
  if (!url) return false;
  bool ok = false;
  if (curl->url_set(url, CURLUPART_URL, text.c_str(), CURLU_URLENCODE) == CURLUE_OK) {
    std::string scheme = url_part(url, CURLUPART_SCHEME);
    std::string host = url_part(url, CURLUPART_HOST);
    std::string path = url_part(url, CURLUPART_PATH);
    std::string query = url_part(url, CURLUPART_QUERY);
    secure = equals_ignoring_case(scheme, "https");
    ok = (secure || equals_ignoring_case(scheme, "http")) && !host.empty() &&
         utf16_units(host) <= kMaxHostUnits && utf16_units(path) <= kMaxPathUnits;
    // A user name or password written into the address plays no part in the request.
    ok = ok && curl->url_set(url, CURLUPART_USER, nullptr, 0) == CURLUE_OK &&
         curl->url_set(url, CURLUPART_PASSWORD, nullptr, 0) == CURLUE_OK &&
         curl->url_set(url, CURLUPART_OPTIONS, nullptr, 0) == CURLUE_OK;
    if (ok && !query.empty() && utf16_units(path) + 1 + utf16_units(query) > kMaxPathWithQuery)
      ok = curl->url_set(url, CURLUPART_QUERY, nullptr, 0) == CURLUE_OK;
    if (ok) prepared = url_part(url, CURLUPART_URL);
    ok = ok && !prepared.empty();
  }
  curl->url_cleanup(url);
  return ok;
}

// Where a Location header leads, resolved against the address that answered with it.
std::string redirect_scheme(const char* current, const std::string& location) {
  CURLU* url = curl->url();
  if (!url) return std::string();
  std::string scheme;
  if (current && curl->url_set(url, CURLUPART_URL, current, 0) == CURLUE_OK &&
      curl->url_set(url, CURLUPART_URL, location.c_str(), 0) == CURLUE_OK)
    scheme = url_part(url, CURLUPART_SCHEME);
  curl->url_cleanup(url);
  return scheme;
}

std::string trimmed(const char* data, size_t size) {
  size_t begin = 0, end = size;
  while (begin < end && (data[begin] == ' ' || data[begin] == '\t')) ++begin;
  while (end > begin && (data[end - 1] == '\r' || data[end - 1] == '\n' || data[end - 1] == ' ' ||
                         data[end - 1] == '\t'))
    --end;
  return std::string(data + begin, end - begin);
}

bool header_named(const char* line, size_t size, const char* name, std::string& value) {
  size_t n = std::strlen(name);
  if (size <= n || line[n] != ':') return false;
  for (size_t i = 0; i < n; ++i) {
    char c = line[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != name[i]) return false;
  }
  value = trimmed(line + n + 1, size - n - 1);
  return true;
}

// Content-Length as a 32-bit number; 0 when it is not a plain decimal that fits.
uint32_t parse_length(const std::string& text) {
  if (text.empty() || text.size() > 10) return 0;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value > 0xFFFFFFFFull ? 0 : static_cast<uint32_t>(value);
}

// What one transfer has seen so far; shared with the libcurl callbacks.
struct Transfer {
  CURL* easy = nullptr;
  HttpHandlers* handlers = nullptr;
  bool headers_complete = false;   // the head of an answer that is not followed has ended
  bool location_seen = false;      // the latest response names another address
  int status = 0;                  // of the latest response
  uint32_t content_length = 0;     // of the latest response
  std::string etag, last_modified, content_range;   // of the latest response
  bool reported = false;           // on_response has been called
  bool aborted = false;            // a handler said stop
  bool downgrade = false;          // a redirect from https to http was refused

  bool report() {
    if (reported) return !aborted;
    reported = true;
    long code = 0;
    if (curl->easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) code = 0;
    handlers->etag = etag;
    handlers->last_modified = last_modified;
    handlers->content_range = content_range;
    if (handlers->on_response && !handlers->on_response(code, content_length)) aborted = true;
    return !aborted;
  }
};

size_t on_header(char* data, size_t size, size_t count, void* context) {
  Transfer& t = *static_cast<Transfer*>(context);
  size_t bytes = size * count;
  std::string value;
  if (bytes >= 5 && std::strncmp(data, "HTTP/", 5) == 0) {   // a new response begins
    t.headers_complete = false;
    t.location_seen = false;
    t.content_length = 0;
    t.etag.clear();
    t.last_modified.clear();
    t.content_range.clear();
    // The status is the number after the first space (the line is not NUL-terminated).
    const char* space = static_cast<const char*>(std::memchr(data, ' ', bytes));
    t.status = 0;
    for (const char* c = space ? space + 1 : data + bytes; c < data + bytes && *c >= '0' && *c <= '9' && t.status < 1000; ++c)
      t.status = t.status * 10 + (*c - '0');
  } else if (trimmed(data, bytes).empty()) {
    // An interim answer or a redirect that will be followed is not the head of the body.
    t.headers_complete = t.status >= 200 && !t.location_seen;
  } else if (header_named(data, bytes, "content-length", value)) {
    t.content_length = parse_length(value);
  } else if (header_named(data, bytes, "etag", value)) {
    t.etag = value;
  } else if (header_named(data, bytes, "last-modified", value)) {
    t.last_modified = value;
  } else if (header_named(data, bytes, "content-range", value)) {
    t.content_range = value;
  } else if (t.status >= 300 && t.status <= 399 && t.status != 304 && header_named(data, bytes, "location", value)) {
    t.location_seen = true;
    // Never step down from https to plain http: that would hand the transfer to anyone on the path.
    char* current = nullptr;
    curl->easy_getinfo(t.easy, CURLINFO_EFFECTIVE_URL, &current);
    std::string from = current ? current : "";
    if (equals_ignoring_case(from.substr(0, 6), "https:") &&
        !equals_ignoring_case(redirect_scheme(current, value), "https")) {
      t.downgrade = true;
      return 0;
    }
  }
  return bytes;
}

size_t on_body(char* data, size_t size, size_t count, void* context) {
  Transfer& t = *static_cast<Transfer*>(context);
  size_t bytes = size * count;
  if (!t.report()) return 0;
  if (bytes > 0 && t.handlers->on_data && !t.handlers->on_data(data, bytes)) {
    t.aborted = true;
    return 0;
  }
  return bytes;
}

// The failure of a finished transfer, mapped to the step that a user would recognise.
HttpStage stage_of(CURLcode code, const Transfer& t) {
  if (t.aborted) return HttpStage::Aborted;
  if (t.downgrade) return HttpStage::NetworkFailed;
  switch (code) {
    case CURLE_OUT_OF_MEMORY:
    case CURLE_FAILED_INIT:
      return t.headers_complete ? HttpStage::DataFailed : HttpStage::InitFailed;
    case CURLE_OPERATION_TIMEDOUT:
      // Waiting for more of the body that never came.
      return t.headers_complete ? HttpStage::ReadFailed : HttpStage::NetworkFailed;
    default:
      // Resolution, connection, TLS, redirects and the response head all count as the request;
      // once the head has arrived, anything else broke the body.
      return t.headers_complete ? HttpStage::DataFailed : HttpStage::NetworkFailed;
  }
}

void set_options(CURL* easy, const std::string& url, bool secure, Transfer& t, const std::string& range,
                 curl_slist* headers) {
  curl->easy_setopt(easy, CURLOPT_URL, url.c_str());
  if (!range.empty()) curl->easy_setopt(easy, CURLOPT_RANGE, range.c_str());
  if (headers) curl->easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  curl->easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  curl->easy_setopt(easy, CURLOPT_USERAGENT, "Morvell Installer");
  curl->easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl->easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl->easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  curl->easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl->easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
  // The address asked for carries no credentials (prepare_url); a redirect that names some is
  // refused rather than followed with them.
  curl->easy_setopt(easy, CURLOPT_DISALLOW_USERNAME_IN_URL, 1L);
  curl->easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, kTimeoutSeconds);
  curl->easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl->easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, kTimeoutSeconds);
  curl->easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBuffer);
  curl->easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl->easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  // The OpenSSL convention for another trust store, which libcurl does not read by itself.
  std::string ca_file = environment_value("SSL_CERT_FILE");
  std::string ca_dir = environment_value("SSL_CERT_DIR");
  if (!ca_file.empty()) curl->easy_setopt(easy, CURLOPT_CAINFO, ca_file.c_str());
  if (!ca_dir.empty()) curl->easy_setopt(easy, CURLOPT_CAPATH, ca_dir.c_str());
  curl->easy_setopt(easy, CURLOPT_HEADERFUNCTION, &on_header);
  curl->easy_setopt(easy, CURLOPT_HEADERDATA, &t);
  curl->easy_setopt(easy, CURLOPT_WRITEFUNCTION, &on_body);
  curl->easy_setopt(easy, CURLOPT_WRITEDATA, &t);
}

// The libcurl handles of one transfer, released on every way out.
struct CurlHandles {
  CURLM* multi = curl->multi_init();
  CURL* easy = curl->easy_init();
  curl_slist* headers = nullptr;
  CurlHandles() = default;
  CurlHandles(const CurlHandles&) = delete;
  CurlHandles& operator=(const CurlHandles&) = delete;
  ~CurlHandles() {
    if (easy) curl->easy_cleanup(easy);
    if (multi) curl->multi_cleanup(multi);
    curl->slist_free_all(headers);
  }
};

// Runs the added transfer to its end in steps of at most kPollStepMs, calling on_idle between
// them: true with libcurl's result once it has finished, false when it could not be followed.
bool perform(CURLM* multi, CURL* easy, const HttpHandlers& handlers, CURLcode& result) {
  for (;;) {
    int running = 0;
    if (curl->multi_perform(multi, &running) != CURLM_OK) return false;
    bool finished = false;
    int left = 0;
    while (CURLMsg* message = curl->multi_info_read(multi, &left)) {
      if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
        result = message->data.result;
        finished = true;
      }
    }
    if (finished) return true;
    if (running == 0) return false;
    if (curl->multi_poll(multi, nullptr, 0, kPollStepMs, nullptr) != CURLM_OK) return false;
    if (handlers.on_idle) handlers.on_idle();
  }
}

// The stage a transfer ended in, the status of its final answer told first where it has one.
HttpStage stage_after(bool finished, CURLcode result, Transfer& t) {
  // A body-less answer reports here.
  if (finished && result == CURLE_OK) return t.report() ? HttpStage::Done : HttpStage::Aborted;
  // The head of the final answer arrived: its status goes first, as it would before a body.
  if (t.headers_complete && !t.aborted && !t.downgrade) t.report();
  return finished ? stage_of(result, t) : HttpStage::NetworkFailed;
}

}  // namespace

HttpStage http_get(const std::string& url, HttpHandlers& handlers) {
  std::string target;
  bool secure = false;
  if (!curl_ready()) return HttpStage::InitFailed;
  if (!prepare_url(url, target, secure)) return HttpStage::BadUrl;

  CurlHandles h;
  if (!h.multi || !h.easy) return HttpStage::InitFailed;
  Transfer t;
  t.easy = h.easy;
  t.handlers = &handlers;
  // The rest of a file, kept to the version whose start is already here.
  const std::string range = handlers.range_from ? std::to_string(handlers.range_from) + "-" : std::string();
  if (!range.empty() && !handlers.if_range.empty()) {
    h.headers = curl->slist_append(nullptr, ("If-Range: " + handlers.if_range).c_str());
    if (!h.headers) return HttpStage::InitFailed;
  }
  set_options(h.easy, target, secure, t, range, h.headers);

  if (curl->multi_add_handle(h.multi, h.easy) != CURLM_OK) return HttpStage::RequestFailed;
  CURLcode result = CURLE_FAILED_INIT;
  const bool finished = perform(h.multi, h.easy, handlers, result);
  const HttpStage stage = stage_after(finished, result, t);
  curl->multi_remove_handle(h.multi, h.easy);
  return stage;
}

}  // namespace plat
