// The installer window of one run mode, described once and independent of any toolkit: its rows
// from top to bottom, the controls in each row in the order the user reads them (and Tab follows),
// their texts, initial states and sensitivity, which rows and controls take spare room, the
// metrics, the title and what the main button does. The GTK and the Win32 front ends build their
// widgets row by row from it and route their events to the handlers of window_events.h.
#pragma once

#include <string>
#include <vector>

#include "common/state.h"

// What each control of the window is there for; every control has one role, and no role stands
// twice in a window. The order is the window's order.
enum class ControlRole {
  Title,
  Description,
  VersionLabel,
  Versions,
  NotesLabel,
  Notes,
  LocationLabel,
  Location,
  Browse,
  DesktopShortcut,
  StartMenuShortcut,
  Launch,
  Progress,
  Status,
  Cancel,
  Action,
};
constexpr int kControlRoleCount = static_cast<int>(ControlRole::Action) + 1;

// What a control looks like, whatever the toolkit draws it with.
enum class ControlKind {
  Heading,      // the window's title line: larger, bold text
  Line,         // a line of text of its own, at the column's left
  Wrapped,      // text of its own that wraps at the column's width
  Caption,      // the label in front of a field in the same row
  Choice,       // a drop-down list to choose one line from
  ReadOnlyText, // several lines of text that scroll and cannot be edited
  Entry,        // a line of text the user edits
  Button,       // a push button
  Check,        // a check box with its label
  ProgressBar,  // a bar that pulses or shows a fraction
};

struct ControlModel {
  ControlRole role;
  ControlKind kind;
  std::string text;                 // UTF-8: the label, or what the control shows first
  bool checked = false;             // a check box: ticked at the start
  bool sensitive = true;            // takes input at the start
  bool off_while_busy = false;      // switched off while a flow runs (set_busy)
  bool expand = false;              // takes the row's spare width
  bool is_default = false;          // a button that Enter presses
};

// How a row arranges its controls.
enum class RowShape {
  Single,     // one control across the column
  Labelled,   // a caption at the left, the field that takes the spare width, then buttons
  Buttons,    // push buttons at the row's right end, in order
};

struct RowModel {
  RowShape shape;
  std::vector<ControlModel> controls;
  bool expand = false;              // takes an equal share of the column's spare height
  int min_height = 0;               // in 96-DPI pixels; 0: the controls' natural height
};

// What a press of the main button runs.
enum class MainAction { None, Install, Uninstall };
// The mode's one job once the window is shown, before the user does anything.
enum class IdleJob { None, FillVersionList, RunUpdate };

struct WindowModel {
  RunMode mode = RunMode::Online;
  std::string title;                // the window's title bar
  std::string folder_dialog_title;  // the folder chooser of the Browse button
  // Metrics in 96-DPI pixels: the inside of the window at its designed size, the border around
  // the column, the spacing between rows and between the controls inside a row.
  int width = 640;
  int height = 520;
  int border = 18;
  int row_spacing = 12;
  int inner_spacing = 8;
  double pulse_step = 0.04;         // how far one pulse moves the bar's block, as a fraction of the bar
  std::vector<RowModel> rows;
  MainAction action = MainAction::None;
  IdleJob idle = IdleJob::None;

  // The control of `role`; null when the window has none.
  const ControlModel* find(ControlRole role) const;
};

// The window of `mode`: the location entry and the check boxes start from `options`.
WindowModel window_model_for(RunMode mode, const InstallOptions& options);
