// The shipped module's side of hooks.h: nothing runs while the queue is
// empty, and the Open dialog is always shown.
#include "hooks.h"

namespace exelore_qt {

bool RunEmptyQueueHook() { return false; }

FileChoice ChooseFileInstead(const QString& /*filter*/, bool /*must_exist*/,
                             std::u16string& /*path*/) {
  return FileChoice::kShowDialog;
}

}  // namespace exelore_qt
