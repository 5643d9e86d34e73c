// The test build's dialog seams (testing.h): where the front end is loaded
// from, and the user's actions, performed by the front end.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "frontend_loader.h"
#include "testing.h"

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

void SetDialogLibraryPath(const std::string& path) { LibraryOverride() = path; }

bool DialogFrontendAvailable() { return LoadedFrontend() != nullptr; }

BOOL ClickDialogItem(HWND dialog, int id) {
  const Frontend* f = WindowFrontend();
  return f ? f->click(dialog, id) : FALSE;
}

BOOL TypeIntoDialogItem(HWND dialog, int id, const std::u16string& text) {
  const Frontend* f = WindowFrontend();
  return f ? f->type_text(dialog, id, text.c_str()) : FALSE;
}

BOOL PressDialogKey(HWND dialog, UINT virtual_key) {
  const Frontend* f = WindowFrontend();
  return f ? f->press_key(dialog, virtual_key) : FALSE;
}

BOOL PressCloseBox(HWND dialog) {
  const Frontend* f = WindowFrontend();
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
  const Frontend* f = WindowFrontend();
  if (f == nullptr) return;
  g_chooser = std::move(chooser);
  f->set_file_chooser(g_chooser ? &ChooseWithHook : nullptr, nullptr);
}

void SetMessageLoopIdleHook(std::function<void()> hook) {
  const Frontend* f = WindowFrontend();
  if (f == nullptr) return;
  g_idle_hook = std::move(hook);
  f->set_idle_hook(g_idle_hook ? &IdleWithHook : nullptr, nullptr);
}

std::u16string DialogFontFamily(HWND dialog) {
  const Frontend* f = WindowFrontend();
  if (f == nullptr) return std::u16string();
  WCHAR buffer[256];
  const UINT n = f->font_family(dialog, buffer, 256);
  return std::u16string(buffer, n);
}

HWND FocusedWindow() {
  const Frontend* f = WindowFrontend();
  return f ? f->focus() : nullptr;
}

HWND DialogItem(HWND dialog, int id) {
  const Frontend* f = WindowFrontend();
  return f ? f->item(dialog, id) : nullptr;
}

void PostQuit(int exit_code) {
  if (const Frontend* f = WindowFrontend()) f->post_quit(exit_code);
}

HWND LastDialog() {
  const Frontend* f = WindowFrontend();
  return f ? f->last_dialog() : nullptr;
}

}  // namespace testing
}  // namespace exelore_posix
