#include "hooks.h"

#include <syslog.h>
#include <winver.h>

#include "text.h"

namespace exelore_posix::kernel32 {

VersionDll InProcessVersionDll() {
  return {true, AsFarProc(&GetFileVersionInfoSizeExW), AsFarProc(&GetFileVersionInfoExW)};
}

// Windows hands the text to an attached debugger or to nobody. Here it goes
// to the system log at debug priority, where a developer can look and a user
// never sees it.
void DeliverDebugText(const std::u16string& text) {
  const std::string utf8 = Utf16ToUtf8(text);
  ::syslog(LOG_USER | LOG_DEBUG, "exelore: %s", utf8.c_str());
}

void BeforeOpen(const std::string& /*path*/) {}

}  // namespace exelore_posix::kernel32
