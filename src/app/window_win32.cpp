// The installer window with native controls: the window model drawn control by control, its
// messages routed to the shared handlers (window_events.h), the main loop and the folder chooser.
// Long work runs inside the handlers, on this one thread, and keeps the window live through
// pump_events; while busy the window refuses to close.
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "app/installer_window_win32.h"
#include "app/ui.h"
#include "app/window.h"
#include "app/window_events.h"
#include "common/strings.h"
#include "platform/platform.h"

namespace {

const wchar_t kWindowClass[] = L"MorvellInstallerWindow";
constexpr UINT kIdleMessage = WM_APP + 1;   // the mode's one idle job, run once the window is shown

HWND make_control(const wchar_t* cls, const std::wstring& text, DWORD style, int id, DWORD ex_style = 0) {
  return CreateWindowExW(ex_style, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, installer_window.window,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
}

HWND make_progress_bar(int id, double pulse_step) {
  HWND bar = make_control(PROGRESS_CLASSW, L"", PBS_SMOOTH, id);
  SendMessageW(bar, PBM_SETRANGE32, 0, kProgressRange);
  SendMessageW(bar, PBM_SETSTEP, static_cast<WPARAM>(pulse_step * kProgressRange + 0.5), 0);   // one pulse
  return bar;
}

// The native control of one control of the model, with its label or first text.
HWND make_native_control(const ControlModel& control, const WindowModel& model) {
  const int id = control_id(control.role);
  const std::wstring text = plat::utf8_to_wide(control.text);
  switch (control.kind) {
    case ControlKind::Heading:
    case ControlKind::Line:
    case ControlKind::Wrapped:
    case ControlKind::Caption:
      return make_control(L"STATIC", text, SS_LEFT | SS_NOPREFIX, id);
    case ControlKind::Choice:
      return make_control(WC_COMBOBOXW, L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, id);
    case ControlKind::ReadOnlyText:
      return make_control(L"EDIT", L"", WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, id,
                          WS_EX_CLIENTEDGE);
    case ControlKind::Entry:
      return make_control(L"EDIT", L"", WS_TABSTOP | ES_AUTOHSCROLL, id, WS_EX_CLIENTEDGE);
    case ControlKind::Button:
      return make_control(L"BUTTON", text, WS_TABSTOP | (control.is_default ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON), id);
    case ControlKind::Check:
      return make_control(L"BUTTON", text, WS_TABSTOP | BS_AUTOCHECKBOX, id);
    case ControlKind::ProgressBar:
      return make_progress_bar(id, model.pulse_step);
  }
  return nullptr;
}

// One control: made, kept in its field of the window, set to its first state.
void draw_control(const ControlModel& control, const WindowModel& model) {
  HWND handle = make_native_control(control, model);
  control_handle(control.role) = handle;
  if (control.kind == ControlKind::ReadOnlyText) set_release_notes_text(control.text);
  if (control.kind == ControlKind::Entry) set_location_text(control.text);
  if (control.kind == ControlKind::Check)
    SendMessageW(handle, BM_SETCHECK, control.checked ? BST_CHECKED : BST_UNCHECKED, 0);
  if (!control.sensitive) EnableWindow(handle, FALSE);
}

// The system's own folder dialog; the older folder browser where that one cannot be had.
bool choose_folder(std::wstring& folder) {
  const std::wstring title = plat::utf8_to_wide(installer_window_model().folder_dialog_title);
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  bool chosen = false, shown = false;
  IFileOpenDialog* dialog = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_IFileOpenDialog,
                                 reinterpret_cast<void**>(&dialog)))) {
    FILEOPENDIALOGOPTIONS options = 0;
    dialog->GetOptions(&options);
    dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST);
    dialog->SetTitle(title.c_str());
    const HRESULT answer = dialog->Show(installer_window.window);
    shown = answer == S_OK || answer == HRESULT_FROM_WIN32(ERROR_CANCELLED);
    IShellItem* item = nullptr;
    if (answer == S_OK && SUCCEEDED(dialog->GetResult(&item))) {
      PWSTR path = nullptr;
      if (SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &path)) && path) {
        folder = path;
        chosen = true;
        CoTaskMemFree(path);
      }
      item->Release();
    }
    dialog->Release();
  }
  if (!shown) {
    BROWSEINFOW info = {};
    info.hwndOwner = installer_window.window;
    info.lpszTitle = title.c_str();
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    if (PIDLIST_ABSOLUTE list = SHBrowseForFolderW(&info)) {
      wchar_t path[MAX_PATH] = {};
      if (SHGetPathFromIDListW(list, path)) {
        folder = path;
        chosen = true;
      }
      CoTaskMemFree(list);
    }
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return chosen;
}

