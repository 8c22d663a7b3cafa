#include "app/window_events.h"

#include "app/ui.h"
#include "app/window.h"
#include "catalogue/manifest.h"
#include "common/state.h"
#include "flows/install_driver.h"
#include "flows/uninstall.h"
#include "flows/update.h"

namespace {

WindowModel model;

// What the user set in the window when pressing the main button.
InstallRequest request_from_window() {
  InstallRequest request;
  request.location = location_text();
  request.desktop_shortcut = desktop_checked();
  request.start_menu_shortcut = start_menu_checked();
  request.launch_after_install = launch_checked();
  return request;
}

}  // namespace

const WindowModel& installer_window_model() { return model; }

void build_installer_window() {
  model = window_model_for(run_mode, install_options);
  draw_installer_window(model);
}

void install_mode_idle_callback() {
  if (model.idle != IdleJob::None) schedule_idle_job();
}

void press_action() {
  switch (model.action) {
    case MainAction::Install:
      run_install(request_from_window());
      break;
    case MainAction::Uninstall:
      run_uninstall();
      break;
    case MainAction::None:
      break;
  }
}

void press_cancel() { quit_main_loop(); }

void choose_version(int index) {
  release_catalogue.selected = index;
  show_release_notes();
}

bool may_close_window() { return !busy; }

bool run_idle_job() {
  switch (model.idle) {
    case IdleJob::FillVersionList:
      return fill_version_list();
    case IdleJob::RunUpdate:
      return run_update();
    case IdleJob::None:
      break;
  }
  return false;
}
