// Driving the real installer's Win32 window from the Windows tests: the program runs as a child,
// its top-level window is found by title among the windows of its process, the controls are
// listed in creation order, buttons are pressed and message boxes read and closed with window
// messages. Every wait is bounded and watches the condition itself.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace testing_support {

// One child control as the driver sees it.
struct Control {
  HWND handle = nullptr;
  int id = 0;                 // GetDlgCtrlID
  std::wstring class_name;    // "Static", "Button", "ComboBox", "Edit", "msctls_progress32"...
  std::wstring text;          // WM_GETTEXT (an edit's contents, a button's label)
  bool enabled = false;
  bool visible = false;
  int checked = -1;           // BST_UNCHECKED or BST_CHECKED for check boxes; -1 for other controls
  RECT rect{};                // in the parent's client coordinates
};

// Why no window can be shown to the tests here ("" when one can): Wine draws through an X display.
std::string no_window_reason();

// The visible top-level window of process `pid` titled `title` (any title when empty), or null.
HWND find_top_window(DWORD pid, const std::wstring& title);
// The direct children of `window` in creation order.
std::vector<Control> child_controls(HWND window);
// The message box ("#32770") of process `pid` owned by `owner` (any owner when null), or null.
HWND find_message_box(DWORD pid, HWND owner);
// The text of a message box: its longest Static child.
std::wstring message_box_text(HWND box);
// A window's text through WM_GETTEXT, which reaches controls of other processes too.
std::wstring window_text(HWND window);
// SendMessageTimeoutW with SMTO_ABORTIFHUNG; false when the window did not answer in time.
bool ask(HWND window, UINT message, WPARAM wparam, LPARAM lparam, UINT timeout_ms, DWORD_PTR* result = nullptr);
// How long one SendMessageTimeoutW round trip took, in milliseconds; negative when it failed.
double timed_ask(HWND window, UINT message, WPARAM wparam, LPARAM lparam, UINT timeout_ms);
// Moves a window of another process to (x, y) with SetWindowPos, which waits for that window's
// thread, and says how long that took in milliseconds; negative when it was not done within
// `timeout_ms` (the move then finishes on its own thread once the window answers or goes).
double timed_move(HWND window, int x, int y, UINT timeout_ms);

// The installer started with the arguments `parameters` writes as a command line, and shown; ended (with its job) when this goes.
class InstallerRun {
 public:
  InstallerRun(const std::wstring& program, const std::wstring& parameters);
  ~InstallerRun();
  InstallerRun(const InstallerRun&) = delete;
  InstallerRun& operator=(const InstallerRun&) = delete;

  bool started() const { return pid_ != 0; }
  DWORD pid() const { return pid_; }
  HWND window() const { return window_; }

  // Waits for the top-level window titled `title`; null when it did not come or the program ended.
  HWND wait_window(const std::wstring& title, int timeout_ms = 60000);
  std::vector<Control> controls() const { return child_controls(window_); }
  // The control with this id; id 0 and a null handle when there is none.
  Control control(int id) const;
  // Waits until the control with `id` satisfies `ready`; false after the time-out or an exit.
  bool wait_control(int id, const std::function<bool(const Control&)>& ready, int timeout_ms = 60000);
  bool wait_text(int id, const std::wstring& text, int timeout_ms = 60000);
  bool wait_enabled(int id, bool enabled, int timeout_ms = 60000);

  // Posts BM_CLICK to a button (never sent: its handler runs a whole flow).
  bool press(int id);
  // Posts a key press and release (a virtual-key code) to the control with `id`, as the keyboard
  // would deliver them to it while it has the focus.
  bool key(int id, UINT virtual_key);
  // The control of the program that has the keyboard focus (null when none has).
  HWND focus() const;
  // Waits until the control with `id` has the focus; false after the time-out.
  bool wait_focus(int id, int timeout_ms = 10000);
  // The lines of a combo box, in order.
  std::vector<std::wstring> combo_lines(int id);
  int combo_selection(int id);
  // Selects line `index` and tells the window as the user's choice would.
  bool choose(int id, int index);
  // Asks the window to close, as its close box does.
  bool close();

  // Waits for a message box of the program owned by its window and returns its text; empty
  // after the time-out or an exit.
  std::wstring wait_message_box(int timeout_ms = 120000);
  // Presses OK on the message box shown now and waits until it is gone.
  bool dismiss_message_box(int timeout_ms = 30000);

  // The exit code once the program has ended, or -1 after the time-out.
  long wait_exit(int timeout_ms = 60000);
  bool exited();

 private:
  plat::ProcessHandle process_ = plat::kNoProcess;
  DWORD pid_ = 0;
  HWND window_ = nullptr;
  bool exited_ = false;
  long code_ = -1;
};

}  // namespace testing_support
