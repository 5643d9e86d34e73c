#include "app/centring.h"

POINT ComputeCentredPosition(RECT window, RECT centre, RECT area) {
  const LONG width = window.right - window.left;
  const LONG height = window.bottom - window.top;
  LONG x = (centre.left + centre.right) / 2 - width / 2;
  LONG y = (centre.top + centre.bottom) / 2 - height / 2;
  // The POSIX stand-in repeats these four lines where it corrects a position
  // for a window manager's frame (platform/posix/qt/window_functions.cpp).
  if (x + width > area.right) x = area.right - width;
  if (x < area.left) x = area.left;
  if (y + height > area.bottom) y = area.bottom - height;
  if (y < area.top) y = area.top;
  return POINT{x, y};
}

void CentreWindow(HWND window, HWND centre_against) {
  const DWORD style = static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE));
  if (centre_against == nullptr) {
    centre_against = (style & WS_CHILD) ? GetParent(window) : GetWindow(window, GW_OWNER);
  }

  RECT window_rect{};
  GetWindowRect(window, &window_rect);

  RECT area{};
  RECT centre{};
  if (style & WS_CHILD) {
    const HWND parent = GetParent(window);
    GetClientRect(parent, &area);
    GetClientRect(centre_against, &centre);
    MapWindowPoints(centre_against, parent, reinterpret_cast<POINT*>(&centre), 2);
  } else {
    if (centre_against != nullptr) {
      const DWORD against_style = static_cast<DWORD>(GetWindowLongW(centre_against, GWL_STYLE));
      if (!(against_style & WS_VISIBLE) || (against_style & WS_MINIMIZE)) centre_against = nullptr;
    }
    const HMONITOR monitor =
        MonitorFromWindow(centre_against ? centre_against : window, MONITOR_DEFAULTTONEAREST);
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    if (monitor == nullptr || !GetMonitorInfoW(monitor, &info)) return;
    area = info.rcWork;
    if (centre_against != nullptr) {
      GetWindowRect(centre_against, &centre);
    } else {
      centre = info.rcWork;
    }
  }

  const POINT position = ComputeCentredPosition(window_rect, centre, area);
  SetWindowPos(window, nullptr, position.x, position.y, -1, -1,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}
