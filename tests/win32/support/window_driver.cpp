// The Win32 window driver of the Windows tests (support/window_driver.h). Texts of another
// process's controls are read with WM_GETTEXT, which the system carries across processes;
// GetWindowTextW would give only the caption stored with the window.
#include "support/window_driver.h"

#include <commctrl.h>

#include <memory>
#include <thread>

#include "common/strings.h"
#include "platform/platform.h"
#include "support/helpers.h"
#include "support/wine.h"

namespace testing_support {

namespace {

// Enough for any text of the installer's controls: a reply that does not come within this is
// a window that stopped answering, which the tests report rather than wait out.
constexpr UINT kAnswerMs = 5000;

std::wstring class_of(HWND window) {
  wchar_t name[256] = {};
  int n = GetClassNameW(window, name, 256);
  return std::wstring(name, n > 0 ? static_cast<size_t>(n) : 0);
}

struct TopSearch {
  DWORD pid;
  const std::wstring* title;
  HWND found;
};

double milliseconds_now() {
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

BOOL CALLBACK find_top(HWND window, LPARAM data) {
  auto* search = reinterpret_cast<TopSearch*>(data);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid != search->pid || !IsWindowVisible(window) || GetWindow(window, GW_OWNER) != nullptr) return TRUE;
  if (!search->title->empty() && window_text(window) != *search->title) return TRUE;
  search->found = window;
  return FALSE;
}

struct BoxSearch {
  DWORD pid;
  HWND owner;
  HWND found;
};

BOOL CALLBACK find_box(HWND window, LPARAM data) {
  auto* search = reinterpret_cast<BoxSearch*>(data);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid != search->pid || !IsWindowVisible(window) || class_of(window) != L"#32770") return TRUE;
  if (search->owner && GetWindow(window, GW_OWNER) != search->owner) return TRUE;
  search->found = window;
  return FALSE;
}

}  // namespace

std::string no_window_reason() {
  wchar_t display[256] = {};
  if (running_under_wine() && GetEnvironmentVariableW(L"DISPLAY", display, 256) == 0)
    return "Wine has no X display to draw on (scripts/test-windows starts a private Xvfb)";
  return std::string();
}

std::wstring window_text(HWND window) {
  DWORD_PTR length = 0;
  if (!ask(window, WM_GETTEXTLENGTH, 0, 0, kAnswerMs, &length)) return std::wstring();
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!ask(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]), kAnswerMs, &copied))
    return std::wstring();
  text.resize(static_cast<size_t>(copied) < text.size() ? static_cast<size_t>(copied) : text.size() - 1);
  return text;
}

bool ask(HWND window, UINT message, WPARAM wparam, LPARAM lparam, UINT timeout_ms, DWORD_PTR* result) {
  DWORD_PTR answer = 0;
  if (!SendMessageTimeoutW(window, message, wparam, lparam, SMTO_ABORTIFHUNG, timeout_ms, &answer)) return false;
  if (result) *result = answer;
  return true;
}

double timed_ask(HWND window, UINT message, WPARAM wparam, LPARAM lparam, UINT timeout_ms) {
  const double start = milliseconds_now();
  if (!ask(window, message, wparam, lparam, timeout_ms)) return -1.0;
  return milliseconds_now() - start;
}

double timed_move(HWND window, int x, int y, UINT timeout_ms) {
  struct Move {
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Move() { CloseHandle(done); }
  };
  auto move = std::make_shared<Move>();
  const double start = milliseconds_now();
  std::thread([move, window, x, y] {
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    SetEvent(move->done);
  }).detach();
  if (WaitForSingleObject(move->done, timeout_ms) != WAIT_OBJECT_0) return -1.0;
  return milliseconds_now() - start;
}

HWND find_top_window(DWORD pid, const std::wstring& title) {
  TopSearch search{pid, &title, nullptr};
  EnumWindows(find_top, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::vector<Control> child_controls(HWND window) {
  std::vector<Control> controls;
  if (!window) return controls;
  // GW_CHILD and GW_HWNDNEXT walk the children in Z order, which is creation order for controls
  // that nobody raised; EnumChildWindows would also visit grandchildren (a combo box's edit).
  for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    Control c;
    c.handle = child;
    c.id = GetDlgCtrlID(child);
    c.class_name = class_of(child);
    c.text = window_text(child);
    c.enabled = IsWindowEnabled(child) != FALSE;
    c.visible = IsWindowVisible(child) != FALSE;
    if (c.class_name == L"Button") {
      const LONG type = GetWindowLongW(child, GWL_STYLE) & BS_TYPEMASK;
      if (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_3STATE || type == BS_AUTO3STATE) {
        DWORD_PTR state = 0;
        if (ask(child, BM_GETCHECK, 0, 0, kAnswerMs, &state)) c.checked = static_cast<int>(state);
      }
    }
    GetWindowRect(child, &c.rect);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&c.rect), 2);
    controls.push_back(c);
  }
  return controls;
}

