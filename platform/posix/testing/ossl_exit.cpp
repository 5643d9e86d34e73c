// The test build's choice of ossl.h: OpenSSL cleans up at exit, so that
// LeakSanitizer's report at the end of a test holds only the stand-in's
// own leaks.
#include "ossl.h"

namespace exelore_posix::ossl {

bool CleanUpAtExit() { return true; }

}  // namespace exelore_posix::ossl
