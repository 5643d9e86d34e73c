// The test module's driver (frontend_testing.h): the user's actions on the
// front end's windows, through Qt's own event handling, and the test side of
// the front end's hooks (qt/hooks.h). Linked only into
// libexelore_qt_testing.so, with the same objects as the shipped module.
#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QFontDatabase>
#include <QFontInfo>
#include <QKeyEvent>
#include <QListView>
#include <QMouseEvent>
#include <QTimer>
#include <QWindow>

#include <algorithm>

#include "frontend_testing.h"
#include "qt/hooks.h"
#include "qt/internal.h"

namespace exelore_qt {
namespace {

using exelore_posix::FileChooser;
using exelore_posix::FrameOffer;
using exelore_posix::NameSink;

FileChooser g_chooser = nullptr;
void* g_chooser_context = nullptr;
void (*g_idle_hook)(void*) = nullptr;
void* g_idle_context = nullptr;

void SetFileChooser(FileChooser chooser, void* context) {
  g_chooser = chooser;
  g_chooser_context = context;
}

void SetIdleHook(void (*hook)(void*), void* context) {
  g_idle_hook = hook;
  g_idle_context = context;
}

}  // namespace

bool RunEmptyQueueHook() {
  if (g_idle_hook == nullptr) return false;
  g_idle_hook(g_idle_context);
  return true;
}

FileChoice ChooseFileInstead(const QString& filter, bool must_exist, std::u16string& path) {
  if (g_chooser == nullptr) return FileChoice::kShowDialog;
  const WCHAR* chosen = g_chooser(g_chooser_context, reinterpret_cast<const WCHAR*>(filter.utf16()),
                                  must_exist ? TRUE : FALSE);
  if (chosen == nullptr) return FileChoice::kCancelled;
  path = chosen;
  return FileChoice::kChosen;
}

namespace {

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
  if (control->widget->focusPolicy() & Qt::ClickFocus)
    control->widget->setFocus(Qt::MouseFocusReason);
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
  Enqueue(MSG{nullptr, WM_QUIT, static_cast<WPARAM>(exit_code), 0, MessageTime(), POINT{0, 0}});
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
BOOL FrameOfferOf(HWND dialog, FrameOffer* offer) {
  Window* window = FromHandle(dialog);
  if (window == nullptr || window->parent != nullptr || offer == nullptr) return FALSE;
  // The platform window's flags once it exists: what Qt hands the window
  // manager, after its own adjustments.
  const QWindow* native = window->widget->windowHandle();
  const Qt::WindowFlags flags = native ? native->flags() : window->widget->windowFlags();
  auto has = [&](Qt::WindowType hint) { return flags.testFlag(hint) ? TRUE : FALSE; };
  offer->title = has(Qt::WindowTitleHint);
  offer->system_menu = has(Qt::WindowSystemMenuHint);
  offer->close_box = has(Qt::WindowCloseButtonHint);
  offer->minimize_box = has(Qt::WindowMinimizeButtonHint);
  offer->maximize_box = has(Qt::WindowMaximizeButtonHint);
  offer->sizable = window->widget->minimumSize() != window->widget->maximumSize() ? TRUE : FALSE;
  return TRUE;
}

// Watches for the file dialog GetOpenFileNameW shows. Its folder is read on
// a thread of the model's and reported through queued signals, which arrive
// only once the dialog's event loop runs, so connecting when the dialog is
// shown misses none. Once its folder is read, hands on the files its list
// shows (filtered names are hidden, or shown disabled) and cancels it.
class OpenDialogWatcher : public QObject {
 public:
  OpenDialogWatcher(NameSink sink, void* context) : sink_(sink), context_(context) {}
  bool listed = false;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* dialog = qobject_cast<QFileDialog*>(watched);
    if (dialog == nullptr || event->type() != QEvent::Show || watching_) return false;
    watching_ = true;
    for (QFileSystemModel* model : dialog->findChildren<QFileSystemModel*>()) {
      connect(model, &QFileSystemModel::directoryLoaded, dialog,
              [this, dialog](const QString& path) { List(dialog, path); });
    }
    // A folder that is never reported fails the listing instead of hanging.
    QTimer::singleShot(10000, dialog, &QFileDialog::reject);
    return false;
  }

 private:
  void List(QFileDialog* dialog, const QString& path) {
    if (listed || QFileInfo(path) != QFileInfo(dialog->directory().absolutePath())) return;
    const auto* view = dialog->findChild<QListView*>(QStringLiteral("listView"));
    if (view == nullptr) return;
    const QAbstractItemModel* model = view->model();
    const QModelIndex root = view->rootIndex();
    for (int row = 0; row < model->rowCount(root); ++row) {
      const QModelIndex index = model->index(row, 0, root);
      const QFileInfo file(model->data(index, QFileSystemModel::FilePathRole).toString());
      if (file.isDir() || !(model->flags(index) & Qt::ItemIsEnabled)) continue;
      sink_(context_, reinterpret_cast<const WCHAR*>(file.fileName().utf16()));
    }
    listed = true;
    QMetaObject::invokeMethod(dialog, &QFileDialog::reject, Qt::QueuedConnection);
  }

  NameSink sink_;
  void* context_;
  bool watching_ = false;
};

BOOL ListOpenDialog(LPOPENFILENAMEW ofn, NameSink sink, void* context) {
  const FileChooser chooser = std::exchange(g_chooser, nullptr);
  OpenDialogWatcher watcher(sink, context);
  qApp->installEventFilter(&watcher);
  GetOpenFileNameWImpl(ofn);
  qApp->removeEventFilter(&watcher);
  g_chooser = chooser;
  return watcher.listed ? TRUE : FALSE;
}

constexpr exelore_posix::FrontendTesting kTesting = {
    .version = exelore_posix::kFrontendTestingVersion,
    .click = &ClickItem,
    .type_text = &TypeText,
    .press_key = &PressKey,
    .close_box = &PressCloseBox,
    .set_file_chooser = &SetFileChooser,
    .set_idle_hook = &SetIdleHook,
    .font_family = &FontFamily,
    .focus = &Focus,
    .item = &TestItemHandle,
    .post_quit = &PostQuit,
    .last_dialog = &LastDialog,
    .frame_offer = &FrameOfferOf,
    .list_open_dialog = &ListOpenDialog,
};

}  // namespace
}  // namespace exelore_qt

extern "C" __attribute__((visibility("default"))) const exelore_posix::FrontendTesting*
exelore_qt_frontend_testing() {
  return &exelore_qt::kTesting;
}
