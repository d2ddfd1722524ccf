# SPDX-License-Identifier: MIT
"""Where the companion's keys land: the focused X window's report (key_window.py) and a focused
Wayland client's (wev)."""

import collections
import os
import queue
import subprocess
import threading

from .processes import DEFAULT_TIMEOUT, PYTHON, SessionError, end, read_line, spawn

KEY_WINDOW = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                          'key_window.py')

KeyEvent = collections.namedtuple('KeyEvent', 'kind key received_ns server_ms')


class KeyWindow:
    """The focused window's report: key events in order, and when it took the focus back."""

    def __init__(self, environment, geometry):
        self.process = spawn([PYTHON, KEY_WINDOW, '--geometry', geometry], env=environment,
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self._events = queue.Queue()
        self._refocused = []
        self._lock = threading.Lock()
        ready = read_line(self.process, 'the key window to be mapped')
        if not ready.startswith('ready '):
            raise SessionError(f'the key window said {ready!r}')
        self.window_id = int(ready.split()[1])
        threading.Thread(target=self._read, daemon=True).start()

    def close(self):
        end(self.process)

    def _read(self):
        try:
            self._read_lines()
        except (OSError, ValueError):
            pass  # the pipe was closed with the window
        self._events.put(None)

    def _read_lines(self):
        for line in self.process.stdout:
            fields = line.split()
            if fields[:1] in (['press'], ['release']):
                self._events.put(KeyEvent(fields[0], fields[1], int(fields[2]), int(fields[3])))
            elif fields[:1] == ['refocused']:
                with self._lock:
                    self._refocused.append(int(fields[1]))

    def _next(self, timeout, what):
        try:
            event = self._events.get(timeout=timeout)
        except queue.Empty:
            raise SessionError(f'timed out after {timeout:g} s waiting for {what}') from None
        if event is None:
            raise SessionError(f'the key window ended while waiting for {what}')
        return event

    def refocused_since(self, monotonic_ns):
        """Whether the window took the focus back from another window after that time."""
        with self._lock:
            return any(moment > monotonic_ns for moment in self._refocused)

    def next_keys(self, count, timeout=DEFAULT_TIMEOUT):
        """The next `count` key events, in the order received."""
        keys = []
        while len(keys) < count:
            keys.append(self._next(timeout, f'key event {len(keys) + 1} of {count} (got {keys})'))
        return keys



class WaylandKeyRecorder:
    """A focused Wayland client that records the keys it receives: Debian's wev, whose report is
    read as (kind, key name) pairs, the name from the keymap it was handed."""

    def __init__(self, environment):
        self.process = spawn(['stdbuf', '-oL', 'wev', '-f', 'wl_keyboard:key'], env=environment,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self._events = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def close(self):
        end(self.process)

    def _read(self):
        # "key: serial: 7; time: 1; key: 114; state: 1 (pressed)", then "sym: Right (65363), ..."
        kind = None
        try:
            for line in self.process.stdout:
                if 'wl_keyboard] key:' in line:
                    kind = 'press' if '(pressed)' in line else 'release'
                elif kind and line.strip().startswith('sym:'):
                    self._events.put((kind, line.split()[1]))
                    kind = None
        except (OSError, ValueError):
            pass

    def next_keys(self, count, timeout=DEFAULT_TIMEOUT):
        keys = []
        while len(keys) < count:
            try:
                keys.append(self._events.get(timeout=timeout))
            except queue.Empty:
                raise SessionError(f'timed out waiting for key {len(keys) + 1} of {count} '
                                   f'(got {keys})') from None
        return keys

    def received_nothing_more(self):
        return self._events.empty()

