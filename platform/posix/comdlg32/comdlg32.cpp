// COMDLG32 functions of the stand-in: the Open dialog, shown by the Qt front
// end (frontend_loader.h).
#include <commdlg.h>

#include "frontend_loader.h"

extern "C" {

// GetOpenFileNameW: lets the user pick a file; on OK writes the full path,
// NUL-terminated, into lpstrFile when it fits in nMaxFile units and returns
// nonzero; Cancel, a structure of the wrong size or a path that does not fit
// return 0 (Microsoft documentation of GetOpenFileNameW and OPENFILENAMEW;
// Wine dlls/comdlg32 checks lStructSize the same way).
BOOL WINAPI GetOpenFileNameW(LPOPENFILENAMEW lpofn) {
  if (lpofn == nullptr || lpofn->lStructSize != sizeof(OPENFILENAMEW)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const exelore_posix::Frontend* f = exelore_posix::WindowFrontend();
  return f ? f->get_open_file_name(lpofn) : FALSE;
}

}  // extern "C"
