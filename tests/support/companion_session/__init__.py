# SPDX-License-Identifier: MIT
"""A private desktop session in which the real companion program meets a scripted BlueZ.

One session holds, each started here and ended when the session closes:
  - a private system bus with the scripted BlueZ (tests/integration/bluetooth) and one powered
    adapter, hci0; the clickers are added through `session.bluez`;
  - a virtual X display (Xvfb, 1280x800) and a private session bus without service activation;
  - a key window (key_window.py) that holds the input focus and reports every key it receives
    with its CLOCK_MONOTONIC time, through `session.keys`;
  - companion processes started with `session.start_companion()`: the program given to the
    session (a build tree's or an installed one), with an XDG_CONFIG_HOME, XDG_RUNTIME_DIR,
    XDG_CACHE_HOME and XDG_DATA_HOME of their own, shared by every launch of one session.

    from companion_session import CompanionSession

    with CompanionSession('/usr/bin/quenlark-companion') as session:
        clicker = session.bluez.add_clicker('C0:FF:EE:00:00:01', 'Clicker One')
        companion = session.start_companion()
        session.wait_for(lambda: session.bluez.is_notifying(clicker), 'the clicker subscribed')
        session.wait_for_panel()                  # mapped, and the focus on the key window
        sent_ns = session.bluez.notify(clicker, bytes([1, 5]))     # CLOCK_MONOTONIC ns
        press, release = session.keys.next_keys(2)   # KeyEvent('press', 'Right', ns, server ms)
        latency_ns = press.received_ns - sent_ns     # both CLOCK_MONOTONIC
        session.screenshot('panel.png', session.panel_window())

For the panel's accessibility, `session.start_accessibility_bus()` starts at-spi2-core's bus,
which every program started afterwards is shown on, and `session.start_tray_host('xfce4-panel')`
(its status tray, a StatusNotifierItem host, across the top) or `('trayer')` (an XEmbed tray at
the bottom right) starts a real tray, whose companion icon `session.click_tray_icon()` clicks.

WaylandCompanionSession is the same on Weston's headless Wayland compositor, with the real
remote-desktop portal in front of a scripted desktop (`session.portal`) in place of Xvfb and the
key window. SwayCompanionSession is the same on Sway's headless backend, with no portal, and a
Wayland key recorder (wev) in place of the key window.

The panel that opens on its own (no tray) leaves the focus alone; one the user asks for takes it,
and the key window takes it back at once. wait_for_panel() returns only once the key window has
the focus, so presses sent afterwards reach it.

Every child runs in a process group of its own with PR_SET_PDEATHSIG, so it goes with this
process however that ends; closing the session (also after an exception, SIGINT or SIGTERM, or
at interpreter exit) ends the groups and removes the session's files. Waits are bounded: they
poll a condition until a deadline and raise SessionError with what was awaited.

The parts, by role: processes.py (children and bounded waits), buses.py (the private buses, the
scripted BlueZ, the portal and a tray's watcher), keys.py (the key window and the Wayland key
recorder), program.py (the companion's launches and settings), desktop.py (the X session, its
windows, pictures, trays and accessibility) and wayland.py (the Weston and Sway sessions).
"""

from .buses import PORTAL_FRONTEND, SESSION_BUS_CONFIG, ScriptedPortal
from .desktop import CompanionSession, missing_desktop_parts
from .processes import SessionError, end, hold, read_line, release, spawn, wait_for
from .program import Companion
from .wayland import SwayCompanionSession, WaylandCompanionSession

__all__ = ['PORTAL_FRONTEND', 'SESSION_BUS_CONFIG', 'Companion', 'CompanionSession',
           'ScriptedPortal', 'SessionError', 'SwayCompanionSession', 'WaylandCompanionSession',
           'end', 'hold', 'missing_desktop_parts', 'read_line', 'release', 'spawn', 'wait_for']
