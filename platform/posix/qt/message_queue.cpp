// The message queue: what PostMessageW queues for the dialog procedure, and
// GetMessageW, IsDialogMessageW, TranslateMessage and DispatchMessageW over
// Qt's event loop.
#include <QCursor>
#include <QEventLoop>
#include <QTimer>

#include <chrono>

#include "hooks.h"
#include "internal.h"

namespace exelore_qt {
namespace {

std::deque<MSG> g_queue;
QEventLoop* g_waiting = nullptr;

bool Matches(const MSG& message, HWND hWnd, UINT min, UINT max) {
  // WM_QUIT belongs to the thread, not a window: every filter takes it.
  if (message.message == WM_QUIT) return true;
  if (hWnd != nullptr) {
    Window* window = reinterpret_cast<Window*>(hWnd);
    if (!IsSelfOrChild(window, message.hwnd)) return false;
  }
  return (min == 0 && max == 0) || (message.message >= min && message.message <= max);
}

}  // namespace

DWORD MessageTime() {
  using namespace std::chrono;
  return static_cast<DWORD>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void Enqueue(const MSG& message) {
  g_queue.push_back(message);
  if (g_waiting != nullptr) g_waiting->quit();
}

void Post(Window* window, UINT message, WPARAM wParam, LPARAM lParam) {
  const QPoint cursor = QCursor::pos();
  Enqueue(
      MSG{Handle(window), message, wParam, lParam, MessageTime(), POINT{cursor.x(), cursor.y()}});
}

void DropMessages(Window* window) {
  std::erase_if(g_queue, [&](const MSG& m) { return m.hwnd == Handle(window); });
}

// GetMessageW: waits, running Qt's event loop, until a message for hWnd (or
// one of its children; any window when null) within the range is queued;
// returns 0 for WM_QUIT, -1 for an invalid window.
BOOL WINAPI GetMessageWImpl(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  if (hWnd != nullptr && FromHandle(hWnd) == nullptr) return -1;
  if (lpMsg == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return -1;
  }
  for (bool hook_ran = false;;) {
    for (auto it = g_queue.begin(); it != g_queue.end(); ++it) {
      if (Matches(*it, hWnd, wMsgFilterMin, wMsgFilterMax)) {
        *lpMsg = *it;
        g_queue.erase(it);
        return lpMsg->message == WM_QUIT ? FALSE : TRUE;
      }
    }
    if (!hook_ran && RunEmptyQueueHook()) {
      hook_ran = true;
      continue;
    }
    QEventLoop loop;
    QEventLoop* outer = g_waiting;
    g_waiting = &loop;
    if (hook_ran) QTimer::singleShot(0, &loop, &QEventLoop::quit);
    hook_ran = false;
    loop.exec();
    g_waiting = outer;
    if (hWnd != nullptr && g_windows.count(reinterpret_cast<Window*>(hWnd)) == 0) {
      Fail(ERROR_INVALID_WINDOW_HANDLE);
      return -1;
    }
  }
}

// IsDialogMessageW: a message for the dialog or one of its controls is the
// dialog manager's: it is dispatched here and TRUE returned. Keyboard input
// never reaches the queue (Qt delivers it to the controls, and the dialog
// keys are handled by DialogKeys), so nothing else needs translating.
BOOL WINAPI IsDialogMessageWImpl(HWND hDlg, LPMSG lpMsg) {
  Window* dialog = FromHandle(hDlg);
  if (dialog == nullptr || lpMsg == nullptr || !IsSelfOrChild(dialog, lpMsg->hwnd)) return FALSE;
  DispatchMessageWImpl(lpMsg);
  return TRUE;
}

// TranslateMessage: there are no key messages in the queue to translate.
BOOL WINAPI TranslateMessageImpl(const MSG* /*lpMsg*/) { return FALSE; }

// DispatchMessageW: hands a queued message to the dialog procedure of its
// window and returns the procedure's answer.
LRESULT WINAPI DispatchMessageWImpl(const MSG* lpMsg) {
  if (lpMsg == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return 0;
  }
  Window* window = FromHandle(lpMsg->hwnd);
  if (window == nullptr || window->proc == nullptr) return 0;
  return window->proc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

}  // namespace exelore_qt
