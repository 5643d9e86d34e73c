// The main dialog: a path box, "Browse...", "Get Info" and the report box.
#pragma once

#include <windows.h>

// Creates the dialog, centres and shows it and runs its message loop. Returns
// when the dialog cannot be created; closing the dialog ends the process.
void RunMainDialog();
