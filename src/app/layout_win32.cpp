// The installer window's layout on Windows: the window model's rows in one column as the Linux
// window packs them (the model's border around it, its spacings between and inside the rows,
// buttons at the right end), measured in pixels of the window's own DPI. Rows keep their natural
// height; the spare height goes, in equal shares, to the rows that take it (the status text, and
// the release notes in online mode), and a label stands vertically centred in whatever height it
// is given.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/installer_window_win32.h"
#include "app/window_events.h"

namespace {

HFONT message_font = nullptr, title_font = nullptr;
int layout_dpi = 96;
int natural_height = 0;   // client height the column needs at its current width

int window_dpi(HWND window) {
  using GetDpi = UINT(WINAPI*)(HWND);
  static const auto get_dpi =
      reinterpret_cast<GetDpi>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (get_dpi) {
    if (const UINT dpi = get_dpi(window)) return static_cast<int>(dpi);
  }
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

int px(int size) { return MulDiv(size, layout_dpi, 96); }

// The system's message font at the window's DPI, and the title's bold, larger form of it.
void make_fonts() {
  NONCLIENTMETRICSW metrics = {};
  metrics.cbSize = sizeof(metrics);
  using ForDpi = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);
  static const auto for_dpi = reinterpret_cast<ForDpi>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "SystemParametersInfoForDpi")));
  LOGFONTW font = {};
  if (for_dpi && for_dpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, static_cast<UINT>(layout_dpi))) {
    font = metrics.lfMessageFont;
  } else if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
    font = metrics.lfMessageFont;
    HDC screen = GetDC(nullptr);
    const int system_dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    font.lfHeight = MulDiv(font.lfHeight, layout_dpi, system_dpi > 0 ? system_dpi : 96);
  } else {
    font.lfHeight = -px(12);
    font.lfCharSet = DEFAULT_CHARSET;
  }
  if (message_font) DeleteObject(message_font);
  if (title_font) DeleteObject(title_font);
  message_font = CreateFontIndirectW(&font);
  font.lfHeight = font.lfHeight * 144 / 100;   // the heading's "x-large"
  font.lfWeight = FW_BOLD;
  title_font = CreateFontIndirectW(&font);
}

std::wstring text_of(HWND control) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(control, &text[0], static_cast<int>(text.size()))));
  return text;
}

// The size the control's text takes in its font; wrapped at `width` when that is above 0.
struct Extent {
  int cx, cy;
};

Extent text_size(HWND control, int width) {
  HDC dc = GetDC(control);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
  const std::wstring text = text_of(control);
  RECT box = {0, 0, width > 0 ? width : 100000, 0};
  UINT flags = DT_CALCRECT | DT_NOPREFIX | DT_LEFT | DT_EXPANDTABS | (width > 0 ? DT_WORDBREAK : DT_SINGLELINE);
  DrawTextW(dc, text.empty() ? L" " : text.c_str(), -1, &box, flags);
  if (text.empty()) box.right = 0;
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  return Extent{static_cast<int>(box.right - box.left), static_cast<int>(box.bottom - box.top)};
}

int line_height() {
  HDC dc = GetDC(installer_window.window);
  HGDIOBJ old = SelectObject(dc, message_font);
  TEXTMETRICW metrics = {};
  GetTextMetricsW(dc, &metrics);
  SelectObject(dc, old);
  ReleaseDC(installer_window.window, dc);
  return metrics.tmHeight;
}

// The measures of one layout pass, in pixels of the window's DPI.
struct Column {
  int left, width;           // the column's inside
  int border, spacing, inner;
  int line;                  // one line of the message font
  int field, push;           // an entry's height, a push button's
};

Column measure_column(const WindowModel& model, const RECT& client) {
  Column c;
  c.border = px(model.border);
  c.spacing = px(model.row_spacing);
  c.inner = px(model.inner_spacing);
  c.left = c.border;
  c.width = std::max(0, static_cast<int>(client.right) - 2 * c.border);
  c.line = line_height();
  c.field = c.line + px(8);
  c.push = std::max(px(27), c.line + px(10));
  return c;
}

// Moves a control only when its place changes: a status update must not make the window flicker.
// A drop-down list is given the height of its open list, while its window is the closed field.
void place(HWND control, int x, int y, int width, int height, bool drop_down = false) {
  if (!control) return;
  RECT now;
  GetWindowRect(control, &now);
  MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&now), 2);
  width = std::max(0, width);
  height = std::max(0, height);
  if (now.left == x && now.top == y && now.right - now.left == width &&
      (drop_down || now.bottom - now.top == height))
    return;
  MoveWindow(control, x, y, width, height, TRUE);
}

