// The widget handles of the one installer window; all null until it is built.
#pragma once

#include <gtk/gtk.h>

#include "app/window_model.h"

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

// The field of installer_window that holds the control of `role`; null for the controls the window
// keeps no handle of (the captions, and the notes, whose buffer it keeps instead).
GtkWidget** widget_slot(ControlRole role);

// The keyboard (keyboard_gtk.cpp).
// Once the window is built; notes_view may be null. Enter in the location entry presses default_button.
void set_up_keyboard(GtkWidget* notes_view, GtkWidget* default_button);
void remember_focus();                         // the control with the focus, before it may lose it
void restore_focus();                          // back to that control when it takes input again
gint run_dialog(GtkWidget* dialog);            // gtk_dialog_run centred on the window, focus kept
