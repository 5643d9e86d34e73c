// Seams through which tests drive the dialog's front end (user32.cpp,
// platform/posix/qt/) as the user would, through Qt's own event handling.
// Not part of the Windows API; the program never includes this file.
#pragma once

#include <commdlg.h>
#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace exelore_posix::testing {

// Loads the front end from `path` instead of next to the executable. Takes
// effect only before the first window call.
void SetDialogLibraryPath(const std::string& path);
// Loads the front end if needed; false (last error set) when it cannot run.
bool DialogFrontendAvailable();

// A mouse click on the centre of control `id`.
BOOL ClickDialogItem(HWND dialog, int id);
// Focuses control `id` and types `text` into it key by key.
BOOL TypeIntoDialogItem(HWND dialog, int id, const std::u16string& text);
// Presses and releases a key (VK_ESCAPE, VK_RETURN, VK_TAB) on the focused control.
BOOL PressDialogKey(HWND dialog, UINT virtual_key);
// Does what the close box in the title bar does.
BOOL PressCloseBox(HWND dialog);
// Replaces the Open dialog's file chooser: receives the filter as shown (e.g.
// "Executable (*.exe)") and whether the file must exist; nullopt is Cancel.
// An empty function restores the real chooser.
void SetOpenFileChooser(
    std::function<std::optional<std::u16string>(const std::u16string& filter, bool must_exist)>
        chooser);
// Runs `hook` whenever GetMessageW finds the queue empty, before it waits.
void SetMessageLoopIdleHook(std::function<void()> hook);
// The family of the font the dialog really uses (empty when none was found).
std::u16string DialogFontFamily(HWND dialog);
// The control with keyboard focus, or null.
HWND FocusedWindow();
// The control `id` of `dialog`, or null.
HWND DialogItem(HWND dialog, int id);
// What PostQuitMessage does: the next GetMessageW returns 0.
void PostQuit(int exit_code);
// The dialog created last, while it exists.
HWND LastDialog();

// What a dialog's frame offers the user, as the dialog asks the window
// manager for it; nullopt for a handle that is no dialog.
struct DialogFrame {
  bool title, system_menu, close_box, minimize_box, maximize_box, sizable;
  bool operator==(const DialogFrame&) const = default;
};
std::optional<DialogFrame> DialogFrameOf(HWND dialog);
// Calls GetOpenFileNameW(&ofn) with the real file dialog and returns the
// files (not folders) it lists in its folder, sorted as it sorts them, then
// cancels it; nullopt when no listing was seen.
std::optional<std::vector<std::u16string>> FilesListedByOpenDialog(OPENFILENAMEW& ofn);

}  // namespace exelore_posix::testing
