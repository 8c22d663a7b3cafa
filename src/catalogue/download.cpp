#include "catalogue/download.h"

#include <cstdint>

#include "app/ui.h"
#include "common/log.h"
#include "common/strings.h"
#include "install/filetree.h"
#include "platform/platform.h"

namespace {

// A document fetched into memory is a manifest of a few kilobytes; nothing it could be grows
// this large, so a body that does is refused rather than allowed to take all memory.
constexpr size_t kMemoryLimit = 64u * 1024u * 1024u;

const wchar_t* stage_message(plat::HttpStage stage) {
  switch (stage) {
    case plat::HttpStage::BadUrl: return L"地址格式无效。";
    case plat::HttpStage::InitFailed: return L"无法初始化网络。";
    case plat::HttpStage::ConnectFailed: return L"无法连接服务器。";
    case plat::HttpStage::RequestFailed: return L"无法创建请求。";
    case plat::HttpStage::ReadFailed: return L"读取响应失败。";
    case plat::HttpStage::DataFailed: return L"下载数据失败。";
    case plat::HttpStage::NetworkFailed:
    default: return L"网络请求失败。";
  }
}

// The file sink with its progress display (the bar moves from 0.08 to 0.53).
struct FileSink {
  std::wstring path;
  plat::FileHandle file = plat::kNoFile;
  uint32_t length = 0;
  bool length_known = false;
  uint64_t received = 0;
  bool shown = false;
  uint32_t last_tick = 0;

  bool open(uint32_t content_length) {
    length = content_length;
    length_known = content_length != 0;
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
      set_progress(L"正在下载安装包... " + format_byte_size(received) + L" / " + format_byte_size(length),
                   0.08 + 0.45 * static_cast<double>(received) / static_cast<double>(length));
    } else {
      pulse_progress(L"正在下载安装包... 已下载 " + format_byte_size(received));
    }
    shown = true;
    last_tick = now;
  }

  ~FileSink() {
    if (file != plat::kNoFile) plat::close_file(file);   // a partial file stays for the caller
  }
};

}  // namespace

bool http_download(const std::string& url, std::string* body, const std::wstring& destination,
                   std::wstring& error) {
  const bool to_file = !destination.empty();
  FileSink sink;
  sink.path = destination;
  if (!to_file && body) body->clear();
  std::wstring failure;

  plat::HttpHandlers handlers;
  handlers.on_response = [&](long status, uint32_t content_length) {
    if (status < 200 || status > 299) {
      failure = L"服务器返回 HTTP " + std::to_wstring(status);
      return false;
    }
    if (to_file && !sink.open(content_length)) {
      failure = L"无法创建下载文件。";
      return false;
    }
    return true;
  };
  handlers.on_data = [&](const char* data, size_t size) {
    if (to_file) {
      if (sink.write(data, size)) return true;
      failure = L"写入下载文件失败。";
      return false;
    }
    if (!body) return true;
    if (size > kMemoryLimit - body->size()) {
      failure = L"下载数据失败。";
      return false;
    }
    body->append(data, size);
    return true;
  };
  handlers.on_idle = [] { pump_events(); };

  plat::HttpStage stage = logged_http_get(url, handlers);
  if (stage == plat::HttpStage::Done) return true;
  if (stage == plat::HttpStage::Aborted && !failure.empty())
    error = failure;
  else
    error = stage_message(stage);
  return false;
}
