// What the test build varies in reading files (files.h). The product links
// file_hooks.cpp; the tests link testing/file_hooks.cpp in its place, so the
// shipped executable carries no switch.
#pragma once

namespace exelore_posix {

// Called with the descriptor of each file read whole (FileContent), once
// its size is taken and before its bytes are read. The product does nothing.
void WholeFileSized(int fd);

}  // namespace exelore_posix
