// The Qt front end of the stand-in's USER32 and COMDLG32 (frontend.h): its
// table and its one export. Loaded with dlopen by user32.cpp only when the
// program opens a window.
#include <QApplication>

#include "internal.h"

namespace exelore_qt {

const exelore_posix::FrontendHost* g_host = nullptr;

void Fail(DWORD code) { g_host->set_last_error(code); }

namespace {

// Filled by name. A member left out would be null; GCC reports it
// (-Wmissing-field-initializers, in -Wextra).
constexpr exelore_posix::Frontend kFrontend = {
    .version = exelore_posix::kFrontendVersion,
    .create_dialog = &CreateDialogImpl,
#define EXELORE_TABLE_ENTRY(result, name, member, parameters, arguments, no_window) \
  .member = &name##Impl,
    // The expansion ends in a comma that clang-format cannot see.
    // clang-format off
    EXELORE_WINDOW_CALLS(EXELORE_TABLE_ENTRY)
    .get_open_file_name = &GetOpenFileNameWImpl,
// clang-format on
#undef EXELORE_TABLE_ENTRY
};

}  // namespace
}  // namespace exelore_qt

// Creates the QApplication on the first call and keeps it for the life of
// the process.
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
