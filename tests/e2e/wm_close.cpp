// Asks an X window to close the way a window manager does when its close button is clicked: a
// WM_DELETE_WINDOW message of the WM_PROTOCOLS kind. Without a window manager on a virtual
// display, this is the user's close request. Usage: wm_close WINDOW-ID
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: wm_close WINDOW-ID\n");
    return 2;
  }
  const Window window = std::strtoul(argv[1], nullptr, 0);
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "wm_close: cannot open the display\n");
    return 1;
  }
  const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
  const Atom delete_window = XInternAtom(display, "WM_DELETE_WINDOW", False);

  // A window that does not take part in the protocol would simply be destroyed by a window
  // manager: that is not the close request under test.
  Atom* supported = nullptr;
  int count = 0;
  bool takes_part = false;
  if (XGetWMProtocols(display, window, &supported, &count) != 0) {
    for (int i = 0; i < count; ++i) takes_part = takes_part || supported[i] == delete_window;
    XFree(supported);
  }
  if (!takes_part) {
    std::fprintf(stderr, "wm_close: window %s does not accept WM_DELETE_WINDOW\n", argv[1]);
    XCloseDisplay(display);
    return 1;
  }

  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = protocols;
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(delete_window);
  event.xclient.data.l[1] = CurrentTime;
  const Status sent = XSendEvent(display, window, False, NoEventMask, &event);
  XSync(display, False);
  XCloseDisplay(display);
  return sent != 0 ? 0 : 1;
}
