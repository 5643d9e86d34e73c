// The window functions: text, styles and relations, rectangles in screen
// and client coordinates, monitors, and SetWindowPos / ShowWindow with the
// correction for a window manager's frame.
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

#include <memory>

#include "internal.h"

namespace exelore_qt {

// SetWindowTextW: a dialog's caption or a control's text.
BOOL WINAPI SetWindowTextWImpl(HWND hWnd, LPCWSTR lpString) {
  Window* window = FromHandle(hWnd);
  if (window == nullptr) return FALSE;
  SetText(window, FromWide(lpString));
  return TRUE;
}

// GetWindowLongW: GWL_STYLE carries WS_VISIBLE, WS_DISABLED and WS_MINIMIZE
// as the window's state is now; an unknown index fails with
// ERROR_INVALID_INDEX.
LONG WINAPI GetWindowLongWImpl(HWND hWnd, int nIndex) {
  Window* window = FromHandle(hWnd);
  if (window == nullptr) return 0;
  switch (nIndex) {
    case GWL_STYLE: {
      DWORD style = window->style & ~static_cast<DWORD>(WS_VISIBLE | WS_DISABLED | WS_MINIMIZE);
      if (!window->widget->isHidden()) style |= WS_VISIBLE;
      if (!window->widget->isEnabled()) style |= WS_DISABLED;
      if (window->parent == nullptr && window->widget->isMinimized()) style |= WS_MINIMIZE;
      return static_cast<LONG>(style);
    }
    case GWL_EXSTYLE:
      return static_cast<LONG>(window->exstyle);
    case GWL_ID:
      return window->id;
    default:
      Fail(ERROR_INVALID_INDEX);
      return 0;
  }
}

// GetParent: a child's parent; for a top-level pop-up, its owner.
HWND WINAPI GetParentImpl(HWND hWnd) {
  Window* window = FromHandle(hWnd);
  if (window == nullptr) return nullptr;
  return window->parent ? Handle(window->parent) : window->owner;
}

// GetWindow: GW_OWNER only (null for child windows).
HWND WINAPI GetWindowImpl(HWND hWnd, UINT uCmd) {
  Window* window = FromHandle(hWnd);
  if (window == nullptr) return nullptr;
  if (uCmd != GW_OWNER) {
    Fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return window->parent ? nullptr : window->owner;
}

namespace {

// The window of a call that fills `lpRect`; null with the last error set
// when the handle is not a live window or there is no rectangle to fill.
Window* RectangleOwner(HWND hWnd, LPRECT lpRect) {
  Window* window = FromHandle(hWnd);
  if (window != nullptr && lpRect == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return window;
}

}  // namespace

// GetWindowRect: screen coordinates of the whole window, frame included.
BOOL WINAPI GetWindowRectImpl(HWND hWnd, LPRECT lpRect) {
  Window* window = RectangleOwner(hWnd, lpRect);
  if (window == nullptr) return FALSE;
  if (window->parent == nullptr) {
    *lpRect = ToRect(window->widget->frameGeometry());
  } else {
    *lpRect = ToRect(QRect(window->widget->mapToGlobal(QPoint(0, 0)), window->widget->size()));
  }
  return TRUE;
}

// GetClientRect: 0, 0 and the size of the client area.
BOOL WINAPI GetClientRectImpl(HWND hWnd, LPRECT lpRect) {
  Window* window = RectangleOwner(hWnd, lpRect);
  if (window == nullptr) return FALSE;
  *lpRect = RECT{0, 0, window->widget->width(), window->widget->height()};
  return TRUE;
}

// MapWindowPoints: moves points from one window's client coordinates to
// another's (null: the screen) and returns the horizontal shift in the low
// word and the vertical shift in the high word.
int WINAPI MapWindowPointsImpl(HWND hWndFrom, HWND hWndTo, LPPOINT lpPoints, UINT cPoints) {
  QPoint from_origin(0, 0);
  QPoint to_origin(0, 0);
  if (hWndFrom != nullptr) {
    Window* from = FromHandle(hWndFrom);
    if (from == nullptr) return 0;
    from_origin = from->widget->mapToGlobal(QPoint(0, 0));
  }
  if (hWndTo != nullptr) {
    Window* to = FromHandle(hWndTo);
    if (to == nullptr) return 0;
    to_origin = to->widget->mapToGlobal(QPoint(0, 0));
  }
  const QPoint shift = from_origin - to_origin;
  for (UINT i = 0; lpPoints != nullptr && i < cPoints; ++i) {
    lpPoints[i].x += shift.x();
    lpPoints[i].y += shift.y();
  }
  g_host->set_last_error(ERROR_SUCCESS);
  return static_cast<int>(static_cast<DWORD>(static_cast<WORD>(shift.x())) |
                          (static_cast<DWORD>(static_cast<WORD>(shift.y())) << 16));
}

// MonitorFromWindow: the screen showing most of the window; by the flags, the
// primary screen or null when it is on none. A monitor handle is a QScreen.
HMONITOR WINAPI MonitorFromWindowImpl(HWND hwnd, DWORD dwFlags) {
  Window* window = FromHandle(hwnd);
  if (window == nullptr) return nullptr;
  const QRect frame = window->widget->window()->frameGeometry();
  QScreen* best = nullptr;
  long long best_area = 0;
  for (QScreen* screen : QGuiApplication::screens()) {
    const QRect common = screen->geometry().intersected(frame);
    const long long area = static_cast<long long>(common.width()) * common.height();
    if (area > best_area) {
      best = screen;
      best_area = area;
    }
  }
  if (best == nullptr && dwFlags != MONITOR_DEFAULTTONULL) {
    best = window->widget->screen() ? window->widget->screen() : QGuiApplication::primaryScreen();
  }
  return reinterpret_cast<HMONITOR>(best);
}

// GetMonitorInfoW: the screen's rectangle and work area (its available
// geometry: the screen less panels and docks); cbSize must be that of
// MONITORINFO or MONITORINFOEXW (Wine dlls/user32 checks the same).
BOOL WINAPI GetMonitorInfoWImpl(HMONITOR hMonitor, LPMONITORINFO lpmi) {
  auto* screen = reinterpret_cast<QScreen*>(hMonitor);
  if (screen == nullptr || !QGuiApplication::screens().contains(screen)) {
    Fail(ERROR_INVALID_MONITOR_HANDLE);
    return FALSE;
  }
  if (lpmi == nullptr ||
      (lpmi->cbSize != sizeof(MONITORINFO) && lpmi->cbSize != sizeof(MONITORINFOEXW))) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  lpmi->rcMonitor = ToRect(screen->geometry());
  lpmi->rcWork = ToRect(screen->availableGeometry());
  lpmi->dwFlags = screen == QGuiApplication::primaryScreen() ? MONITORINFOF_PRIMARY : 0;
  return TRUE;
}

namespace {

// Keeps the centre of a window placed before it was ever shown once the
// window manager's frame is known, and keeps it inside the work area.
// Windows knows a window's frame from its style before showing it, so
// GetWindowRect already includes it; under X11 the frame exists only once
// the window manager has framed the window, so positions computed from the
// frameless size are corrected here.
// Returns false while the frame is still unknown.
bool MoveForFrame(QWidget* widget, const QRect& requested) {
  const QRect frame = widget->frameGeometry();
  if (frame.size() == widget->size()) return false;
  const LONG width = frame.width();
  const LONG height = frame.height();
  LONG x = requested.x() - (width - requested.width()) / 2;
  LONG y = requested.y() - (height - requested.height()) / 2;
  const QRect available = widget->screen() ? widget->screen()->availableGeometry() : QRect();
  if (available.isValid()) {
    // The pull-back of the program's own centring, line for line
    // (ComputeCentredPosition, app/centring.cpp, which the stand-in cannot
    // include): right edge, then left, bottom edge, then top.
    const RECT area = ToRect(available);
    if (x + width > area.right) x = area.right - width;
    if (x < area.left) x = area.left;
    if (y + height > area.bottom) y = area.bottom - height;
    if (y < area.top) y = area.top;
  }
  widget->move(x, y);
  return true;
}

void KeepCentreOnceFramed(Window* window, const QRect& requested) {
  if (MoveForFrame(window->widget, requested)) return;  // the platform knew the frame at once
  auto* timer = new QTimer(window->widget);
  auto tries = std::make_shared<int>(0);
  QObject::connect(timer, &QTimer::timeout, [window, timer, tries, requested] {
    // No frame after a second: none will come (no window manager).
    if (MoveForFrame(window->widget, requested) || ++*tries > 50) timer->deleteLater();
  });
  timer->start(20);
}

}  // namespace

// SetWindowPos: moves (the frame's top-left corner for a top-level window,
// client coordinates of the parent for a child) and resizes unless
// SWP_NOMOVE / SWP_NOSIZE; z-order and activation are not changed here.
BOOL WINAPI SetWindowPosImpl(HWND hWnd, HWND /*hWndInsertAfter*/, int X, int Y, int cx, int cy,
                             UINT uFlags) {
  Window* window = FromHandle(hWnd);
  if (window == nullptr) return FALSE;
  if (!(uFlags & SWP_NOSIZE) && cx >= 0 && cy >= 0) {
    if (window->parent == nullptr) {
      const QSize frame = window->widget->frameGeometry().size() - window->widget->size();
      if (window->style & WS_THICKFRAME) {
        window->widget->resize(QSize(cx, cy) - frame);
      } else {
        window->widget->setFixedSize(QSize(cx, cy) - frame);  // no sizing border
      }
    } else {
      window->widget->resize(cx, cy);
    }
  }
  if (!(uFlags & SWP_NOMOVE)) {
    window->widget->move(X, Y);
    if (window->parent == nullptr && !window->shown_once) window->placed_before_frame = true;
  }
  return TRUE;
}

// ShowWindow: SW_HIDE hides, every other command shows (and activates);
// returns whether the window was visible before.
BOOL WINAPI ShowWindowImpl(HWND hWnd, int nCmdShow) {
  Window* window = FromHandle(hWnd);
  if (window == nullptr) return FALSE;
  const BOOL was_visible = window->widget->isHidden() ? FALSE : TRUE;
  if (nCmdShow == SW_HIDE) {
    window->widget->hide();
    return was_visible;
  }
  const QRect requested(window->widget->pos(), window->widget->size());
  window->widget->show();
  if (window->parent == nullptr) {
    window->widget->raise();
    window->widget->activateWindow();
    if (!window->shown_once && window->placed_before_frame) KeepCentreOnceFramed(window, requested);
    window->shown_once = true;
  }
  return was_visible;
}

}  // namespace exelore_qt
