#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The real companion program on a virtual X display with a scripted BlueZ: clicks become arrow
keys in the focused window, across a dropped link, a restart and a second launch; and the panel
on screen shows the rows of the link's state.

The program is the one named by QUENLARK_COMPANION, else the default build's. Screenshots of the
panel go to QUENLARK_SCREENSHOT_DIR, else to the temporary folder.
"""

import contextlib
import os
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from companion_session import (CompanionSession, PORTAL_FRONTEND, ScriptedPortal,  # noqa: E402
                               SessionError, WaylandCompanionSession)

REPOSITORY = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..', '..'))
PROGRAM = os.environ.get('QUENLARK_COMPANION',
                         os.path.join(REPOSITORY, 'build', 'default', 'src', 'quenlark-companion'))

CLICKER = 'C0:FF:EE:00:00:01'
OTHER_CLICKER = 'C0:FF:EE:00:00:02'
CLICKER_ID = '00000000-0000-0000-0000-C0FFEE000001'
SCREENSHOT_DIR = os.environ.get('QUENLARK_SCREENSHOT_DIR', tempfile.gettempdir())

# The panel's measures and the status dot's colours.
PANEL_WIDTH = 240
PANEL_PADDING = 8
DOT_DIAMETER = 8
RED, ORANGE, GREEN = (224, 68, 62), (242, 157, 56), (63, 185, 80)


def press(key):
    return [('press', key), ('release', key)]


class SessionTestCase(unittest.TestCase):
    def setUp(self):
        self.session = CompanionSession(PROGRAM).__enter__()
        self.addCleanup(self.session.close)

    @contextlib.contextmanager
    def step(self, name):
        """Names the failing step and adds every log of the session to its message."""
        try:
            yield
        except (AssertionError, SessionError) as error:
            self.fail(f'{name}: {error}\n{self.session.diagnostics()}')


class ClicksToKeysTest(SessionTestCase):
    def keys_for(self, packet, count):
        """Sends one notification and returns the next `count` key events as (kind, key)."""
        self.session.bluez.notify(CLICKER, bytes.fromhex(packet))
        return [(event.kind, event.key) for event in self.session.keys.next_keys(count)]

    def start_and_subscribe(self, clicker=CLICKER):
        session = self.session
        started = time.monotonic_ns()
        companion = session.start_companion()
        session.wait_for(lambda: session.bluez.is_notifying(clicker),
                         f'the companion to subscribe to {clicker}')
        session.wait_for_panel()
        self.assertFalse(session.keys.refocused_since(started),
                         'the panel that opened on its own took the keyboard focus')
        return companion

    def test_clicks_become_arrow_keys_across_a_drop_a_restart_and_a_second_launch(self):
        session, bluez = self.session, self.session.bluez
        bluez.add_clicker(CLICKER, 'Clicker One')

        with self.step('first connection'):
            first = self.start_and_subscribe()
            self.assertEqual(session.saved_clicker(), CLICKER_ID,
                             'the first connection stores the clicker in the settings file')

        with self.step('clicks'):
            self.assertEqual(self.keys_for('0105', 2), press('Right'))
            # The repeat and a packet too short deliver nothing: the next keys to arrive are
            # those of the packet after them.
            bluez.notify(CLICKER, bytes.fromhex('0105'))
            bluez.notify(CLICKER, bytes.fromhex('01'))
            self.assertEqual(self.keys_for('0204', 2), press('Left'))
            self.assertEqual(self.keys_for('0209', 2), press('Left'))

        with self.step('dropped link'):
            scans, connects = bluez.calls('StartDiscovery'), bluez.calls('Connect', CLICKER)
            bluez.drop_link(CLICKER)
            session.wait_for(lambda: bluez.is_notifying(CLICKER), 'the clicker subscribed again')
            self.assertGreater(bluez.calls('StartDiscovery'), scans, 'a drop starts a new scan')
            self.assertEqual(bluez.calls('Connect', CLICKER), connects + 1)
            # The same packet as before the drop: a new link forgets the last sequence number.
            self.assertEqual(self.keys_for('0209', 2), press('Left'))

        with self.step('restart'):
            first.stop()
            # The remembered clicker comes back after another one, which is listed first.
            bluez.remove(CLICKER)
            bluez.add_clicker(OTHER_CLICKER, 'Clicker Two')
            bluez.add_clicker(CLICKER, 'Clicker One')
            running = self.start_and_subscribe()
            self.assertEqual(self.keys_for('0101', 2), press('Right'))
            self.assertFalse(bluez.is_connected(OTHER_CLICKER))
            self.assertEqual(bluez.calls('Connect', OTHER_CLICKER), 0,
                             'only the remembered clicker is connected')
            self.assertEqual(session.saved_clicker(), CLICKER_ID)

        with self.step('second launch'):
            session.close_window(session.panel_window())
            session.wait_for(lambda: session.panel_window() is None, 'the panel to close')
            scans = bluez.calls('StartDiscovery')
            connects = bluez.calls('Connect', CLICKER) + bluez.calls('Connect', OTHER_CLICKER)
            launched = time.monotonic_ns()
            second = session.start_companion()
            self.assertEqual(second.exit_status(), 0, second.output())
            # The running program was asked to show its panel.
            session.wait_for_panel(since_ns=launched, takes_focus=True)
            self.assertTrue(running.is_running())
            self.assertEqual(bluez.calls('StartDiscovery'), scans, 'a second link scanned')
            self.assertEqual(
                bluez.calls('Connect', CLICKER) + bluez.calls('Connect', OTHER_CLICKER), connects,
                'a second link connected')
            self.assertEqual(self.keys_for('0202', 2), press('Left'))

        for launch, companion in enumerate(session.companions, start=1):
            self.assertNotIn('[BLE]', companion.output(), f'launch {launch} reported an error')


class PanelLook:
    """What a screenshot of the panel shows, read without OCR: the rows are the horizontal bands
    that hold anything but the background, the dividers are lines across the whole column, and
    the status dot is the patch of one dot colour at the column's left edge."""

    def __init__(self, image):
        self.width, self.height = image.width, image.height
        background = image.pixel(image.width - 1, image.height - 1)
        inked = [[x for x in range(image.width) if image.pixel(x, y) != background]
                 for y in range(image.height)]
        self.rows = self._bands([y for y, ink in enumerate(inked) if ink])
        column = image.width - 2 * PANEL_PADDING
        self.dividers = self._bands([y for y, ink in enumerate(inked) if len(ink) >= column - 2])
        # The dot's antialiased rim blends into the background; its inside has the pure colour.
        status = range(self.rows[0][0], self.rows[0][1] + 1) if self.rows else range(0)
        strip = [(x, y) for y in status for x in inked[y] if x < PANEL_PADDING + DOT_DIAMETER + 4]
        xs, ys = [x for x, _ in strip], [y for _, y in strip]
        self.dot = (min(xs), min(ys), max(xs) - min(xs) + 1, max(ys) - min(ys) + 1) if strip \
            else None
        self.dot_colours = {name for name, colour in (('red', RED), ('orange', ORANGE),
                                                      ('green', GREEN))
                            if any(image.pixel(x, y) == colour for x, y in strip)}

    @staticmethod
    def _bands(ys):
        """Runs of consecutive rows, as (first, last)."""
        bands = []
        for y in ys:
            if bands and y == bands[-1][1] + 1:
                bands[-1] = (bands[-1][0], y)
            else:
                bands.append((y, y))
        return bands


