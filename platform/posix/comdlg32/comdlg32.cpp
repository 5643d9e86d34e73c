// COMDLG32 functions of the stand-in: the Open dialog, shown by the Qt front
// end (frontend_loader.h).
#include <commdlg.h>

#include "frontend_loader.h"

extern "C" {

// GetOpenFileNameW: a null or wrongly sized structure returns 0 (Wine
// dlls/comdlg32 checks lStructSize the same way); the front end shows the
// dialog and fills in the structure, as described where it does so
// (GetOpenFileNameWImpl, qt/open_dialog.cpp).
BOOL WINAPI GetOpenFileNameW(LPOPENFILENAMEW lpofn) {
  if (lpofn == nullptr || lpofn->lStructSize != sizeof(OPENFILENAMEW)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const exelore_posix::Frontend* f = exelore_posix::WindowFrontend(&SetLastError);
  return f ? f->get_open_file_name(lpofn) : FALSE;
}

}  // extern "C"
