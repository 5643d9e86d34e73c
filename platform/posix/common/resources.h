// The executable's resources as the stand-in reads them. On Windows the
// resource compiler puts dialog templates into the executable; here
// cmake/rc_dialogs.cmake turns the same .rc file into this table, compiled
// into the executable.
#pragma once

#include <windows.h>

#include <cstddef>
#include <span>

namespace exelore_posix {

// One control of a DIALOGEX template (DLGITEMTEMPLATEEX), positions and sizes
// in dialog units.
struct DialogItemTemplate {
  DWORD style;
  DWORD exstyle;
  short x, y, cx, cy;
  DWORD id;
  const WCHAR* window_class;  // "Button", "Edit", ...
  const WCHAR* text;
};

// A DIALOGEX template (DLGTEMPLATEEX) with its font; controls in template
// order, which is the tab order.
struct DialogTemplate {
  WORD id;
  WORD language;
  DWORD style;
  DWORD exstyle;
  short x, y, cx, cy;
  const WCHAR* caption;
  WORD point_size;
  WORD weight;
  BYTE italic;
  BYTE charset;
  const WCHAR* typeface;
  const DialogItemTemplate* items;
  std::size_t item_count;
};

// The dialogs of the executable. Defined by the generated resource table.
std::span<const DialogTemplate> ModuleDialogs();

}  // namespace exelore_posix
