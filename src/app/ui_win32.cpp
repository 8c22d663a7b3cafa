// The UI helpers over native Win32 controls. Every helper leaves a control that does not exist
// alone, so the engine calls them the same way with or without a window.
#include <windows.h>
#include <commctrl.h>

#include "app/installer_window_win32.h"
#include "app/ui.h"
#include "app/window_events.h"
#include "common/log.h"
#include "common/state.h"
#include "common/strings.h"
#include "platform/platform.h"

InstallerWindow installer_window;
bool main_loop_running = false;
bool quit_requested = false;

HWND& control_handle(ControlRole role) {
  static HWND InstallerWindow::* const fields[kControlRoleCount] = {
      &InstallerWindow::title_label,      &InstallerWindow::description_label, &InstallerWindow::version_label,
      &InstallerWindow::version_combo,    &InstallerWindow::notes_label,       &InstallerWindow::notes_view,
      &InstallerWindow::location_label,   &InstallerWindow::location_entry,    &InstallerWindow::browse_button,
      &InstallerWindow::desktop_check,    &InstallerWindow::start_menu_check,  &InstallerWindow::launch_check,
      &InstallerWindow::progress_bar,     &InstallerWindow::status_label,      &InstallerWindow::cancel_button,
      &InstallerWindow::action_button,
  };
  return installer_window.*fields[static_cast<int>(role)];
}

static_assert(kActionId - kTitleId + 1 == kControlRoleCount, "one control identifier for each role");
int control_id(ControlRole role) { return kTitleId + static_cast<int>(role); }

void dispatch_window_message(MSG& msg) {
  // Tab, Shift+Tab, arrows and Space move and press as in a dialog.
  if (installer_window.window && IsDialogMessageW(installer_window.window, &msg)) return;
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
}

static void pump_messages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    // A quit asked for inside a flow ends the main loop once the flow returns to it.
    if (msg.message == WM_QUIT) {
      quit_requested = true;
      continue;
    }
    dispatch_window_message(msg);
  }
}

static void set_text(HWND control, const std::wstring& text) {
  if (control) SetWindowTextW(control, text.c_str());
}

static std::wstring window_text(HWND control) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(control, &text[0], static_cast<int>(text.size()))));
  return text;
}

static void show_status_text(const std::wstring& text) {
  if (!installer_window.status_label || window_text(installer_window.status_label) == text) return;
  set_text(installer_window.status_label, text);
  lay_out_window();   // a longer text may wrap onto more lines
}


// The bar moves on its own while it pulses; a fraction stops that.
static void set_pulsing(HWND bar, bool pulsing) {
  const LONG_PTR style = GetWindowLongPtrW(bar, GWL_STYLE);
  if (((style & PBS_MARQUEE) != 0) == pulsing) return;
  if (pulsing) {
    SetWindowLongPtrW(bar, GWL_STYLE, style | PBS_MARQUEE);
    SendMessageW(bar, PBM_SETMARQUEE, TRUE, 30);
  } else {
    KillTimer(installer_window.window, kPulseTimer);
    SendMessageW(bar, PBM_SETMARQUEE, FALSE, 0);
    SetWindowLongPtrW(bar, GWL_STYLE, style & ~static_cast<LONG_PTR>(PBS_MARQUEE));
  }
}

void rest_pulse() {
  KillTimer(installer_window.window, kPulseTimer);
  if (installer_window.progress_bar) SendMessageW(installer_window.progress_bar, PBM_SETMARQUEE, FALSE, 0);
}

static void show_fraction(double fraction) {
  HWND bar = installer_window.progress_bar;
  if (!bar) return;
  set_pulsing(bar, false);
  SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(fraction * kProgressRange + 0.5), 0);
}

static void pulse_bar(const std::wstring& text) {
  if (!text.empty()) show_status_text(text);
  if (installer_window.progress_bar) {
    // The block moves while pulses come and rests where it is when they stop, as on Linux.
    set_pulsing(installer_window.progress_bar, true);
    SetTimer(installer_window.window, kPulseTimer, kPulseRestMs, nullptr);
  }
}

static void show_busy(bool flag) {
  const InstallerWindow& w = installer_window;
  if (flag) remember_focus();   // a control switched off loses the focus
  for (const RowModel& row : installer_window_model().rows)
    for (const ControlModel& control : row.controls)
      if (HWND handle = control.off_while_busy ? control_handle(control.role) : nullptr)
        EnableWindow(handle, flag ? FALSE : TRUE);
  if (!flag) restore_focus();
  show_fraction(flag ? 0.02 : 0.0);
  pump_events();
  pump_events();
}

static void show_message(MessageType type, const std::string& text) {
  // Only a windowed run asks; without the window nobody would see the box.
  HWND owner = installer_window.window;
  if (!owner) return;
  wchar_t title[64] = {};
  GetWindowTextW(owner, title, 64);
  run_modal([&] {
    MessageBoxW(owner, plat::utf8_to_wide(display_text(text)).c_str(), title,
                MB_OK | (type == MessageType::Error ? MB_ICONERROR : MB_ICONINFORMATION));
  });
}

static void hide_shown_window() {
  if (installer_window.window) ShowWindow(installer_window.window, SW_HIDE);
  pump_events();
}

static void quit_loop() {
  if (!main_loop_running) return;
  quit_requested = true;
  PostQuitMessage(0);
}

std::string location_text() {
  if (!installer_window.location_entry) return std::string();
  return plat::wide_to_utf8(window_text(installer_window.location_entry));
}

static void show_location(const std::string& text) { set_text(installer_window.location_entry, plat::utf8_to_wide(text)); }

static bool checked(HWND check) { return check && SendMessageW(check, BM_GETCHECK, 0, 0) == BST_CHECKED; }

bool desktop_checked() { return checked(installer_window.desktop_check); }
bool start_menu_checked() { return checked(installer_window.start_menu_check); }
bool launch_checked() { return checked(installer_window.launch_check); }

static void add_line(const std::string& text) {
  if (installer_window.version_combo)
    SendMessageW(installer_window.version_combo, CB_ADDSTRING, 0,
                 reinterpret_cast<LPARAM>(plat::utf8_to_wide(display_text(text)).c_str()));
}

static void select_line(int index) {
  if (installer_window.version_combo) SendMessageW(installer_window.version_combo, CB_SETCURSEL, index, 0);
}

static void show_notes(const std::string& text) {
  if (!installer_window.notes_view) return;
  // A multi-line edit breaks lines only at CR LF.
  std::wstring shown;
  for (wchar_t c : plat::utf8_to_wide(display_text(text))) {
    if (c == L'\n' && (shown.empty() || shown.back() != L'\r')) shown += L'\r';
    shown += c;
  }
  set_text(installer_window.notes_view, shown);
}

void use_toolkit_front_end() {
  static FrontEnd win32;
  win32.pump = pump_messages;
  win32.show_status = show_status_text;
  win32.pulse = pulse_bar;
  win32.show_fraction = show_fraction;
  win32.show_busy = show_busy;
  win32.show_message = show_message;
  win32.add_version_line = add_line;
  win32.select_version_line = select_line;
  win32.set_release_notes_text = show_notes;
  win32.quit_main_loop = quit_loop;
  win32.hide_window = hide_shown_window;
  win32.set_location_text = show_location;
  set_front_end(&win32);
}