void on_browse_clicked() {
  std::wstring folder;
  bool chosen = false;
  run_modal([&] { chosen = choose_folder(folder); });
  if (chosen) set_location_text(plat::wide_to_utf8(folder));
}

void on_command(int id, int code, HWND from) {
  // A control that is switched off answers nothing, whoever asks it.
  if (from && !IsWindowEnabled(from)) return;
  if (id == kVersionComboId && code == CBN_SELCHANGE) {
    choose_version(static_cast<int>(SendMessageW(from, CB_GETCURSEL, 0, 0)));
    return;
  }
  if (code != BN_CLICKED) return;
  if (id == IDCANCEL) press_cancel_key();   // Escape, sent by the dialog navigation
  if (id == kActionId) press_action();
  if (id == kCancelId) press_cancel();
  if (id == kBrowseId) on_browse_clicked();
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND:
      on_command(LOWORD(wparam), HIWORD(wparam), reinterpret_cast<HWND>(lparam));
      return 0;
    case WM_CLOSE:
      if (may_close_window()) DestroyWindow(window);   // never while a flow runs under it
      return 0;
    case WM_DESTROY:
      installer_window = InstallerWindow();
      quit_main_loop();
      return 0;
    case WM_TIMER:
      if (wparam == kPulseTimer) rest_pulse();
      return 0;
    case WM_SIZE:
      lay_out_window();
      return 0;
    case WM_CTLCOLORSTATIC:
      // The notes read like a page, not like a switched-off field.
      if (reinterpret_cast<HWND>(lparam) == installer_window.notes_view) {
        SetBkColor(reinterpret_cast<HDC>(wparam), GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
      }
      break;
    case kIdleMessage:
      run_idle_job();
      return 0;
    default:
      break;
  }
  LRESULT handled = 0;
  if (handle_layout_message(window, message, wparam, lparam, handled)) return handled;
  if (handle_keyboard_message(message, wparam, handled)) return handled;
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

bool init_toolkit(int&, char**&) {
  // There is always a desktop on Windows; a class that cannot be registered is the only failure.
  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  WNDCLASSEXW cls = {};
  cls.cbSize = sizeof(cls);
  cls.lpfnWndProc = window_procedure;
  cls.hInstance = GetModuleHandleW(nullptr);
  cls.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  cls.lpszClassName = kWindowClass;
  cls.hIcon = LoadIconW(cls.hInstance, MAKEINTRESOURCEW(1));
  return RegisterClassExW(&cls) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

bool window_exists() { return installer_window.window != nullptr; }

void draw_installer_window(const WindowModel& model) {
  InstallerWindow& w = installer_window;
  w.window = CreateWindowExW(WS_EX_CONTROLPARENT, kWindowClass, plat::utf8_to_wide(model.title).c_str(),
                             WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                             CW_USEDEFAULT, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (!w.window) return;
  for (const RowModel& row : model.rows)
    for (const ControlModel& control : row.controls) draw_control(control, model);
  set_up_keyboard();
  prepare_window_layout();   // fonts, icon, the designed size for the window's DPI, centred on its screen
  ShowWindow(w.window, SW_SHOWNORMAL);
  UpdateWindow(w.window);
  // The first control that takes input has the focus; an entry's text starts selected.
  if (HWND first = GetNextDlgTabItem(w.window, nullptr, FALSE)) {
    SetFocus(first);
    if (first == w.location_entry) SendMessageW(first, EM_SETSEL, 0, -1);
  }
}

void schedule_idle_job() {
  if (installer_window.window) PostMessageW(installer_window.window, kIdleMessage, 0, 0);
}

void run_main_loop() {
  main_loop_running = true;
  MSG msg;
  while (!quit_requested && GetMessageW(&msg, nullptr, 0, 0) > 0) dispatch_window_message(msg);
  main_loop_running = false;
}
