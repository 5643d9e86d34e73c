// What the test build varies in the front end. The shipped module links
// product_hooks.cpp, where neither hook does anything; the test module links
// testing/qt_driver.cpp in its place, so libexelore_qt.so carries no switch
// and no way in for a test.
#pragma once

#include <QString>

#include <string>

namespace exelore_qt {

// Called by GetMessageW when it finds no message for its caller, before it
// waits. True when something ran: GetMessageW then looks at the queue again
// and, finding nothing still, waits only for the events already pending.
bool RunEmptyQueueHook();

// A file chosen instead of showing the Open dialog, which gets the filter as
// the dialog would show it ("Executable (*.exe)") and whether the file must
// exist.
enum class FileChoice { kShowDialog, kChosen, kCancelled };
FileChoice ChooseFileInstead(const QString& filter, bool must_exist, std::u16string& path);

}  // namespace exelore_qt
