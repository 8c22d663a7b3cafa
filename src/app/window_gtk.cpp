// The installer window over GTK+ 2: the window model drawn as one column of rows, its signals
// routed to the shared handlers (window_events.h), and the idle job and main loop.
#include <gtk/gtk.h>

#include "app/installer_window_gtk.h"
#include "app/ui.h"
#include "app/window.h"
#include "app/window_events.h"

extern const unsigned char app_icon_png[];
extern const std::size_t app_icon_png_size;

bool init_toolkit(int& argc, char**& argv) { return gtk_init_check(&argc, &argv) != FALSE; }

bool window_exists() { return installer_window.window != nullptr; }

namespace {

// What drawing the model leaves for the keyboard's set-up.
struct Drawn {
  GtkWidget* notes_view = nullptr;
  GtkWidget* default_button = nullptr;
};

gboolean on_delete_event(GtkWidget*, GdkEvent*, gpointer) { return may_close_window() ? FALSE : TRUE; }

void on_browse_clicked(GtkWidget*, gpointer) {
  GtkWidget* dialog = gtk_file_chooser_dialog_new(
      installer_window_model().folder_dialog_title.c_str(), GTK_WINDOW(installer_window.window),
      GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "gtk-cancel", GTK_RESPONSE_CANCEL, "gtk-open", GTK_RESPONSE_ACCEPT,
      nullptr);
  if (run_dialog(dialog) == GTK_RESPONSE_ACCEPT) {
    gchar* folder = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog));
    if (folder) {
      set_location_text(folder);   // the folder's own name, whatever bytes it holds
      g_free(folder);
    }
  }
  gtk_widget_destroy(dialog);
}

void on_action_clicked(GtkWidget*, gpointer) { press_action(); }
void on_cancel_clicked(GtkWidget*, gpointer) { press_cancel(); }

void on_version_changed(GtkWidget* combo, gpointer) { choose_version(gtk_combo_box_get_active(GTK_COMBO_BOX(combo))); }

void on_destroy(GtkWidget*, gpointer) {
  installer_window = InstallerWindow();
  quit_main_loop();
}

void pack(GtkWidget* box, GtkWidget* child, bool expand, bool fill) {
  gtk_box_pack_start(GTK_BOX(box), child, expand ? TRUE : FALSE, fill ? TRUE : FALSE, 0);
}

GtkWidget* left_label(const char* text) {
  GtkWidget* label = gtk_label_new(text);
  gtk_misc_set_alignment(GTK_MISC(label), 0.0f, 0.5f);
  return label;
}

// The title bar, the task list and the window switcher each take the size they show, as on Windows.
void set_window_icon(GtkWidget* window) {
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
  if (!loader) return;
  if (gdk_pixbuf_loader_write(loader, app_icon_png, app_icon_png_size, nullptr) &&
      gdk_pixbuf_loader_close(loader, nullptr)) {
    GdkPixbuf* icon = gdk_pixbuf_loader_get_pixbuf(loader);
    GList* icons = nullptr;
    for (int size : {16, 24, 32, 48})
      if (GdkPixbuf* small = icon ? gdk_pixbuf_scale_simple(icon, size, size, GDK_INTERP_HYPER) : nullptr)
        icons = g_list_append(icons, small);
    if (icon) icons = g_list_append(icons, g_object_ref(icon));
    gtk_window_set_icon_list(GTK_WINDOW(window), icons);
    for (GList* i = icons; i; i = i->next) g_object_unref(i->data);
    g_list_free(icons);
  } else {
    gdk_pixbuf_loader_close(loader, nullptr);
  }
  g_object_unref(loader);
}

GtkWidget* heading(const char* text) {
  GtkWidget* label = left_label("");
  gchar* markup = g_markup_printf_escaped("<span size=\"x-large\" weight=\"bold\">%s</span>", text);
  gtk_label_set_markup(GTK_LABEL(label), markup);
  g_free(markup);
  return label;
}

GtkWidget* wrapped_label(const char* text) {
  GtkWidget* label = left_label(text);
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  return label;
}

// The read-only notes in a scrolled window; the view is kept in `drawn`, its buffer in the window.
GtkWidget* notes_area(const char* text, Drawn& drawn) {
  GtkWidget* scrolled = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
  GtkWidget* view = gtk_text_view_new();
  gtk_text_view_set_editable(GTK_TEXT_VIEW(view), FALSE);
  gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(view), FALSE);
  gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(view), GTK_WRAP_WORD_CHAR);
  installer_window.notes_buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(view));
  gtk_text_buffer_set_text(installer_window.notes_buffer, text, -1);
  gtk_container_add(GTK_CONTAINER(scrolled), view);
  drawn.notes_view = view;
  return scrolled;
}