HWND find_message_box(DWORD pid, HWND owner) {
  BoxSearch search{pid, owner, nullptr};
  EnumWindows(find_box, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::wstring message_box_text(HWND box) {
  std::wstring longest;
  for (const Control& c : child_controls(box))
    if (c.class_name == L"Static" && c.text.size() > longest.size()) longest = c.text;
  return longest;
}

InstallerRun::InstallerRun(const std::wstring& program, const std::wstring& parameters) {
  if (!plat::start_process(program, plat::split_command_line(parameters), true, process_)) return;
  pid_ = GetProcessId(reinterpret_cast<HANDLE>(process_));
}

InstallerRun::~InstallerRun() {
  if (process_ != plat::kNoProcess) plat::end_process(process_);
}

HWND InstallerRun::wait_window(const std::wstring& title, int timeout_ms) {
  if (!started()) return nullptr;
  wait_until(timeout_ms, [&] {
    window_ = find_top_window(pid_, title);
    return window_ != nullptr || exited();
  });
  return window_;
}

Control InstallerRun::control(int id) const {
  for (const Control& c : controls())
    if (c.id == id) return c;
  return Control();
}

bool InstallerRun::wait_control(int id, const std::function<bool(const Control&)>& ready, int timeout_ms) {
  bool done = false;
  wait_until(timeout_ms, [&] {
    Control c = control(id);
    done = c.handle && ready(c);
    return done || exited();
  });
  return done;
}

bool InstallerRun::wait_text(int id, const std::wstring& text, int timeout_ms) {
  return wait_control(id, [&](const Control& c) { return c.text == text; }, timeout_ms);
}

bool InstallerRun::wait_enabled(int id, bool enabled, int timeout_ms) {
  return wait_control(id, [&](const Control& c) { return c.enabled == enabled; }, timeout_ms);
}

bool InstallerRun::press(int id) {
  HWND button = GetDlgItem(window_, id);
  return button && PostMessageW(button, BM_CLICK, 0, 0);
}

bool InstallerRun::key(int id, UINT virtual_key) {
  HWND control = GetDlgItem(window_, id);
  const LPARAM scan = static_cast<LPARAM>(MapVirtualKeyW(virtual_key, MAPVK_VK_TO_VSC)) << 16;
  // A key that closes the window (Escape, Enter on the last step) may have done so before its
  // release is posted: that release has nowhere to go, and the key was still pressed.
  return control && PostMessageW(control, WM_KEYDOWN, virtual_key, scan | 1) &&
         (PostMessageW(control, WM_KEYUP, virtual_key, scan | 1 | (LPARAM(3) << 30)) || !IsWindow(control));
}

HWND InstallerRun::focus() const {
  GUITHREADINFO info = {};
  info.cbSize = sizeof info;
  const DWORD thread = GetWindowThreadProcessId(window_, nullptr);
  return thread && GetGUIThreadInfo(thread, &info) ? info.hwndFocus : nullptr;
}

bool InstallerRun::wait_focus(int id, int timeout_ms) {
  HWND control = GetDlgItem(window_, id);
  return control && wait_until(timeout_ms, [&] { return focus() == control; });
}

std::vector<std::wstring> InstallerRun::combo_lines(int id) {
  std::vector<std::wstring> lines;
  HWND combo = GetDlgItem(window_, id);
  DWORD_PTR count = 0;
  if (!combo || !ask(combo, CB_GETCOUNT, 0, 0, kAnswerMs, &count)) return lines;
  for (DWORD_PTR i = 0; i < count; ++i) {
    DWORD_PTR length = 0;
    if (!ask(combo, CB_GETLBTEXTLEN, i, 0, kAnswerMs, &length) || length == static_cast<DWORD_PTR>(CB_ERR)) break;
    std::wstring line(static_cast<size_t>(length) + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!ask(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(&line[0]), kAnswerMs, &copied)) break;
    line.resize(static_cast<size_t>(copied) <= length ? static_cast<size_t>(copied) : static_cast<size_t>(length));
    lines.push_back(line);
  }
  return lines;
}

int InstallerRun::combo_selection(int id) {
  HWND combo = GetDlgItem(window_, id);
  DWORD_PTR selected = static_cast<DWORD_PTR>(CB_ERR);
  if (!combo || !ask(combo, CB_GETCURSEL, 0, 0, kAnswerMs, &selected)) return CB_ERR;
  return static_cast<int>(static_cast<LRESULT>(selected));
}

bool InstallerRun::choose(int id, int index) {
  HWND combo = GetDlgItem(window_, id);
  DWORD_PTR selected = 0;
  if (!combo || !ask(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0, kAnswerMs, &selected) ||
      static_cast<int>(static_cast<LRESULT>(selected)) != index)
    return false;
  return PostMessageW(window_, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo)) != FALSE;
}

bool InstallerRun::close() { return window_ && PostMessageW(window_, WM_CLOSE, 0, 0); }

std::wstring InstallerRun::wait_message_box(int timeout_ms) {
  HWND box = nullptr;
  wait_until(timeout_ms, [&] {
    box = find_message_box(pid_, window_);
    return box != nullptr || exited();
  });
  if (!box) return std::wstring();
  // The box is up once its text is there (it is created empty and filled before it shows).
  std::wstring text;
  wait_until(10000, [&] {
    text = message_box_text(box);
    return !text.empty() || !IsWindow(box);
  });
  return text;
}

bool InstallerRun::dismiss_message_box(int timeout_ms) {
  HWND box = find_message_box(pid_, window_);
  if (!box || !PostMessageW(box, WM_COMMAND, IDOK, 0)) return false;
  return wait_until(timeout_ms, [&] { return !IsWindow(box); });
}

bool InstallerRun::exited() {
  if (exited_) return true;
  if (process_ == plat::kNoProcess) return false;
  uint32_t code = 0;
  if (plat::wait_process(process_, 0, code) == plat::WaitResult::Exited) {
    exited_ = true;
    code_ = static_cast<long>(code);
  }
  return exited_;
}

long InstallerRun::wait_exit(int timeout_ms) {
  if (exited_) return code_;
  if (process_ == plat::kNoProcess) return -1;
  uint32_t code = 0;
  if (plat::wait_process(process_, static_cast<uint32_t>(timeout_ms), code) != plat::WaitResult::Exited) return -1;
  exited_ = true;
  code_ = static_cast<long>(code);
  return code_;
}

}  // namespace testing_support
