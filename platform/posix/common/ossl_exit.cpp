// The product's choice of ossl.h: OpenSSL's clean-up at exit is skipped.
#include "ossl.h"

namespace exelore_posix::ossl {

bool CleanUpAtExit() { return false; }

}  // namespace exelore_posix::ossl