class PanelScreenshotTest(SessionTestCase):
    def look(self, name):
        """The panel, read from the screen once its dot shows `name`; saved as a PNG too."""
        session = self.session

        def shown():
            panel = session.panel_window()
            if panel is None:
                return None
            look = PanelLook(session.screenshot(window=panel))
            return (panel, look) if look.dot_colours == {name} else None

        panel, look = session.wait_for(shown, f'a panel with a {name} status dot')
        path = os.path.join(SCREENSHOT_DIR, f'panel-{name}.png')
        session.screenshot(path, panel)
        print(f'panel ({name} dot): {path}', file=sys.stderr)
        return look

    def assert_status_dot(self, look):
        self.assertIsNotNone(look.dot, 'no status dot')
        x, y, width, height = look.dot
        self.assertEqual((x, width, height), (PANEL_PADDING, DOT_DIAMETER, DOT_DIAMETER),
                         'an 8 by 8 dot at the left edge of the column')
        first, last = look.rows[0]
        self.assertTrue(first <= y and y + height - 1 <= last, 'the dot is in the status row')

    def test_panel_shows_the_rows_of_the_link_state(self):
        session = self.session
        with self.step('scanning, nothing remembered'):
            session.start_companion()
            session.wait_for_panel()
            scanning = self.look('orange')
            self.assertEqual(scanning.width, PANEL_WIDTH)
            self.assert_status_dot(scanning)
            # Status, divider, "Get the App", "Quit": the permission rows are absent under XTest.
            self.assertEqual(len(scanning.rows), 4, scanning.rows)
            self.assertEqual(len(scanning.dividers), 1, scanning.dividers)
            self.assertEqual(scanning.rows[1], scanning.dividers[0])

        with self.step('connected'):
            session.bluez.add_clicker(CLICKER, 'Clicker One')
            connected = self.look('green')
            self.assertEqual(connected.width, PANEL_WIDTH)
            self.assert_status_dot(connected)
            # Status, "Device: Clicker One", divider, "Forget Device", "Get the App", "Quit".
            self.assertEqual(len(connected.rows), 6, connected.rows)
            self.assertEqual(len(connected.dividers), 1, connected.dividers)
            self.assertEqual(connected.rows[2], connected.dividers[0])
            self.assertGreater(connected.height, scanning.height)