// A label of its natural height, centred in the height the row was given.
void place_label(HWND control, int x, int top, int height, int width, int wrap_width) {
  const Extent size = text_size(control, wrap_width);
  place(control, x, top + std::max(0, (height - size.cy) / 2), width, size.cy);
}

void apply_fonts(HWND window) {
  for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    SendMessageW(child, WM_SETFONT,
                 reinterpret_cast<WPARAM>(child == installer_window.title_label ? title_font : message_font), TRUE);
}

// Buttons at the window's foot are at least 85 wide, as a button box makes them; a button
// inside a row takes its text's width.
int button_width(HWND control, bool in_button_box = true) {
  const int natural = text_size(control, 0).cx + px(24);
  return in_button_box ? std::max(px(85), natural) : natural;
}

// The natural height of a row that holds one control.
int single_height(const ControlModel& control, const Column& c) {
  HWND handle = control_handle(control.role);
  switch (control.kind) {
    case ControlKind::Heading:
    case ControlKind::Line:
    case ControlKind::Caption:
      return text_size(handle, 0).cy;
    case ControlKind::Wrapped:
      return text_size(handle, c.width).cy;
    case ControlKind::Check:
      return c.line + px(6);
    case ControlKind::ProgressBar:
      return px(20);
    default:
      return 0;   // the notes: the row's own height
  }
}

// The natural height of a caption's row: that of its tallest field or button.
int labelled_height(const RowModel& row, const Column& c) {
  int height = 0;
  for (const ControlModel& control : row.controls) {
    if (control.kind == ControlKind::Choice) {
      RECT combo = {};
      GetWindowRect(control_handle(control.role), &combo);
      height = std::max({height, c.field, static_cast<int>(combo.bottom - combo.top)});
    }
    if (control.kind == ControlKind::Entry) height = std::max(height, c.field);
    if (control.kind == ControlKind::Button) height = std::max(height, c.push);
  }
  return height;
}

int row_height(const RowModel& row, const Column& c) {
  int natural = c.push;   // a row of buttons
  if (row.shape == RowShape::Single) natural = single_height(row.controls.front(), c);
  if (row.shape == RowShape::Labelled) natural = labelled_height(row, c);
  return std::max(natural, px(row.min_height));
}

void place_single(const ControlModel& control, int y, int height, const Column& c) {
  HWND handle = control_handle(control.role);
  switch (control.kind) {
    case ControlKind::Heading:
      place_label(handle, c.left, y, height, c.width, 0);
      break;
    case ControlKind::Line:
    case ControlKind::Wrapped:
    case ControlKind::Caption:
      place_label(handle, c.left, y, height, c.width, c.width);
      break;
    case ControlKind::Check:
      place(handle, c.left, y,
            std::min(c.width, text_size(handle, 0).cx + GetSystemMetrics(SM_CXMENUCHECK) + px(12)), height);
      break;
    default:
      place(handle, c.left, y, c.width, height);
      break;
  }
}

// The caption at its text's width, buttons after the field at theirs, the field between them.
void place_labelled(const RowModel& row, int y, int height, const Column& c) {
  int trailing = 0;
  for (const ControlModel& control : row.controls)
    if (control.kind == ControlKind::Button) trailing += c.inner + button_width(control_handle(control.role), false);
  int x = c.left;
  for (const ControlModel& control : row.controls) {
    HWND handle = control_handle(control.role);
    int width = 0;
    if (control.kind == ControlKind::Caption) {
      width = text_size(handle, 0).cx;
      place_label(handle, x, y, height, width, 0);
    } else if (control.kind == ControlKind::Button) {
      width = button_width(handle, false);
      place(handle, x, y, width, height);
    } else {
      width = c.left + c.width - trailing - x;
      if (control.kind == ControlKind::Choice)
        place(handle, x, y, width, px(200), true);
      else
        place(handle, x, y + (height - c.field) / 2, width, c.field);
    }
    x += width + c.inner;
  }
}

