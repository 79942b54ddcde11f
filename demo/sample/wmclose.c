/* wmclose <window id>
 * Sends the window the WM_DELETE_WINDOW message that a window manager sends when the user clicks
 * the title bar's close button, for displays that run no window manager (Xvfb in tests).
 * Exits 0 when the message went out, 1 on a bad argument, 2 without a display. */
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char *argv[])
{
    if (argc != 2) {
        fprintf(stderr, "usage: wmclose <window id>\n");
        return 1;
    }
    char *end = NULL;
    const unsigned long window = strtoul(argv[1], &end, 0);
    if (!end || *end || window == 0) {
        fprintf(stderr, "wmclose: bad window id %s\n", argv[1]);
        return 1;
    }
    Display *display = XOpenDisplay(NULL);
    if (!display) {
        fprintf(stderr, "wmclose: cannot open the display\n");
        return 2;
    }
    XEvent event;
    memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = (Window)window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = (long)XInternAtom(display, "WM_DELETE_WINDOW", False);
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, (Window)window, False, NoEventMask, &event);
    XSync(display, False);
    XCloseDisplay(display);
    return 0;
}