GtkWidget* check_button(const char* text, bool active) {
  GtkWidget* check = gtk_check_button_new_with_label(text);
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check), active ? TRUE : FALSE);
  return check;
}

GtkWidget* progress_bar(double pulse_step) {
  GtkWidget* bar = gtk_progress_bar_new();
  gtk_progress_bar_set_pulse_step(GTK_PROGRESS_BAR(bar), pulse_step);
  return bar;
}

// The widget of one control, before its handle is kept and its signals are connected.
GtkWidget* make_widget(const ControlModel& control, const WindowModel& model, Drawn& drawn) {
  const char* text = control.text.c_str();
  switch (control.kind) {
    case ControlKind::Heading: return heading(text);
    case ControlKind::Line: return left_label(text);
    case ControlKind::Wrapped: return wrapped_label(text);
    case ControlKind::Caption: return gtk_label_new(text);
    case ControlKind::Choice: return gtk_combo_box_new_text();
    case ControlKind::ReadOnlyText: return notes_area(text, drawn);
    case ControlKind::Entry: return gtk_entry_new();
    case ControlKind::Button: return gtk_button_new_with_label(text);
    case ControlKind::Check: return check_button(text, control.checked);
    case ControlKind::ProgressBar: return progress_bar(model.pulse_step);
  }
  return nullptr;
}

void connect_signals(ControlRole role, GtkWidget* widget) {
  switch (role) {
    case ControlRole::Versions:
      g_signal_connect(widget, "changed", G_CALLBACK(on_version_changed), nullptr);
      break;
    case ControlRole::Browse:
      g_signal_connect(widget, "clicked", G_CALLBACK(on_browse_clicked), nullptr);
      break;
    case ControlRole::Cancel:
      g_signal_connect(widget, "clicked", G_CALLBACK(on_cancel_clicked), nullptr);
      break;
    case ControlRole::Action:
      g_signal_connect(widget, "clicked", G_CALLBACK(on_action_clicked), nullptr);
      break;
    default:
      break;
  }
}

// One control: made, kept in its field of the window, set to its first state, connected.
GtkWidget* draw_control(const ControlModel& control, const WindowModel& model, Drawn& drawn) {
  GtkWidget* widget = make_widget(control, model, drawn);
  if (GtkWidget** slot = widget_slot(control.role)) *slot = widget;
  if (control.kind == ControlKind::Entry) set_location_text(control.text);
  if (!control.sensitive) gtk_widget_set_sensitive(widget, FALSE);
  if (control.is_default) drawn.default_button = widget;
  connect_signals(control.role, widget);
  return widget;
}

// A row's widget for the column: the control itself, a box of a caption and its field, or the
// button box at the end.
GtkWidget* draw_row(const RowModel& row, const WindowModel& model, Drawn& drawn) {
  if (row.shape == RowShape::Single) {
    GtkWidget* widget = draw_control(row.controls.front(), model, drawn);
    if (row.min_height > 0) gtk_widget_set_size_request(widget, -1, row.min_height);
    return widget;
  }
  GtkWidget* box = nullptr;
  if (row.shape == RowShape::Labelled) {
    box = gtk_hbox_new(FALSE, model.inner_spacing);
  } else {
    box = gtk_hbutton_box_new();
    gtk_button_box_set_layout(GTK_BUTTON_BOX(box), GTK_BUTTONBOX_END);
    gtk_box_set_spacing(GTK_BOX(box), model.inner_spacing);
  }
  for (const ControlModel& control : row.controls)
    pack(box, draw_control(control, model, drawn), control.expand, control.expand);
  return box;
}

GtkWidget* make_window(const WindowModel& model) {
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), model.title.c_str());
  gtk_window_set_default_size(GTK_WINDOW(window), model.width, model.height);
  gtk_container_set_border_width(GTK_CONTAINER(window), static_cast<guint>(model.border));
  set_window_icon(window);
  g_signal_connect(window, "delete-event", G_CALLBACK(on_delete_event), nullptr);
  g_signal_connect(window, "destroy", G_CALLBACK(on_destroy), nullptr);
  return window;
}

gboolean idle_job(gpointer) { return run_idle_job() ? TRUE : FALSE; }

}  // namespace

void draw_installer_window(const WindowModel& model) {
  InstallerWindow& w = installer_window;
  w.window = make_window(model);
  GtkWidget* column = gtk_vbox_new(FALSE, model.row_spacing);
  gtk_container_add(GTK_CONTAINER(w.window), column);
  Drawn drawn;
  for (const RowModel& row : model.rows) pack(column, draw_row(row, model, drawn), row.expand, row.expand);
  set_up_keyboard(drawn.notes_view, drawn.default_button);
  gtk_widget_show_all(w.window);
}

void schedule_idle_job() { g_idle_add(idle_job, nullptr); }

void run_main_loop() {
  main_loop_running = true;
  gtk_main();
  main_loop_running = false;
}