// The buttons from the right end: the last one rightmost.
void place_buttons(const RowModel& row, int y, int height, const Column& c) {
  int right = c.left + c.width;
  for (auto control = row.controls.rbegin(); control != row.controls.rend(); ++control) {
    HWND handle = control_handle(control->role);
    const int width = button_width(handle);
    right -= width;
    place(handle, right, y, width, height);
    right -= c.inner;
  }
}

void place_row(const RowModel& row, int y, int height, const Column& c) {
  switch (row.shape) {
    case RowShape::Single:
      place_single(row.controls.front(), y, height, c);
      break;
    case RowShape::Labelled:
      place_labelled(row, y, height, c);
      break;
    case RowShape::Buttons:
      place_buttons(row, y, height, c);
      break;
  }
}

// Gives each row that takes spare height an equal share of what the window has beyond the
// column's natural height (the first ones the larger shares).
void share_spare_height(const std::vector<RowModel>& rows, std::vector<int>& heights, int spare) {
  int takers = 0;
  for (const RowModel& row : rows) takers += row.expand ? 1 : 0;
  for (size_t i = 0; i < rows.size() && takers > 0; ++i) {
    if (!rows[i].expand) continue;
    const int share = spare / takers;
    heights[i] += share;
    spare -= share;
    --takers;
  }
}

}  // namespace

void lay_out_window() {
  const InstallerWindow& w = installer_window;
  if (!w.window || !message_font) return;
  const WindowModel& model = installer_window_model();
  if (model.rows.empty()) return;
  RECT client;
  GetClientRect(w.window, &client);
  const Column c = measure_column(model, client);

  std::vector<int> heights;
  int needed = 2 * c.border + c.spacing * static_cast<int>(model.rows.size() - 1);
  for (const RowModel& row : model.rows) {
    heights.push_back(row_height(row, c));
    needed += heights.back();
  }
  natural_height = needed;
  share_spare_height(model.rows, heights, std::max(0, static_cast<int>(client.bottom) - needed));

  int y = c.border;
  for (size_t i = 0; i < model.rows.size(); ++i) {
    place_row(model.rows[i], y, heights[i], c);
    y += heights[i] + c.spacing;
  }
}

void prepare_window_layout() {
  InstallerWindow& w = installer_window;
  layout_dpi = window_dpi(w.window);
  make_fonts();
  apply_fonts(w.window);
  HINSTANCE self = GetModuleHandleW(nullptr);
  for (auto [which, metric] : {std::pair<WPARAM, int>{ICON_BIG, SM_CXICON}, {ICON_SMALL, SM_CXSMICON}}) {
    const int size = GetSystemMetrics(metric);
    if (HANDLE icon = LoadImageW(self, MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, LR_DEFAULTCOLOR))
      SendMessageW(w.window, WM_SETICON, which, reinterpret_cast<LPARAM>(icon));
  }
  // The designed size is that of the window's inside; the window stands in the middle of the
  // work area of the screen it opens on.
  const WindowModel& model = installer_window_model();
  RECT frame = {0, 0, px(model.width), px(model.height)};
  AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(w.window, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongPtrW(w.window, GWL_EXSTYLE)));
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  MONITORINFO monitor = {sizeof(monitor)};
  GetMonitorInfoW(MonitorFromWindow(w.window, MONITOR_DEFAULTTONEAREST), &monitor);
  const RECT& area = monitor.rcWork;
  const int x = std::max(static_cast<int>(area.left), static_cast<int>(area.left + area.right - width) / 2);
  const int y = std::max(static_cast<int>(area.top), static_cast<int>(area.top + area.bottom - height) / 2);
  SetWindowPos(w.window, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
  lay_out_window();
}

bool handle_layout_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result) {
  if (message == WM_GETMINMAXINFO) {
    // Never smaller than what the column needs, as on Linux.
    auto* info = reinterpret_cast<MINMAXINFO*>(lparam);
    RECT frame = {0, 0, px(360), std::max(natural_height, px(240))};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE)));
    info->ptMinTrackSize.x = frame.right - frame.left;
    info->ptMinTrackSize.y = frame.bottom - frame.top;
    result = 0;
    return true;
  }
  if (message == 0x02E0 /* WM_DPICHANGED */ && installer_window.window == window) {
    layout_dpi = HIWORD(wparam);
    make_fonts();
    apply_fonts(window);
    const RECT* suggested = reinterpret_cast<const RECT*>(lparam);
    SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                 suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    lay_out_window();
    result = 0;
    return true;
  }
  return false;
}
