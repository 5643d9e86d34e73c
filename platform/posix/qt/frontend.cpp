// The Qt front end of the stand-in's USER32 and COMDLG32: dialogs built from
// DIALOGEX templates out of Qt Widgets, a message queue for the dialog
// procedure, and the Open dialog. Loaded with dlopen by user32.cpp only when
// the program opens a window (see frontend.h for the interface).
//
// Window handles are pointers to Window records; a handle that is not a live
// record fails with ERROR_INVALID_WINDOW_HANDLE, as a stale HWND does.
#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <cstdlib>
#include <deque>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "frontend.h"
#include "text.h"

namespace exelore_qt {
namespace {

using exelore_posix::DialogItemTemplate;
using exelore_posix::DialogTemplate;
using exelore_posix::FileChooser;
using exelore_posix::Frontend;
using exelore_posix::FrontendHost;

constexpr DWORD kErrorInvalidIndex = 1413;         // ERROR_INVALID_INDEX
constexpr DWORD kErrorCannotFindWndClass = 1407;  // ERROR_CANNOT_FIND_WND_CLASS

const FrontendHost* g_host = nullptr;

void Fail(DWORD code) { g_host->set_last_error(code); }

enum class Kind { kDialog, kButton, kLineEdit, kTextBox };

struct Window {
  Kind kind;
  QWidget* widget;
  Window* parent = nullptr;  // the dialog, for controls
  HWND owner = nullptr;      // for dialogs
  DWORD style = 0;
  DWORD exstyle = 0;
  int id = 0;
  DLGPROC proc = nullptr;
  std::vector<Window*> children;
  // Set by SetWindowPos while the window was never shown: the position was
  // computed before the window manager's frame was known.
  bool placed_before_frame = false;
  bool shown_once = false;
};

std::unordered_set<Window*> g_windows;
std::unordered_map<const QWidget*, Window*> g_by_widget;
std::deque<MSG> g_queue;
std::vector<Window*> g_created;  // dialogs, in creation order
QEventLoop* g_waiting = nullptr;
FileChooser g_chooser = nullptr;
void* g_chooser_context = nullptr;
void (*g_idle_hook)(void*) = nullptr;
void* g_idle_context = nullptr;

HWND Handle(Window* window) { return reinterpret_cast<HWND>(window); }

Window* FromHandle(HWND handle) {
  auto* window = reinterpret_cast<Window*>(handle);
  if (handle == nullptr || g_windows.count(window) == 0) {
    Fail(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  return window;
}

Window* Item(Window* dialog, int id) {
  for (Window* child : dialog->children) {
    if (child->id == id) return child;
  }
  return nullptr;
}

bool IsSelfOrChild(Window* window, HWND handle) {
  if (Handle(window) == handle) return true;
  for (Window* child : window->children) {
    if (Handle(child) == handle) return true;
  }
  return false;
}

DWORD MessageTime() {
  using namespace std::chrono;
  return static_cast<DWORD>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// PostMessageW's part: queue for GetMessageW and wake it.
void Post(Window* window, UINT message, WPARAM wParam, LPARAM lParam) {
  const QPoint cursor = QCursor::pos();
  g_queue.push_back(MSG{Handle(window), message, wParam, lParam, MessageTime(),
                        POINT{cursor.x(), cursor.y()}});
  if (g_waiting != nullptr) g_waiting->quit();
}

RECT ToRect(const QRect& r) { return RECT{r.x(), r.y(), r.x() + r.width(), r.y() + r.height()}; }

QString FromWide(LPCWSTR text) {
  return text == nullptr ? QString() : QString::fromUtf16(text);
}

// MulDiv: a * b / c rounded half away from zero.
int MulDiv(int a, int b, int c) {
  const long long product = static_cast<long long>(a) * b;
  const long long half = c / 2;
  return static_cast<int>((product >= 0 ? product + half : product - half) / c);
}

// The dialog window: a plain top-level widget, so that neither Escape nor
// Enter does anything of Qt's own (a QDialog would close or press a button);
// the dialog manager's handling of both is in the key filter below.
class DialogWidget : public QWidget {
 public:
  explicit DialogWidget(QWidget* owner) : QWidget(owner, Qt::Window) {}
  Window* window = nullptr;

 protected:
  // The close box: Windows sends WM_CLOSE to the dialog procedure and leaves
  // the rest to it.
  void closeEvent(QCloseEvent* event) override {
    event->ignore();
    Post(window, WM_CLOSE, 0, 0);
  }
};

// IsDialogMessageW's keyboard part (Wine dlls/user32/dialog.c): Escape sends
// WM_COMMAND IDCANCEL and Enter sends WM_COMMAND IDOK (no control here has a
// default push button or wants Enter), both with BN_CLICKED and no control
// handle. Tab moves through the tab order, which Qt does itself.
class DialogKeys : public QObject {
 public:
  explicit DialogKeys(Window* dialog) : dialog_(dialog) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::KeyPress) return QObject::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Escape) {
      Post(dialog_, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
      return true;
    }
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
      Post(dialog_, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      return true;
    }
    return false;
  }

 private:
  Window* dialog_;
};

QString WindowText(Window* window) {
  switch (window->kind) {
    case Kind::kDialog:
      return window->widget->windowTitle();
    case Kind::kButton:
      return static_cast<QAbstractButton*>(window->widget)->text();
    case Kind::kLineEdit:
      return static_cast<QLineEdit*>(window->widget)->text();
    case Kind::kTextBox:
      // A multi-line edit's line breaks are CR LF.
      return static_cast<QPlainTextEdit*>(window->widget)
          ->toPlainText()
          .replace(QChar(u'\n'), QStringLiteral("\r\n"));
  }
  return QString();
}

void SetText(Window* window, const QString& text) {
  switch (window->kind) {
    case Kind::kDialog:
      window->widget->setWindowTitle(text);
      break;
    case Kind::kButton:
      static_cast<QAbstractButton*>(window->widget)->setText(text);
      break;
    case Kind::kLineEdit:
      static_cast<QLineEdit*>(window->widget)->setText(text);
      break;
    case Kind::kTextBox:
      static_cast<QPlainTextEdit*>(window->widget)
          ->setPlainText(QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
      break;
  }
}

void Register(Window* window) {
  g_windows.insert(window);
  g_by_widget[window->widget] = window;
}

void Forget(Window* window) {
  g_windows.erase(window);
  g_by_widget.erase(window->widget);
  std::erase_if(g_queue, [&](const MSG& m) { return m.hwnd == Handle(window); });
}

// The dialog font: the template's face, size, weight and italic; a face the
// system lacks ("MS Shell Dlg" is a Windows alias) falls back to a sans font.
QFont DialogFont(const DialogTemplate& dialog) {
  QFont font(FromWide(dialog.typeface));
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(dialog.point_size > 0 ? dialog.point_size : 8);
  if (dialog.weight > 0) font.setWeight(static_cast<QFont::Weight>(dialog.weight));
  font.setItalic(dialog.italic != 0);
  return font;
}

// Dialog base units as Windows computes them (GdiGetCharDimensions): the
// average width of the 52 Latin letters, rounded, and the font's height. A
// dialog unit is a quarter of the first and an eighth of the second.
struct BaseUnits {
  int x;
  int y;
};

BaseUnits DialogBaseUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int total =
      metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return BaseUnits{std::max(1, (total / 26 + 1) / 2), std::max(1, metrics.height())};
}

QRect MapDialogRect(const BaseUnits& units, int x, int y, int cx, int cy) {
  return QRect(MulDiv(x, units.x, 4), MulDiv(y, units.y, 8), MulDiv(cx, units.x, 4),
               MulDiv(cy, units.y, 8));
}

bool SameClass(const WCHAR* name, const char16_t* expected) {
  return name != nullptr && QString::fromUtf16(name).compare(QString::fromUtf16(expected),
                                                             Qt::CaseInsensitive) == 0;
}

Window* CreateControl(Window* dialog, const DialogItemTemplate& item, const BaseUnits& units) {
  auto* control = new Window{};
  control->parent = dialog;
  control->style = item.style;
  control->exstyle = item.exstyle;
  control->id = static_cast<int>(item.id);
  const QString text = FromWide(item.text);
  if (SameClass(item.window_class, u"Button")) {
    auto* button = new QPushButton(text, dialog->widget);
    button->setAutoDefault(false);
    control->kind = Kind::kButton;
    control->widget = button;
    QObject::connect(button, &QPushButton::clicked, [dialog, control] {
      Post(dialog, WM_COMMAND, MAKEWPARAM(control->id, BN_CLICKED),
           reinterpret_cast<LPARAM>(Handle(control)));
    });
  } else if (SameClass(item.window_class, u"Edit") && (item.style & ES_MULTILINE)) {
    auto* box = new QPlainTextEdit(dialog->widget);
    box->setPlainText(text);
    box->setReadOnly((item.style & ES_READONLY) != 0);
    // A read-only edit still lets the keyboard move and select, and Tab
    // leaves it, as in a Windows dialog.
    box->setTextInteractionFlags((item.style & ES_READONLY)
                                     ? Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard
                                     : Qt::TextEditorInteraction);
    box->setTabChangesFocus(true);
    box->setLineWrapMode((item.style & ES_AUTOHSCROLL) ? QPlainTextEdit::NoWrap
                                                       : QPlainTextEdit::WidgetWidth);
    box->setVerticalScrollBarPolicy((item.style & WS_VSCROLL) ? Qt::ScrollBarAlwaysOn
                                                              : Qt::ScrollBarAlwaysOff);
    box->setHorizontalScrollBarPolicy((item.style & WS_HSCROLL) ? Qt::ScrollBarAlwaysOn
                                                                : Qt::ScrollBarAlwaysOff);
    if (!(item.style & WS_BORDER)) box->setFrameShape(QFrame::NoFrame);
    control->kind = Kind::kTextBox;
    control->widget = box;
  } else if (SameClass(item.window_class, u"Edit")) {
    auto* edit = new QLineEdit(text, dialog->widget);
    edit->setReadOnly((item.style & ES_READONLY) != 0);
    edit->setFrame((item.style & WS_BORDER) != 0);
    control->kind = Kind::kLineEdit;
    control->widget = edit;
    // EN_CHANGE after every change of the text (edit control notifications).
    QObject::connect(edit, &QLineEdit::textChanged, [dialog, control] {
      Post(dialog, WM_COMMAND, MAKEWPARAM(control->id, 0x0300 /* EN_CHANGE */),
           reinterpret_cast<LPARAM>(Handle(control)));
    });
  } else {
    delete control;
    return nullptr;
  }
  control->widget->setGeometry(MapDialogRect(units, item.x, item.y, item.cx, item.cy));
  control->widget->setFocusPolicy((item.style & WS_TABSTOP) ? Qt::StrongFocus : Qt::ClickFocus);
  control->widget->setEnabled(!(item.style & WS_DISABLED));
  control->widget->setVisible((item.style & WS_VISIBLE) != 0);
  return control;
}

void DestroyTree(Window* window) {
  for (Window* child : window->children) {
    Forget(child);
    delete child;
  }
  window->children.clear();
  Forget(window);
  delete window->widget;  // deletes the child widgets too
  delete window;
}

// ---------------------------------------------------------------------------
// USER32
// ---------------------------------------------------------------------------

BOOL WINAPI ShowWindowImpl(HWND hWnd, int nCmdShow);

// CreateDialogParamW (Microsoft documentation; Wine dlls/user32/dialog.c):
// the dialog and its controls from the template, controls in template order,
// which is also the tab order; WM_INITDIALOG is sent with the first tab stop
// as wParam and dwInitParam as lParam, and a nonzero answer gives that
// control the focus. Shown only when the template has WS_VISIBLE.
HWND WINAPI CreateDialog(const DialogTemplate* dialog_template, HWND owner, DLGPROC proc,
                         LPARAM param) {
  Window* owner_window = nullptr;
  if (owner != nullptr && (owner_window = FromHandle(owner)) == nullptr) return nullptr;

  auto* dialog = new Window{};
  dialog->kind = Kind::kDialog;
  dialog->style = dialog_template->style & ~static_cast<DWORD>(WS_VISIBLE);
  dialog->exstyle = dialog_template->exstyle;
  dialog->owner = owner;
  dialog->proc = proc;
  auto* widget = new DialogWidget(owner_window ? owner_window->widget : nullptr);
  widget->window = dialog;
  dialog->widget = widget;
  Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint;
  if (dialog_template->style & WS_CAPTION) flags |= Qt::WindowTitleHint;
  if (dialog_template->style & WS_SYSMENU) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
  widget->setWindowFlags(flags);
  widget->setWindowTitle(FromWide(dialog_template->caption));

  const QFont font = DialogFont(*dialog_template);
  widget->setFont(font);
  const BaseUnits units = DialogBaseUnits(font);
  const QRect client = MapDialogRect(units, dialog_template->x, dialog_template->y,
                                     dialog_template->cx, dialog_template->cy);
  widget->setFixedSize(client.size());  // no sizing border: the size is fixed
  Register(dialog);
  std::erase_if(g_created, [](Window* w) { return g_windows.count(w) == 0; });
  g_created.push_back(dialog);

  auto* keys = new DialogKeys(dialog);
  keys->setParent(widget);
  widget->installEventFilter(keys);
  QWidget* previous = nullptr;
  HWND first_tab_stop = nullptr;
  for (std::size_t i = 0; i < dialog_template->item_count; ++i) {
    Window* control = CreateControl(dialog, dialog_template->items[i], units);
    if (control == nullptr) {
      DestroyTree(dialog);
      Fail(kErrorCannotFindWndClass);
      return nullptr;
    }
    dialog->children.push_back(control);
    Register(control);
    control->widget->installEventFilter(keys);
    if (previous != nullptr) QWidget::setTabOrder(previous, control->widget);
    previous = control->widget;
    if (first_tab_stop == nullptr && (control->style & WS_TABSTOP)) first_tab_stop = Handle(control);
  }

  if (proc != nullptr) {
    const INT_PTR focus = proc(Handle(dialog), WM_INITDIALOG,
                               reinterpret_cast<WPARAM>(first_tab_stop), param);
    if (g_windows.count(dialog) == 0) return nullptr;  // destroyed by its own procedure
    if (focus != 0 && first_tab_stop != nullptr) {
      reinterpret_cast<Window*>(first_tab_stop)->widget->setFocus(Qt::OtherFocusReason);
    }
  }
  if (dialog_template->style & WS_VISIBLE) ShowWindowImpl(Handle(dialog), SW_SHOW);
  return Handle(dialog);
}

// DestroyWindow: destroys the window and its children; their handles become
// invalid and their queued messages are dropped.
BOOL WINAPI DestroyWindowImpl(HWND hWnd) {
  Window* window = FromHandle(hWnd);
  if (window == nullptr) return FALSE;
  if (window->parent != nullptr) {
    std::erase(window->parent->children, window);
    Forget(window);
    delete window->widget;
    delete window;
    return TRUE;
  }
  DestroyTree(window);
  return TRUE;
}

// SetWindowTextW: a dialog's caption or a control's text.
BOOL WINAPI SetWindowTextImpl(HWND hWnd, LPCWSTR lpString) {
  Window* window = FromHandle(hWnd);
  if (window == nullptr) return FALSE;
  SetText(window, FromWide(lpString));
  return TRUE;
}

// GetWindowLongW: GWL_STYLE carries WS_VISIBLE, WS_DISABLED and WS_MINIMIZE
// as the window's state is now; an unknown index fails with
// ERROR_INVALID_INDEX.
LONG WINAPI GetWindowLongImpl(HWND hWnd, int nIndex) {
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
      Fail(kErrorInvalidIndex);
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

// GetWindowRect: screen coordinates of the whole window, frame included.
BOOL WINAPI GetWindowRectImpl(HWND hWnd, LPRECT lpRect) {
  Window* window = FromHandle(hWnd);
  if (window == nullptr) return FALSE;
  if (lpRect == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (window->parent == nullptr) {
    *lpRect = ToRect(window->widget->frameGeometry());
  } else {
    *lpRect = ToRect(QRect(window->widget->mapToGlobal(QPoint(0, 0)), window->widget->size()));
  }
  return TRUE;
}

// GetClientRect: 0, 0 and the size of the client area.
BOOL WINAPI GetClientRectImpl(HWND hWnd, LPRECT lpRect) {
  Window* window = FromHandle(hWnd);
  if (window == nullptr) return FALSE;
  if (lpRect == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
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
BOOL WINAPI GetMonitorInfoImpl(HMONITOR hMonitor, LPMONITORINFO lpmi) {
  auto* screen = reinterpret_cast<QScreen*>(hMonitor);
  if (screen == nullptr || !QGuiApplication::screens().contains(screen)) {
    Fail(1461 /* ERROR_INVALID_MONITOR_HANDLE */);
    return FALSE;
  }
  if (lpmi == nullptr || (lpmi->cbSize != sizeof(MONITORINFO) && lpmi->cbSize != 104)) {
    Fail(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  lpmi->rcMonitor = ToRect(screen->geometry());
  lpmi->rcWork = ToRect(screen->availableGeometry());
  lpmi->dwFlags = screen == QGuiApplication::primaryScreen() ? MONITORINFOF_PRIMARY : 0;
  return TRUE;
}

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
  int x = requested.x() - (frame.width() - requested.width()) / 2;
  int y = requested.y() - (frame.height() - requested.height()) / 2;
  const QRect area = widget->screen() ? widget->screen()->availableGeometry() : QRect();
  if (area.isValid()) {
    if (x + frame.width() > area.x() + area.width()) x = area.x() + area.width() - frame.width();
    if (x < area.x()) x = area.x();
    if (y + frame.height() > area.y() + area.height()) y = area.y() + area.height() - frame.height();
    if (y < area.y()) y = area.y();
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
      window->widget->setFixedSize(QSize(cx, cy) - frame);
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

bool Matches(const MSG& message, HWND hWnd, UINT min, UINT max) {
  // WM_QUIT belongs to the thread, not a window: every filter takes it.
  if (message.message == WM_QUIT) return true;
  if (hWnd != nullptr) {
    Window* window = reinterpret_cast<Window*>(hWnd);
    if (!IsSelfOrChild(window, message.hwnd)) return false;
  }
  return (min == 0 && max == 0) || (message.message >= min && message.message <= max);
}

// GetMessageW: waits, running Qt's event loop, until a message for hWnd (or
// one of its children; any window when null) within the range is queued;
// returns 0 for WM_QUIT, -1 for an invalid window.
BOOL WINAPI GetMessageImpl(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  if (hWnd != nullptr && FromHandle(hWnd) == nullptr) return -1;
  if (lpMsg == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return -1;
  }
  for (bool idle_ran = false;;) {
    for (auto it = g_queue.begin(); it != g_queue.end(); ++it) {
      if (Matches(*it, hWnd, wMsgFilterMin, wMsgFilterMax)) {
        *lpMsg = *it;
        g_queue.erase(it);
        return lpMsg->message == WM_QUIT ? FALSE : TRUE;
      }
    }
    if (g_idle_hook != nullptr && !idle_ran) {
      idle_ran = true;
      g_idle_hook(g_idle_context);
      continue;
    }
    idle_ran = false;
    QEventLoop loop;
    QEventLoop* outer = g_waiting;
    g_waiting = &loop;
    if (g_idle_hook != nullptr) QTimer::singleShot(0, &loop, &QEventLoop::quit);
    loop.exec();
    g_waiting = outer;
    if (hWnd != nullptr && g_windows.count(reinterpret_cast<Window*>(hWnd)) == 0) {
      Fail(ERROR_INVALID_WINDOW_HANDLE);
      return -1;
    }
  }
}

LRESULT WINAPI DispatchMessageImpl(const MSG* lpMsg);

// IsDialogMessageW: a message for the dialog or one of its controls is the
// dialog manager's: it is dispatched here and TRUE returned. Keyboard input
// never reaches the queue (Qt delivers it to the controls, and the dialog
// keys are handled by DialogKeys), so nothing else needs translating.
BOOL WINAPI IsDialogMessageImpl(HWND hDlg, LPMSG lpMsg) {
  Window* dialog = FromHandle(hDlg);
  if (dialog == nullptr || lpMsg == nullptr || !IsSelfOrChild(dialog, lpMsg->hwnd)) return FALSE;
  DispatchMessageImpl(lpMsg);
  return TRUE;
}

// TranslateMessage: there are no key messages in the queue to translate.
BOOL WINAPI TranslateMessageImpl(const MSG* /*lpMsg*/) { return FALSE; }

// DispatchMessageW: hands a queued message to the dialog procedure of its
// window and returns the procedure's answer.
LRESULT WINAPI DispatchMessageImpl(const MSG* lpMsg) {
  if (lpMsg == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return 0;
  }
  Window* window = FromHandle(lpMsg->hwnd);
  if (window == nullptr || window->proc == nullptr) return 0;
  return window->proc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

// GetDlgItemTextW: copies at most cchMax - 1 units of the control's text and
// a NUL; returns the units copied. A missing control gives 0, an empty
// buffer and ERROR_CONTROL_ID_NOT_FOUND.
UINT WINAPI GetDlgItemTextImpl(HWND hDlg, int nIDDlgItem, LPWSTR lpString, int cchMax) {
  Window* dialog = FromHandle(hDlg);
  Window* control = dialog ? Item(dialog, nIDDlgItem) : nullptr;
  if (dialog != nullptr && control == nullptr) Fail(ERROR_CONTROL_ID_NOT_FOUND);
  if (lpString == nullptr || cchMax <= 0) return 0;
  if (control == nullptr) {
    lpString[0] = 0;
    return 0;
  }
  const QString text = WindowText(control);
  const auto count = std::min<qsizetype>(text.size(), cchMax - 1);
  std::copy_n(reinterpret_cast<const WCHAR*>(text.utf16()), count, lpString);
  lpString[count] = 0;
  return static_cast<UINT>(count);
}

// SetDlgItemTextW: SetWindowTextW on the control.
BOOL WINAPI SetDlgItemTextImpl(HWND hDlg, int nIDDlgItem, LPCWSTR lpString) {
  Window* dialog = FromHandle(hDlg);
  if (dialog == nullptr) return FALSE;
  Window* control = Item(dialog, nIDDlgItem);
  if (control == nullptr) {
    Fail(ERROR_CONTROL_ID_NOT_FOUND);
    return FALSE;
  }
  SetText(control, FromWide(lpString));
  return TRUE;
}

// ---------------------------------------------------------------------------
// COMDLG32
// ---------------------------------------------------------------------------

// The filter pairs of OPENFILENAMEW ("Executable\0*.exe\0\0") in Qt's form
// ("Executable (*.exe)"), patterns separated by ';' in Windows and by spaces
// in Qt.
QStringList QtFilters(LPCWSTR filter) {
  QStringList filters;
  while (filter != nullptr && *filter != 0) {
    const QString description = QString::fromUtf16(filter);
    filter += description.size() + 1;
    if (*filter == 0) break;
    const QString patterns = QString::fromUtf16(filter);
    filter += patterns.size() + 1;
    filters << QStringLiteral("%1 (%2)").arg(description, QString(patterns).replace(u';', u' '));
  }
  return filters;
}

// GetOpenFileNameW (Microsoft documentation of OPENFILENAMEW): nFilterIndex
// is 1-based, 0 meaning the first pair when there is no custom filter;
// OFN_FILEMUSTEXIST accepts only existing files. On OK the path goes into
// lpstrFile when it fits in nMaxFile units with its NUL (else the call
// fails), with nFileOffset and nFileExtension pointing at the name and the
// extension; Cancel returns 0 and changes nothing.
BOOL WINAPI GetOpenFileNameImpl(LPOPENFILENAMEW lpofn) {
  QWidget* owner = nullptr;
  if (lpofn->hwndOwner != nullptr) {
    Window* window = FromHandle(lpofn->hwndOwner);
    if (window == nullptr) return FALSE;
    owner = window->widget;
  }
  const QStringList filters = QtFilters(lpofn->lpstrFilter);
  const bool must_exist = (lpofn->Flags & OFN_FILEMUSTEXIST) != 0;
  const qsizetype index = lpofn->nFilterIndex == 0 ? 0 : lpofn->nFilterIndex - 1;

  std::u16string path;
  if (g_chooser != nullptr) {
    const WCHAR* chosen = g_chooser(g_chooser_context,
                                    reinterpret_cast<const WCHAR*>(filters.join(QStringLiteral(";;")).utf16()),
                                    must_exist ? TRUE : FALSE);
    if (chosen == nullptr) return FALSE;
    path = chosen;
  } else {
    QFileDialog dialog(owner, lpofn->lpstrTitle ? FromWide(lpofn->lpstrTitle) : QStringLiteral("Open"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(must_exist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setNameFilters(filters);
    if (index < filters.size()) dialog.selectNameFilter(filters[index]);
    if (lpofn->lpstrInitialDir != nullptr) dialog.setDirectory(FromWide(lpofn->lpstrInitialDir));
    if (lpofn->lpstrFile != nullptr && lpofn->lpstrFile[0] != 0) {
      dialog.selectFile(FromWide(lpofn->lpstrFile));
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return FALSE;
    // Through the file-system bytes, so a name that is not UTF-8 maps the way
    // every other path of the stand-in does.
    const QByteArray bytes = QFile::encodeName(dialog.selectedFiles().first());
    path = exelore_posix::BytesToUtf16(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
  }

  if (lpofn->lpstrFile == nullptr || path.size() + 1 > lpofn->nMaxFile) {
    Fail(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::copy(path.begin(), path.end(), lpofn->lpstrFile);
  lpofn->lpstrFile[path.size()] = 0;
  const auto slash = path.find_last_of(u'/');
  const std::size_t name = slash == std::u16string::npos ? 0 : slash + 1;
  const auto dot = path.find_last_of(u'.');
  lpofn->nFileOffset = static_cast<WORD>(name);
  lpofn->nFileExtension =
      static_cast<WORD>(dot == std::u16string::npos || dot < name ? 0 : dot + 1);
  if (lpofn->lpstrFileTitle != nullptr && lpofn->nMaxFileTitle > path.size() - name) {
    std::copy(path.begin() + static_cast<std::ptrdiff_t>(name), path.end(), lpofn->lpstrFileTitle);
    lpofn->lpstrFileTitle[path.size() - name] = 0;
  }
  return TRUE;
}

// ---------------------------------------------------------------------------
// Test seams (testing.h)
// ---------------------------------------------------------------------------

Window* TestItem(HWND dialog, int id) {
  Window* window = FromHandle(dialog);
  return window ? Item(window, id) : nullptr;
}

void SendMouse(QWidget* widget, QEvent::Type type) {
  const QPointF local = QRectF(widget->rect()).center();
  QMouseEvent event(type, local, widget->mapToGlobal(local), Qt::LeftButton,
                    type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                    Qt::NoModifier);
  QApplication::sendEvent(widget, &event);
}

BOOL ClickItem(HWND dialog, int id) {
  Window* control = TestItem(dialog, id);
  if (control == nullptr || !control->widget->isEnabled()) return FALSE;
  if (control->widget->focusPolicy() & Qt::ClickFocus) control->widget->setFocus(Qt::MouseFocusReason);
  SendMouse(control->widget, QEvent::MouseButtonPress);
  SendMouse(control->widget, QEvent::MouseButtonRelease);
  return TRUE;
}

void SendKey(QWidget* target, int key, const QString& text) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
  QApplication::sendEvent(target, &press);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
  QApplication::sendEvent(target, &release);
}

BOOL TypeText(HWND dialog, int id, const WCHAR* text) {
  Window* control = TestItem(dialog, id);
  if (control == nullptr || text == nullptr) return FALSE;
  control->widget->setFocus(Qt::TabFocusReason);
  const QString all = QString::fromUtf16(text);
  for (qsizetype i = 0; i < all.size(); ++i) {
    const qsizetype length = all[i].isHighSurrogate() && i + 1 < all.size() ? 2 : 1;
    SendKey(control->widget, 0, all.mid(i, length));
    i += length - 1;
  }
  return TRUE;
}

BOOL PressKey(HWND dialog, UINT virtual_key) {
  Window* window = FromHandle(dialog);
  if (window == nullptr) return FALSE;
  // The dialog's focus widget, which keys reach once the dialog is active.
  QWidget* target = window->widget->focusWidget();
  if (target == nullptr || g_by_widget.count(target) == 0) target = window->widget;
  switch (virtual_key) {
    case VK_ESCAPE:
      SendKey(target, Qt::Key_Escape, QStringLiteral("\x1b"));
      return TRUE;
    case VK_RETURN:
      SendKey(target, Qt::Key_Return, QStringLiteral("\r"));
      return TRUE;
    case VK_TAB:
      SendKey(target, Qt::Key_Tab, QStringLiteral("\t"));
      return TRUE;
    default:
      return FALSE;
  }
}

BOOL PressCloseBox(HWND dialog) {
  Window* window = FromHandle(dialog);
  if (window == nullptr) return FALSE;
  window->widget->close();
  return TRUE;
}

void SetFileChooser(FileChooser chooser, void* context) {
  g_chooser = chooser;
  g_chooser_context = context;
}

void SetIdleHook(void (*hook)(void*), void* context) {
  g_idle_hook = hook;
  g_idle_context = context;
}

UINT FontFamily(HWND dialog, WCHAR* buffer, int capacity) {
  Window* window = FromHandle(dialog);
  if (window == nullptr || capacity <= 0) return 0;
  const QString family =
      QFontDatabase::families().isEmpty() ? QString() : QFontInfo(window->widget->font()).family();
  const auto count = std::min<qsizetype>(family.size(), capacity - 1);
  std::copy_n(reinterpret_cast<const WCHAR*>(family.utf16()), count, buffer);
  buffer[count] = 0;
  return static_cast<UINT>(count);
}

// The control with the focus in the newest dialog (whether or not the
// dialog is the active window: the offscreen platform activates none).
HWND Focus() {
  for (auto dialog = g_created.rbegin(); dialog != g_created.rend(); ++dialog) {
    if (g_windows.count(*dialog) == 0) continue;
    const auto it = g_by_widget.find((*dialog)->widget->focusWidget());
    return it == g_by_widget.end() ? nullptr : Handle(it->second);
  }
  return nullptr;
}

void PostQuit(int exit_code) {
  g_queue.push_back(MSG{nullptr, WM_QUIT, static_cast<WPARAM>(exit_code), 0, MessageTime(), POINT{0, 0}});
  if (g_waiting != nullptr) g_waiting->quit();
}

HWND LastDialog() {
  for (auto it = g_created.rbegin(); it != g_created.rend(); ++it) {
    if (g_windows.count(*it) != 0) return Handle(*it);
  }
  return nullptr;
}

HWND TestItemHandle(HWND dialog, int id) {
  Window* control = TestItem(dialog, id);
  return control ? Handle(control) : nullptr;
}

// ---------------------------------------------------------------------------
// Start-up
// ---------------------------------------------------------------------------

bool HasPlatformPlugin(const QString& name) {
  QStringList folders;
  for (const QString& folder : qEnvironmentVariable("QT_PLUGIN_PATH").split(u':', Qt::SkipEmptyParts)) {
    folders << folder + QStringLiteral("/platforms");
  }
  folders << QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms");
  for (const QString& folder : folders) {
    if (!QDir(folder).entryList({QStringLiteral("libq%1*.so").arg(name)}, QDir::Files).isEmpty()) {
      return true;
    }
  }
  return false;
}

// Whether the X server named by DISPLAY accepts a connection. Qt ends the
// process when it cannot open its display, so this is asked first, through
// libxcb (which Qt's xcb plugin loads anyway).
bool X11DisplayOpens() {
  if (qEnvironmentVariableIsEmpty("DISPLAY")) return false;
  void* xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (xcb == nullptr) return false;
  using Connect = void* (*)(const char*, int*);
  using HasError = int (*)(void*);
  using Disconnect = void (*)(void*);
  const auto connect = reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect"));
  const auto has_error = reinterpret_cast<HasError>(::dlsym(xcb, "xcb_connection_has_error"));
  const auto disconnect = reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect"));
  if (connect == nullptr || has_error == nullptr || disconnect == nullptr) return false;
  void* connection = connect(nullptr, nullptr);
  const bool ok = has_error(connection) == 0;
  disconnect(connection);
  return ok;
}

bool WaylandDisplayOpens() {
  const QString display = qEnvironmentVariable("WAYLAND_DISPLAY");
  if (display.isEmpty()) return false;
  const QString path = display.startsWith(u'/')
                           ? display
                           : qEnvironmentVariable("XDG_RUNTIME_DIR") + u'/' + display;
  return QFile::exists(path);
}

bool PlatformUsable(const QString& name) {
  if (!HasPlatformPlugin(name)) return false;
  if (name == QStringLiteral("xcb")) return X11DisplayOpens();
  if (name.startsWith(QStringLiteral("wayland"))) return WaylandDisplayOpens();
  return true;  // offscreen, minimal, vnc ... need no display to open
}

// Chooses the platform plugin the way Qt would (QT_QPA_PLATFORM, else
// Wayland in a Wayland session, else X11) but only among those that can
// start here, and pins Qt to it. False when none can.
bool ChoosePlatform() {
  QStringList candidates;
  const QString requested = qEnvironmentVariable("QT_QPA_PLATFORM");
  if (!requested.isEmpty()) {
    candidates = requested.split(u';', Qt::SkipEmptyParts);
  } else {
    if (qEnvironmentVariable("XDG_SESSION_TYPE") == QStringLiteral("wayland")) {
      candidates << QStringLiteral("wayland");
    }
    candidates << QStringLiteral("xcb");
  }
  for (const QString& candidate : candidates) {
    const QString name = candidate.section(u':', 0, 0);
    if (PlatformUsable(name)) {
      qputenv("QT_QPA_PLATFORM", candidate.toLocal8Bit());
      return true;
    }
  }
  return false;
}

const Frontend kFrontend = {
    exelore_posix::kFrontendVersion,
    &CreateDialog,
    &DestroyWindowImpl,
    &SetWindowTextImpl,
    &GetWindowLongImpl,
    &GetParentImpl,
    &GetWindowImpl,
    &GetWindowRectImpl,
    &GetClientRectImpl,
    &MapWindowPointsImpl,
    &MonitorFromWindowImpl,
    &GetMonitorInfoImpl,
    &SetWindowPosImpl,
    &ShowWindowImpl,
    &GetMessageImpl,
    &IsDialogMessageImpl,
    &TranslateMessageImpl,
    &DispatchMessageImpl,
    &GetDlgItemTextImpl,
    &SetDlgItemTextImpl,
    &GetOpenFileNameImpl,
    &ClickItem,
    &TypeText,
    &PressKey,
    &PressCloseBox,
    &SetFileChooser,
    &SetIdleHook,
    &FontFamily,
    &Focus,
    &TestItemHandle,
    &PostQuit,
    &LastDialog,
};

}  // namespace
}  // namespace exelore_qt

// The library's one export. Creates the QApplication on the first call and
// keeps it for the life of the process.
extern "C" __attribute__((visibility("default"))) const exelore_posix::Frontend*
exelore_qt_frontend(const exelore_posix::FrontendHost* host) {
  static const exelore_posix::Frontend* frontend = [host]() -> const exelore_posix::Frontend* {
    exelore_qt::g_host = host;
    if (QCoreApplication::instance() == nullptr) {
      if (!exelore_qt::ChoosePlatform()) {
        host->set_last_error(ERROR_DLL_INIT_FAILED);
        return nullptr;
      }
      static int argc = 1;
      static char name[] = "exelore";
      static char* argv[] = {name, nullptr};
      new QApplication(argc, argv);
    }
    return &exelore_qt::kFrontend;
  }();
  if (frontend == nullptr) host->set_last_error(ERROR_DLL_INIT_FAILED);
  return frontend;
}
