// Dialogs built from DIALOGEX templates out of Qt Widgets: the window
// registry behind the handles, the controls, the dialog font and dialog
// units, CreateDialogParamW's part and DestroyWindow, and the dialog items'
// text.
#include <QAbstractButton>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include <algorithm>

#include "internal.h"

namespace exelore_qt {

std::unordered_set<Window*> g_windows;
std::unordered_map<const QWidget*, Window*> g_by_widget;
std::vector<Window*> g_created;

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

namespace {

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
//
// A multi-line edit wants every key (its WM_GETDLGCODE answers
// DLGC_WANTALLKEYS), so Escape reaches the control instead, which posts
// WM_CLOSE to its dialog, kept for compatibility (Wine dlls/comctl32/edit.c
// and dlls/user32/edit.c, EDIT_WM_KeyDown, VK_ESCAPE).
class DialogKeys : public QObject {
 public:
  explicit DialogKeys(Window* dialog) : dialog_(dialog) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::KeyPress) return QObject::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Escape) {
      const auto control = g_by_widget.find(qobject_cast<QWidget*>(watched));
      const bool multiline =
          control != g_by_widget.end() && control->second->kind == Kind::kTextBox;
      if (multiline) {
        Post(dialog_, WM_CLOSE, 0, 0);
      } else {
        Post(dialog_, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
      }
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

}  // namespace

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

namespace {

void Register(Window* window) {
  g_windows.insert(window);
  g_by_widget[window->widget] = window;
}

void Forget(Window* window) {
  g_windows.erase(window);
  g_by_widget.erase(window->widget);
  DropMessages(window);
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
  const int total = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return BaseUnits{std::max(1, (total / 26 + 1) / 2), std::max(1, metrics.height())};
}

QRect MapDialogRect(const BaseUnits& units, int x, int y, int cx, int cy) {
  return QRect(MulDiv(x, units.x, 4), MulDiv(y, units.y, 8), MulDiv(cx, units.x, 4),
               MulDiv(cy, units.y, 8));
}

bool SameClass(const WCHAR* name, const char16_t* expected) {
  return name != nullptr &&
         QString::fromUtf16(name).compare(QString::fromUtf16(expected), Qt::CaseInsensitive) == 0;
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
      Post(dialog, WM_COMMAND, MAKEWPARAM(control->id, EN_CHANGE),
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

}  // namespace

Qt::WindowFlags DialogWindowFlags(DWORD style) {
  // Qt's own choice of buttons only without CustomizeWindowHint.
  Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint;
  if ((style & WS_CAPTION) == WS_CAPTION) flags |= Qt::WindowTitleHint;
  // The buttons live in the caption with the system menu: without
  // WS_SYSMENU there is none, and the minimise and maximise boxes come only
  // with their own style bits (Wine dlls/user32/nonclient.c, NC_DrawCaption).
  if (style & WS_SYSMENU) {
    flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (style & WS_MINIMIZEBOX) flags |= Qt::WindowMinimizeButtonHint;
    if (style & WS_MAXIMIZEBOX) flags |= Qt::WindowMaximizeButtonHint;
  }
  return flags;
}

// CreateDialogParamW (Microsoft documentation; Wine dlls/user32/dialog.c):
// the dialog and its controls from the template, controls in template order,
// which is also the tab order; WM_INITDIALOG is sent with the first tab stop
// as wParam and dwInitParam as lParam before the call returns, and a nonzero
// answer gives that control the focus. Shown only when the template has
// WS_VISIBLE.
HWND CreateDialogImpl(const DialogTemplate* dialog_template, HWND owner, DLGPROC proc,
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
  widget->setWindowFlags(DialogWindowFlags(dialog_template->style));
  widget->setWindowTitle(FromWide(dialog_template->caption));

  const QFont font = DialogFont(*dialog_template);
  widget->setFont(font);
  const BaseUnits units = DialogBaseUnits(font);
  const QRect client = MapDialogRect(units, dialog_template->x, dialog_template->y,
                                     dialog_template->cx, dialog_template->cy);
  if (dialog_template->style & WS_THICKFRAME) {
    widget->resize(client.size());
  } else {
    widget->setFixedSize(client.size());  // no sizing border: the size is fixed
  }
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
      Fail(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    dialog->children.push_back(control);
    Register(control);
    control->widget->installEventFilter(keys);
    if (previous != nullptr) QWidget::setTabOrder(previous, control->widget);
    previous = control->widget;
    if (first_tab_stop == nullptr && (control->style & WS_TABSTOP))
      first_tab_stop = Handle(control);
  }

  if (proc != nullptr) {
    const INT_PTR focus =
        proc(Handle(dialog), WM_INITDIALOG, reinterpret_cast<WPARAM>(first_tab_stop), param);
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

// GetDlgItemTextW: copies at most cchMax - 1 units of the control's text and
// a NUL; returns the units copied. A missing control gives 0, an empty
// buffer and ERROR_CONTROL_ID_NOT_FOUND.
UINT WINAPI GetDlgItemTextWImpl(HWND hDlg, int nIDDlgItem, LPWSTR lpString, int cchMax) {
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
BOOL WINAPI SetDlgItemTextWImpl(HWND hDlg, int nIDDlgItem, LPCWSTR lpString) {
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

}  // namespace exelore_qt
