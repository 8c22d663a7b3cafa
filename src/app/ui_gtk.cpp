// The UI helpers over GTK+ 2. Every helper leaves a widget that does not exist alone.
#include <gtk/gtk.h>

#include "app/installer_window_gtk.h"
#include "app/ui.h"
#include "app/window_events.h"
#include "common/log.h"
#include "common/state.h"
#include "common/strings.h"
#include "platform/platform.h"

InstallerWindow installer_window;
bool main_loop_running = false;

GtkWidget** widget_slot(ControlRole role) {
  InstallerWindow& w = installer_window;
  switch (role) {
    case ControlRole::Title: return &w.title_label;
    case ControlRole::Description: return &w.description_label;
    case ControlRole::Versions: return &w.version_combo;
    case ControlRole::Location: return &w.location_entry;
    case ControlRole::Browse: return &w.browse_button;
    case ControlRole::DesktopShortcut: return &w.desktop_check;
    case ControlRole::StartMenuShortcut: return &w.start_menu_check;
    case ControlRole::Launch: return &w.launch_check;
    case ControlRole::Progress: return &w.progress_bar;
    case ControlRole::Status: return &w.status_label;
    case ControlRole::Cancel: return &w.cancel_button;
    case ControlRole::Action: return &w.action_button;
    case ControlRole::VersionLabel:
    case ControlRole::NotesLabel:
    case ControlRole::Notes:
    case ControlRole::LocationLabel:
      break;
  }
  return nullptr;
}

static bool toolkit_ready() { return gdk_display_get_default() != nullptr; }

static void pump_toolkit() {
  if (!toolkit_ready()) return;
  while (gtk_events_pending()) gtk_main_iteration();
}

static void show_status_text(const std::wstring& text) {
  if (installer_window.status_label)
    gtk_label_set_text(GTK_LABEL(installer_window.status_label), display_text(plat::wide_to_utf8(text)).c_str());
}

static void pulse_bar(const std::wstring& text) {
  if (!text.empty()) show_status_text(text);
  if (installer_window.progress_bar) gtk_progress_bar_pulse(GTK_PROGRESS_BAR(installer_window.progress_bar));
}

static void show_fraction(double fraction) {
  if (installer_window.progress_bar)
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(installer_window.progress_bar), fraction);
}

static void show_busy(bool flag) {
  const InstallerWindow& w = installer_window;
  if (flag) remember_focus();   // a control switched off loses the focus
  for (const RowModel& row : installer_window_model().rows)
    for (const ControlModel& control : row.controls) {
      GtkWidget** slot = control.off_while_busy ? widget_slot(control.role) : nullptr;
      if (slot && *slot) gtk_widget_set_sensitive(*slot, !flag);
    }
  if (!flag) restore_focus();
  if (w.progress_bar) gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(w.progress_bar), flag ? 0.02 : 0.0);
  pump_events();
  pump_events();
}

static void show_message(MessageType type, const std::string& text) {
  if (!toolkit_ready()) return;
  GtkWidget* dialog = gtk_message_dialog_new(
      installer_window.window ? GTK_WINDOW(installer_window.window) : nullptr, GTK_DIALOG_MODAL,
      type == MessageType::Error ? GTK_MESSAGE_ERROR : GTK_MESSAGE_INFO, GTK_BUTTONS_OK, "%s", display_text(text).c_str());
  run_dialog(dialog);
  gtk_widget_destroy(dialog);
}

static void hide_shown_window() {
  if (installer_window.window) gtk_widget_hide(installer_window.window);
  pump_events();
}

static void quit_loop() {
  if (main_loop_running && gtk_main_level() > 0) gtk_main_quit();
}

// The entry can only show valid UTF-8; a folder whose name holds other bytes is shown with
// U+FFFD and, while the user leaves the text as shown, still means that very folder.
static std::string location_shown, location_meant;

std::string location_text() {
  if (!installer_window.location_entry) return std::string();
  const std::string shown = gtk_entry_get_text(GTK_ENTRY(installer_window.location_entry));
  return shown == location_shown ? location_meant : shown;
}

static void show_location(const std::string& text) {
  if (!installer_window.location_entry) return;
  location_meant = text;
  location_shown = display_text(text);
  gtk_entry_set_text(GTK_ENTRY(installer_window.location_entry), location_shown.c_str());
}

static bool checked(GtkWidget* check) {
  return check && gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check));
}

bool desktop_checked() { return checked(installer_window.desktop_check); }
bool start_menu_checked() { return checked(installer_window.start_menu_check); }
bool launch_checked() { return checked(installer_window.launch_check); }

static void add_line(const std::string& text) {
  if (installer_window.version_combo)
    gtk_combo_box_append_text(GTK_COMBO_BOX(installer_window.version_combo), display_text(text).c_str());
}

static void select_line(int index) {
  if (installer_window.version_combo) gtk_combo_box_set_active(GTK_COMBO_BOX(installer_window.version_combo), index);
}

static void show_notes(const std::string& text) {
  if (installer_window.notes_buffer) gtk_text_buffer_set_text(installer_window.notes_buffer, display_text(text).c_str(), -1);
}

void use_toolkit_front_end() {
  static FrontEnd gtk;
  gtk.pump = pump_toolkit;
  gtk.show_status = show_status_text;
  gtk.pulse = pulse_bar;
  gtk.show_fraction = show_fraction;
  gtk.show_busy = show_busy;
  gtk.show_message = show_message;
  gtk.add_version_line = add_line;
  gtk.select_version_line = select_line;
  gtk.set_release_notes_text = show_notes;
  gtk.quit_main_loop = quit_loop;
  gtk.hide_window = hide_shown_window;
  gtk.set_location_text = show_location;
  set_front_end(&gtk);
}
