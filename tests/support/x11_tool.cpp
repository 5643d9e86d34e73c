// x11_tool: what the end-to-end dialog test needs from an X server besides
// xdotool.
//
//   x11_tool close WINDOW-ID   asks the window to close, as a window
//                              manager's close box does (WM_DELETE_WINDOW)
//   x11_tool clipboard         prints the CLIPBOARD selection as UTF-8
//   x11_tool frame WINDOW-ID   prints what the window asks of a window
//                              manager's frame: "functions=F decorations=D
//                              fixed=0|1", F and D from _MOTIF_WM_HINTS
//                              (-1 when absent), fixed when WM_NORMAL_HINTS
//                              gives equal minimum and maximum sizes
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int Close(Display* display, Window window) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, window, False, NoEventMask, &event);
  XSync(display, False);
  return 0;
}

int PrintClipboard(Display* display) {
  const Window requester =
      XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
  const Atom property = XInternAtom(display, "X11_TOOL_SELECTION", False);
  XConvertSelection(display, XInternAtom(display, "CLIPBOARD", False),
                    XInternAtom(display, "UTF8_STRING", False), property, requester, CurrentTime);
  XFlush(display);
  for (int waited = 0; waited < 50;) {
    if (XPending(display) == 0) {
      pollfd fd{ConnectionNumber(display), POLLIN, 0};
      if (poll(&fd, 1, 100) == 0) ++waited;
      continue;
    }
    XEvent event;
    XNextEvent(display, &event);
    if (event.type != SelectionNotify) continue;
    if (event.xselection.property == None) return 1;
    Atom type;
    int format;
    unsigned long count;
    unsigned long remaining;
    unsigned char* data = nullptr;
    XGetWindowProperty(display, requester, property, 0, 1 << 24, True, AnyPropertyType, &type,
                       &format, &count, &remaining, &data);
    if (data != nullptr) {
      std::fwrite(data, 1, count, stdout);
      XFree(data);
    }
    return 0;
  }
  return 1;
}

int PrintFrame(Display* display, Window window) {
  long functions = -1;
  long decorations = -1;
  const Atom motif = XInternAtom(display, "_MOTIF_WM_HINTS", False);
  Atom type = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long left = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, window, motif, 0, 5, False, AnyPropertyType, &type, &format,
                         &count, &left, &data) == Success &&
      data != nullptr && format == 32 && count >= 3) {
    // { flags, functions, decorations, input mode, status }; the flags say
    // which of the next two are given.
    const auto* hints = reinterpret_cast<const long*>(data);
    if (hints[0] & 1) functions = hints[1];
    if (hints[0] & 2) decorations = hints[2];
  }
  if (data != nullptr) XFree(data);
  XSizeHints size{};
  long supplied = 0;
  const bool fixed = XGetWMNormalHints(display, window, &size, &supplied) != 0 &&
                     (size.flags & (PMinSize | PMaxSize)) == (PMinSize | PMaxSize) &&
                     size.min_width == size.max_width && size.min_height == size.max_height;
  std::printf("functions=%ld decorations=%ld fixed=%d\n", functions, decorations, fixed ? 1 : 0);
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "x11_tool: cannot open the display\n");
    return 2;
  }
  int status = 2;
  if (argc == 3 && std::strcmp(argv[1], "close") == 0) {
    status = Close(display, static_cast<Window>(std::strtoul(argv[2], nullptr, 0)));
  } else if (argc == 2 && std::strcmp(argv[1], "clipboard") == 0) {
    status = PrintClipboard(display);
  } else if (argc == 3 && std::strcmp(argv[1], "frame") == 0) {
    status = PrintFrame(display, static_cast<Window>(std::strtoul(argv[2], nullptr, 0)));
  } else {
    std::fprintf(stderr, "usage: x11_tool close|frame WINDOW-ID | x11_tool clipboard\n");
  }
  XCloseDisplay(display);
  return status;
}
