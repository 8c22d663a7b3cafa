// The control handles of the one installer window on Windows; all null until it is built.
// Every control is a direct child of the window, made in the window's order, so the order of
// the child list is the order the user reads (and Tab follows).
#pragma once

#include <windows.h>

#include <functional>

#include "app/window_model.h"

// Control identifiers, in the window's order: one for each ControlRole, in the roles' order.
enum ControlId : int {
  kTitleId = 1001,
  kDescriptionId,
  kVersionLabelId,
  kVersionComboId,
  kNotesLabelId,
  kNotesId,
  kLocationLabelId,
  kLocationId,
  kBrowseId,
  kDesktopCheckId,
  kStartMenuCheckId,
  kLaunchCheckId,
  kProgressId,
  kStatusId,
  kCancelId,
  kActionId,
};

// The bar's range: a fraction is shown in thousandths.
constexpr int kProgressRange = 1000;
// The timer that rests a pulsing bar once no pulse has come for a while.
constexpr UINT_PTR kPulseTimer = 1;
constexpr UINT kPulseRestMs = 300;

struct InstallerWindow {
  HWND window = nullptr;
  HWND title_label = nullptr;
  HWND description_label = nullptr;
  HWND version_label = nullptr;
  HWND version_combo = nullptr;
  HWND notes_label = nullptr;
  HWND notes_view = nullptr;
  HWND location_label = nullptr;
  HWND location_entry = nullptr;
  HWND browse_button = nullptr;
  HWND desktop_check = nullptr;
  HWND start_menu_check = nullptr;
  HWND launch_check = nullptr;
  HWND progress_bar = nullptr;
  HWND status_label = nullptr;
  HWND cancel_button = nullptr;
  HWND action_button = nullptr;
};

extern InstallerWindow installer_window;
extern bool main_loop_running;
extern bool quit_requested;        // the main loop ends at its next turn

// The control of `role` and the field of installer_window that holds it; its identifier.
HWND& control_handle(ControlRole role);
int control_id(ControlRole role);

void dispatch_window_message(MSG& msg);   // keyboard navigation first, then the window procedure
void rest_pulse();                        // the pulsing bar stops where it is
void prepare_window_layout();             // fonts and icon for the window's DPI, then its designed size
void lay_out_window();                    // places every control for the window's current size and DPI
// The size limits and DPI changes of the window; true when the message was answered.
bool handle_layout_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result);

// The keyboard (keyboard_win32.cpp).
void set_up_keyboard();                   // once the window is built
// The default button and the focus on activation; true when the message was answered.
bool handle_keyboard_message(UINT message, WPARAM wparam, LRESULT& result);
void press_cancel_key();                  // Escape: Cancel, unless a flow runs
void remember_focus();                    // the control with the focus, before it may lose it
void restore_focus();                     // back to that control when it takes input again
// Runs a modal dialog of the window: centred on it, the focus back where it was afterwards.
void run_modal(const std::function<void()>& show);
