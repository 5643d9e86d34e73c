// Centring a window over another window or over its monitor's work area.
#pragma once

#include <windows.h>

// The top-left corner that centres a window of `window`'s size on `centre`,
// then pulls it back inside `area`: right edge first, then left, bottom edge
// first, then top, so a window larger than the area sits at its top-left.
// Integer arithmetic, divisions truncating toward zero.
POINT ComputeCentredPosition(RECT window, RECT centre, RECT area);

// Moves `window` (size, z-order and activation unchanged) so that it is
// centred on `centre_against`, or when that is null on the window's parent
// (child windows) or owner (top-level windows). A top-level window with no
// visible, non-minimised owner is centred on its monitor's work area. When no
// monitor information is available the window stays where it is.
void CentreWindow(HWND window, HWND centre_against);
