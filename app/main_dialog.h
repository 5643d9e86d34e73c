// The main dialog: a path box, "Browse...", "Get Info" and the report box.
#pragma once

#include <windows.h>

// Creates the dialog, centres and shows it and runs its message loop. Returns
// when the dialog cannot be created; closing the dialog ends the process.
void RunMainDialog();

// The dialog procedure of IDD_MAIN. Answers 0 to every message. WM_CLOSE ends
// the process with status 0; "Browse..." fills the path box from the Open
// dialog; "Get Info" replaces the report box with the report for the path in
// the path box. Every other message and command is left alone.
INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
