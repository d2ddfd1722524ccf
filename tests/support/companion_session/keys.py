# SPDX-License-Identifier: MIT
"""Where the companion's keys land: the focused X window's report (key_window.py) and a focused
Wayland client's (wev)."""

import collections
import os
import queue
import subprocess
import threading

from .processes import DEFAULT_TIMEOUT, PYTHON, SessionError, end, read_line, spawn, take

KEY_WINDOW = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                          'key_window.py')

KeyEvent = collections.namedtuple('KeyEvent', 'kind key received_ns server_ms')


class _KeyReport:
    """A child that reports the keys it receives on its standard output, read line by line."""

    def __init__(self, process):
        self.process = process
        self._events = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        try:
            for line in self.process.stdout:
                self._parse(line)
        except (OSError, ValueError):
            pass  # the pipe was closed with the child
        self._events.put(None)

    def close(self):
        end(self.process)

    def next_keys(self, count, timeout=DEFAULT_TIMEOUT):
        """The next `count` key events, in the order received."""
        keys = []
        while len(keys) < count:
            what = f'key event {len(keys) + 1} of {count} (got {keys})'
            event = take(self._events, what, timeout)
            if event is None:
                raise SessionError(f'the key report ended while waiting for {what}')
            keys.append(event)
        return keys


class KeyWindow(_KeyReport):
    """The focused window's report: key events in order, and when it took the focus back."""

    def __init__(self, environment, geometry):
        process = spawn([PYTHON, KEY_WINDOW, '--geometry', geometry], env=environment,
                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        ready = read_line(process, 'the key window to be mapped')
        if not ready.startswith('ready '):
            raise SessionError(f'the key window said {ready!r}')
        self.window_id = int(ready.split()[1])
        self._refocused = []
        super().__init__(process)

    def _parse(self, line):
        fields = line.split()
        if fields[:1] in (['press'], ['release']):
            self._events.put(KeyEvent(fields[0], fields[1], int(fields[2]), int(fields[3])))
        elif fields[:1] == ['refocused']:
            self._refocused.append(int(fields[1]))

    def refocused_since(self, monotonic_ns):
        """Whether the window took the focus back from another window after that time."""
        return any(moment > monotonic_ns for moment in list(self._refocused))


class WaylandKeyRecorder(_KeyReport):
    """Debian's wev as a focused Wayland client: its report read as (kind, key name) pairs, the
    name from the keymap it was handed."""

    def __init__(self, environment):
        self._kind = None
        super().__init__(spawn(['stdbuf', '-oL', 'wev', '-f', 'wl_keyboard:key'],
                               env=environment, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True))

    def _parse(self, line):
        # "key: serial: 7; time: 1; key: 114; state: 1 (pressed)", then "sym: Right (65363), ..."
        if 'wl_keyboard] key:' in line:
            self._kind = 'press' if '(pressed)' in line else 'release'
        elif self._kind and line.strip().startswith('sym:'):
            self._events.put((self._kind, line.split()[1]))
            self._kind = None

    def received_nothing_more(self):
        return self._events.empty()
