#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The real program (QUENLARK_COMPANION, else the default build's) in a private desktop session
with a scripted BlueZ. Screenshots go to QUENLARK_SCREENSHOT_DIR, else to the temporary folder."""

import os
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'support'))
from companion_session import (CompanionSession, PORTAL_FRONTEND, ScriptedPortal,  # noqa: E402
                               SwayCompanionSession, WaylandCompanionSession,
                               hold, missing_desktop_parts, release)

SCREENSHOTS = os.environ.get('QUENLARK_SCREENSHOT_DIR', tempfile.gettempdir())
CLICKER, OTHER_CLICKER = 'C0:FF:EE:00:00:01', 'C0:FF:EE:00:00:02'
RIGHT, LEFT = [('press', 'Right'), ('release', 'Right')], [('press', 'Left'), ('release', 'Left')]
DOT_COLOURS = {'orange': (242, 157, 56), 'green': (63, 185, 80)}


class SessionTest(unittest.TestCase):
    session_type = CompanionSession

    def setUp(self):
        self.session = self.enterContext(self.session_type())
        # Every log of the session, to read when the test failed.
        self.addCleanup(lambda: print(self.session.diagnostics(), file=sys.stderr))
        self.bluez = self.session.bluez

    def connect_clicker(self):
        self.bluez.add_clicker(CLICKER, 'Clicker One')
        companion = self.session.start_companion()
        self.session.wait_for(lambda: self.bluez.is_notifying(CLICKER), 'the clicker subscribed')
        return companion

    def keys_for(self, packet):
        self.bluez.notify(CLICKER, bytes.fromhex(packet))
        return [(event.kind, event.key) for event in self.session.keys.next_keys(2)]


class ClicksToKeysTest(SessionTest):
    def panel_with_dot(self, colour):
        return self.session.panel_showing(DOT_COLOURS[colour],
                                          os.path.join(SCREENSHOTS, f'panel-{colour}.png'))

    def test_clicks_become_arrow_keys_across_a_restart_and_a_second_launch(self):
        session, bluez = self.session, self.bluez
        # The panel opens on its own, leaving the focus; its dot turns from orange (scanning) to
        # green, and the device's rows come in.
        started, first = time.monotonic_ns(), session.start_companion()
        scanning = session.wait_for(lambda: self.panel_with_dot('orange'), 'an orange dot')
        bluez.add_clicker(CLICKER, 'Clicker One')
        session.wait_for(lambda: bluez.is_notifying(CLICKER), 'the clicker subscribed')
        connected = session.wait_for(lambda: self.panel_with_dot('green'), 'a green dot')
        self.assertEqual((scanning.width, connected.width), (240, 240))
        self.assertGreater(connected.height, scanning.height)
        session.wait_for_panel()
        self.assertFalse(session.keys.refocused_since(started), 'the panel took the focus')
        self.assertEqual(session.saved_clicker(), '00000000-0000-0000-0000-C0FFEE000001')
        self.assertEqual(self.keys_for('0105'), RIGHT)
        self.assertEqual(self.keys_for('0204'), LEFT)
        # After a restart only the remembered clicker is connected, though another is listed first.
        first.stop()
        bluez.remove(CLICKER)
        bluez.add_clicker(OTHER_CLICKER, 'Clicker Two')
        running = self.connect_clicker()
        session.wait_for_panel()
        self.assertEqual(self.keys_for('0101'), RIGHT)
        self.assertEqual(bluez.calls('Connect', OTHER_CLICKER), 0)
        # A second launch shows the running program's panel, which takes the focus, and ends.
        session.close_window(session.panel_window())
        session.wait_for(lambda: session.panel_window() is None, 'the panel to close')
        connects, launched = bluez.calls('Connect', CLICKER), time.monotonic_ns()
        self.assertEqual(session.start_companion().exit_status(), 0)
        session.wait_for_panel(since_ns=launched, takes_focus=True)
        self.assertTrue(running.is_running())
        self.assertEqual(bluez.calls('Connect', CLICKER), connects, 'a second link connected')
        self.assertEqual(self.keys_for('0202'), LEFT)
        # A tray whose host registered before it appeared announces no host: the window still
        # gives way to it.
        tray = session.start_tray()
        session.wait_for(lambda: session.panel_window() is None, 'the window to give way')
        session.wait_for(tray.items, 'the tray item')
        # Qt never moves that icon to an XEmbed tray: with only such a tray left, the window
        # is back.
        session.start_tray_host('trayer')
        tray.close()
        session.wait_for(session.panel_window, 'the window back')


class PanelAccessibilityTest(SessionTest):
    """The panel as a screen reader meets it through at-spi2-core: as the window used without a
    tray, then opened from two real trays, in two states, at 2 and 1.5 device pixels per pixel."""
    # The program's environment and the panel's rows, as role and name, top to bottom.
    STATES = {
        'connected': ({'QT_SCALE_FACTOR': '2'}, [
            'label "Connected"', 'label "Device: Clicker One"', 'separator ""',
            'push button "Forget Device"', 'link "Get the App"', 'push button "Quit"']),
        # A Wayland session type without a way in: no key backend reaches it.
        'permission missing': ({'QT_SCALE_FACTOR': '1.5', 'XDG_SESSION_TYPE': 'wayland'}, [
            'label "Disconnected"', 'separator ""',
            'push button "Grant Accessibility Permission"',
            'label "Required to inject keystrokes into presentation apps."', 'separator ""',
            'link "Get the App"', 'push button "Quit"']),
    }

    def setUp(self):
        if missing_desktop_parts():
            self.skipTest('needs at-spi2-core, python3-pyatspi, xfce4-panel, trayer and xdotool, '
                          f'missing {missing_desktop_parts()}')
        super().setUp()
        self.session.start_accessibility_bus()

    def check_panel(self, state, host, rows, scale):
        """Waits for the panel with `rows`; prints its tree and keeps its picture."""
        session = self.session
        panel = session.wait_for(session.panel_window, f'the panel ({host})')
        try:
            session.wait_for(lambda: session.accessible_rows() == rows, f'the rows ({host})')
        finally:
            print(f'\n{state}, {host}:\n    ' + '\n    '.join(session.accessible_rows()))
        self.assertEqual(panel.width, round(240 * scale), host)
        session.screenshot(os.path.join(SCREENSHOTS, f'accessible-{state}-{host}.png'.replace(
            ' ', '-')), session.panel_window())
        return panel

    def start(self, state, environment):
        self.bluez.set_clicker_in_range(CLICKER, 'Clicker One', state == 'connected')
        return self.session.start_companion(environment=environment)

    def test_every_row_is_heard_under_every_tray(self):
        session, bluez = self.session, self.bluez
        for state, (environment, rows) in self.STATES.items():
            if state == 'permission missing' and os.access('/dev/uinput', os.W_OK):
                print('permission missing: skipped, /dev/uinput is writable here')
                continue
            scale = float(environment['QT_SCALE_FACTOR'])
            companion = self.start(state, environment)
            self.check_panel(state, 'window', rows, scale)
            # A tray arrives: the window goes, and a click on the icon opens the panel there,
            # at the pointer (this tray gives no icon geometry) and away from the top edge.
            session.start_tray_host('xfce4-panel')
            session.wait_for(lambda: session.panel_window() is None, 'the window to give way')
            icon = session.click_tray_icon()
            self.assertGreater(self.check_panel(state, 'xfce4-panel', rows, scale).y, icon[1])
            self.assertEqual(session.tray_tooltip(), 'Quenlark \u2014 ' + rows[0].split('"')[1])
            # A click outside closes it; the tray goes, and the window comes back.
            session.click(1000, 700)
            session.wait_for(lambda: session.panel_window() is None, 'the panel to close')
            session.stop_tray_host()
            session.wait_for(session.panel_window, 'the window back')
            companion.stop()

            session.start_tray_host('trayer')
            companion, opened = self.start(state, environment), time.monotonic_ns()
            session.click_tray_icon()
            self.check_panel(state, 'trayer', rows, scale)
            if state == 'connected':
                # The open panel leaves the keyboard to the application in front.
                session.wait_for(lambda: bluez.is_notifying(CLICKER), 'the clicker subscribed')
                self.assertEqual(self.keys_for('0105'), RIGHT)
                self.assertFalse(session.keys.refocused_since(opened), 'the panel took the focus')
                # Pressed through AT-SPI, a button does its work (the clicker, no longer
                # advertising, is not taken again at once).
                bluez.mock.SetAdvertising(CLICKER, False)
                session.press_accessible('Forget Device')
                session.wait_for(lambda: session.saved_clicker() is None, 'the clicker forgotten')
            # The XEmbed tray goes and comes back: the window stands in meanwhile.
            session.stop_tray_host()
            session.wait_for(session.panel_window, 'the window while the tray is away')
            session.start_tray_host('trayer')
            session.wait_for(lambda: session.panel_window() is None, 'the window to give way')
            session.click_tray_icon()
            companion.stop()
            session.stop_tray_host()


@unittest.skipUnless(os.access(PORTAL_FRONTEND, os.X_OK) and shutil.which('weston'),
                     'needs xdg-desktop-portal and weston (Debian packages of those names)')
class WaylandPortalTest(SessionTest):
    """Start-up goes on while the portal holds its answer; the consent dialog then opens once, and
    until the user allows, the panel shows the permission block and no click reaches the desktop."""
    session_type = WaylandCompanionSession

    def panel_height(self, name):
        return self.session.panel_height(os.path.join(SCREENSHOTS, f'wayland-{name}.png'))

    def test_clicks_reach_the_desktop_once_the_user_consents(self):
        session, bluez, portal = self.session, self.bluez, self.session.portal
        portal.set_answer(ScriptedPortal.OPEN)
        hold(portal.frontend)
        self.connect_clicker()
        release(portal.frontend)
        session.wait_for(lambda: portal.consent_dialogs() == 1, 'the consent dialog')
        bluez.notify(CLICKER, bytes.fromhex('0101'))
        time.sleep(1)  # a key that slipped through would reach the desktop well within this
        self.assertEqual(portal.keys(), [])
        asking = session.wait_for(lambda: self.panel_height('asking'), 'the panel')
        portal.answer(ScriptedPortal.ALLOWED)
        # The permission block goes once the program has the answer.
        session.wait_for(lambda: 0 < self.panel_height('allowed') < asking, 'no permission block')
        bluez.notify(CLICKER, bytes.fromhex('0102'))
        bluez.notify(CLICKER, bytes.fromhex('0203'))
        session.wait_for(lambda: len(portal.keys()) == 4, 'four keys at the desktop')
        self.assertEqual(portal.keys(), [(106, 1), (106, 0), (105, 1), (105, 0)])
        self.assertEqual(portal.consent_dialogs(), 1, 'asked once')


@unittest.skipUnless(shutil.which('sway') and shutil.which('wev'),
                     'needs sway and wev (Debian packages of those names)')
class SwayVirtualKeyboardTest(SessionTest):
    """Sway has no remote-desktop portal but a virtual keyboard of its own, which needs no
    privilege: once the portal's answer is in, clicks reach the focused window through it."""
    session_type = SwayCompanionSession

    def test_clicks_reach_the_focused_window_once_a_portal_without_remote_desktop_answered(self):
        session, bluez = self.session, self.bluez
        tray, portal = session.start_tray(), session.start_bare_portal()
        hold(portal)
        self.connect_clicker()
        session.wait_for(tray.items, 'the tray item')
        self.assertEqual(session.keyboards(), [], 'a keyboard made before the portal answered')
        release(portal)
        session.wait_for(session.keyboards, "the program's keyboard")
        recorder = session.start_recorder()
        bluez.notify(CLICKER, bytes.fromhex('0105'))
        bluez.notify(CLICKER, bytes.fromhex('0204'))
        self.assertEqual(recorder.next_keys(4), RIGHT + LEFT)
        self.assertEqual(session.focused_app(), 'wev')
        time.sleep(1)  # a stray key would reach the recorder well within this
        self.assertTrue(recorder.received_nothing_more())
        # Trusted at the first answer: no request, so no window of the program's own.
        self.assertNotIn('com.quenlark.Companion', session.apps())


if __name__ == '__main__':
    unittest.main()
