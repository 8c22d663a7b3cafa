// The install log. Each line goes out in a single append of the whole line, so runs that share
// one log file (an administrator's fleet log) interleave by lines and never cut into one another.
#include "common/log.h"

#include <algorithm>
#include <cmath>

#include "common/filetree.h"
#include "common/strings.h"
#include "platform/platform.h"

namespace {

const char* stage_name(plat::HttpStage stage) {
  switch (stage) {
    case plat::HttpStage::Done: return "Done";
    case plat::HttpStage::BadUrl: return "BadUrl";
    case plat::HttpStage::InitFailed: return "InitFailed";
    case plat::HttpStage::ConnectFailed: return "ConnectFailed";
    case plat::HttpStage::RequestFailed: return "RequestFailed";
    case plat::HttpStage::NetworkFailed: return "NetworkFailed";
    case plat::HttpStage::Aborted: return "Aborted";
    case plat::HttpStage::ReadFailed: return "ReadFailed";
    case plat::HttpStage::DataFailed: return "DataFailed";
  }
  return "?";
}

struct LogState {
  plat::FileHandle file = plat::kNoFile;
  std::wstring path;
  std::wstring status;          // the last status text written
  std::wstring earlier_status;  // the one before it
  int percent = -1;             // the last bar position written
  uint32_t percent_tick = 0;    // when it was written
  bool status_changed = false;  // a status line came after the last bar position
  bool writing = false;         // a line is on its way out: a failure of that write is not logged
};

LogState& state() {
  static LogState log;
  return log;
}

// Every failed operation on the disk, as the platform layer reports it.
void log_system_failure(const char* op, const std::wstring& path, const std::string& error) {
  if (state().writing) return;
  log_line(std::string("文件操作失败：") + op + (path.empty() ? "" : " " + plat::wide_to_utf8(path)) + "（系统错误：" + error + "）");
}

}  // namespace

bool open_log(const std::wstring& path) {
  close_log();
  create_directory_tree(parent_path(path));   // the open that follows tells whether it worked
  state().file = plat::open_for_appending(path);
  if (state().file == plat::kNoFile) return false;
  state().path = path;
  plat::set_failure_listener(log_system_failure);
  return true;
}

void close_log() {
  LogState& log = state();
  if (log.file == plat::kNoFile) return;
  plat::set_failure_listener(nullptr);
  plat::close_file(log.file);
  log = LogState();
}

bool log_enabled() { return state().file != plat::kNoFile; }

std::wstring log_path() { return state().path; }

void log_line(const std::string& text) {
  if (!log_enabled()) return;
  std::string line = plat::local_time_text() + " " + text;
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';   // one event, one line, whatever a message holds
  line += '\n';
  state().writing = true;
  plat::write_some(state().file, line.data(), line.size());   // a line that cannot be written is lost, not fatal
  state().writing = false;
}

void log_status(const std::wstring& text) {
  LogState& log = state();
  if (!log_enabled() || text.empty() || text == log.status) return;
  log.earlier_status = log.status;
  log.status = text;
  log.status_changed = true;
  log_line("状态：" + plat::wide_to_utf8(text));
}

void log_progress(double fraction, uint32_t now) {
  LogState& log = state();
  if (!log_enabled()) return;
  const int percent = static_cast<int>(std::lround(std::min(1.0, std::max(0.0, fraction)) * 100.0));
  // Under a new status text its first position always counts: it is the step's own milestone.
  if (!log.status_changed && log.percent >= 0 &&
      (percent == log.percent || static_cast<uint32_t>(now - log.percent_tick) < 100)) return;
  log.percent = percent;
  log.percent_tick = now;
  log.status_changed = false;
  log_line("进度：" + std::to_string(percent) + "%");
}

