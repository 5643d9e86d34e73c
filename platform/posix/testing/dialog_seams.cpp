// The test build's dialog seams (dialog_seams.h): where the front end is
// loaded from, and the user's actions, performed by the test module's
// driver (frontend_testing.h, qt_driver.cpp).
#include <dlfcn.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "frontend_loader.h"
#include "frontend_testing.h"
#include "dialog_seams.h"

namespace exelore_posix {

namespace {
std::string& LibraryOverride() {
  static std::string path;
  return path;
}
}  // namespace

// The test build looks for the front end only where a test put it.
std::vector<std::string> FrontendCandidates() {
  if (LibraryOverride().empty()) return {};
  return {LibraryOverride()};
}

namespace testing {

namespace {
// The driver of the loaded front end; null (last error set) when the front
// end cannot run or is the shipped one, which has no driver.
const FrontendTesting* Driver() {
  if (WindowFrontend(&SetLastError) == nullptr) return nullptr;
  static const FrontendTesting* const driver = []() -> const FrontendTesting* {
    // The module is loaded already, from the one candidate a test named:
    // RTLD_NOLOAD hands back that same handle.
    void* module = ::dlopen(LibraryOverride().c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (module == nullptr) return nullptr;
    const auto entry =
        reinterpret_cast<FrontendTestingEntry>(::dlsym(module, kFrontendTestingEntry));
    const FrontendTesting* table = entry ? entry() : nullptr;
    return table && table->version == kFrontendTestingVersion ? table : nullptr;
  }();
  if (driver == nullptr) SetLastError(ERROR_PROC_NOT_FOUND);
  return driver;
}
}  // namespace

void SetDialogLibraryPath(const std::string& path) { LibraryOverride() = path; }

bool DialogFrontendAvailable() { return LoadedFrontend(&SetLastError) != nullptr; }

BOOL ClickDialogItem(HWND dialog, int id) {
  const FrontendTesting* f = Driver();
  return f ? f->click(dialog, id) : FALSE;
}

BOOL TypeIntoDialogItem(HWND dialog, int id, const std::u16string& text) {
  const FrontendTesting* f = Driver();
  return f ? f->type_text(dialog, id, text.c_str()) : FALSE;
}

BOOL PressDialogKey(HWND dialog, UINT virtual_key) {
  const FrontendTesting* f = Driver();
  return f ? f->press_key(dialog, virtual_key) : FALSE;
}

BOOL PressCloseBox(HWND dialog) {
  const FrontendTesting* f = Driver();
  return f ? f->close_box(dialog) : FALSE;
}

namespace {
std::function<std::optional<std::u16string>(const std::u16string&, bool)> g_chooser;
std::u16string g_chosen;
std::function<void()> g_idle_hook;

const WCHAR* ChooseWithHook(void*, const WCHAR* filter, BOOL must_exist) {
  auto chosen = g_chooser(filter, must_exist != FALSE);
  if (!chosen) return nullptr;
  g_chosen = std::move(*chosen);
  return g_chosen.c_str();
}

void IdleWithHook(void*) { g_idle_hook(); }
}  // namespace

void SetOpenFileChooser(
    std::function<std::optional<std::u16string>(const std::u16string& filter, bool must_exist)>
        chooser) {
  const FrontendTesting* f = Driver();
  if (f == nullptr) return;
  g_chooser = std::move(chooser);
  f->set_file_chooser(g_chooser ? &ChooseWithHook : nullptr, nullptr);
}

void SetMessageLoopIdleHook(std::function<void()> hook) {
  const FrontendTesting* f = Driver();
  if (f == nullptr) return;
  g_idle_hook = std::move(hook);
  f->set_idle_hook(g_idle_hook ? &IdleWithHook : nullptr, nullptr);
}

std::u16string DialogFontFamily(HWND dialog) {
  const FrontendTesting* f = Driver();
  if (f == nullptr) return std::u16string();
  WCHAR buffer[256];
  const UINT n = f->font_family(dialog, buffer, 256);
  return std::u16string(buffer, n);
}

HWND FocusedWindow() {
  const FrontendTesting* f = Driver();
  return f ? f->focus() : nullptr;
}

HWND DialogItem(HWND dialog, int id) {
  const FrontendTesting* f = Driver();
  return f ? f->item(dialog, id) : nullptr;
}

void PostQuit(int exit_code) {
  if (const FrontendTesting* f = Driver()) f->post_quit(exit_code);
}

HWND LastDialog() {
  const FrontendTesting* f = Driver();
  return f ? f->last_dialog() : nullptr;
}

std::optional<DialogFrame> DialogFrameOf(HWND dialog) {
  const FrontendTesting* f = Driver();
  FrameOffer offer{};
  if (f == nullptr || !f->frame_offer(dialog, &offer)) return std::nullopt;
  return DialogFrame{offer.title != 0,        offer.system_menu != 0,  offer.close_box != 0,
                     offer.minimize_box != 0, offer.maximize_box != 0, offer.sizable != 0};
}

std::optional<std::vector<std::u16string>> FilesListedByOpenDialog(OPENFILENAMEW& ofn) {
  const FrontendTesting* f = Driver();
  if (f == nullptr) return std::nullopt;
  std::vector<std::u16string> names;
  const auto add = [](void* context, const WCHAR* name) {
    static_cast<std::vector<std::u16string>*>(context)->emplace_back(name);
  };
  if (!f->list_open_dialog(&ofn, add, &names)) return std::nullopt;
  return names;
}

}  // namespace testing
}  // namespace exelore_posix
