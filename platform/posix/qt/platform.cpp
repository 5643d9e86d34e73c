// The platform probe: which of Qt's platform plugins can start here, asked
// before the QApplication exists, because Qt ends the process when the one
// it picks cannot open its display.
#include <QDir>
#include <QFile>
#include <QLibraryInfo>
#include <QStringList>

#include <dlfcn.h>

#include "internal.h"

namespace exelore_qt {
namespace {

bool HasPlatformPlugin(const QString& name) {
  QStringList folders;
  for (const QString& folder :
       qEnvironmentVariable("QT_PLUGIN_PATH").split(u':', Qt::SkipEmptyParts)) {
    folders << folder + QStringLiteral("/platforms");
  }
  folders << QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms");
  for (const QString& folder : folders) {
    if (!QDir(folder).entryList({QStringLiteral("libq%1*.so").arg(name)}, QDir::Files).isEmpty()) {
      return true;
    }
  }
  return false;
}

// Whether the X server named by DISPLAY accepts a connection. Qt ends the
// process when it cannot open its display, so this is asked first, through
// libxcb (which Qt's xcb plugin loads anyway).
bool X11DisplayOpens() {
  if (qEnvironmentVariableIsEmpty("DISPLAY")) return false;
  void* xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (xcb == nullptr) return false;
  using Connect = void* (*)(const char*, int*);
  using HasError = int (*)(void*);
  using Disconnect = void (*)(void*);
  const auto connect = reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect"));
  const auto has_error = reinterpret_cast<HasError>(::dlsym(xcb, "xcb_connection_has_error"));
  const auto disconnect = reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect"));
  if (connect == nullptr || has_error == nullptr || disconnect == nullptr) return false;
  void* connection = connect(nullptr, nullptr);
  const bool ok = has_error(connection) == 0;
  disconnect(connection);
  return ok;
}

bool WaylandDisplayOpens() {
  const QString display = qEnvironmentVariable("WAYLAND_DISPLAY");
  if (display.isEmpty()) return false;
  const QString path =
      display.startsWith(u'/') ? display : qEnvironmentVariable("XDG_RUNTIME_DIR") + u'/' + display;
  return QFile::exists(path);
}

bool PlatformUsable(const QString& name) {
  if (!HasPlatformPlugin(name)) return false;
  if (name == QStringLiteral("xcb")) return X11DisplayOpens();
  if (name.startsWith(QStringLiteral("wayland"))) return WaylandDisplayOpens();
  return true;  // offscreen, minimal, vnc ... need no display to open
}

}  // namespace

bool ChoosePlatform() {
  QStringList candidates;
  const QString requested = qEnvironmentVariable("QT_QPA_PLATFORM");
  if (!requested.isEmpty()) {
    candidates = requested.split(u';', Qt::SkipEmptyParts);
  } else {
    if (qEnvironmentVariable("XDG_SESSION_TYPE") == QStringLiteral("wayland")) {
      candidates << QStringLiteral("wayland");
    }
    candidates << QStringLiteral("xcb");
  }
  for (const QString& candidate : candidates) {
    const QString name = candidate.section(u':', 0, 0);
    if (PlatformUsable(name)) {
      qputenv("QT_QPA_PLATFORM", candidate.toLocal8Bit());
      return true;
    }
  }
  return false;
}

}  // namespace exelore_qt
