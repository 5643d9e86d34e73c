// Seams through which tests observe or vary the stand-in's kernel32 and its
// root program (the dialog's are in dialog_seams.h). Not part of the Windows
// API; the program never includes this file.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace exelore_posix::testing {

// Receives every OutputDebugStringW text instead of the system log while set.
void SetDebugOutputSink(std::function<void(const std::u16string&)> sink);

// Makes the in-process "version.dll" hide its language-neutral exports
// (GetFileVersionInfoSizeExW, GetFileVersionInfoExW), or makes them fail with
// 0, as on older systems. Both off by default.
void SetVersionDllNeutralExportsHidden(bool hidden);
void SetVersionDllNeutralExportsFail(bool fail);
// Makes LoadLibraryW("version.dll") fail.
void SetVersionDllMissing(bool missing);

// Calls `hook` with the file-system path of each CreateFileW call, before
// the file is opened, while set (an empty function unsets it).
void SetBeforeOpenHook(std::function<void(const std::string&)> hook);

// Stands `list` (a signed authroot.stl) and `roots_pem` (the roots it names)
// in for Microsoft's root program, until UseMicrosoftRootProgram. Each list is
// decoded on first use and kept for the process. The roots of roots_pem whose
// SHA-1 `windows_roots` lists stand in for those Windows installs in its own
// ROOT store; a root list (a volume's) must chain to the root of roots_pem
// whose SHA-1 is `list_root`.
void SetRootProgram(std::vector<std::uint8_t> list, std::string roots_pem,
                    std::vector<std::array<std::uint8_t, 20>> windows_roots = {},
                    std::array<std::uint8_t, 20> list_root = {});
void UseMicrosoftRootProgram();

// Calls `hook` with the descriptor of each file the stand-in reads whole (a
// catalog), after its size is taken and before its bytes are read, until
// set to null: a test changes the file there, as another process may.
void SetWholeFileSizedHook(void (*hook)(int fd));

}  // namespace exelore_posix::testing
