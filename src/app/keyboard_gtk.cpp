// The keyboard of the installer window over GTK+ 2: the action button is the default (Enter in
// the location entry presses it), Escape means Cancel while no flow runs, Tab leaves the release
// notes, and the focus goes back to its control after a dialog or a flow that switched it off.
#include <gdk/gdkkeysyms.h>
#include <gtk/gtk.h>

#include "app/installer_window_gtk.h"
#include "common/state.h"

namespace {

GtkWidget* kept_focus = nullptr;   // weak: cleared when the widget goes

void forget_focus() {
  if (kept_focus) g_object_remove_weak_pointer(G_OBJECT(kept_focus), reinterpret_cast<gpointer*>(&kept_focus));
  kept_focus = nullptr;
}

gboolean on_key_press(GtkWidget*, GdkEventKey* event, gpointer) {
  if (event->keyval != GDK_Escape) return FALSE;
  GtkWidget* cancel = installer_window.cancel_button;
  if (!busy && cancel && GTK_WIDGET_IS_SENSITIVE(cancel)) gtk_button_clicked(GTK_BUTTON(cancel));
  return TRUE;
}

}  // namespace

void set_up_keyboard(GtkWidget* notes_view, GtkWidget* default_button) {
  InstallerWindow& w = installer_window;
  gtk_window_set_position(GTK_WINDOW(w.window), GTK_WIN_POS_CENTER);
  if (default_button) {
    GTK_WIDGET_SET_FLAGS(default_button, GTK_CAN_DEFAULT);
    gtk_widget_grab_default(default_button);
  }
  if (w.location_entry) gtk_entry_set_activates_default(GTK_ENTRY(w.location_entry), TRUE);
  // Read-only text: Tab goes on to the next control instead of into the text.
  if (notes_view) gtk_text_view_set_accepts_tab(GTK_TEXT_VIEW(notes_view), FALSE);
  g_signal_connect(w.window, "key-press-event", G_CALLBACK(on_key_press), nullptr);
}

void remember_focus() {
  if (!installer_window.window) return;
  GtkWidget* focus = gtk_window_get_focus(GTK_WINDOW(installer_window.window));
  if (!focus) return;   // already lost to a switched-off control: keep what was known
  forget_focus();
  kept_focus = focus;
  g_object_add_weak_pointer(G_OBJECT(kept_focus), reinterpret_cast<gpointer*>(&kept_focus));
}

void restore_focus() {
  if (!installer_window.window || !kept_focus || !GTK_WIDGET_IS_SENSITIVE(kept_focus)) return;
  if (gtk_window_get_focus(GTK_WINDOW(installer_window.window)) != kept_focus) gtk_widget_grab_focus(kept_focus);
}

gint run_dialog(GtkWidget* dialog) {
  remember_focus();
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER_ON_PARENT);
  const gint response = gtk_dialog_run(GTK_DIALOG(dialog));
  restore_focus();
  return response;
}
