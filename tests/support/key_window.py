#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""A focused X11 window that reports every key event it receives, for the end-to-end tests,
the demo and the latency benchmark.

Usage: key_window.py [--geometry WxH+X+Y] [--title TEXT]   (with DISPLAY set)

It maps its window, gives it the input focus and takes the focus back whenever another window
takes it (the companion's panel does so each time it is shown). It lists the keys it received
in the window itself, and writes one line per event on standard output, flushed:

    ready <window id>
    press <keysym name> <CLOCK_MONOTONIC ns when read> <X server time ms>
    release <keysym name> <ns> <ms>
    refocused <CLOCK_MONOTONIC ns>    it took the focus back from another window

It ends at the end of its standard input.
"""

import argparse
import os
import re
import select
import sys
import time

from Xlib import X, XK, display as xdisplay

BACKGROUND = 0xf4f4f4
FOREGROUND = 0x202020
LINE_HEIGHT = 16


# XK_Right -> "Right", as XKeysymToString names them.
KEYSYM_NAMES = {value: name[3:] for name, value in vars(XK).items()
                if name.startswith('XK_') and isinstance(value, int)}


def emit(line):
    sys.stdout.write(line + '\n')
    sys.stdout.flush()


class KeyWindow:
    def __init__(self, geometry, title):
        self.display = xdisplay.Display()
        screen = self.display.screen()
        width, height, x, y = geometry
        self.window = screen.root.create_window(
            x, y, width, height, 0, screen.root_depth,
            background_pixel=BACKGROUND,
            event_mask=(X.KeyPressMask | X.KeyReleaseMask | X.FocusChangeMask
                        | X.StructureNotifyMask | X.ExposureMask))
        self.window.set_wm_name(title)
        self.window.set_wm_class('key-window', 'KeyWindow')
        self.gc = self.window.create_gc(foreground=FOREGROUND, background=BACKGROUND,
                                        font=self.display.open_font('fixed'))
        self.title = title
        self.height = height
        self.received = []
        # A press and a release that a loaded machine pulls apart must not become repeats.
        self.display.change_keyboard_control(auto_repeat_mode=X.AutoRepeatModeOff)
        self.window.map()
        self.display.flush()

    def focus(self):
        self.window.set_input_focus(X.RevertToParent, X.CurrentTime)
        self.display.sync()

    def key_name(self, event):
        keysym = self.display.keycode_to_keysym(event.detail, 0)
        return KEYSYM_NAMES.get(keysym, f'0x{keysym:x}')

    def draw(self):
        self.window.clear_area()
        lines = [self.title, ''] + [f'{index + 1:3}  {name}'
                                    for index, name in enumerate(self.received)]
        # No round trip here: events read meanwhile would get a late receive time.
        visible = max(3, self.height // LINE_HEIGHT - 1)
        if len(lines) > visible:
            lines = lines[:2] + lines[-(visible - 2):]
        for row, text in enumerate(lines):
            self.window.image_text(self.gc, 10, LINE_HEIGHT * (row + 1), text)
        self.display.flush()

    def handle(self, event, received_ns):
        if event.type == X.MapNotify:
            self.focus()
            emit(f'ready {self.window.id}')
        elif event.type in (X.KeyPress, X.KeyRelease):
            name = self.key_name(event)
            kind = 'press' if event.type == X.KeyPress else 'release'
            emit(f'{kind} {name} {received_ns} {event.time}')
            if event.type == X.KeyPress:
                self.received.append(name)
                self.draw()
        elif event.type == X.FocusOut and event.mode == X.NotifyNormal \
                and event.detail != X.NotifyInferior:
            self.focus()
            emit(f'refocused {time.monotonic_ns()}')
        elif event.type == X.Expose and event.count == 0:
            self.draw()

    def run(self):
        connection = self.display.fileno()
        stdin = sys.stdin.fileno()
        while True:
            # Every event of one read shares the moment it was read.
            count = self.display.pending_events()
            received_ns = time.monotonic_ns()
            for _ in range(count):
                self.handle(self.display.next_event(), received_ns)
            if count:
                continue
            readable, _, _ = select.select([connection, stdin], [], [])
            if stdin in readable and not os.read(stdin, 4096):
                return
            # Whatever the server sent is read by pending_events() above; a closed connection
            # raises there and ends the program.


def geometry_argument(text):
    match = re.fullmatch(r'(\d+)x(\d+)\+(\d+)\+(\d+)', text)
    if not match:
        raise argparse.ArgumentTypeError('expected WxH+X+Y')
    return tuple(int(part) for part in match.groups())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--geometry', type=geometry_argument, default=(360, 300, 300, 40))
    parser.add_argument('--title', default='Keys received')
    arguments = parser.parse_args()
    KeyWindow(arguments.geometry, arguments.title).run()
    return 0


if __name__ == '__main__':
    sys.exit(main())
