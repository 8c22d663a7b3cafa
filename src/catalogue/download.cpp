#include "catalogue/download.h"

#include <cstdint>

#include "catalogue/messages.h"
#include "common/filetree.h"
#include "common/log.h"
#include "common/progress.h"
#include "common/strings.h"
#include "platform/platform.h"

std::vector<uint32_t> reconnect_waits_ms = {1000, 2000, 4000, 8000, 16000};
ReconnectSleepFunction reconnect_sleep = &sleep_with_events;

namespace {

// A document fetched into memory is a manifest of a few kilobytes; nothing it could be grows
// this large, so a body that does is refused rather than allowed to take all memory.
constexpr size_t kMemoryLimit = 64u * 1024u * 1024u;

const wchar_t* stage_message(plat::HttpStage stage) {
  switch (stage) {
    case plat::HttpStage::BadUrl: return kBadAddress;
    case plat::HttpStage::InitFailed: return kNetworkInitFailed;
    case plat::HttpStage::ConnectFailed: return kCannotConnect;
    case plat::HttpStage::RequestFailed: return kCannotCreateRequest;
    case plat::HttpStage::ReadFailed: return kCannotReadAnswer;
    case plat::HttpStage::DataFailed: return kDownloadDataFailed;
    case plat::HttpStage::NetworkFailed:
    default: return kRequestFailed;
  }
}

// The file sink with its progress display (the bar moves through bar::kDownload). It stays open
// across the attempts of one download, so a resumed answer simply goes on writing.
struct FileSink {
  std::wstring path;
  plat::FileHandle file = plat::kNoFile;
  uint32_t length = 0;
  bool length_known = false;
  uint64_t received = 0;
  bool shown = false;
  uint32_t last_tick = 0;

  // Starts the file (over) from nothing for a whole body of `content_length` bytes (0: unknown).
  bool open(uint32_t content_length) {
    close();
    length = content_length;
    length_known = content_length != 0;
    received = 0;
    shown = false;
    create_directory_tree(parent_path(path));
    file = plat::create_for_writing(path);
    return file != plat::kNoFile;
  }

  bool write(const char* data, size_t size) {
    int64_t written = plat::write_some(file, data, size);
    if (written < 0 || static_cast<uint64_t>(written) != size) return false;
    received += size;
    show_progress();
    return true;
  }

  void show_progress() {
    uint32_t now = ui_clock();
    bool due = !shown || static_cast<uint32_t>(now - last_tick) > 100 || (length_known && received >= length);
    if (!due) return;
    if (length_known) {
      set_progress(L"正在下载安装包... " + format_byte_size(received) + L" / " + format_byte_size(length), fraction());
    } else {
      pulse_progress(L"正在下载安装包... 已下载 " + format_byte_size(received));
    }
    shown = true;
    last_tick = now;
  }

  double fraction() const { return bar::kDownload.from + (bar::kDownload.to - bar::kDownload.from) * static_cast<double>(received) / static_cast<double>(length); }

  void close() {
    if (file != plat::kNoFile) plat::close_file(file);
    file = plat::kNoFile;
  }

  ~FileSink() { close(); }   // a partial file stays for the caller
};

// What the first answer of a file said that lets a broken transfer go on where it stopped:
// its strong ETag, else its Last-Modified (empty: neither came).
struct Version {
  std::string validator;
  bool by_etag = false;

  void remember(const plat::HttpHandlers& answer) {
    by_etag = !answer.etag.empty() && answer.etag.compare(0, 2, "W/") != 0;
    validator = by_etag ? answer.etag : answer.last_modified;
  }
  // An answer that names its own version must name this one.
  bool same_as(const plat::HttpHandlers& answer) const {
    const std::string& named = by_etag ? answer.etag : answer.last_modified;
    return named.empty() || named == validator;
  }
};

bool connection_lost(plat::HttpStage stage) {
  return stage == plat::HttpStage::ConnectFailed || stage == plat::HttpStage::NetworkFailed ||
         stage == plat::HttpStage::ReadFailed || stage == plat::HttpStage::DataFailed;
}

std::wstring reconnect_text(size_t attempt, size_t attempts) {
  return L"网络连接中断，正在重新连接（第 " + std::to_wstring(attempt) + L" 次，共 " + std::to_wstring(attempts) +
         L" 次）...";
}

bool read_number(const std::string& text, size_t& at, uint64_t& value) {
  size_t begin = at;
  value = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - begin < 19)
    value = value * 10 + static_cast<uint64_t>(text[at++] - '0');
  return at > begin && (at == text.size() || text[at] < '0' || text[at] > '9');
}

}  // namespace

