// The Windows installation whose catalogs and certificate stores judge the
// scanned files, as the scan shows it to a person.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string_view>

#include "util/shared.h"

struct SystemRootView {
  bool set = false;           // SystemRoot is set
  WideString root;            // its value
  WideString catalog_folder;  // the catalog folder found below it; empty: none
  std::size_t catalogs = 0;   // the .cat files in it
  WideString software_hive;   // the SOFTWARE hive found below it; empty: none
};

// Looks up what SystemRoot names: its catalog folder
// (System32\CatRoot\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}) and SOFTWARE
// hive (System32\config\SOFTWARE), each component matched regardless of
// case, as on a mounted Windows volume.
SystemRootView DescribeSystemRoot();

// The installation folder of a path below a Windows\System32\CatRoot folder
// (any case, either separator): the path up to and including "Windows";
// empty for any other path.
WideString InstallationOfCatalogPath(std::basic_string_view<WCHAR> path);

// Whether two paths name the same folder (by volume and file index).
bool SameFolder(const WideString& a, const WideString& b);
