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