void log_failure(const std::wstring& message, bool system_error) {
  if (!log_enabled()) return;
  const std::string error = system_error ? "（系统错误：" + plat::last_error_text() + "）" : std::string();
  // A flow shows its failure in the status line first: the step is the status before that.
  const LogState& log = state();
  const std::wstring& step = log.status == message ? log.earlier_status : log.status;
  log_line("失败：" + (step.empty() ? std::string() : "[" + plat::wide_to_utf8(step) + "] ") +
           plat::wide_to_utf8(message.empty() ? std::wstring(L"（无说明）") : message) + error);
}

void log_dialog(bool error, const std::string& text) {
  if (error)
    log_failure(plat::utf8_to_wide(text));
  else
    log_line("提示：" + text);
}

void log_process_start(const std::wstring& program, const std::wstring& parameters, bool started) {
  if (!log_enabled()) return;
  const std::string command = plat::wide_to_utf8(program) + (parameters.empty() ? "" : " " + plat::wide_to_utf8(parameters));
  if (started)
    log_line("启动外部程序：" + command);
  else
    log_line("无法启动外部程序：" + command + "（系统错误：" + plat::last_error_text() + "）");
}

void log_process_end(const std::wstring& program, bool exited, uint32_t exit_code) {
  if (!log_enabled()) return;
  if (exited)
    log_line("外部程序结束：" + plat::wide_to_utf8(program) + "，退出码 " + std::to_string(exit_code));
  else
    log_line("等待外部程序失败：" + plat::wide_to_utf8(program) + "（系统错误：" + plat::last_error_text() + "）");
}

void log_detached_start(const std::wstring& program, bool started) {
  if (!log_enabled()) return;
  if (started)
    log_line("启动程序（不等待其结束）：" + plat::wide_to_utf8(program));
  else
    log_line("无法启动程序：" + plat::wide_to_utf8(program) + "（系统错误：" + plat::last_error_text() + "）");
}

void log_exit_code(int code) {
  log_line("退出码：" + std::to_string(code));
  close_log();
}

std::string url_without_credentials(const std::string& url) {
  const size_t scheme = url.find("://");
  const size_t host = scheme == std::string::npos ? 0 : scheme + 3;
  const size_t end = url.find_first_of("/?#", host);
  const size_t at = url.rfind('@', end == std::string::npos ? std::string::npos : end);
  if (at == std::string::npos || at < host) return url;
  return url.substr(0, host) + url.substr(at + 1);
}

plat::HttpStage logged_http_get(const std::string& url, plat::HttpHandlers& handlers) {
  if (!log_enabled()) return plat::http_get(url, handlers);
  long status = 0;
  uint32_t length = 0;
  uint64_t received = 0;
  // The caller's handlers are watched in place: the transfer fills their answer fields, which
  // the caller's own callbacks read.
  const auto on_response = std::move(handlers.on_response);
  const auto on_data = std::move(handlers.on_data);
  handlers.on_response = [&](long s, uint32_t content_length) {
    status = s;
    length = content_length;
    return !on_response || on_response(s, content_length);
  };
  handlers.on_data = [&](const char* data, size_t size) {
    received += size;
    return !on_data || on_data(data, size);
  };
  const uint32_t start = plat::tick_ms();
  const plat::HttpStage stage = plat::http_get(url, handlers);
  const uint32_t took = plat::tick_ms() - start;
  handlers.on_response = on_response;
  handlers.on_data = on_data;
  const std::string resumed =
      handlers.range_from ? "（从第 " + std::to_string(handlers.range_from) + " 字节续传）" : std::string();
  log_line("HTTP GET " + url_without_credentials(url) + resumed + "：" +
           (stage == plat::HttpStage::Done ? std::string("完成") : "未完成（" + std::string(stage_name(stage)) + "）") +
           "，状态 " + std::to_string(status) + "，长度 " + std::to_string(length) + " 字节，收到 " +
           std::to_string(received) + " 字节，用时 " + std::to_string(took) + " ms");
  return stage;
}
