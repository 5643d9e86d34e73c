// The product's root program: the list and roots compiled in.
#include "root_program.h"

namespace exelore_posix::authenticode {

RootProgramSource CurrentRootProgramSource() { return CompiledInRootProgramSource(); }

}  // namespace exelore_posix::authenticode