PANEL_BACKGROUND = (239, 239, 239)


class WaylandPortalTest(SessionTestCase):
    """The program on a Wayland session where /dev/uinput cannot be written: the desktop's consent
    dialog opens at start-up, the panel shows the permission block until the user allows, and
    then clicks reach the desktop as keycodes."""

    def setUp(self):
        if not os.access(PORTAL_FRONTEND, os.X_OK) or not shutil.which('weston'):
            self.skipTest('needs xdg-desktop-portal and weston (Debian packages of those names)')
        if os.access('/dev/uinput', os.W_OK):
            self.skipTest('/dev/uinput is writable here: the program would use it, not the portal')
        self.session = WaylandCompanionSession(PROGRAM).__enter__()
        self.addCleanup(self.session.close)

    def panel_height(self, name):
        """The height of the panel's background on screen (0 without a panel); the screen is kept
        as a PNG."""
        image = self.session.screenshot(os.path.join(SCREENSHOT_DIR, f'wayland-{name}.png'))
        rows = [y for y in range(image.height)
                if any(image.pixel(x, y) == PANEL_BACKGROUND for x in range(0, image.width, 4))]
        return rows[-1] - rows[0] + 1 if rows else 0

    def test_clicks_reach_the_desktop_as_keycodes_once_the_user_consents(self):
        session, bluez, portal = self.session, self.session.bluez, self.session.portal
        portal.set_answer(ScriptedPortal.OPEN)
        bluez.add_clicker(CLICKER, 'Clicker One')

        with self.step('start-up'):
            session.start_companion()
            session.wait_for(lambda: portal.consent_dialogs() == 1,
                             "the desktop's consent dialog at start-up")
            session.wait_for(lambda: bluez.is_notifying(CLICKER), 'the clicker subscribed')

        with self.step('a click while the dialog is open'):
            bluez.notify(CLICKER, bytes.fromhex('0101'))
            # The portal has nothing to send to; a key that slipped through would arrive at the
            # desktop well within this.
            time.sleep(1)
            self.assertEqual(portal.keys(), [])
            asking = session.wait_for(lambda: self.panel_height('asking'), 'the panel on screen')

        with self.step('consent'):
            portal.answer(ScriptedPortal.ALLOWED)
            # The permission block goes at the next poll of the trust.
            session.wait_for(lambda: 0 < self.panel_height('allowed') < asking,
                             'the panel without its permission block')
            bluez.notify(CLICKER, bytes.fromhex('0102'))
            session.wait_for(lambda: len(portal.keys()) == 2, 'the first keys at the desktop')
            bluez.notify(CLICKER, bytes.fromhex('0203'))
            session.wait_for(lambda: len(portal.keys()) == 4, 'the next keys at the desktop')
            self.assertEqual(portal.keys(), [(106, 1), (106, 0), (105, 1), (105, 0)])
            self.assertEqual(portal.consent_dialogs(), 1, 'asked once')


if __name__ == '__main__':
    unittest.main()
