# SPDX-License-Identifier: MIT
"""A private desktop session in which the real companion program meets a scripted BlueZ.

A session holds a private system bus with the scripted BlueZ and its adapter hci0
(`session.bluez`), a private session bus that activates nothing, Xvfb with a key window that holds
the focus and reports every key with its CLOCK_MONOTONIC time (`session.keys`), and the
companion's launches (`session.start_companion()`), which share XDG folders of their own. It can
add at-spi2-core's bus (`start_accessibility_bus()`) and a real tray: 'xfce4-panel' (a
StatusNotifierItem host across the top) or 'trayer' (an XEmbed tray at the bottom right).
WaylandCompanionSession puts Weston and the real portal in front of a scripted desktop
(`session.portal`) in place of Xvfb and the key window; SwayCompanionSession puts Sway there.

    with CompanionSession('/usr/bin/quenlark-companion') as session:
        clicker = session.bluez.add_clicker('C0:FF:EE:00:00:01', 'Clicker One')
        session.start_companion()
        session.wait_for(lambda: session.bluez.is_notifying(clicker), 'the clicker subscribed')
        session.wait_for_panel()                  # mapped, and the focus on the key window
        sent_ns = session.bluez.notify(clicker, bytes([1, 5]))
        press, release = session.keys.next_keys(2)    # KeyEvent(kind, key, received_ns, ...)

Every child runs in a process group of its own that goes with this process; closing the session
(also on an exception, SIGINT, SIGTERM or exit) ends them and removes its files. Every wait is
bounded and raises SessionError naming what it awaited.
"""

from .buses import PORTAL_FRONTEND, SESSION_BUS_CONFIG, ScriptedPortal
from .desktop import CompanionSession, missing_desktop_parts
from .processes import SessionError, end, hold, read_line, release, spawn, wait_for
from .program import Companion
from .wayland import SwayCompanionSession, WaylandCompanionSession

__all__ = ['PORTAL_FRONTEND', 'SESSION_BUS_CONFIG', 'Companion', 'CompanionSession',
           'ScriptedPortal', 'SessionError', 'SwayCompanionSession', 'WaylandCompanionSession',
           'end', 'hold', 'missing_desktop_parts', 'read_line', 'release', 'spawn', 'wait_for']
