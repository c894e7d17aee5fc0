/* Runs a program and prints the milliseconds from its start until it maps its first top-level
 * window on the X display, then ends it. Used by bench/startup.sh.
 *
 *   window-shown PROGRAM [ARGS...]    prints e.g. "142.7" on stdout; exit 1 without a window in 30 s
 */
#include <X11/Xlib.h>

#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s PROGRAM [ARGS...]\n", argv[0]);
    return 2;
  }
  Display* display = XOpenDisplay(NULL);
  if (!display) {
    fprintf(stderr, "no X display\n");
    return 2;
  }
  /* Watching before the program starts, so that no map can be missed. */
  XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
  XSync(display, False);
  const double started = Now();
  const pid_t child = fork();
  if (child == 0) {
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  int found = 0;
  double shown = 0;
  struct pollfd fd = {ConnectionNumber(display), POLLIN, 0};
  while (!found && Now() - started < 30000) {
    while (XPending(display)) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == MapNotify && !event.xmap.override_redirect) {
        shown = Now();
        found = 1;
        break;
      }
    }
    if (!found) poll(&fd, 1, 100);
  }
  kill(child, SIGTERM);
  waitpid(child, NULL, 0);
  XCloseDisplay(display);
  if (!found) return 1;
  printf("%.1f\n", shown - started);
  return 0;
}
