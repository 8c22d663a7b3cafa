// The widget handles of the one installer window; all null until it is built.
#pragma once

#include <gtk/gtk.h>

struct InstallerWindow {
  GtkWidget* window = nullptr;
  GtkWidget* title_label = nullptr;
  GtkWidget* description_label = nullptr;
  GtkWidget* version_combo = nullptr;
  GtkTextBuffer* notes_buffer = nullptr;
  GtkWidget* location_entry = nullptr;
  GtkWidget* browse_button = nullptr;
  GtkWidget* desktop_check = nullptr;
  GtkWidget* start_menu_check = nullptr;
  GtkWidget* launch_check = nullptr;
  GtkWidget* progress_bar = nullptr;
  GtkWidget* status_label = nullptr;
  GtkWidget* action_button = nullptr;
  GtkWidget* cancel_button = nullptr;
};

extern InstallerWindow installer_window;
extern bool main_loop_running;

// The keyboard (keyboard_gtk.cpp).
void set_up_keyboard(GtkWidget* notes_view);   // once the window is built; notes_view may be null
void remember_focus();                         // the control with the focus, before it may lose it
void restore_focus();                          // back to that control when it takes input again
gint run_dialog(GtkWidget* dialog);            // gtk_dialog_run centred on the window, focus kept