bool parse_content_range(const std::string& text, uint64_t& first, uint64_t& length) {
  static const char kUnit[] = "bytes ";
  if (text.size() < 6) return false;
  for (size_t i = 0; i < 6; ++i)
    if ((text[i] | 0x20) != kUnit[i]) return false;
  size_t at = 6;
  while (at < text.size() && text[at] == ' ') ++at;
  uint64_t last = 0;
  if (!read_number(text, at, first) || at >= text.size() || text[at++] != '-') return false;
  if (!read_number(text, at, last) || at >= text.size() || text[at++] != '/') return false;
  if (!read_number(text, at, length) || at != text.size()) return false;
  return first <= last && last < length;
}

namespace {

// One download: where its bytes go, what the server said of them, and why it stopped.
struct Download {
  bool to_file = false;
  std::string* body = nullptr;
  FileSink sink;
  Version version;
  std::wstring failure;
  bool ranged = false;       // this attempt asks for the rest of the file
  bool start_over = false;   // this attempt's answer cannot continue the file
  plat::HttpHandlers handlers;

  // The head of an answer: a continuation of the file, the whole file (again), or a failure.
  bool answer(long status, uint32_t content_length) {
    if (ranged) {
      uint64_t first = 0, length = 0;
      if (status == 206 && parse_content_range(handlers.content_range, first, length) && first == sink.received &&
          length == sink.length && version.same_as(handlers)) {
        sink.shown = false;   // the bar shows at once where it stood
        return true;
      }
      if (status == 206 || status == 416) {
        start_over = true;
        return false;
      }
      // Anything else is the whole file again, or a failure: as for a first answer.
    }
    if (status < 200 || status > 299) {
      failure = L"服务器返回 HTTP " + std::to_wstring(status);
      return false;
    }
    if (to_file && !sink.open(content_length)) {
      failure = kCannotCreateDownload;
      return false;
    }
    version.remember(handlers);
    return true;
  }

  bool take(const char* data, size_t size) {
    if (to_file) {
      if (sink.write(data, size)) return true;
      failure = kCannotWriteDownload;
      return false;
    }
    if (!body) return true;
    if (size > kMemoryLimit - body->size()) {
      failure = kDownloadDataFailed;
      return false;
    }
    body->append(data, size);
    return true;
  }

  // One request, for the whole file or for the rest of it.
  plat::HttpStage attempt(const std::string& url) {
    ranged = to_file && sink.length_known && sink.received > 0;
    handlers.range_from = ranged ? sink.received : 0;
    handlers.if_range = ranged ? version.validator : std::string();
    start_over = false;
    plat::HttpStage stage = logged_http_get(url, handlers);
    if (stage == plat::HttpStage::Done && to_file && sink.length_known && sink.received != sink.length)
      stage = plat::HttpStage::DataFailed;   // an answer that ended early without saying so
    return stage;
  }
};

}  // namespace

bool http_download(const std::string& url, std::string* body, const std::wstring& destination,
                   std::wstring& error) {
  Download download;
  download.to_file = !destination.empty();
  download.body = body;
  download.sink.path = destination;
  if (!download.to_file && body) body->clear();
  download.handlers.on_response = [&](long status, uint32_t length) { return download.answer(status, length); };
  download.handlers.on_data = [&](const char* data, size_t size) { return download.take(data, size); };
  download.handlers.on_idle = [] { pump_events(); };

  // A file with a known length that broke off after part of it arrived is asked for again, a
  // few times, from where it stopped; the digest check after the download still decides.
  FileSink& sink = download.sink;
  size_t retries = 0;
  for (;;) {
    const plat::HttpStage stage = download.attempt(url);
    if (stage == plat::HttpStage::Done) return true;
    const bool resumable = download.to_file && sink.length_known && (retries > 0 || sink.received > 0);
    if (resumable && (connection_lost(stage) || download.start_over) && retries < reconnect_waits_ms.size()) {
      if (download.start_over && !sink.open(sink.length)) {
        error = kCannotCreateDownload;
        return false;
      }
      ++retries;
      set_progress(reconnect_text(retries, reconnect_waits_ms.size()), sink.fraction());   // the bar stays
      reconnect_sleep(reconnect_waits_ms[retries - 1]);
      continue;
    }
    error = stage == plat::HttpStage::Aborted && !download.failure.empty() ? download.failure : stage_message(stage);
    return false;
  }
}
