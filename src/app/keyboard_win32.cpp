// The keyboard of the installer window on Windows: the action button is the default (Enter in
// the location entry presses it), Escape means Cancel while no flow runs, Tab leaves the release
// notes, the focus goes back to its control after a dialog, a flow that switched it off or a
// switch to another window, and a dialog opens centred on the window.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>

#include "app/installer_window_win32.h"
#include "app/window_events.h"
#include "common/state.h"

namespace {

HWND kept_focus = nullptr;
HHOOK centring_hook = nullptr;

// The notes are read-only text: Tab, Enter and Escape work as on any other control of the window.
LRESULT CALLBACK notes_procedure(HWND view, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR, DWORD_PTR) {
  if (message == WM_GETDLGCODE)
    return DefSubclassProc(view, message, wparam, lparam) & ~static_cast<LRESULT>(DLGC_WANTALLKEYS | DLGC_WANTTAB);
  return DefSubclassProc(view, message, wparam, lparam);
}

// Moves the first window activated while a dialog is shown, the dialog, over the middle of ours,
// inside the work area of our monitor.
LRESULT CALLBACK centre_dialog(int code, WPARAM wparam, LPARAM lparam) {
  HWND dialog = reinterpret_cast<HWND>(wparam);
  HWND owner = installer_window.window;
  if (code == HCBT_ACTIVATE && owner && dialog != owner && GetWindow(dialog, GW_OWNER) == owner) {
    RECT ours, its;
    GetWindowRect(owner, &ours);
    GetWindowRect(dialog, &its);
    MONITORINFO monitor = {sizeof(monitor)};
    GetMonitorInfoW(MonitorFromWindow(owner, MONITOR_DEFAULTTONEAREST), &monitor);
    const RECT& area = monitor.rcWork;
    const int width = its.right - its.left, height = its.bottom - its.top;
    int x = (ours.left + ours.right - width) / 2, y = (ours.top + ours.bottom - height) / 2;
    x = std::max(static_cast<int>(area.left), std::min(x, static_cast<int>(area.right) - width));
    y = std::max(static_cast<int>(area.top), std::min(y, static_cast<int>(area.bottom) - height));
    SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    UnhookWindowsHookEx(centring_hook);
    centring_hook = nullptr;
    return 0;
  }
  return CallNextHookEx(nullptr, code, wparam, lparam);
}

}  // namespace

void set_up_keyboard() {
  InstallerWindow& w = installer_window;
  if (w.notes_view) SetWindowSubclass(w.notes_view, notes_procedure, 1, 0);
}

bool handle_keyboard_message(UINT message, WPARAM wparam, LRESULT& result) {
  if (message == DM_GETDEFID) {   // what Enter presses, asked by the dialog navigation
    result = MAKELRESULT(kActionId, DC_HASDEFID);
    return true;
  }
  if (message == WM_ACTIVATE) {
    // The window itself would take the focus back from its control.
    if (LOWORD(wparam) == WA_INACTIVE)
      remember_focus();
    else
      restore_focus();
    result = 0;
    return true;
  }
  return false;
}

void press_cancel_key() {
  if (!busy && installer_window.cancel_button && IsWindowEnabled(installer_window.cancel_button)) press_cancel();
}

void remember_focus() {
  HWND focus = GetFocus();
  if (focus && installer_window.window && IsChild(installer_window.window, focus)) {
    // The edit field inside a drop-down list stands for the list.
    if (GetParent(focus) != installer_window.window) focus = GetParent(focus);
    kept_focus = focus;
  }
}

void restore_focus() {
  HWND window = installer_window.window;
  if (!window || GetActiveWindow() != window) return;
  HWND focus = GetFocus();
  if (focus && IsChild(window, focus)) return;
  if (kept_focus && IsWindow(kept_focus) && IsChild(window, kept_focus) && IsWindowEnabled(kept_focus))
    SetFocus(kept_focus);
  else
    SetFocus(window);   // keys still reach the window's navigation
}

void run_modal(const std::function<void()>& show) {
  remember_focus();
  if (!centring_hook) centring_hook = SetWindowsHookExW(WH_CBT, centre_dialog, nullptr, GetCurrentThreadId());
  show();
  if (centring_hook) UnhookWindowsHookEx(centring_hook);
  centring_hook = nullptr;
  restore_focus();
}
