/* Sends a window manager's _NET_WM_PING to a window and reports how long the program
 * took to answer, as GNOME and KDE do before they offer to force-quit a program.
 *   wm_ping WINDOW-ID [TIMEOUT-MS]   prints "answered in N ms" (exit 0) or "no answer"
 * Build: cc -O2 -o wm_ping tools/wm_ping.c -lX11 */
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/select.h>
#include <time.h>

static double NowMs(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s WINDOW-ID [TIMEOUT-MS]\n", argv[0]);
    return 2;
  }
  const Window window = (Window)strtoul(argv[1], NULL, 0);
  const double timeout = argc > 2 ? atof(argv[2]) : 5000;
  Display* display = XOpenDisplay(NULL);
  if (!display) return 2;
  const Window root = DefaultRootWindow(display);
  // Programs answer on the root window with one of these masks (Qt uses StructureNotify).
  XSelectInput(display, root, SubstructureNotifyMask | StructureNotifyMask);
  const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
  const Atom ping = XInternAtom(display, "_NET_WM_PING", False);
  const Time stamp = (Time)((unsigned long)NowMs() & 0x7FFFFFFF);

  XEvent event = {0};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = protocols;
  event.xclient.format = 32;
  event.xclient.data.l[0] = (long)ping;
  event.xclient.data.l[1] = (long)stamp;
  event.xclient.data.l[2] = (long)window;
  const double sent = NowMs();
  XSendEvent(display, window, False, NoEventMask, &event);
  XFlush(display);

  const int fd = ConnectionNumber(display);
  while (NowMs() - sent < timeout) {
    while (XPending(display)) {
      XEvent answer;
      XNextEvent(display, &answer);
      if (answer.type == ClientMessage && answer.xclient.message_type == protocols &&
          (Atom)answer.xclient.data.l[0] == ping && (Time)answer.xclient.data.l[1] == stamp) {
        printf("answered in %.0f ms\n", NowMs() - sent);
        return 0;
      }
    }
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    struct timeval wait = {0, 10000};
    select(fd + 1, &set, NULL, NULL, &wait);
  }
  printf("no answer within %.0f ms\n", timeout);
  return 1;
}
