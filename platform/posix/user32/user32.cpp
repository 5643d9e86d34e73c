// USER32 functions of the stand-in: the dialog manager and window calls the
// main dialog makes. The windows themselves are Qt widgets in the front end
// (frontend_loader.h), loaded on the first call.
//
// When the library, Qt or a display is missing, CreateDialogParamW fails as
// it does on Windows when a dialog cannot be created (null, with the reason
// in the last error) and every other window call fails with
// ERROR_INVALID_WINDOW_HANDLE, since no window can exist.
#include <string>

#include "frontend_loader.h"
#include "resources.h"

namespace exelore_posix {
namespace {

const DialogTemplate* FindDialog(HINSTANCE instance, LPCWSTR name) {
  if (instance != GetModuleHandleW(nullptr) || !IS_INTRESOURCE(name)) return nullptr;
  const auto id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name));
  for (const auto& dialog : ModuleDialogs()) {
    if (dialog.id == id) return &dialog;
  }
  return nullptr;
}

// GetDlgItemTextW's answer when no window can exist: 0 and an empty string
// where the buffer has room for one, as the front end answers for a missing
// control.
UINT EmptyText(LPWSTR lpString, int cchMax) {
  if (lpString != nullptr && cchMax > 0) lpString[0] = 0;
  return 0;
}

}  // namespace
}  // namespace exelore_posix

using exelore_posix::EmptyText;

extern "C" {

// CreateDialogParamW: the executable's DIALOGEX template by its integer
// identifier; a template the module lacks fails with
// ERROR_RESOURCE_NAME_NOT_FOUND. The front end builds the dialog, as
// described where it does so (CreateDialogImpl, qt/dialogs.cpp).
HWND WINAPI CreateDialogParamW(HINSTANCE hInstance, LPCWSTR lpTemplateName, HWND hWndParent,
                               DLGPROC lpDialogFunc, LPARAM dwInitParam) {
  const exelore_posix::DialogTemplate* dialog =
      exelore_posix::FindDialog(hInstance, lpTemplateName);
  if (dialog == nullptr) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  const exelore_posix::Frontend* f = exelore_posix::LoadedFrontend(&SetLastError);
  if (f == nullptr) return nullptr;
  return f->create_dialog(dialog, hWndParent, lpDialogFunc, dwInitParam);
}

// The other window calls forward unchanged; their Windows behaviour is
// described where the front end implements them (platform/posix/qt/).
#define EXELORE_FORWARD(result, name, member, parameters, arguments, no_window)      \
  result WINAPI name parameters {                                                    \
    const exelore_posix::Frontend* f = exelore_posix::WindowFrontend(&SetLastError); \
    return f != nullptr ? f->member arguments : no_window;                           \
  }
EXELORE_WINDOW_CALLS(EXELORE_FORWARD)
#undef EXELORE_FORWARD

}  // extern "C"
