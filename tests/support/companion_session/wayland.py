# SPDX-License-Identifier: MIT
"""The session on Wayland compositors: Weston's headless backend with the real remote-desktop
portal, and Sway's headless backend with no portal."""

import json
import os
import pwd
import shutil
import subprocess
import tempfile

from PIL import Image

from .buses import PORTAL_FRONTEND, PORTAL_NAME, ScriptedPortal
from .desktop import CompanionSession
from .keys import WaylandKeyRecorder
from .processes import DEFAULT_TIMEOUT, wait_for


class _WaylandSession(CompanionSession):
    """A session whose programs meet the compositor at `wayland_display`."""

    def _display_environment(self):
        return {'WAYLAND_DISPLAY': self.wayland_display, 'XDG_SESSION_TYPE': 'wayland',
                'QT_QPA_PLATFORM': 'wayland'}


class WaylandCompanionSession(_WaylandSession):
    """The session on Weston's headless compositor, with the real remote-desktop portal and a
    scripted desktop behind it (`session.portal`), which receives the keys: no key window."""
    DISPLAY_LOG = 'weston.log'
    wayland_display = 'wayland-quenlark'

    def _start_desktop(self):
        # Pixman draws the screen, and --debug lets weston-screenshooter read it.
        weston = self._start(['weston', '--backend=headless-backend.so', '--use-pixman', '--debug',
                              '--idle-time=0', '--socket=' + self.wayland_display],
                             self.DISPLAY_LOG, env=self.environment())
        self._await(weston, lambda: os.path.exists(self.path('runtime/' + self.wayland_display)),
                    'Weston to listen')
        self.portal = ScriptedPortal(self.environment(), self.session_bus)
        self._parts.append(self.portal.close)

    def screenshot(self, path=None, window=None):
        """The whole screen as an RGB image (Wayland names no windows); also kept at `path`."""
        assert window is None, 'Wayland gives no window geometry'
        with tempfile.TemporaryDirectory(dir=self.directory) as shots:
            subprocess.run(['weston-screenshooter'], env=self.environment(), cwd=shots,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=DEFAULT_TIMEOUT, check=True)
            shot = os.path.join(shots, os.listdir(shots)[0])
            if path:
                shutil.copyfile(shot, path)
            with Image.open(shot) as image:
                return image.convert('RGB')

    def panel_height(self, path, background=(239, 239, 239)):
        """The height of the panel's background on the screen, whose picture is kept at `path`."""
        image = self.screenshot(path)
        rows = [y for y in range(image.height)
                if any(image.getpixel((x, y)) == background for x in range(0, image.width, 4))]
        return rows[-1] - rows[0] + 1 if rows else 0


class SwayCompanionSession(_WaylandSession):
    """The session on Sway's headless backend, with no remote-desktop portal. Sway refuses root:
    it runs as nobody in a runtime folder of its own, reached by the socket's full path."""
    DISPLAY_LOG = 'sway.log'

    def _start_desktop(self):
        runtime = tempfile.mkdtemp(prefix='quenlark-sway-')
        self._parts.append(lambda: shutil.rmtree(runtime, ignore_errors=True))
        nobody = pwd.getpwnam('nobody')
        os.chown(runtime, nobody.pw_uid, nobody.pw_gid)
        os.chmod(runtime, 0o700)
        environment = {'PATH': os.environ.get('PATH', '/usr/bin:/bin'), 'HOME': runtime,
                       'XDG_RUNTIME_DIR': runtime, 'WLR_BACKENDS': 'headless',
                       'WLR_RENDERER': 'pixman', 'WLR_LIBINPUT_NO_DEVICES': '1'}
        sway = self._start(['sway', '-c', '/dev/null'], self.DISPLAY_LOG, env=environment,
                           user=nobody.pw_uid, group=nobody.pw_gid, extra_groups=[])

        def sockets():
            names = os.listdir(runtime)
            display = [n for n in names if n.startswith('wayland-') and not n.endswith('.lock')]
            ipc = [n for n in names if n.startswith('sway-ipc.')]
            return display and ipc and (display[0], ipc[0])
        found = self._await(sway, sockets, 'Sway to listen')
        self.wayland_display, self.sway_ipc = (os.path.join(runtime, name) for name in found)

    def start_bare_portal(self):
        """xdg-desktop-portal with no desktop behind it, as on Sway without a portal backend that
        offers remote desktop; returns its process."""
        os.makedirs(self.path('no-portals'), exist_ok=True)
        environment = dict(self.environment(), XDG_CURRENT_DESKTOP='sway',
                           XDG_DESKTOP_PORTAL_DIR=self.path('no-portals'))
        frontend = self._start([PORTAL_FRONTEND], 'portal.log', env=environment)
        self.wait_for_name(PORTAL_NAME, 'xdg-desktop-portal')
        return frontend

    def start_recorder(self):
        """A key recorder (wev), once it has the focus."""
        recorder = WaylandKeyRecorder(self.environment())
        self._parts.append(recorder.close)
        wait_for(lambda: self.focused_app() == 'wev', 'the focus on the recorder')
        return recorder

    def _ask(self, what):
        reply = subprocess.run(['swaymsg', '-s', self.sway_ipc, '-t', what, '-r'],
                               capture_output=True, text=True, timeout=DEFAULT_TIMEOUT, check=True)
        return json.loads(reply.stdout)

    def keyboards(self):
        """The names of Sway's keyboards: with no devices of its own, those that programs made."""
        return [device['name'] for device in self._ask('get_inputs')
                if device.get('type') == 'keyboard']

    def apps(self):
        """The program (app_id) of every window on screen."""
        return [node.get('app_id') for node in _nodes(self._ask('get_tree')) if node.get('pid')]

    def focused_app(self):
        return next((node.get('app_id') for node in _nodes(self._ask('get_tree'))
                     if node.get('focused')), None)


def _nodes(node):
    yield node
    for child in node.get('nodes', []) + node.get('floating_nodes', []):
        yield from _nodes(child)
